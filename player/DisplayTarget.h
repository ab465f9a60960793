// Where the player's pictures go. The window hands a display target to
// TCustomPlayer::Open instead of a window handle: the Qt window implements it
// on its preview panel, tests and benchmarks use TRecordingDisplay, and with no
// target the player opens an SDL window of its own.
//
// The player does all the picture work on its own threads: every picture
// arrives already upright (turned as the stream's display matrix asks), scaled
// to the rectangle it is painted in (the display area, keeping the aspect
// ratio, centred) and converted to 24-bit BGR, so a target only paints an image. An image handed over is never written again; a target
// may keep the shared pointer (to paint it later on its own thread) as long
// as it likes.
//
// Threads: ClientSize runs on the main thread (inside Open, in the file-opened
// step). Everything else runs on the player's event-loop thread; those calls
// should return quickly and must not wait for the main thread (post to it
// instead: the main thread may be waiting for the player to stop).
#pragma once

#include <cstdint>
#include <memory>

#include "binding/Bitmap.h"

namespace kelvane {

// A rectangle in the display area, in pixels.
struct TDisplayRect {
  int32_t Left = 0;
  int32_t Top = 0;
  int32_t Width = 0;
  int32_t Height = 0;
};

// One picture to paint.
struct TDisplayFrame {
  // BGR24, exactly Rect.Width x Rect.Height; shared and never written again.
  std::shared_ptr<const TBitmap> Image;
  // Where Image goes inside the display area; the rest of the area is black.
  TDisplayRect Rect;
  int32_t AreaWidth = 0;  // the display area's size
  int32_t AreaHeight = 0;
  // Presentation time in microseconds from the start of the file (what
  // OnPosition reports for it); -1 for the waveform.
  int64_t PTS = -1;
};

class TDisplayTarget {
 public:
  virtual ~TDisplayTarget() = default;

  // Main thread: the size the target can show, in pixels (the panel's client
  // size). The player uses it when OnFileOpen leaves the screen size at 0.
  // 0 x 0 when not known (the picture's own size is used then).
  virtual void ClientSize(int32_t& width, int32_t& height) = 0;

  // The player draws into an area of this size from now on (on open, when the
  // picture size changes, after DisplayResized and when the aspect changes).
  virtual void SetDisplayArea(int32_t width, int32_t height) = 0;

  // Paint `frame.Image` at `frame.Rect`, black around it.
  virtual void ShowPicture(const TDisplayFrame& frame) = 0;

  // Paint the sound's waveform (files without video): an area-sized image,
  // white traces on black, one band per channel.
  virtual void ShowWaveform(const TDisplayFrame& frame) = 0;

  // Paint again what was shown last (nothing new to show, the area was
  // re-established).
  virtual void Redraw() = 0;
};

}  // namespace kelvane
