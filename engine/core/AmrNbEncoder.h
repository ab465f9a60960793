// The AMR-NB encoder over libopencore-amrnb (Encoder_Interface_*).
//
// Each frame of 160 signed 16-bit mono samples at 8000 Hz becomes one packet in
// the storage format the 3GP, 3G2 and AMR muxers take: the table-of-contents
// byte (mode << 3 | quality bit) followed by the speech bits. The codec looks
// 5 ms (40 samples) ahead, so its decoded sound comes that much late: like the
// library's encoders it declares the delay (initial_padding) and starts its
// packet times that much below the frames' times. A short last frame is padded
// with silence.
//
// Ownership: owns the library's encoder state, not the context. Threads: one at
// a time.
#pragma once

#include <deque>

#include "binding/AVPtr.h"
#include "engine/core/AudioEncoder.h"

namespace kelvane {

class TAmrNbEncoder : public TAudioEncoder {
 public:
  static constexpr int kFrameSamples = 160;
  static constexpr int kSampleRate = 8000;
  static constexpr int kDelaySamples = 40;

  // `context` must have passed PrepareAmrNbContext and the library be loaded.
  explicit TAmrNbEncoder(AVCodecContext* context);
  ~TAmrNbEncoder() override;

  bool Valid() const { return state_ != nullptr; }
  int SendFrame(const AVFrame* frame) override;
  int ReceivePacket(AVPacket* packet) override;
  bool AcceptsShortLastFrame() const override { return true; }
  const char* Name() const override { return "libopencore_amrnb"; }

  // The mode whose bit rate is nearest to `bit_rate` (ties to the lower mode),
  // and that mode's bit rate.
  static int ModeForBitRate(int64_t bit_rate);
  static int BitRateOfMode(int mode);

 private:
  void* state_ = nullptr;
  int mode_ = 0;
  bool draining_ = false;
  bool short_frame_seen_ = false;
  int64_t next_pts_ = 0;
  std::deque<AVPacketPtr> ready_;
};

}  // namespace kelvane
