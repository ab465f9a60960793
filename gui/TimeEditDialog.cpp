#include "gui/TimeEditDialog.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/MainWindowModel.h"

namespace kelvane {

TTimeEditDialog::TTimeEditDialog(TMainWindowModel& model, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint),
      model_(model) {
  setObjectName(QStringLiteral("Form3"));
  setWindowTitle(QStringLiteral("Edit Time"));
  setFixedSize(267, 201);
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(0, 0, 0, 0);
  auto* panel = new QFrame(this);
  panel->setFrameShape(QFrame::Panel);
  panel->setFrameShadow(QFrame::Sunken);
  outer->addWidget(panel);
  auto* layout = new QVBoxLayout(panel);
  // Room for a refusal of four lines in the fixed size.
  layout->setContentsMargins(8, 6, 8, 8);
  layout->setSpacing(4);
  layout->addWidget(new QLabel(QStringLiteral("Modify the values in the box below : "), panel));
  edit_ = new QLineEdit(panel);
  edit_->setObjectName(QStringLiteral("Edit1"));
  edit_->installEventFilter(this);
  layout->addWidget(edit_);
  // The typed time as people read it, with its picture's number.
  readable_ = new QLabel(panel);
  readable_->setObjectName(QStringLiteral("Label3"));
  layout->addWidget(readable_);
  connect(edit_, &QLineEdit::textChanged, this, [this](const QString& text) {
    readable_->setText(Readable ? QString::fromStdString(Readable(text.toStdString())) : QString());
  });
  hint_ = new QLabel(QString::fromStdString(TMainWindowModel::TimeEditHint()), panel);
  hint_->setObjectName(QStringLiteral("Label2"));
  hint_->setWordWrap(true);
  hint_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  hint_->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding);
  layout->addWidget(hint_, 1);
  auto* buttons = new QHBoxLayout;
  auto* cancel = new QPushButton(QStringLiteral("Cancel"), panel);
  cancel->setObjectName(QStringLiteral("SpeedCancel"));
  auto* done = new QPushButton(QStringLiteral("Done"), panel);
  done->setObjectName(QStringLiteral("SpeedDone"));
  done->setDefault(true);
  buttons->addWidget(cancel);
  buttons->addWidget(done);
  layout->addLayout(buttons);
  connect(cancel, &QPushButton::clicked, this, [this] { SpeedCancelClick(); });
  connect(done, &QPushButton::clicked, this, [this] { SpeedDoneClick(); });
}

void TTimeEditDialog::ShowOver(QWidget* owner) {
  edit_->clear();
  edit_->setText(QString::fromStdString(model_.TimeEditText()));
  hint_->setText(QString::fromStdString(TMainWindowModel::TimeEditHint()));
  move(owner->geometry().center() - rect().center());
  show();
  raise();
  activateWindow();
  edit_->setFocus();
}

void TTimeEditDialog::SpeedDoneClick() {
  std::string refusal;
  // A refused time stays in the field, with the reason below it.
  if (!model_.TimeEditDone(edit_->text().toStdString(), refusal)) {
    hint_->setText(QString::fromStdString(refusal));
    edit_->setFocus();
    return;
  }
  close();
}

bool TTimeEditDialog::eventFilter(QObject* watched, QEvent* event) {
  if (watched != edit_ || event->type() != QEvent::KeyPress)
    return QDialog::eventFilter(watched, event);
  const QString text = static_cast<QKeyEvent*>(event)->text();
  // Only typed characters count; moving the cursor is not typing.
  if (text.size() != 1) return false;
  const QChar key = text.at(0);
  if (key != QChar('\b') && (key.unicode() < 0x20 || key.unicode() == 0x7f)) return false;
  std::string hint;
  const bool allowed = TMainWindowModel::TimeEditKeyAllowed(
      edit_->text().toStdString(), key.unicode() < 0x80 ? static_cast<char>(key.unicode()) : '?',
      hint);
  hint_->setText(QString::fromStdString(hint));
  return !allowed;
}

}  // namespace kelvane
