#include "engine/core/AmrNbEncoder.h"

#include <cstring>

namespace kelvane {

namespace {

const int kModeBitRates[] = {4750, 5150, 5900, 6700, 7400, 7950, 10200, 12200};
constexpr int kModeCount = sizeof kModeBitRates / sizeof kModeBitRates[0];
// The largest storage-format frame (12.2 kbit/s) is 32 bytes.
constexpr int kMaxFrameBytes = 64;

}  // namespace

int TAmrNbEncoder::ModeForBitRate(int64_t bit_rate) {
  int best = 0;
  for (int mode = 1; mode < kModeCount; ++mode) {
    int64_t gap = bit_rate - kModeBitRates[mode];
    int64_t best_gap = bit_rate - kModeBitRates[best];
    if ((gap < 0 ? -gap : gap) < (best_gap < 0 ? -best_gap : best_gap)) best = mode;
  }
  return best;
}

int TAmrNbEncoder::BitRateOfMode(int mode) { return kModeBitRates[mode]; }

TAmrNbEncoder::TAmrNbEncoder(AVCodecContext* context) {
  mode_ = ModeForBitRate(context->bit_rate);
  state_ = amrnb.Encoder_Interface_init(0);
}

TAmrNbEncoder::~TAmrNbEncoder() {
  if (state_ != nullptr) amrnb.Encoder_Interface_exit(state_);
}

int TAmrNbEncoder::SendFrame(const AVFrame* frame) {
  if (draining_) return AVERROR_EOF;
  if (frame == nullptr) {
    draining_ = true;
    return 0;
  }
  if (frame->nb_samples <= 0 || frame->nb_samples > kFrameSamples || short_frame_seen_ ||
      frame->format != AV_SAMPLE_FMT_S16 || frame->ch_layout.nb_channels > 1) {
    return AVERROR(EINVAL);
  }
  if (frame->nb_samples < kFrameSamples) short_frame_seen_ = true;

  short speech[kFrameSamples] = {0};
  std::memcpy(speech, frame->data[0], size_t(frame->nb_samples) * sizeof(short));
  unsigned char out[kMaxFrameBytes];
  int size = amrnb.Encoder_Interface_Encode(state_, static_cast<Mode>(mode_), speech, out, 0);
  if (size <= 0) return AVERROR_EXTERNAL;

  AVPacketPtr packet(avcodec.av_packet_alloc());
  if (!packet || avcodec.av_new_packet(packet.get(), size) < 0) return AVERROR(ENOMEM);
  std::memcpy(packet->data, out, size_t(size));
  int64_t pts = frame->pts != AV_NOPTS_VALUE ? frame->pts : next_pts_;
  packet->pts = packet->dts = pts - kDelaySamples;
  packet->duration = kFrameSamples;
  packet->flags |= AV_PKT_FLAG_KEY;
  next_pts_ = pts + kFrameSamples;
  ready_.push_back(std::move(packet));
  return 0;
}

int TAmrNbEncoder::ReceivePacket(AVPacket* packet) {
  if (ready_.empty()) return draining_ ? AVERROR_EOF : AVERROR(EAGAIN);
  avcodec.av_packet_unref(packet);
  avcodec.av_packet_move_ref(packet, ready_.front().get());
  ready_.pop_front();
  return 0;
}

}  // namespace kelvane
