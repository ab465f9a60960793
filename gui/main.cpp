// kelvane: the window. `kelvane FILE` opens FILE as Add Video File does.
#include <QApplication>
#include <QIcon>
#include <QStyle>

#include "app/WindowLinks.h"
#include "gui/MainWindow.h"
#include "gui/QtMainThread.h"
#include "gui/QtMessageSink.h"
#include "gui/QtPreviewer.h"
#include "gui/QtSettingsStore.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Kelvane"));
  // The desktop entry and the icon theme know the program by one name; a
  // program run from its build folder has no installed icon.
  QGuiApplication::setDesktopFileName(QStringLiteral(KELVANE_APP_ID));
  QIcon icon = QIcon::fromTheme(QStringLiteral(KELVANE_APP_ID));
  if (icon.isNull()) icon = application.style()->standardIcon(QStyle::SP_MediaPlay);
  QApplication::setWindowIcon(icon);
  kelvane::TQtMainThread::Install();
  kelvane::TQtPreviewer::Install();

  kelvane::TQtMessageSink messages;
  kelvane::TQtSettingsStore settings;
  kelvane::TMainWindow window(messages, settings, kelvane::ProgramFolder());
  messages.SetParent(&window);
  window.show();
  const QStringList arguments = QApplication::arguments();
  if (arguments.size() > 1) window.OpenFile(arguments.at(1));
  const int status = QApplication::exec();
  kelvane::SetMainThreadBackend(nullptr);
  return status;
}
