// PanelPlay: the black panel the preview player draws into and the running
// split's preview frames are painted into.
//
// As the player's display target it receives each picture, already scaled and
// converted, on the player's thread, keeps it and asks the main thread to
// repaint. A split's preview frame arrives on the main thread and is painted
// with its own shape, fitted into the panel between black bars, pixels
// dropped or repeated (no smoothing).
//
// Threads: the display-target calls on the player's thread (they never wait
// for the main thread); everything else on the main thread.
#pragma once

#include <QImage>
#include <QWidget>
#include <functional>
#include <memory>
#include <mutex>

#include "app/WindowLinks.h"

namespace kelvane {

class TPlayPanel : public QWidget, public TDisplayTarget {
 public:
  explicit TPlayPanel(QWidget* parent);

  // A split's preview frame (copied).
  void ShowConversionFrame(const TBitmap& bitmap);
  // Back to black (the player stopped).
  void Clear();
  // The picture painted now, as the panel shows it (for tests and screenshots).
  QImage Shown();

  void ClientSize(int32_t& width, int32_t& height) override;
  void SetDisplayArea(int32_t width, int32_t height) override;
  void ShowPicture(const TDisplayFrame& frame) override;
  void ShowWaveform(const TDisplayFrame& frame) override;
  void Redraw() override;

  // Main thread: the panel got a new size; it was double-clicked.
  std::function<void(int, int)> OnResized;
  std::function<void()> OnDoubleClick;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;

 private:
  void RepaintSoon();
  void Paint(QPainter& painter);

  std::mutex mutex_;
  // Guarded by mutex_.
  TDisplayFrame frame_;   // the player's last picture (Image null: none)
  QImage conversion_;     // a split's last preview frame, painted instead when set
};

}  // namespace kelvane
