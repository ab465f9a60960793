// The smart copy of a video stream (SmartCut.h): groups of pictures copied or
// re-encoded, the parameter sets of both kept apart in one stream.
#include "engine/core/SmartCut.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <sstream>

#include "binding/FFmpegLogger.h"
#include "binding/KeyFrameSeek.h"
#include "binding/UnicodeProtocol.h"
#include "engine/core/FFmpegException.h"
#include "engine/core/LibraryOwners.h"
#include "engine/core/Transcoder.h"
#include "engine/core/SmartCutParts.h"

namespace kelvane {

using namespace smart_cut;

namespace smart_cut {

// How many packets of a clean group of pictures that the end mark `end`
// cuts can be copied: the packets (times in decoding order) before the first
// one at or after the end, when no later packet shows a picture before the
// end; 0 when the group's end has to be re-encoded.
size_t CopiedBeforeEnd(const std::vector<int64_t>& times, int64_t end) {
  size_t leading = 0;
  while (leading < times.size() && times[leading] < end) ++leading;
  for (size_t i = leading; i < times.size(); ++i)
    if (times[i] < end) return 0;
  return leading;
}

}  // namespace smart_cut

TSmartVideo::TSmartVideo(TTranscoder& run, TOutputStreamState& ost, TInputStreamState& ist,
                         int64_t start, int64_t end, const std::vector<std::string>& whole_lines,
                         const void* log_sender, TCutReport& report)
    : run_(run), ost_(ost), ist_(ist), whole_lines_(whole_lines), sender_(log_sender),
      report_(report) {
  const AVRational tb = ist.Stream->time_base;
  start_ = avutil.av_rescale_q(start, AV_TIME_BASE_Q, tb);
  end_ = end == INT64_MAX ? INT64_MAX : avutil.av_rescale_q(end, AV_TIME_BASE_Q, tb);
  frame_.reset(avutil.av_frame_alloc());
  if (!frame_) throw FFmpegException("av_frame_alloc failed");
}

TSmartVideo::~TSmartVideo() = default;

bool TSmartVideo::InCut(int64_t pts) const {
  return pts != AV_NOPTS_VALUE && pts >= start_ && pts < end_;
}

void TSmartVideo::SetZero(int64_t pts) {
  if (zero_ != AV_NOPTS_VALUE || pts == AV_NOPTS_VALUE) return;
  zero_ = pts;
  zero_us_ = avutil.av_rescale_q(pts, ist_.Stream->time_base, AV_TIME_BASE_Q);
}

int64_t TSmartVideo::PictureDuration() const {
  AVRational rate = ist_.Stream->avg_frame_rate;
  if (rate.num <= 0 || rate.den <= 0) rate = ist_.Stream->r_frame_rate;
  if (rate.num <= 0 || rate.den <= 0) return 0;
  return avutil.av_rescale(AV_TIME_BASE, rate.den, rate.num);
}

void TSmartVideo::SetUp() {
  std::string reason = Unmatched();
  if (reason.empty()) reason = NoCleanGroup();
  if (reason.empty()) {
    try {
      SetUpSmart();
      return;
    } catch (const FFmpegException& e) {
      reason = FormatText("the encoder cannot match the source (%s)", e.what());
    }
  }
  SetUpWhole(reason);
}

bool TSmartVideo::IsCleanStart(const AVPacket* packet) const {
  return IsCleanKeyFrame(packet, ist_.Stream->codecpar);
}

void TSmartVideo::Packet(const AVPacket* packet) {
  AVPacketPtr stamped;
  if (clock_) {
    const int64_t pts = clock_->Time(packet);
    if (pts != packet->pts) {
      stamped.reset(avcodec.av_packet_clone(packet));
      if (!stamped) throw FFmpegException("av_packet_clone failed");
      stamped->pts = pts;
      packet = stamped.get();
    }
  }
  const int64_t decoded_at = packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
  if (end_ != INT64_MAX && decoded_at != AV_NOPTS_VALUE && decoded_at >= end_) past_end_ = true;
  if (!started_) {
    if (!(packet->flags & AV_PKT_FLAG_KEY)) return;
    started_ = true;
    group_.Clean = !whole_ && IsCleanStart(packet);
  }
  if (whole_) {
    WholePacket(packet);
    return;
  }
  const bool clean = IsCleanStart(packet);
  if (!clean && (packet->flags & AV_PKT_FLAG_KEY)) unclean_keys_ = true;
  if (clean && edge_decoder_) {
    EndEdge(packet->dts);
    group_ = TGroup{};
    group_.Clean = true;
  } else if (clean && !group_.Packets.empty()) {
    Settle(group_, packet->dts);
    group_ = TGroup{};
    group_.Clean = true;
  }
  if (!group_.Clean) {
    // A group that does not start cleanly is re-encoded as it comes, however
    // long it runs (open groups of pictures), rather than held.
    if (!edge_decoder_) {
      const AVCodecParameters* par = ist_.Stream->codecpar;
      const AVFormatContext* input = run_.InputContext(ist_);
      StartEdge(-1, par->bit_rate > 0 ? par->bit_rate : input->bit_rate);
    }
    FeedEdge(packet);
    return;
  }
  HoldPacket(packet);
}

// The whole re-encode: every picture of the cut decoded and encoded again.
void TSmartVideo::WholePacket(const AVPacket* packet) {
  if (avcodec.avcodec_send_packet(whole_decoder_.get(), packet) < 0) return;
  std::vector<AVPacketPtr> encoded;
  DrainWhole(encoded);
  for (AVPacketPtr& p : encoded) Write(p.get());
}

// Every picture the whole re-encode's decoder has ready: those inside the cut
// are encoded again, the rest dropped.
void TSmartVideo::DrainWhole(std::vector<AVPacketPtr>& encoded) {
  AVFrame* frame = frame_.get();
  while (avcodec.avcodec_receive_frame(whole_decoder_.get(), frame) >= 0) {
    TFrameUnref unref{frame};
    frame->pts = frame->best_effort_timestamp;
    if (!InCut(frame->pts)) continue;
    SetZero(frame->pts);
    Encode(whole_encoder_.get(), frame, encoded);
  }
}

// A packet of a clean group, held until the group is settled.
void TSmartVideo::HoldPacket(const AVPacket* packet) {
  AVPacketPtr copy(avcodec.av_packet_clone(packet));
  if (!copy) throw FFmpegException("av_packet_clone failed");
  group_.Bytes += copy->size;
  group_.Packets.push_back(std::move(copy));
  if (group_.Bytes > kMaxHeldBytes) {
    // A group this long (a source with few key frames) is not held whole: it
    // is re-encoded from here on, as far as the cut reaches into it.
    long_group_ = true;
    GetLogger().Logf(sender_, llInfo,
                     "Smart copy: a group of pictures of more than %d MB is re-encoded",
                     static_cast<int>(kMaxHeldBytes >> 20));
    const AVCodecParameters* par = ist_.Stream->codecpar;
    StartEdge(-1, par->bit_rate > 0 ? par->bit_rate : run_.InputContext(ist_)->bit_rate);
    for (const AVPacketPtr& held : group_.Packets) FeedEdge(held.get());
    group_ = TGroup{};
  }
}

void TSmartVideo::Finish() {
  if (whole_) {
    std::vector<AVPacketPtr> encoded;
    if (started_) {
      avcodec.avcodec_send_packet(whole_decoder_.get(), nullptr);
      DrainWhole(encoded);
    }
    Encode(whole_encoder_.get(), nullptr, encoded);
    for (AVPacketPtr& p : encoded) Write(p.get());
  } else if (edge_decoder_) {
    EndEdge(INT64_MAX);
  } else {
    Settle(group_, INT64_MAX);
    group_ = TGroup{};
  }
  report_.Method = report_.EncodedPictures == 0                ? "copy"
                   : whole_ || report_.CopiedPictures == 0 ? "re-encode"
                                                            : "smart";
  if (report_.Method == "re-encode" && report_.Reason.empty())
    report_.Reason = long_group_ ? "its groups of pictures are too long to hold"
                     : clean_in_cut_ && !unclean_keys_
                         ? kWithinOneGroup
                         : NoCleanGroupReason(ist_.Stream->codecpar->codec_id);
  GetLogger().Logf(sender_, llInfo, "Smart copy: %s, %lld pictures copied, %lld re-encoded%s%s",
                   report_.Method.c_str(), static_cast<long long>(report_.CopiedPictures),
                   static_cast<long long>(report_.EncodedPictures),
                   report_.Reason.empty() ? "" : ": ", report_.Reason.c_str());
}

void TSmartVideo::EndPart() {
  if (edge_decoder_) {
    EndEdge(INT64_MAX);
  } else {
    Settle(group_, INT64_MAX);
  }
  group_ = TGroup{};
}

void TSmartVideo::NextPart(TOutputStreamState& ost, int64_t start, int64_t end) {
  if (whole_) throw FFmpegException("Smart copy: a whole re-encode cannot be joined");
  EndPart();
  started_ = false;
  past_end_ = false;
  part_ost_ = &ost;
  const AVRational tb = ist_.Stream->time_base;
  start_ = avutil.av_rescale_q(start, AV_TIME_BASE_Q, tb);
  end_ = end == INT64_MAX ? INT64_MAX : avutil.av_rescale_q(end, AV_TIME_BASE_Q, tb);
  // The run's line already puts every part where it belongs: nothing moves.
  zero_ = 0;
  zero_us_ = 0;
}

void TSmartVideo::Settle(TGroup& group, int64_t next_dts) {
  std::vector<AVPacketPtr>& packets = group.Packets;
  bool any = false, all = true;
  int64_t first = INT64_MAX, first_in = INT64_MAX;
  for (const AVPacketPtr& p : packets) {
    const bool in = InCut(p->pts);
    any = any || in;
    all = all && in;
    if (p->pts != AV_NOPTS_VALUE) first = std::min(first, p->pts);
    if (in) first_in = std::min(first_in, p->pts);
  }
  if (!any) return;
  SetZero(first_in);
  clean_in_cut_ = clean_in_cut_ || group.Clean;
  if (group.Clean && first >= start_) {
    if (all) {
      CopyPackets(group, packets.size());
      return;
    }
    // The end falls inside: its pictures can be copied when they are the
    // first ones decoded (no picture before the end waits on one after it).
    std::vector<int64_t> times;
    for (const AVPacketPtr& p : packets) times.push_back(p->pts);
    const size_t leading = CopiedBeforeEnd(times, end_);
    if (leading > 0) {
      CopyPackets(group, leading);
      return;
    }
  }
  Reencode(group, next_dts);
}

void TSmartVideo::CopyPackets(TGroup& group, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    AVPacket* packet = group.Packets[i].get();
    if (i == 0 && encoded_last_ && !source_headers_.empty()) {
      // After re-encoded pictures the source's own parameter sets are sent
      // again, unless the key frame carries them.
      bool has_sps = false;
      if (!Nal()) {
        has_sps = CarriesMpegHeaders(packet, ist_.Stream->codecpar->codec_id);
      } else {
        for (const TNal& nal : SplitNals(packet->data, static_cast<size_t>(packet->size),
                                         annexb_ ? 0 : length_size_, codec_ == TCodec::H265))
          has_sps = has_sps || nal.IsSps();
      }
      if (!has_sps) {
        AVPacketPtr joined(avcodec.av_packet_alloc());
        if (!joined ||
            avcodec.av_new_packet(joined.get(), static_cast<int>(source_headers_.size()) +
                                                     packet->size) < 0)
          throw FFmpegException("av_new_packet failed");
        avcodec.av_packet_copy_props(joined.get(), packet);
        std::memcpy(joined->data, source_headers_.data(), source_headers_.size());
        std::memcpy(joined->data + source_headers_.size(), packet->data,
                    static_cast<size_t>(packet->size));
        group.Packets[i] = std::move(joined);
        packet = group.Packets[i].get();
      }
    }
    Write(packet);
    ++report_.CopiedPictures;
  }
  encoded_last_ = false;
}

void TSmartVideo::Reencode(TGroup& group, int64_t next_dts) {
  // The group's own bit rate, should its quantisers be unknown.
  int64_t bytes = 0, low = INT64_MAX, high = INT64_MIN;
  for (const AVPacketPtr& p : group.Packets) {
    bytes += p->size;
    if (p->pts == AV_NOPTS_VALUE) continue;
    low = std::min(low, p->pts);
    high = std::max(high, p->pts + std::max<int64_t>(p->duration, 0));
  }
  int64_t rate = 0;
  if (high > low) {
    const double seconds = static_cast<double>(high - low) * av_q2d(ist_.Stream->time_base);
    if (seconds > 0) rate = static_cast<int64_t>(bytes * 8 / seconds);
  }
  StartEdge(EdgeQuality(&group, rate));
  for (const AVPacketPtr& p : group.Packets) {
    if (!FeedEdge(p.get()) && group.Clean)
      throw FFmpegException("Smart copy: a picture of the cut does not decode");
  }
  EndEdge(next_dts);
}


void TSmartVideo::Write(AVPacket* source) {
  TOutputStreamState& ost = part_ost_ != nullptr ? *part_ost_ : ost_;
  AVPacketPtr holder(avcodec.av_packet_clone(source));
  if (!holder) throw FFmpegException("av_packet_clone failed");
  AVPacket* packet = holder.get();
  const int64_t zero = zero_ != AV_NOPTS_VALUE ? zero_ : start_;
  if (packet->pts != AV_NOPTS_VALUE) packet->pts -= zero;
  if (packet->dts != AV_NOPTS_VALUE) packet->dts -= zero;
  avcodec.av_packet_rescale_ts(packet, ist_.Stream->time_base, ost.Stream->time_base);
  if (packet->dts != AV_NOPTS_VALUE) {
    if (last_dts_ != INT64_MIN && packet->dts <= last_dts_) packet->dts = last_dts_ + 1;
    last_dts_ = packet->dts;
  }
  packet->pos = -1;
  packet->stream_index = ost.Stream->index;
  run_.VideoSize += static_cast<uint64_t>(packet->size);
  ost.SyncOpts++;
  ost.CodedKeyFrame = (packet->flags & AV_PKT_FLAG_KEY) ? 1 : 0;
  run_.WritePacket(ost, packet);
  ost.FrameNumber++;
}

}  // namespace kelvane
