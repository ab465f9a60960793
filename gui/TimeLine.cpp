#include "gui/TimeLine.h"

#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>

#include "app/MarkTime.h"

namespace kelvane {
namespace {

const int kRulerHeight = 14;
const QColor kMarkColour(235, 130, 20);  // as the track bar draws the marked part
const QColor kSegmentColour(60, 140, 255);
const QColor kSelectedSegmentColour(255, 215, 40);
const int kSegmentStripe = 5;  // the band's solid part along the bottom

// A step between labelled times that leaves room for the labels.
int64_t RulerStep(int64_t length, int width) {
  static const int64_t steps[] = {100000,    250000,     500000,     1000000,    2000000,
                                  5000000,   10000000,   15000000,   30000000,   60000000,
                                  120000000, 300000000,  600000000,  900000000,  1800000000,
                                  3600000000, 7200000000};
  const int64_t wanted = width > 0 ? length * 90 / width : length;
  for (int64_t step : steps) {
    if (step >= wanted) return step;
  }
  return steps[std::size(steps) - 1];
}

// "1:05", "1:05.5", "1:02:03".
QString RulerText(int64_t time, int64_t step) {
  const int64_t tenths = time / 100000;
  const int64_t seconds = tenths / 10;
  QString text = seconds >= 3600 ? QString::asprintf("%lld:%02lld:%02lld", (long long)(seconds / 3600),
                                                     (long long)(seconds / 60 % 60),
                                                     (long long)(seconds % 60))
                                 : QString::asprintf("%lld:%02lld", (long long)(seconds / 60),
                                                     (long long)(seconds % 60));
  if (step < 1000000) text += QString::asprintf(".%lld", (long long)(tenths % 10));
  return text;
}

}  // namespace

TTimeLine::TTimeLine(TPreviewControl& preview, QWidget* parent)
    : QWidget(parent), preview_(preview) {
  setObjectName(QStringLiteral("TimeLine"));
  setMouseTracking(false);
  setAttribute(Qt::WA_OpaquePaintEvent);
  setToolTip(QStringLiteral(
      "Click or drag: the picture follows; click a segment's band: it is selected.\n"
      "Ctrl+wheel or +/-: zoom, wheel: scroll.\n"
      "Ticks: key frames; the strip and the sound fill in as the file is read."));
  tick_.setInterval(5);
  connect(&tick_, &QTimer::timeout, this, [this] { preview_.TimeLineTick(); });
}

void TTimeLine::SetPosition(int64_t position) {
  if (position == position_) return;
  position_ = position;
  update();
}

void TTimeLine::SetMarks(int64_t start, int64_t end) {
  if (start == mark_start_ && end == mark_end_) return;
  mark_start_ = start;
  mark_end_ = end;
  update();
}

void TTimeLine::SetSegments(std::vector<std::pair<int64_t, int64_t>> segments, int selected) {
  if (segments == segments_ && selected == selected_segment_) return;
  segments_ = std::move(segments);
  selected_segment_ = selected;
  update();
}

void TTimeLine::FactsChanged() {
  const TTimelineFacts& facts = preview_.TimeLineFacts;
  if (facts.Thumbnails.size() != pictures_.size() ||
      (!pictures_.empty() && pictures_.front().bitmap != facts.Thumbnails.front().Picture)) {
    pictures_.clear();
    for (const TTimelineThumbnail& thumbnail : facts.Thumbnails) {
      const TBitmap& bitmap = *thumbnail.Picture;
      pictures_.push_back({thumbnail.Time, thumbnail.Picture,
                           QImage(bitmap.ScanLine(0), bitmap.Width, bitmap.Height, bitmap.Stride,
                                  QImage::Format_BGR888)});
    }
  }
  update();
}

int TTimeLine::XOf(int64_t time) const {
  return static_cast<int>(std::floor(preview_.TimeLineView.XOf(time, width())));
}

int64_t TTimeLine::TimeAt(int x) const { return preview_.TimeLineView.TimeAt(x, width()); }

std::vector<int> TTimeLine::KeyFrameTickXs() const {
  std::vector<int> xs;
  const TTimeLineView& view = preview_.TimeLineView;
  const std::vector<int64_t>& keys = preview_.TimeLineFacts.KeyFrames;
  auto key = std::lower_bound(keys.begin(), keys.end(), view.Start());
  for (; key != keys.end() && *key <= view.End(); ++key) {
    const int x = XOf(*key);
    if (xs.empty() || x > xs.back()) xs.push_back(x);  // one tick per pixel column
  }
  return xs;
}

void TTimeLine::ZoomAroundPosition(double factor) {
  TTimeLineView& view = preview_.TimeLineView;
  if (factor <= 0) {
    view.SetDuration(view.Duration());
  } else {
    view.Zoom(factor, position_);
  }
  update();
}

void TTimeLine::ScrollSteps(double steps) {
  TTimeLineView& view = preview_.TimeLineView;
  view.Scroll(static_cast<int64_t>(steps * double(view.Length()) / 10.0));
  update();
}

void TTimeLine::PaintRuler(QPainter& painter, const QRect& band) {
  const TTimeLineView& view = preview_.TimeLineView;
  painter.fillRect(band, QColor(45, 45, 48));
  if (view.Length() <= 0) return;
  const int64_t step = RulerStep(view.Length(), band.width());
  QFont small = painter.font();
  small.setPixelSize(9);
  painter.setFont(small);
  painter.setPen(QColor(170, 170, 170));
  for (int64_t time = view.Start() / step * step; time <= view.End(); time += step) {
    if (time < view.Start()) continue;
    const int x = XOf(time);
    painter.drawLine(x, band.top(), x, band.top() + 3);
    painter.drawText(x + 2, band.top() + 10, RulerText(time, step));
  }
  // Key frames: short ticks along the ruler's bottom edge.
  painter.setPen(QColor(90, 200, 255));
  for (int x : KeyFrameTickXs()) painter.drawLine(x, band.bottom() - 3, x, band.bottom());
}

void TTimeLine::PaintStrip(QPainter& painter, const QRect& band) {
  painter.fillRect(band, QColor(25, 25, 28));
  if (pictures_.empty() || band.height() <= 2) return;
  const QImage& first = pictures_.front().image;
  const int height = band.height();
  const int slot = std::max(8, first.height() > 0 ? first.width() * height / first.height() : height);
  // While the scan runs, the strip ends a little after its last picture.
  const bool done = preview_.TimeLineFacts.Done;
  const int64_t scanned =
      pictures_.back().time + preview_.TimeLineFacts.Duration / TTimelineScan::kMaxThumbnails;
  for (int x = band.left(); x < band.right(); x += slot) {
    const int64_t time = TimeAt(x - band.left());
    if (!done && time > scanned) break;
    // The picture at or before the slot's time (the first one before any).
    auto after = std::upper_bound(pictures_.begin(), pictures_.end(), time,
                                  [](int64_t t, const TPicture& p) { return t < p.time; });
    const TPicture& picture = after == pictures_.begin() ? *after : *(after - 1);
    painter.drawImage(QRect(x, band.top(), slot - 1, height), picture.image);
  }
}

void TTimeLine::PaintWaveform(QPainter& painter, const QRect& band) {
  painter.fillRect(band, QColor(20, 30, 24));
  const TTimelineFacts& facts = preview_.TimeLineFacts;
  if (facts.Peaks.empty() || facts.PeakSpan <= 0 || band.height() <= 2) return;
  const int middle = band.center().y();
  const int half = band.height() / 2;
  painter.setPen(QColor(80, 210, 120));
  const int64_t count = static_cast<int64_t>(facts.Peaks.size());
  for (int x = 0; x < band.width(); ++x) {
    const int64_t from = TimeAt(x) / facts.PeakSpan;
    const int64_t to = std::max(from, TimeAt(x + 1) / facts.PeakSpan - 1);
    if (from >= count) break;
    int peak = 0;
    for (int64_t i = from; i <= std::min(to, count - 1); ++i) peak = std::max<int>(peak, facts.Peaks[size_t(i)]);
    const int h = std::max(peak > 0 ? 1 : 0, peak * half / 255);
    if (h > 0) painter.drawLine(band.left() + x, middle - h, band.left() + x, middle + h);
  }
}

void TTimeLine::PaintSegments(QPainter& painter) {
  const int top = std::min(kRulerHeight, height());
  QFont small = painter.font();
  small.setPixelSize(9);
  small.setBold(true);
  painter.setFont(small);
  for (size_t i = 0; i < segments_.size(); ++i) {
    const int x0 = std::max(XOf(segments_[i].first), -1);
    const int x1 = std::min(XOf(segments_[i].second), width());
    if (x1 < 0 || x0 >= width() || x1 < x0) continue;
    const bool selected = static_cast<int>(i) == selected_segment_;
    const QColor colour = selected ? kSelectedSegmentColour : kSegmentColour;
    QColor fill = colour;
    fill.setAlpha(selected ? 70 : 45);
    painter.fillRect(QRect(QPoint(x0, top), QPoint(x1, height() - 1)), fill);
    painter.fillRect(QRect(QPoint(x0, height() - kSegmentStripe), QPoint(x1, height() - 1)),
                     colour);
    // Its number as in the list, where there is room for it.
    if (x1 - x0 >= 12) {
      painter.setPen(colour);
      painter.drawText(std::max(x0, 0) + 3, top + 10, QString::number(i + 1));
    }
  }
}

void TTimeLine::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QRect all = rect();
  const QRect ruler(0, 0, width(), std::min(kRulerHeight, height()));
  const int rest = std::max(0, height() - ruler.height());
  const QRect strip(0, ruler.bottom() + 1, width(), rest * 55 / 100);
  const QRect wave(0, strip.bottom() + 1, width(), rest - strip.height());
  PaintRuler(painter, ruler);
  PaintStrip(painter, strip);
  PaintWaveform(painter, wave);
  if (preview_.TimeLineView.Length() <= 0) {
    painter.setPen(QColor(120, 120, 120));
    painter.drawRect(all.adjusted(0, 0, -1, -1));
    return;
  }
  PaintSegments(painter);
  // The marked part, and the marks.
  const int x0 = mark_start_ >= 0 ? XOf(mark_start_) : -1;
  const int x1 = mark_end_ >= 0 ? XOf(mark_end_) : -1;
  if (mark_start_ >= 0 && mark_end_ > mark_start_) {
    QColor fill = kMarkColour;
    fill.setAlpha(60);
    painter.fillRect(QRect(QPoint(std::max(x0, -1), 0), QPoint(std::min(x1, width()), height())), fill);
  }
  for (int x : {x0, x1}) {
    if (x >= 0 && x < width()) painter.fillRect(QRect(x - 1, 0, 2, height()), kMarkColour);
  }
  // The position.
  const int x = XOf(position_);
  if (x >= 0 && x < width()) painter.fillRect(QRect(x - 1, 0, 2, height()), QColor(230, 40, 40));
  painter.setPen(QColor(120, 120, 120));
  painter.drawRect(all.adjusted(0, 0, -1, -1));
}

int TTimeLine::SegmentAt(int x, int y) const {
  // The solid stripe and a little above it, so that it is easy to hit.
  if (y < height() - kSegmentStripe - 3 || preview_.TimeLineView.Length() <= 0) return -1;
  for (size_t i = 0; i < segments_.size(); ++i) {
    if (x >= XOf(segments_[i].first) && x <= XOf(segments_[i].second)) return static_cast<int>(i);
  }
  return -1;
}

void TTimeLine::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return QWidget::mousePressEvent(event);
  const QPoint at = event->position().toPoint();
  const int segment = SegmentAt(at.x(), at.y());
  if (segment >= 0 && OnSegmentClick) {
    OnSegmentClick(segment);
    return;
  }
  preview_.TimeLineDrag(TimeAt(static_cast<int>(event->position().x())));
  if (preview_.TimeLineDragging()) tick_.start();
}

void TTimeLine::mouseMoveEvent(QMouseEvent* event) {
  if (!(event->buttons() & Qt::LeftButton) || !preview_.TimeLineDragging()) return;
  preview_.TimeLineDrag(TimeAt(static_cast<int>(event->position().x())));
}

void TTimeLine::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || !preview_.TimeLineDragging()) return;
  tick_.stop();
  preview_.TimeLineRelease(TimeAt(static_cast<int>(event->position().x())));
}

void TTimeLine::wheelEvent(QWheelEvent* event) {
  const QPoint delta = event->angleDelta();
  const double steps = (delta.y() != 0 ? delta.y() : delta.x()) / 120.0;
  if (steps == 0) return;
  if (event->modifiers() & Qt::ControlModifier) {
    ZoomAroundPosition(std::pow(1.5, steps));
  } else {
    ScrollSteps(-steps);
  }
  event->accept();
}

}  // namespace kelvane
