// A display target that keeps what the player shows instead of painting it:
// for tests, benchmarks and programs without a window.
//
// Threads: the player calls it on its event-loop thread; the readers below may
// be called from any thread (everything is guarded by one mutex).
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "player/DisplayTarget.h"

namespace kelvane {

class TRecordingDisplay : public TDisplayTarget {
 public:
  // The client size the target reports to the player (0 x 0: unknown).
  explicit TRecordingDisplay(int32_t client_width = 0, int32_t client_height = 0);

  void ClientSize(int32_t& width, int32_t& height) override;
  void SetDisplayArea(int32_t width, int32_t height) override;
  void ShowPicture(const TDisplayFrame& frame) override;
  void ShowWaveform(const TDisplayFrame& frame) override;
  void Redraw() override;

  int PictureCount() const;
  int WaveformCount() const;
  int RedrawCount() const;
  // The presentation time of every picture shown, in order.
  std::vector<int64_t> PictureTimes() const;
  // The latest picture and waveform (Image is null before the first).
  TDisplayFrame LastPicture() const;
  TDisplayFrame LastWaveform() const;
  // The last area size the player set (0 x 0 before).
  void AreaSize(int32_t& width, int32_t& height) const;

  // Called on the event-loop thread for every picture, after it is recorded.
  std::function<void(const TDisplayFrame&)> OnPicture;

 private:
  const int32_t client_width_;
  const int32_t client_height_;
  mutable std::mutex mutex_;
  // Guarded by mutex_.
  int waveforms_ = 0;
  int redraws_ = 0;
  int32_t area_width_ = 0;
  int32_t area_height_ = 0;
  std::vector<int64_t> times_;
  TDisplayFrame last_picture_;
  TDisplayFrame last_waveform_;
};

}  // namespace kelvane
