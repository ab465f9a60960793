#include "gui/ThumbnailView.h"

#include <QPainter>

#include "app/FittedRect.h"

namespace kelvane {
namespace {

// The stored black picture of a cleared mark.
const QImage& BlackPicture() {
  static const QImage picture(QStringLiteral(":/black.bmp"));
  return picture;
}

}  // namespace

TThumbnailView::TThumbnailView(const QString& name, QWidget* parent) : QWidget(parent) {
  setObjectName(name);
  setFixedSize(116, 89);
}

void TThumbnailView::Show(const TThumbnail& thumbnail) {
  if (thumbnail.Version == version_) return;
  version_ = thumbnail.Version;
  black_ = thumbnail.Black;
  frame_ = QImage();
  if (!black_) {
    std::lock_guard<std::mutex> lock(thumbnail.Frame.Lock);
    if (thumbnail.Frame.Width > 0 && thumbnail.Frame.Height > 0) {
      frame_ = QImage(thumbnail.Frame.Pixels.data(), thumbnail.Frame.Width, thumbnail.Frame.Height,
                      thumbnail.Frame.Stride, QImage::Format_BGR888)
                   .copy();
    }
  }
  update();
}

void TThumbnailView::Paint(QPainter& painter) {
  painter.fillRect(rect(), palette().window());
  if (black_) {
    painter.drawImage(rect(), BlackPicture());
    return;
  }
  const TRect area{0, 0, width(), height()};
  if (auto fitted = DrawFittedRect(frame_.width(), frame_.height(), area)) {
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(QRect(fitted->Left, fitted->Top, fitted->Width(), fitted->Height()), frame_);
  }
}

void TThumbnailView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  Paint(painter);
}

QImage TThumbnailView::Shown() {
  QImage image(size(), QImage::Format_RGB32);
  QPainter painter(&image);
  Paint(painter);
  return image;
}

}  // namespace kelvane
