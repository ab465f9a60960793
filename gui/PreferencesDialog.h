// TPreferencesDialog, "Preferences": whether a split may replace a file of the same name
// and whether an opened file plays at once. The boxes write straight into the
// window model, where the split and Add Video File read them; "Done" only
// closes. One dialog per program, shown without blocking the main window.
//
// Threads: main thread only.
#pragma once

#include <QDialog>

class QCheckBox;

namespace kelvane {

class TMainWindowModel;

class TPreferencesDialog : public QDialog {
 public:
  TPreferencesDialog(TMainWindowModel& model, QWidget* parent);
  // The boxes show the model's values again (after the settings were loaded).
  void Refresh();
  // Shows the dialog centred over the main window.
  void ShowOver(QWidget* owner);

 private:
  TMainWindowModel& model_;
  QCheckBox* overwrite_;
  QCheckBox* play_immediately_;
};

}  // namespace kelvane
