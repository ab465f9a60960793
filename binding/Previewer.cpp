#include "binding/Previewer.h"

#include "binding/FrameConverter.h"
#include "binding/MainThread.h"

namespace kelvane {

bool TPreviewer::ShowPreview(const TBitmap& bitmap, int64_t frame_number, int64_t time) {
  if (Closed()) return false;
  CallInMainThread([&] {
    if (!Closed()) ShowStep(bitmap, frame_number, time);
  });
  return !Closed();
}

void THeadlessPreviewer::ShowStep(const TBitmap& bitmap, int64_t frame_number, int64_t time) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++shown_;
  caption_ = FormatPreviewTime(time);
  frame_number_ = frame_number;
  bitmap_.CopyFrom(bitmap);
}

int THeadlessPreviewer::ShownCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return shown_;
}

std::string THeadlessPreviewer::Caption() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return caption_;
}

int64_t THeadlessPreviewer::FrameNumber() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return frame_number_;
}

void THeadlessPreviewer::CopyBitmap(TBitmap& target) const {
  std::lock_guard<std::mutex> lock(mutex_);
  target.CopyFrom(bitmap_);
}

}  // namespace kelvane
