#include "gui/AboutDialog.h"

#include <QApplication>
#include <QDesktopServices>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

#include "app/WindowLinks.h"

namespace kelvane {
namespace {

QLabel* LinkLabel(const QString& name, const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(name);
  label->setStyleSheet(QStringLiteral("color: blue; text-decoration: underline;"));
  label->setCursor(Qt::PointingHandCursor);
  return label;
}

// A label that reports a click.
class TClickFilter : public QObject {
 public:
  TClickFilter(QObject* parent, void (*action)()) : QObject(parent), action_(action) {}
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::MouseButtonRelease) action_();
    return false;
  }

 private:
  void (*action_)();
};

}  // namespace

TAboutDialog::TAboutDialog(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowStaysOnTopHint | Qt::MSWindowsFixedSizeDialogHint) {
  setObjectName(QStringLiteral("FormAbout"));
  setWindowTitle(QStringLiteral("About"));
  setFixedSize(359, 267);
  auto* layout = new QVBoxLayout(this);
  auto* icon = new QLabel(this);
  icon->setPixmap(QApplication::windowIcon().pixmap(48, 48));
  layout->addWidget(icon, 0, Qt::AlignHCenter);
  auto* name = new QLabel(QStringLiteral("Kelvane 2.0"), this);
  QFont bold = name->font();
  bold.setBold(true);
  bold.setPointSize(bold.pointSize() + 4);
  name->setFont(bold);
  layout->addWidget(name, 0, Qt::AlignHCenter);
  layout->addStretch(1);
  QLabel* web = LinkLabel(QStringLiteral("Label2"), QStringLiteral("Visit Orvath Website"), this);
  QLabel* mail =
      LinkLabel(QStringLiteral("Label3"), QStringLiteral("Email Support Department"), this);
  web->installEventFilter(new TClickFilter(web, &TAboutDialog::WebsiteClick));
  mail->installEventFilter(new TClickFilter(mail, &TAboutDialog::SupportMailClick));
  layout->addWidget(web, 0, Qt::AlignHCenter);
  layout->addWidget(mail, 0, Qt::AlignHCenter);
  layout->addStretch(1);
  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  ok->setObjectName(QStringLiteral("SpeedButton1"));
  connect(ok, &QPushButton::clicked, this, &QDialog::close);
  layout->addWidget(ok, 0, Qt::AlignHCenter);
}

void TAboutDialog::ShowOver(QWidget* owner) {
  move(owner->geometry().center() - rect().center());
  show();
  raise();
}

QUrl TAboutDialog::Website() {
  const std::string guide = ProgramDataFile(ProgramFolder(), "help.html");
  return QUrl::fromLocalFile(QString::fromStdString(guide));
}

QUrl TAboutDialog::SupportMail() {
  return QUrl(QStringLiteral(
      "mailto:maintainers@users.noreply.c-seed-fed588b7.example?subject=Kelvane"));
}

void TAboutDialog::WebsiteClick() { QDesktopServices::openUrl(Website()); }

void TAboutDialog::SupportMailClick() { QDesktopServices::openUrl(SupportMail()); }

}  // namespace kelvane
