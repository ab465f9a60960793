#include "gui/QtMessageSink.h"

#include <QFileDialog>
#include <QMessageBox>

#include "app/TextUtils.h"

namespace kelvane {

namespace {

QString BoxText(const std::string& text) { return QString::fromStdString(PlainMessage(text)); }

}  // namespace

void TQtMessageSink::ShowMessage(const std::string& caption, const std::string& text) {
  QMessageBox::information(parent_, QString::fromStdString(caption), BoxText(text));
}

void TQtMessageSink::ShowError(const std::string& caption, const std::string& text) {
  QMessageBox::critical(parent_, QString::fromStdString(caption), BoxText(text));
}

bool TQtMessageSink::Confirm(const std::string& caption, const std::string& text) {
  return QMessageBox::question(parent_, QString::fromStdString(caption), BoxText(text),
                               QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

std::optional<std::string> TQtMessageSink::ChooseFolder(const std::string& headline) {
  const QString folder =
      QFileDialog::getExistingDirectory(parent_, QString::fromStdString(headline), QString(),
                                        QFileDialog::ShowDirsOnly);
  if (folder.isEmpty()) return std::nullopt;
  return folder.toStdString();
}

}  // namespace kelvane
