#include "gui/PreferencesDialog.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/MainWindowModel.h"

namespace kelvane {

TPreferencesDialog::TPreferencesDialog(TMainWindowModel& model, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowStaysOnTopHint | Qt::MSWindowsFixedSizeDialogHint),
      model_(model) {
  setObjectName(QStringLiteral("Form2"));
  setWindowTitle(QStringLiteral("Preferences"));
  setFixedSize(315, 296);
  auto* layout = new QVBoxLayout(this);

  auto* overwrite_group = new QGroupBox(QStringLiteral(" Overwrite File  "), this);
  auto* overwrite_layout = new QVBoxLayout(overwrite_group);
  overwrite_ = new QCheckBox(QStringLiteral("Overwrite Existing File with same name"), this);
  overwrite_->setObjectName(QStringLiteral("CheckBoxOverwriteFile"));
  overwrite_layout->addWidget(overwrite_);

  auto* open_group = new QGroupBox(QStringLiteral(" On Add Video File  "), this);
  auto* open_layout = new QVBoxLayout(open_group);
  play_immediately_ =
      new QCheckBox(QStringLiteral("Play video file immediately after opening"), this);
  play_immediately_->setObjectName(QStringLiteral("CheckBoxPlayImmediately"));
  open_layout->addWidget(play_immediately_);

  auto* done = new QPushButton(QStringLiteral("Done"), this);
  done->setObjectName(QStringLiteral("SpeedButton1"));
  layout->addWidget(overwrite_group);
  layout->addWidget(open_group);
  layout->addStretch(1);
  layout->addWidget(done, 0, Qt::AlignHCenter);

  connect(overwrite_, &QCheckBox::toggled, this, [this](bool on) { model_.Overwrite = on; });
  connect(play_immediately_, &QCheckBox::toggled, this,
          [this](bool on) { model_.PlayImmediately = on; });
  connect(done, &QPushButton::clicked, this, &QDialog::close);
  Refresh();
}

void TPreferencesDialog::Refresh() {
  overwrite_->setChecked(model_.Overwrite);
  play_immediately_->setChecked(model_.PlayImmediately);
}

void TPreferencesDialog::ShowOver(QWidget* owner) {
  Refresh();
  move(owner->geometry().center() - rect().center());
  show();
  raise();
  activateWindow();
}

}  // namespace kelvane
