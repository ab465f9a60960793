// The window's message boxes, question and folder picker as Qt dialogs:
// QMessageBox with the information, stop or question icon, and a folder-only
// QFileDialog. The texts' line breaks are shown as PlainMessage makes them.
//
// Threads: main thread only.
#pragma once

#include <QString>

#include "app/MessageSink.h"

class QWidget;

namespace kelvane {

class TQtMessageSink : public TMessageSink {
 public:
  // Boxes are centred over `parent` (may be null).
  explicit TQtMessageSink(QWidget* parent = nullptr) : parent_(parent) {}
  void SetParent(QWidget* parent) { parent_ = parent; }

  void ShowMessage(const std::string& caption, const std::string& text) override;
  void ShowError(const std::string& caption, const std::string& text) override;
  bool Confirm(const std::string& caption, const std::string& text) override;
  std::optional<std::string> ChooseFolder(const std::string& headline) override;

 private:
  QWidget* parent_;
};

}  // namespace kelvane
