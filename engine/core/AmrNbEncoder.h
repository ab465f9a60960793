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
// It keeps to avcodec's send/receive rules; the audio path reaches it through
// TAudioEncoder (AudioEncoder.h), whose factory makes it for AMR-NB contexts.
//
// Ownership: owns the library's encoder state, not the context. Threads: one at
// a time.
#pragma once

#include <deque>

#include <cstdint>

#include "binding/AVPtr.h"

namespace kelvane {

class TAmrNbEncoder {
 public:
  static constexpr int kFrameSamples = 160;
  static constexpr int kSampleRate = 8000;
  static constexpr int kDelaySamples = 40;

  // `context` must have passed PrepareAmrNbContext and the library be loaded.
  explicit TAmrNbEncoder(AVCodecContext* context);
  ~TAmrNbEncoder();
  TAmrNbEncoder(const TAmrNbEncoder&) = delete;
  TAmrNbEncoder& operator=(const TAmrNbEncoder&) = delete;

  bool Valid() const { return state_ != nullptr; }
  // As avcodec_send_frame / avcodec_receive_packet; a short last frame is taken.
  int SendFrame(const AVFrame* frame);
  int ReceivePacket(AVPacket* packet);

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
