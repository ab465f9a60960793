#include "gui/TrackBar.h"

#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionSlider>
#include <algorithm>
#include <climits>

namespace kelvane {

TTrackBar::TTrackBar(QWidget* parent) : QSlider(Qt::Horizontal, parent) {
  setObjectName(QStringLiteral("TrackBar1"));
  setRange(0, 0);
}

void TTrackBar::SetMaximumUs(int64_t duration) {
  const int64_t wanted = std::max<int64_t>(duration, 0);
  if (wanted == maximum_) return;
  maximum_ = wanted;
  unit_ = std::max<int64_t>(1, (maximum_ + INT_MAX - 1) / INT_MAX);
  const QSignalBlocker block(this);
  setRange(0, static_cast<int>(maximum_ / unit_));
  setPageStep(std::max(1, maximum() / 20));
  setSingleStep(std::max(1, maximum() / 200));
  update();
}

void TTrackBar::SetPositionUs(int64_t position) {
  if (isSliderDown()) return;  // the user holds it
  const QSignalBlocker block(this);
  setValue(static_cast<int>(std::clamp<int64_t>(position, 0, maximum_) / unit_));
}

void TTrackBar::SetMarks(int64_t start, int64_t end) {
  if (start == mark_start_ && end == mark_end_) return;
  mark_start_ = start;
  mark_end_ = end;
  update();
}

void TTrackBar::mousePressEvent(QMouseEvent* event) {
  emit MouseDown();
  QStyleOptionSlider option;
  initStyleOption(&option);
  const QRect handle =
      style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, this);
  if (event->button() == Qt::LeftButton && !handle.contains(event->position().toPoint())) {
    // A click beside the handle puts the handle there, then it can be dragged.
    const QRect groove =
        style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderGroove, this);
    const int span = std::max(1, groove.width() - handle.width());
    const int x = static_cast<int>(event->position().x()) - groove.x() - handle.width() / 2;
    setValue(QStyle::sliderValueFromPosition(minimum(), maximum(), x, span));
  }
  QSlider::mousePressEvent(event);
}

void TTrackBar::mouseReleaseEvent(QMouseEvent* event) {
  QSlider::mouseReleaseEvent(event);
  emit MouseUp(PositionUs());
}

int TTrackBar::PixelOf(int64_t position) const {
  QStyleOptionSlider option;
  initStyleOption(&option);
  const QRect groove =
      style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderGroove, this);
  const QRect handle =
      style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, this);
  const int span = std::max(1, groove.width() - handle.width());
  const int value = static_cast<int>(std::clamp<int64_t>(position, 0, maximum_) / unit_);
  return groove.x() + handle.width() / 2 +
         QStyle::sliderPositionFromValue(minimum(), maximum(), value, span);
}

void TTrackBar::paintEvent(QPaintEvent* event) {
  QSlider::paintEvent(event);
  if (maximum_ <= 0 || (mark_start_ < 0 && mark_end_ < 0)) return;
  QPainter painter(this);
  // Orange, so the part stands out from the style's own colours.
  const QColor mark(235, 130, 20);
  const int middle = height() / 2;
  const int x0 = mark_start_ >= 0 ? PixelOf(mark_start_) : -1;
  const int x1 = mark_end_ >= 0 ? PixelOf(mark_end_) : -1;
  if (x0 >= 0 && x1 > x0) painter.fillRect(QRect(x0, middle - 2, x1 - x0, 5), mark);
  for (int x : {x0, x1}) {
    if (x >= 0) painter.fillRect(QRect(x - 1, middle - 8, 3, 16), mark);
  }
}

}  // namespace kelvane
