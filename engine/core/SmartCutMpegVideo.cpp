// The smart copy's MPEG-2 and MPEG-4 Part 2 pieces (SmartCutParts.h): their
// in-band headers (MPEG-2's sequence header, MPEG-4's VOS, VO and VOL), which
// key frames start a clean group, the edge encoder's options and what keeps
// a source from being matched.
//
// Both codecs carry their headers in the stream: the re-encoded pictures
// bring their own (the edge encoder writes them before each of its key
// frames), and the source's rule again from the first copied key frame on,
// which either carries them itself or gets them from the description sent
// in front of it.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "binding/FFmpegLogger.h"
#include "engine/core/FFmpegException.h"
#include "engine/core/SmartCutParts.h"

namespace kelvane::smart_cut {

namespace {

// MPEG start codes (after 00 00 01).
constexpr int kMpeg2Picture = 0x00;
constexpr int kMpeg2Sequence = 0xb3;
constexpr int kMpeg2Group = 0xb8;
constexpr int kMpeg4VolFirst = 0x20, kMpeg4VolLast = 0x2f;
constexpr int kMpeg4Group = 0xb3;
constexpr int kMpeg4Vop = 0xb6;

// The start codes of MPEG video data: each code's value and where its
// payload begins.
struct TStartCode {
  int Code;
  size_t Payload;
};

std::vector<TStartCode> StartCodes(const uint8_t* data, size_t size) {
  std::vector<TStartCode> codes;
  for (size_t i = 0; i + 3 < size; ++i) {
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
      codes.push_back({data[i + 3], i + 4});
      i += 3;
    }
  }
  return codes;
}

bool IsPictureCode(int code, AVCodecID id) {
  return id == AV_CODEC_ID_MPEG2VIDEO ? code == kMpeg2Picture || code == kMpeg2Group
                                      : code == kMpeg4Vop || code == kMpeg4Group;
}

bool IsHeaderCode(int code, AVCodecID id) {
  return id == AV_CODEC_ID_MPEG2VIDEO ? code == kMpeg2Sequence
                                      : code >= kMpeg4VolFirst && code <= kMpeg4VolLast;
}

// DivX's packed B-frames: a user data string "DivX<version>b<build>p" in the
// description tells the decoder two pictures share a packet.
bool PackedBFrames(const AVCodecParameters* par) {
  if (par->extradata == nullptr || par->extradata_size < 5) return false;
  const auto* begin = par->extradata;
  const auto* end = begin + par->extradata_size;
  static const char kDivX[] = "DivX";
  for (const uint8_t* at = std::search(begin, end, kDivX, kDivX + 4); at != end;
       at = std::search(at + 1, end, kDivX, kDivX + 4)) {
    for (const uint8_t* c = at + 4; c < end && *c != 0; ++c)
      if (*c == 'p') return true;
  }
  return false;
}

}  // namespace

bool IsMpegVideo(AVCodecID id) {
  return id == AV_CODEC_ID_MPEG2VIDEO || id == AV_CODEC_ID_MPEG4;
}

std::string MpegVideoObstacle(const AVCodecParameters* par, const AVOutputFormat* format) {
  const bool mpeg2 = par->codec_id == AV_CODEC_ID_MPEG2VIDEO;
  if (par->field_order != AV_FIELD_PROGRESSIVE && par->field_order != AV_FIELD_UNKNOWN)
    return "the source's pictures are interlaced";
  const AVCodec* codec = avcodec.avcodec_find_encoder(par->codec_id);
  if (codec == nullptr)
    return FormatText("no %s encoder is installed", avcodec.avcodec_get_name(par->codec_id));
  if (std::string pixels = PixelFormatObstacle(codec, par->format); !pixels.empty()) return pixels;
  const char* container = format != nullptr ? format->name : "unknown";
  if (mpeg2) {
    if (par->profile == FF_PROFILE_MPEG2_SNR_SCALABLE || par->profile == FF_PROFILE_MPEG2_SS)
      return FormatText("the encoder does not make the source's scalable profile (%d)",
                        par->profile);
    if (!FormatIs(format, "mpeg,vob,dvd,svcd,mpegts,mpeg2video,matroska,mp4,mov"))
      return FormatText("MPEG-2 video in %s cannot be joined", container);
    return {};
  }
  if (PackedBFrames(par)) return "the source packs two pictures in one packet (DivX style)";
  if (!FormatIs(format, "avi,matroska,mp4,mov"))
    return FormatText("MPEG-4 Part 2 video in %s cannot be joined", container);
  // AVI keeps one time per packet, in the order they are decoded: pictures
  // shown in another order have no times to join them by.
  if (FormatIs(format, "avi") && par->video_delay > 0)
    return "MPEG-4 Part 2 with B pictures in AVI cannot be joined (no times of their own)";
  return {};
}

bool IsCleanMpegKeyFrame(const AVPacket* packet, const AVCodecParameters* par) {
  const auto size = static_cast<size_t>(packet->size);
  bool group = false, closed = false;
  for (const TStartCode& sc : StartCodes(packet->data, size)) {
    const uint8_t* p = packet->data + sc.Payload;
    const size_t left = size - sc.Payload;
    if (par->codec_id == AV_CODEC_ID_MPEG2VIDEO) {
      if (sc.Code == kMpeg2Group) group = true;
      if (sc.Code != kMpeg2Picture || left < 2) continue;
      // The first picture after a group header: an I picture shown first
      // (temporal reference 0) has no leading pictures that need the group
      // before it, open or closed.
      const int temporal_reference = (p[0] << 2) | (p[1] >> 6);
      const int type = (p[1] >> 3) & 7;
      return group && type == 1 && temporal_reference == 0;
    }
    if (sc.Code == kMpeg4Group && left >= 3) {
      group = true;
      closed = (p[2] >> 5) & 1;  // after an 18-bit time code
    }
    if (sc.Code != kMpeg4Vop || left < 1) continue;
    // An I-VOP, in a stream with no B pictures or after a closed group.
    return (p[0] >> 6) == 0 && (par->video_delay <= 0 || (group && closed));
  }
  return false;
}

std::unique_ptr<TPictureClock> MakePictureClock(const AVStream* stream) {
  AVRational rate = stream->avg_frame_rate;
  if (rate.num <= 0 || rate.den <= 0) rate = stream->r_frame_rate;
  if (stream->codecpar->codec_id != AV_CODEC_ID_MPEG2VIDEO || rate.num <= 0 || rate.den <= 0)
    return nullptr;
  return std::make_unique<TPictureClock>(
      avutil.av_rescale_q(1, av_inv_q(rate), stream->time_base));
}

int64_t TPictureClock::Time(const AVPacket* packet) {
  const auto size = static_cast<size_t>(packet->size);
  for (const TStartCode& sc : StartCodes(packet->data, size)) {
    if (sc.Code == kMpeg2Group) known_ = AV_NOPTS_VALUE;
    if (sc.Code != kMpeg2Picture || size - sc.Payload < 2) continue;
    const int reference = (packet->data[sc.Payload] << 2) | (packet->data[sc.Payload + 1] >> 6);
    if (packet->pts != AV_NOPTS_VALUE) {
      known_ = packet->pts;
      known_reference_ = reference;
      return packet->pts;
    }
    if (known_ == AV_NOPTS_VALUE || duration_ <= 0) return AV_NOPTS_VALUE;
    return known_ + (reference - known_reference_) * duration_;
  }
  return packet->pts;
}

bool CarriesMpegHeaders(const AVPacket* packet, AVCodecID id) {
  for (const TStartCode& sc : StartCodes(packet->data, static_cast<size_t>(packet->size))) {
    if (IsHeaderCode(sc.Code, id)) return true;
    if (IsPictureCode(sc.Code, id)) return false;
  }
  return false;
}

size_t MpegPictureStart(const uint8_t* data, size_t size, AVCodecID id) {
  for (const TStartCode& sc : StartCodes(data, size))
    if (IsPictureCode(sc.Code, id)) return sc.Payload - 4;
  return 0;
}

std::vector<uint8_t> MpegSourceHeaders(const AVCodecParameters* par) {
  if (par->extradata == nullptr || par->extradata_size <= 0) return {};
  const auto size = static_cast<size_t>(par->extradata_size);
  bool any = false;
  size_t end = size;
  for (const TStartCode& sc : StartCodes(par->extradata, size)) {
    if (IsPictureCode(sc.Code, par->codec_id)) {
      end = sc.Payload - 4;
      break;
    }
    any = any || IsHeaderCode(sc.Code, par->codec_id);
  }
  if (!any) return {};
  return std::vector<uint8_t>(par->extradata, par->extradata + end);
}

void SetMpegEdgeOptions(AVCodecContext* c, const AVCodecParameters* par, double qscale) {
  // A fixed quantiser, no B pictures (nothing waits longer than in the
  // source) and no user data (the encoder's name would change which of its
  // workarounds the decoder applies to the source's pictures after it).
  c->flags |= AV_CODEC_FLAG_QSCALE | AV_CODEC_FLAG_BITEXACT;
  c->global_quality = static_cast<int>(std::lround(FF_QP2LAMBDA * qscale));
  c->max_b_frames = 0;
  c->gop_size = 600;
  c->bit_rate = 0;
  if (par->profile != FF_PROFILE_UNKNOWN) c->profile = par->profile;
  if (par->level != FF_LEVEL_UNKNOWN) c->level = par->level;
  // MPEG-2's sequence extension says whether pictures are reordered; the
  // edge's says what the source's does, so the decoder's delay stays.
  if (par->codec_id == AV_CODEC_ID_MPEG2VIDEO && par->video_delay <= 0)
    c->flags |= AV_CODEC_FLAG_LOW_DELAY;
}

}  // namespace kelvane::smart_cut
