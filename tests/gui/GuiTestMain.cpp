// Entry point of the window's tests: a QApplication on the offscreen platform
// (also while CTest lists the tests), the Qt main-thread back-end, and the
// user's settings in a scratch folder of this process (tests run side by side).
#include <QApplication>
#include <QSettings>
#include <cstdlib>

#include <gtest/gtest.h>

#include "gui/QtMainThread.h"
#include "tests/common/TestSupport.h"

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  setenv("SDL_AUDIODRIVER", "dummy", 0);
  setenv("SDL_VIDEODRIVER", "dummy", 0);
  kelvane::test::TTempDir settings_folder;
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                     QString::fromStdString(settings_folder.Path().string()));
  QApplication application(argc, argv);
  kelvane::TQtMainThread::Install();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
