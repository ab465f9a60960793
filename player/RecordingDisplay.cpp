#include "player/RecordingDisplay.h"

namespace kelvane {

TRecordingDisplay::TRecordingDisplay(int32_t client_width, int32_t client_height)
    : client_width_(client_width), client_height_(client_height) {}

void TRecordingDisplay::ClientSize(int32_t& width, int32_t& height) {
  width = client_width_;
  height = client_height_;
}

void TRecordingDisplay::SetDisplayArea(int32_t width, int32_t height) {
  std::lock_guard<std::mutex> lock(mutex_);
  area_width_ = width;
  area_height_ = height;
}

void TRecordingDisplay::ShowPicture(const TDisplayFrame& frame) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    times_.push_back(frame.PTS);
    last_picture_ = frame;
  }
  if (OnPicture) OnPicture(frame);
}

void TRecordingDisplay::ShowWaveform(const TDisplayFrame& frame) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++waveforms_;
  last_waveform_ = frame;
}

void TRecordingDisplay::Redraw() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++redraws_;
}

int TRecordingDisplay::PictureCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(times_.size());
}

int TRecordingDisplay::WaveformCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return waveforms_;
}

int TRecordingDisplay::RedrawCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return redraws_;
}

std::vector<int64_t> TRecordingDisplay::PictureTimes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return times_;
}

TDisplayFrame TRecordingDisplay::LastPicture() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_picture_;
}

TDisplayFrame TRecordingDisplay::LastWaveform() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_waveform_;
}

void TRecordingDisplay::AreaSize(int32_t& width, int32_t& height) const {
  std::lock_guard<std::mutex> lock(mutex_);
  width = area_width_;
  height = area_height_;
}

}  // namespace kelvane
