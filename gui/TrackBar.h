// The position bar: the preview position under the video, in microseconds of the
// file. A slider's range is 32-bit, which holds only 35 minutes of
// microseconds, so the bar counts in a coarser unit for longer files (one
// step = Unit() µs). A click on the groove jumps there. The marked segment
// between the start and end marks is drawn on the groove.
//
// Threads: main thread only.
#pragma once

#include <QSlider>
#include <cstdint>

namespace kelvane {

class TTrackBar : public QSlider {
  Q_OBJECT

 public:
  explicit TTrackBar(QWidget* parent);

  // The file's duration and the position shown, in µs.
  void SetMaximumUs(int64_t duration);
  void SetPositionUs(int64_t position);
  int64_t PositionUs() const { return static_cast<int64_t>(value()) * unit_; }
  int64_t Unit() const { return unit_; }
  // The marks in µs; -1 for none.
  void SetMarks(int64_t start, int64_t end);

 signals:
  void MouseDown();
  // The user let go of the bar at `position` µs.
  void MouseUp(qint64 position);

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  int PixelOf(int64_t position) const;

  int64_t maximum_ = 0;
  int64_t unit_ = 1;
  int64_t mark_start_ = -1;
  int64_t mark_end_ = -1;
};

}  // namespace kelvane
