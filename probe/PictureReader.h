// TPictureReader: one file opened for the pictures shown at chosen times, as
// the player shows them when sought there. The window's list of segments
// reads each loaded row's first and last picture with one (TSegmentPictures).
//
// Ownership: owns the file and its video decoder, closed by the destructor.
// Threads: one thread at a time (the owner's, a worker in practice); PictureAt
// stops early when another thread sets the flag it is given. The libraries
// must be loaded.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "binding/Bitmap.h"

namespace kelvane {

class TPictureReader {
 public:
  TPictureReader();
  ~TPictureReader();
  TPictureReader(const TPictureReader&) = delete;
  TPictureReader& operator=(const TPictureReader&) = delete;

  // Opens `file` (UTF-8) and a decoder for its best video stream; the other
  // streams are not read. False when the file cannot be opened or has no video
  // that can be decoded.
  bool Open(const std::string& file);

  // The picture shown at `time` (µs from the file's start: the last one
  // beginning at or before it) as a bitmap; null when there is none, the file
  // is not open, or `cancel` was set.
  std::shared_ptr<const TBitmap> PictureAt(int64_t time, const std::atomic<bool>& cancel);

 private:
  struct TOpened;
  std::unique_ptr<TOpened> opened_;
};

}  // namespace kelvane
