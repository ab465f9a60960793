#include "gui/PlayPanel.h"

#include <QPainter>

#include "app/FittedRect.h"

namespace kelvane {
namespace {

// A view of a picture's pixels, valid while the picture is.
QImage Wrap(const TBitmap& bitmap) {
  return QImage(bitmap.Pixels.data(), bitmap.Width, bitmap.Height, bitmap.Stride,
                QImage::Format_BGR888);
}

}  // namespace

TPlayPanel::TPlayPanel(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("PanelPlay"));
  setAttribute(Qt::WA_OpaquePaintEvent);
  setAutoFillBackground(false);
}

void TPlayPanel::RepaintSoon() {
  // By name rather than through a lambda: Qt then makes and frees the queued
  // call inside its own library, so no object of ours is handed between the
  // player's thread and the main thread behind Qt's (unwatched) locks.
  QMetaObject::invokeMethod(this, "update", Qt::QueuedConnection);
}

void TPlayPanel::ShowConversionFrame(const TBitmap& bitmap) {
  {
    std::lock_guard<std::mutex> bitmap_lock(bitmap.Lock);
    std::lock_guard<std::mutex> lock(mutex_);
    conversion_ = Wrap(bitmap).copy();
  }
  update();
}

void TPlayPanel::Clear() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    frame_ = TDisplayFrame();
    conversion_ = QImage();
  }
  update();
}

void TPlayPanel::ClientSize(int32_t& width, int32_t& height) {
  width = this->width();
  height = this->height();
}

void TPlayPanel::SetDisplayArea(int32_t, int32_t) {}

void TPlayPanel::ShowPicture(const TDisplayFrame& frame) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    frame_ = frame;
    conversion_ = QImage();  // the preview plays again
  }
  RepaintSoon();
}

void TPlayPanel::ShowWaveform(const TDisplayFrame& frame) { ShowPicture(frame); }

void TPlayPanel::Redraw() { RepaintSoon(); }

void TPlayPanel::Paint(QPainter& painter) {
  painter.fillRect(rect(), Qt::black);
  std::lock_guard<std::mutex> lock(mutex_);
  if (!conversion_.isNull()) {
    // With its own shape, centred between black bars, as the player shows
    // pictures; pixels dropped or repeated, not blended.
    const std::optional<TRect> fitted =
        DrawFittedRect(conversion_.width(), conversion_.height(), TRect{0, 0, width(), height()});
    if (!fitted) return;
    painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
    painter.drawImage(QRect(fitted->Left, fitted->Top, fitted->Width(), fitted->Height()),
                      conversion_);
    return;
  }
  if (!frame_.Image || frame_.AreaWidth <= 0 || frame_.AreaHeight <= 0) return;
  // The player scaled the picture for its display area; the panel may differ.
  const double sx = static_cast<double>(width()) / frame_.AreaWidth;
  const double sy = static_cast<double>(height()) / frame_.AreaHeight;
  const QRectF target(frame_.Rect.Left * sx, frame_.Rect.Top * sy, frame_.Rect.Width * sx,
                      frame_.Rect.Height * sy);
  painter.drawImage(target, Wrap(*frame_.Image));
}

void TPlayPanel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  Paint(painter);
}

void TPlayPanel::resizeEvent(QResizeEvent*) {
  if (OnResized) OnResized(width(), height());
}

void TPlayPanel::mouseDoubleClickEvent(QMouseEvent*) {
  if (OnDoubleClick) OnDoubleClick();
}

QImage TPlayPanel::Shown() {
  QImage image(size(), QImage::Format_RGB32);
  QPainter painter(&image);
  Paint(painter);
  return image;
}

}  // namespace kelvane
