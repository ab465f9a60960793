// TAboutDialog, "About": the program's name and version and two links, to the
// program's web page (its user guide) and to the support address, opened by
// the desktop's browser and mail program. The menu's "Visit Our Website" and
// "Email Support Department" do the same.
//
// Threads: main thread only.
#pragma once

#include <QDialog>
#include <QUrl>

namespace kelvane {

class TAboutDialog : public QDialog {
 public:
  explicit TAboutDialog(QWidget* parent);
  void ShowOver(QWidget* owner);

  // The program's own web page: the user guide shipped beside it.
  static QUrl Website();
  // A new message to the support address.
  static QUrl SupportMail();
  static void WebsiteClick();      // the web page
  static void SupportMailClick();  // the mail
};

}  // namespace kelvane
