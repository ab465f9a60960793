#include "gui/TimePanel.h"

#include <QContextMenuEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>

namespace kelvane {

TTimePanel::TTimePanel(const QString& name, const QString& caption, QWidget* parent)
    : QFrame(parent) {
  setObjectName(name);
  setFrameShape(QFrame::StyledPanel);
  setFrameShadow(QFrame::Sunken);
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(6, 0, 6, 0);
  auto* label = new QLabel(caption, this);
  value_ = new QLabel(QStringLiteral("0.00"), this);
  value_->setObjectName(name + QStringLiteral("Value"));
  value_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  QFont bold = value_->font();
  bold.setBold(true);
  value_->setFont(bold);
  layout->addWidget(label);
  layout->addWidget(value_, 1);
}

QString TTimePanel::Text() const { return value_->text(); }

void TTimePanel::SetText(const QString& text) {
  if (value_->text() != text) value_->setText(text);
}

void TTimePanel::contextMenuEvent(QContextMenuEvent* event) {
  if (menu_ != nullptr) menu_->popup(event->globalPos());
}

}  // namespace kelvane
