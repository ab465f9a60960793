// TimeLine: the band under the preview that shows the open file (or a zoomed
// part of it) along its width: times along the top, ticks at the key frames,
// a strip of small pictures, the sound's loudness, the segment list (a band
// each, the selected one brighter, numbered as in the list), the marked part
// and the position. Clicking a segment's band along the bottom selects that
// segment (OnSegmentClick); clicking or dragging anywhere else moves the picture
// with the hand (TPreviewControl::TimeLineDrag, exact on release); Ctrl+wheel zooms around
// the position, the wheel scrolls. The pictures, ticks and sound come from the
// preview control's background scan and appear as they are found.
//
// Ownership: refers to the preview control, which outlives it (the window
// owns both). Threads: main thread only.
#pragma once

#include <QImage>
#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "app/PreviewControl.h"

namespace kelvane {

class TTimeLine : public QWidget {
 public:
  TTimeLine(TPreviewControl& preview, QWidget* parent);

  void SetPosition(int64_t position);
  // The marks in µs; -1 for none.
  void SetMarks(int64_t start, int64_t end);
  // The segment list's parts (start, end in µs) in list order, and the
  // selected one (-1: none).
  void SetSegments(std::vector<std::pair<int64_t, int64_t>> segments, int selected);
  // The scan found more: the pictures are taken over and the line redrawn.
  void FactsChanged();

  // Zooms in (factor > 1) or out around the position; 0 shows the whole file.
  void ZoomAroundPosition(double factor);
  // Scrolls by `steps` tenths of the part shown (negative: to the left).
  void ScrollSteps(double steps);

  // Where the key frames' ticks are drawn (x in pixels), for the view shown.
  std::vector<int> KeyFrameTickXs() const;
  // x of `time` on the line, and the time at `x`.
  int XOf(int64_t time) const;
  int64_t TimeAt(int x) const;
  // Pictures on the strip, the sound's peaks: what is there to draw.
  int PictureCount() const { return static_cast<int>(pictures_.size()); }
  // The segment whose band lies under (x, y); -1 for none.
  int SegmentAt(int x, int y) const;

  // A segment's band was clicked: its index in the list.
  std::function<void(int index)> OnSegmentClick;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;

 private:
  struct TPicture {
    int64_t time;
    std::shared_ptr<const TBitmap> bitmap;  // keeps the pixels the image shows
    QImage image;
  };
  void PaintStrip(QPainter& painter, const QRect& band);
  void PaintWaveform(QPainter& painter, const QRect& band);
  void PaintRuler(QPainter& painter, const QRect& band);
  void PaintSegments(QPainter& painter);

  TPreviewControl& preview_;
  int64_t position_ = 0;
  int64_t mark_start_ = -1;
  int64_t mark_end_ = -1;
  std::vector<std::pair<int64_t, int64_t>> segments_;
  int selected_segment_ = -1;
  std::vector<TPicture> pictures_;
  QTimer tick_;  // while dragging: the newest place to the player
};

}  // namespace kelvane
