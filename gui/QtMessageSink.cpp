#include "gui/QtMessageSink.h"

#include <QFileDialog>
#include <QMessageBox>

namespace kelvane {

QString TQtMessageSink::BoxText(const std::string& text) {
  QString box = QString::fromStdString(text);
  box.replace(QStringLiteral("\n\r"), QStringLiteral("\n"));
  box.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  return box;
}

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
