// A time panel of the main window (the start mark, the end mark, the preview
// position): a caption and the time, seconds with two decimals. A right-click
// menu can be attached (the marks' "Edit ... Time").
//
// Threads: main thread only.
#pragma once

#include <QFrame>

class QLabel;
class QMenu;

namespace kelvane {

class TTimePanel : public QFrame {
 public:
  TTimePanel(const QString& name, const QString& caption, QWidget* parent);
  QString Text() const;
  void SetText(const QString& text);
  // Shown on a right click.
  void SetPopupMenu(QMenu* menu) { menu_ = menu; }

 protected:
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  QLabel* value_;
  QMenu* menu_ = nullptr;
};

}  // namespace kelvane
