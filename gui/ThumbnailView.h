// The thumbnail of the picture at a mark (start or end), 116 x 89. Shows the
// stored black picture, or the picture at the mark fitted into the area
// without changing its shape (equal bars of the panel's colour), or nothing.
//
// Threads: main thread only.
#pragma once

#include <QImage>
#include <QWidget>

#include "app/PreviewControl.h"

namespace kelvane {

class TThumbnailView : public QWidget {
 public:
  TThumbnailView(const QString& name, QWidget* parent);
  // Shows what `thumbnail` says (the picture is copied).
  void Show(const TThumbnail& thumbnail);
  // What the widget paints now.
  QImage Shown();

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void Paint(QPainter& painter);

  bool black_ = true;
  int version_ = -1;
  QImage frame_;
};

}  // namespace kelvane
