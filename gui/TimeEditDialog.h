// TTimeEditDialog: edits a time mark by hand. Borderless and on top, centred over the
// main window; opens with the edited mark's text and a line naming the forms
// a time may take; accepts only digits, ":", one "." and backspace, naming
// the forms when a key is refused. "Done" hands the text to the model, which
// takes it as the mark or refuses it (the dialog then stays open and says
// why); "Cancel" changes nothing. Which mark it edits is the model's
// EditedTime.
//
// Threads: main thread only.
#pragma once

#include <QDialog>
#include <functional>
#include <string>

class QLabel;
class QLineEdit;

namespace kelvane {

class TMainWindowModel;

class TTimeEditDialog : public QDialog {
 public:
  TTimeEditDialog(TMainWindowModel& model, QWidget* parent);
  // FormShow: the field takes the edited mark's text; centred over `owner`.
  void ShowOver(QWidget* owner);
  void SpeedDoneClick();
  void SpeedCancelClick() { close(); }
  // The typed text as people read it ("0:01:02.500 · frame 1562"), shown
  // under the field; empty when it is not a time.
  std::function<std::string(const std::string&)> Readable;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  TMainWindowModel& model_;
  QLineEdit* edit_;
  QLabel* hint_;
  QLabel* readable_;
};

}  // namespace kelvane
