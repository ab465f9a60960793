// What the window's tests share: a window over a recording message sink and
// the real settings store, waiting while Qt runs, and finding controls.
#pragma once

#include <QApplication>
#include <QComboBox>
#include <QPushButton>
#include <QSettings>
#include <chrono>
#include <functional>
#include <memory>

#include "gui/MainWindow.h"
#include "gui/QtSettingsStore.h"
#include "tests/app/RecordingSink.h"
#include "tests/common/TestSupport.h"

namespace kelvane::test {

// Runs Qt's event loop until `done()` or `limit` passed; false on timeout.
bool WaitFor(const std::function<bool()>& done,
             std::chrono::milliseconds limit = std::chrono::seconds(10));
// Runs Qt's event loop for `time`.
void Spend(std::chrono::milliseconds time);

// The stored settings start empty for each test.
void ClearStoredSettings();

class TWindowTest : public TMediaTest {
 protected:
  void SetUp() override;
  void TearDown() override;
  // A new window over the stored settings (the old one is closed or dropped first).
  void OpenWindow();

  template <typename T = QWidget>
  T* Control(const char* name) {
    T* control = window_->findChild<T*>(QString::fromUtf8(name));
    EXPECT_NE(control, nullptr) << name;
    return control;
  }
  void Click(const char* name);
  QString ComboText(const char* name) { return Control<QComboBox>(name)->currentText(); }
  // A 640x480 clip of `seconds` at 25 fps with sound.
  std::string MakeClip(double seconds, const std::string& name = "clip.mp4");

  TRecordingSink sink_;
  std::unique_ptr<TQtSettingsStore> store_;
  std::unique_ptr<TMainWindow> window_;
};

}  // namespace kelvane::test
