// The preview window of a conversion: shows each preview bitmap the engine
// hands it, captioned with the picture's time, until the user closes it.
//
// TPreviewer holds what every preview window shares: the closed flag and the
// hand-over to the main thread. A window toolkit implements ShowStep (the Qt
// window does: a small always-on-top tool window); THeadlessPreviewer keeps the
// last preview for programs without a window and for tests.
//
// Threads: ShowPreview on the engine's worker thread, which waits while the
// main thread shows the picture; ShowStep runs on the main thread only; Close
// and Closed from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "binding/Bitmap.h"

namespace kelvane {

class TPreviewer {
 public:
  virtual ~TPreviewer() = default;

  // Shows `bitmap` with its frame number and time (microseconds). False once the
  // window has been closed: the engine then stops sending previews.
  bool ShowPreview(const TBitmap& bitmap, int64_t frame_number, int64_t time);

  bool Closed() const { return closed_.load(); }
  // What closing the window does; a closed previewer stays closed.
  void Close() { closed_ = true; }

 protected:
  // Main thread: show the bitmap (create the window on first use), caption
  // FormatPreviewTime(time). Not called once closed.
  virtual void ShowStep(const TBitmap& bitmap, int64_t frame_number, int64_t time) = 0;

 private:
  std::atomic<bool> closed_{false};
};

// Keeps the latest preview in memory instead of showing it.
class THeadlessPreviewer : public TPreviewer {
 public:
  int ShownCount() const;
  std::string Caption() const;  // FormatPreviewTime of the latest preview's time
  int64_t FrameNumber() const;
  // A copy of the latest preview's bitmap.
  void CopyBitmap(TBitmap& target) const;

 protected:
  void ShowStep(const TBitmap& bitmap, int64_t frame_number, int64_t time) override;

 private:
  mutable std::mutex mutex_;
  // Guarded by mutex_.
  int shown_ = 0;
  std::string caption_;
  int64_t frame_number_ = 0;
  TBitmap bitmap_;
};

}  // namespace kelvane
