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

namespace kelvane {

namespace {

// NAL unit types, H.264 and H.265.
constexpr int kNalIdr = 5;
constexpr int kNalSps = 7;
constexpr int kNalPps = 8;
constexpr int kNalAud = 9;
constexpr int kHevcIdrWithLeading = 19;
constexpr int kHevcIdrAlone = 20;
constexpr int kHevcVps = 32;
constexpr int kHevcSps = 33;
constexpr int kHevcPps = 34;
constexpr int kHevcAud = 35;

struct TNal {
  const uint8_t* Data;
  size_t Size;
  bool Hevc;
  int Type() const {
    if (Size == 0) return -1;
    return Hevc ? (Data[0] >> 1) & 0x3f : Data[0] & 0x1f;
  }
  bool IsIdr() const {
    const int t = Type();
    return Hevc ? t == kHevcIdrWithLeading || t == kHevcIdrAlone : t == kNalIdr;
  }
  bool IsSps() const { return Type() == (Hevc ? kHevcSps : kNalSps); }
  bool IsParameterSet() const {
    const int t = Type();
    return Hevc ? t == kHevcVps || t == kHevcSps || t == kHevcPps : t == kNalSps || t == kNalPps;
  }
  bool IsAud() const { return Type() == (Hevc ? kHevcAud : kNalAud); }
};

// The NAL units of H.264 or H.265 data, with start codes (`length_size` 0) or
// with length fields of `length_size` bytes.
std::vector<TNal> SplitNals(const uint8_t* data, size_t size, int length_size, bool hevc = false) {
  std::vector<TNal> nals;
  if (length_size > 0) {
    size_t pos = 0;
    while (pos + static_cast<size_t>(length_size) <= size) {
      size_t length = 0;
      for (int i = 0; i < length_size; ++i) length = (length << 8) | data[pos + i];
      pos += static_cast<size_t>(length_size);
      if (length > size - pos) break;
      nals.push_back({data + pos, length, hevc});
      pos += length;
    }
    return nals;
  }
  size_t i = 0;
  size_t begin = SIZE_MAX;
  while (i + 3 <= size) {
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
      if (begin != SIZE_MAX) {
        size_t end = i;
        while (end > begin && data[end - 1] == 0) --end;
        nals.push_back({data + begin, end - begin, hevc});
      }
      i += 3;
      begin = i;
    } else {
      ++i;
    }
  }
  if (begin != SIZE_MAX && begin < size) nals.push_back({data + begin, size - begin, hevc});
  return nals;
}

// Exp-Golomb codes of a NAL unit's payload (emulation prevention removed).
class TBitReader {
 public:
  explicit TBitReader(const TNal& nal) {
    for (size_t i = 1; i < nal.Size; ++i) {
      if (i >= 3 && nal.Data[i] == 3 && nal.Data[i - 1] == 0 && nal.Data[i - 2] == 0) continue;
      bytes_.push_back(nal.Data[i]);
    }
  }
  int Bit() {
    if (pos_ >= bytes_.size() * 8) return 0;
    const int bit = (bytes_[pos_ / 8] >> (7 - pos_ % 8)) & 1;
    ++pos_;
    return bit;
  }
  void Skip(size_t bits) { pos_ += bits; }
  uint32_t Ue() {
    int zeros = 0;
    while (Bit() == 0 && zeros < 32) ++zeros;
    uint32_t value = 0;
    for (int i = 0; i < zeros; ++i) value = (value << 1) | static_cast<uint32_t>(Bit());
    return (1u << zeros) - 1 + value;
  }

 private:
  std::vector<uint8_t> bytes_;
  size_t pos_ = 0;
};

uint32_t ParameterSetId(const TNal& nal) {
  TBitReader bits(nal);
  if (nal.Type() == kNalSps) bits.Skip(24);  // profile, constraint flags, level
  return bits.Ue();
}

void AppendStartCode(std::vector<uint8_t>& out, const TNal& nal) {
  static const uint8_t kStart[4] = {0, 0, 0, 1};
  out.insert(out.end(), kStart, kStart + 4);
  out.insert(out.end(), nal.Data, nal.Data + nal.Size);
}

void AppendLengthPrefixed(std::vector<uint8_t>& out, const TNal& nal, int length_size) {
  for (int i = length_size - 1; i >= 0; --i)
    out.push_back(static_cast<uint8_t>(nal.Size >> (8 * i)));
  out.insert(out.end(), nal.Data, nal.Data + nal.Size);
}

// The VPS, SPS and PPS NAL units of an hvcC record, in its order.
std::vector<TNal> HvcCParameterSets(const uint8_t* data, size_t size) {
  std::vector<TNal> sets;
  if (size < 23 || data[0] != 1) return sets;
  size_t pos = 23;
  for (int array = 0; array < data[22]; ++array) {
    if (pos + 3 > size) break;
    const int count = (data[pos + 1] << 8) | data[pos + 2];
    pos += 3;
    for (int i = 0; i < count && pos + 2 <= size; ++i) {
      const size_t length = (size_t(data[pos]) << 8) | data[pos + 1];
      pos += 2;
      if (length > size - pos) return sets;
      const TNal nal{data + pos, length, true};
      if (nal.IsParameterSet()) sets.push_back(nal);
      pos += length;
    }
  }
  return sets;
}

// The parameter sets of an avcC record, as NAL units into the record.
struct TAvcC {
  std::vector<TNal> Sps, Pps;
  size_t End = 0;  // where the optional tail (chroma format, bit depths) begins
};

bool ParseAvcC(const uint8_t* data, size_t size, TAvcC& out) {
  if (size < 7 || data[0] != 1) return false;
  size_t pos = 5;
  auto read_sets = [&](int count, std::vector<TNal>& sets) {
    for (int i = 0; i < count; ++i) {
      if (pos + 2 > size) return false;
      const size_t length = (size_t(data[pos]) << 8) | data[pos + 1];
      pos += 2;
      if (length == 0 || length > size - pos) return false;
      sets.push_back({data + pos, length, false});
      pos += length;
    }
    return true;
  };
  if (!read_sets(data[pos++] & 0x1f, out.Sps) || pos >= size) return false;
  if (!read_sets(data[pos++], out.Pps)) return false;
  out.End = pos;
  return !out.Sps.empty() && !out.Pps.empty();
}

void AppendSet(std::vector<uint8_t>& out, const TNal& nal) {
  out.push_back(static_cast<uint8_t>(nal.Size >> 8));
  out.push_back(static_cast<uint8_t>(nal.Size & 0xff));
  out.insert(out.end(), nal.Data, nal.Data + nal.Size);
}

const char* X264Profile(int profile) {
  switch (profile) {
    case FF_PROFILE_H264_BASELINE:
    case FF_PROFILE_H264_CONSTRAINED_BASELINE:
      return "baseline";
    case FF_PROFILE_H264_MAIN:
      return "main";
    case FF_PROFILE_H264_HIGH:
      return "high";
    case FF_PROFILE_H264_HIGH_10:
      return "high10";
    case FF_PROFILE_H264_HIGH_422:
      return "high422";
    case FF_PROFILE_H264_HIGH_444_PREDICTIVE:
      return "high444";
    default:
      return nullptr;
  }
}

const char* X265Profile(int profile) {
  switch (profile) {
    case FF_PROFILE_HEVC_MAIN:
      return "main";
    case FF_PROFILE_HEVC_MAIN_10:
      return "main10";
    default:
      return nullptr;
  }
}

bool StartsWithStartCode(const uint8_t* data, int size) {
  return size >= 4 && data[0] == 0 && data[1] == 0 &&
         (data[2] == 1 || (data[2] == 0 && data[3] == 1));
}

bool FormatIs(const AVOutputFormat* format, const char* names) {
  return format != nullptr && avutil.av_match_name(format->name, names) != 0;
}

const char kWithinOneGroup[] = "the cut lies within one group of pictures";
const char kNoCleanGroup[] =
    "no clean group of pictures lies inside the cut (its key frames are no IDR pictures: open "
    "groups of pictures)";

// Whether a packet of a stream described by `par` starts a group of pictures
// that needs nothing before it: a key frame holding an IDR picture.
bool IsCleanKeyFrame(const AVPacket* packet, const AVCodecParameters* par) {
  if (!(packet->flags & AV_PKT_FLAG_KEY)) return false;
  // A VP9 key frame resets every reference: nothing before it is needed.
  if (par->codec_id == AV_CODEC_ID_VP9) return true;
  const bool hevc = par->codec_id == AV_CODEC_ID_HEVC;
  int length_size = 0;
  if (!StartsWithStartCode(par->extradata, par->extradata_size)) {
    if (!hevc && par->extradata_size > 4) length_size = (par->extradata[4] & 3) + 1;
    if (hevc && par->extradata_size > 21) length_size = (par->extradata[21] & 3) + 1;
  }
  for (const TNal& nal :
       SplitNals(packet->data, static_cast<size_t>(packet->size), length_size, hevc))
    if (nal.IsIdr()) return true;
  return false;
}

// The encoder a codec is re-encoded with: the one today's formats use.
const char* PreferredEncoder(AVCodecID id) {
  switch (id) {
    case AV_CODEC_ID_H264: return "libx264";
    case AV_CODEC_ID_HEVC: return "libx265";
    case AV_CODEC_ID_AV1: return "libsvtav1";
    case AV_CODEC_ID_VP9: return "libvpx-vp9";
    default: return nullptr;
  }
}

// Sets up `c` (`codec`) for a whole re-encode with the settings the caller
// gave its encoder (`settings`: lines of the encoder's name and its
// key=value options); the settings as the log and the report say them. The
// source's picture format and profile stay, and options the encoder does not
// know (a muxer's) are passed over. An encoder without a line codes at its
// finest fixed quantiser.
std::string UseWholeSettings(AVCodecContext* c, const AVCodec* codec,
                             const std::vector<std::string>& settings) {
  for (const std::string& line : settings) {
    std::istringstream words(line);
    std::string name, pair;
    if (!(words >> name) || name != codec->name) continue;
    std::string said = name;
    while (words >> pair) {
      const size_t eq = pair.find('=');
      if (eq == std::string::npos) continue;
      const std::string key = pair.substr(0, eq), value = pair.substr(eq + 1);
      if (key == "profile" || key == "pix_fmt") continue;
      if (avutil.av_opt_set(c, key.c_str(), value.c_str(), AV_OPT_SEARCH_CHILDREN) < 0) continue;
      // A parameter line that only quiets the encoder's log is no setting.
      if (key.size() > 7 && key.compare(key.size() - 7, 7, "-params") == 0 &&
          value.rfind("log-level=", 0) == 0 && value.find(':') == std::string::npos)
        continue;
      said += " " + pair;
    }
    return said;
  }
  c->flags |= AV_CODEC_FLAG_QSCALE;
  c->global_quality = FF_QP2LAMBDA * 2;
  return std::string(codec->name) + " qscale=2";
}

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

// The highest SPS or PPS id of an H.264 source's description (avcC or Annex B).
uint32_t HighestParameterSetId(const AVCodecParameters* par) {
  uint32_t highest = 0;
  const auto size = static_cast<size_t>(std::max(par->extradata_size, 0));
  TAvcC avcc;
  if (ParseAvcC(par->extradata, size, avcc)) {
    for (const TNal& nal : avcc.Sps) highest = std::max(highest, ParameterSetId(nal));
    for (const TNal& nal : avcc.Pps) highest = std::max(highest, ParameterSetId(nal));
    return highest;
  }
  for (const TNal& nal : SplitNals(par->extradata, size, 0))
    if (nal.Type() == kNalSps || nal.Type() == kNalPps)
      highest = std::max(highest, ParameterSetId(nal));
  return highest;
}

}  // namespace

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

// VP9: its pictures come in the order they are shown and every key frame
// starts afresh, so the re-encoded head needs no parameter sets beside the
// source's; the encoder makes the source's profile from its pixel format.
std::string Vp9Obstacle(const AVCodecParameters* par, const AVOutputFormat* format) {
  if (par->field_order != AV_FIELD_PROGRESSIVE && par->field_order != AV_FIELD_UNKNOWN)
    return "the source's pictures are interlaced";
  const AVCodec* codec = avcodec.avcodec_find_encoder_by_name("libvpx-vp9");
  if (codec == nullptr) return "no libvpx-vp9 encoder is installed";
  bool format_ok = false;
  for (const AVPixelFormat* f = codec->pix_fmts; f != nullptr && *f != AV_PIX_FMT_NONE; ++f)
    format_ok = format_ok || *f == par->format;
  if (!format_ok)
    return FormatText("the encoder does not take the source's pixel format %s",
                      avutil.av_get_pix_fmt_name(static_cast<AVPixelFormat>(par->format)));
  if (!FormatIs(format, "webm,matroska,mp4,mov"))
    return FormatText("VP9 in %s cannot be joined", format != nullptr ? format->name : "unknown");
  return {};
}

std::string SmartCutObstacle(const AVCodecParameters* par, const AVOutputFormat* format) {
  if (par->codec_id == AV_CODEC_ID_VP9) return Vp9Obstacle(par, format);
  if (par->codec_id != AV_CODEC_ID_H264 && par->codec_id != AV_CODEC_ID_HEVC)
    return FormatText("only H.264, H.265 and VP9 are copied in part so far; this source is %s",
                      avcodec.avcodec_get_name(par->codec_id));
  const bool hevc = par->codec_id == AV_CODEC_ID_HEVC;
  if (par->field_order != AV_FIELD_PROGRESSIVE && par->field_order != AV_FIELD_UNKNOWN)
    return "the source's pictures are interlaced";
  const char* profile = hevc ? X265Profile(par->profile) : X264Profile(par->profile);
  if (profile == nullptr)
    return FormatText("the encoder does not make the source's profile (%d)", par->profile);
  const char* encoder = hevc ? "libx265" : "libx264";
  const AVCodec* codec = avcodec.avcodec_find_encoder_by_name(encoder);
  if (codec == nullptr) return FormatText("no %s encoder is installed", encoder);
  bool format_ok = false;
  for (const AVPixelFormat* f = codec->pix_fmts; f != nullptr && *f != AV_PIX_FMT_NONE; ++f)
    format_ok = format_ok || *f == par->format;
  if (!format_ok)
    return FormatText("the encoder does not take the source's pixel format %s",
                      avutil.av_get_pix_fmt_name(static_cast<AVPixelFormat>(par->format)));
  if (par->extradata_size <= 0) return "the source has no parameter sets in its description";
  const char* container = format != nullptr ? format->name : "unknown";

  if (hevc) {
    // libx265 numbers its parameter sets 0, like most sources: they can only
    // take turns in the stream, each sent again before the pictures that use
    // it. MPEG-TS carries them in-band; so does MP4 under the sample entry
    // 'hev1', which tells a reader that the stream's own parameter sets
    // rule over the description's. Matroska has one description only.
    const bool annexb = StartsWithStartCode(par->extradata, par->extradata_size);
    if (annexb ? !FormatIs(format, "mpegts")
               : !FormatIs(format, "mp4,mov") || par->extradata_size < 23)
      return FormatText("H.265 in %s: the encoder's parameter sets cannot stand beside the "
                        "source's (they share its ids)",
                        container);
    return {};
  }
  const uint32_t highest = HighestParameterSetId(par);
  TAvcC avcc;
  if (ParseAvcC(par->extradata, static_cast<size_t>(par->extradata_size), avcc)) {
    if (!FormatIs(format, "mp4,mov,matroska,webm,ipod,3gp,3g2,psp,ismv,f4v"))
      return FormatText("the %s container cannot describe two sets of parameters", container);
  } else if (!FormatIs(format, "mpegts")) {
    return FormatText("the %s container cannot carry parameter sets in the stream", container);
  }
  if (highest >= 31) return "the source uses every parameter set id";
  return {};
}

std::string TSmartVideo::Unmatched() {
  const AVCodecParameters* par = ist_.Stream->codecpar;
  std::string reason = SmartCutObstacle(par, run_.OutputContext(ost_)->oformat);
  if (!reason.empty()) return reason;
  hevc_ = par->codec_id == AV_CODEC_ID_HEVC;
  vp9_ = par->codec_id == AV_CODEC_ID_VP9;
  source_delay_ = par->video_delay;
  if (vp9_) return {};
  const auto extradata = static_cast<size_t>(par->extradata_size);
  if (hevc_) {
    annexb_ = StartsWithStartCode(par->extradata, par->extradata_size);
    if (annexb_) {
      for (const TNal& nal : SplitNals(par->extradata, extradata, 0, true))
        if (nal.IsParameterSet()) AppendStartCode(source_headers_, nal);
      return {};
    }
    // hvcC: the parameter sets in the packets' own form, to send again at
    // each join.
    length_size_ = (par->extradata[21] & 3) + 1;
    for (const TNal& nal : HvcCParameterSets(par->extradata, extradata))
      AppendLengthPrefixed(source_headers_, nal, length_size_);
    return {};
  }
  // The re-encoded pictures take the parameter set id after the source's.
  parameter_id_ = static_cast<int>(HighestParameterSetId(par)) + 1;
  TAvcC avcc;
  annexb_ = !ParseAvcC(par->extradata, extradata, avcc);
  if (!annexb_) {
    length_size_ = (par->extradata[4] & 3) + 1;
    return {};
  }
  for (const TNal& nal : SplitNals(par->extradata, extradata, 0))
    if (nal.Type() == kNalSps || nal.Type() == kNalPps) AppendStartCode(source_headers_, nal);
  return {};
}

AVCodecContextPtr TSmartVideo::MakeEncoder(int64_t bit_rate, bool for_whole) {
  const AVCodecParameters* par = ist_.Stream->codecpar;
  const AVCodec* codec = nullptr;
  if (const char* name = PreferredEncoder(par->codec_id))
    codec = avcodec.avcodec_find_encoder_by_name(name);
  if (codec == nullptr) codec = avcodec.avcodec_find_encoder(par->codec_id);
  if (codec == nullptr)
    throw FFmpegException(FormatText("No encoder for %s: the cut cannot be re-encoded",
                                     avcodec.avcodec_get_name(par->codec_id)));
  AVCodecContextPtr enc(avcodec.avcodec_alloc_context3(codec));
  if (!enc) throw FFmpegException("avcodec_alloc_context3 failed");
  AVCodecContext* c = enc.get();
  c->width = par->width;
  c->height = par->height;
  c->pix_fmt = static_cast<AVPixelFormat>(par->format);
  if (codec->pix_fmts != nullptr) {
    bool listed = false;
    for (const AVPixelFormat* f = codec->pix_fmts; *f != AV_PIX_FMT_NONE; ++f)
      listed = listed || *f == c->pix_fmt;
    if (!listed) c->pix_fmt = codec->pix_fmts[0];
  }
  c->sample_aspect_ratio = ist_.Stream->sample_aspect_ratio.num > 0
                               ? ist_.Stream->sample_aspect_ratio
                               : par->sample_aspect_ratio;
  c->color_primaries = par->color_primaries;
  c->color_trc = par->color_trc;
  c->colorspace = par->color_space;
  c->color_range = par->color_range;
  c->chroma_sample_location = par->chroma_location;
  c->time_base = ist_.Stream->time_base;
  AVRational rate = ist_.Stream->avg_frame_rate;
  if (rate.num <= 0 || rate.den <= 0) rate = ist_.Stream->r_frame_rate;
  if (rate.num > 0 && rate.den > 0) c->framerate = rate;
  const AVOutputFormat* format = run_.OutputContext(ost_)->oformat;
  if (for_whole) {
    if (format->flags & AVFMT_GLOBALHEADER) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    whole_settings_ = UseWholeSettings(c, codec, whole_lines_);
  } else if (vp9_) {
    // Every encoded packet one shown picture (no hidden reference frames),
    // at the group's own bit rate.
    c->bit_rate = std::max<int64_t>(bit_rate, 50000);
    c->gop_size = 1000;
    avutil.av_opt_set(c->priv_data, "deadline", "good", 0);
    avutil.av_opt_set(c->priv_data, "cpu-used", "4", 0);
    avutil.av_opt_set(c->priv_data, "row-mt", "1", 0);
    avutil.av_opt_set(c->priv_data, "auto-alt-ref", "0", 0);
  } else if (hevc_) {
    avutil.av_opt_set(c->priv_data, "profile", X265Profile(par->profile), 0);
    c->bit_rate = std::max<int64_t>(bit_rate, 50000);
    c->gop_size = 1000;
    std::string params = "log-level=error:repeat-headers=1";
    if (source_delay_ <= 0)
      params += ":bframes=0";
    else if (source_delay_ == 1)
      params += ":b-pyramid=0";
    avutil.av_opt_set(c->priv_data, "x265-params", params.c_str(), 0);
  } else {
    if (!annexb_) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    avutil.av_opt_set(c->priv_data, "profile", X264Profile(par->profile), 0);
    if (par->level > 0) c->level = par->level;
    c->bit_rate = std::max<int64_t>(bit_rate, 50000);
    c->gop_size = 1000;
    // Pictures wait no longer in the encoder than in the source, so that the
    // decoding times on both sides of a join follow each other.
    std::string params = FormatText("sps-id=%d:stitchable=1", parameter_id_);
    if (source_delay_ <= 0)
      c->max_b_frames = 0;
    else if (source_delay_ == 1)
      params += ":b-pyramid=none";
    avutil.av_opt_set(c->priv_data, "x264-params", params.c_str(), 0);
  }
  int ret;
  {
    std::lock_guard<std::mutex> lock(CodecLock());
    ret = avcodec.avcodec_open2(c, codec, nullptr);
  }
  if (ret < 0)
    throw FFmpegException(ErrorText(FormatText("Could not open encoder %s", codec->name), ret));
  return enc;
}

AVCodecContextPtr TSmartVideo::MakeDecoder() {
  const AVCodecParameters* par = ist_.Stream->codecpar;
  const AVCodec* codec = avcodec.avcodec_find_decoder(par->codec_id);
  if (codec == nullptr)
    throw FFmpegException(FormatText("No decoder for %s", avcodec.avcodec_get_name(par->codec_id)));
  AVCodecContextPtr dec(avcodec.avcodec_alloc_context3(codec));
  if (!dec || avcodec.avcodec_parameters_to_context(dec.get(), par) < 0)
    throw FFmpegException("avcodec_alloc_context3 failed");
  dec->pkt_timebase = ist_.Stream->time_base;
  int ret;
  {
    std::lock_guard<std::mutex> lock(CodecLock());
    ret = avcodec.avcodec_open2(dec.get(), codec, nullptr);
  }
  if (ret < 0) throw FFmpegException(ErrorText("Could not open the decoder of the cut", ret));
  return dec;
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

void TSmartVideo::SetUpSmart() {
  const AVCodecParameters* par = ist_.Stream->codecpar;
  int64_t rate = par->bit_rate > 0 ? par->bit_rate : 2000000;
  AVCodecContextPtr enc = MakeEncoder(rate, false);
  if (source_delay_ >= 0 && enc->has_b_frames > source_delay_)
    throw FFmpegException("its pictures wait longer than the source's");
  if (annexb_ || vp9_) return;
  if (hevc_) {
    // The description stays the source's; the sample entry 'hev1' lets the
    // parameter sets in the packets take over at each join.
    ost_.Stream->codecpar->codec_tag = MKTAG('h', 'e', 'v', '1');
    return;
  }
  // The description lists the source's parameter sets and then the encoder's.
  TAvcC source;
  ParseAvcC(par->extradata, static_cast<size_t>(par->extradata_size), source);
  std::vector<TNal> sps, pps;
  for (const TNal& nal :
       SplitNals(enc->extradata, static_cast<size_t>(std::max(enc->extradata_size, 0)), 0)) {
    if (nal.Type() == kNalSps) sps.push_back(nal);
    if (nal.Type() == kNalPps) pps.push_back(nal);
  }
  if (sps.size() != 1 || pps.size() != 1)
    throw FFmpegException("no parameter sets in its header");
  if (source.Sps.size() + 1 > 31) throw FFmpegException("too many parameter sets");
  encoder_headers_.assign(enc->extradata, enc->extradata + enc->extradata_size);
  std::vector<uint8_t> avcc(par->extradata, par->extradata + 5);
  avcc.push_back(static_cast<uint8_t>(0xe0 | (source.Sps.size() + 1)));
  for (const TNal& nal : source.Sps) AppendSet(avcc, nal);
  AppendSet(avcc, sps[0]);
  avcc.push_back(static_cast<uint8_t>(source.Pps.size() + 1));
  for (const TNal& nal : source.Pps) AppendSet(avcc, nal);
  AppendSet(avcc, pps[0]);
  avcc.insert(avcc.end(), par->extradata + source.End, par->extradata + par->extradata_size);

  AVCodecParameters* out = ost_.Stream->codecpar;
  avutil.av_freep(&out->extradata);
  out->extradata_size = 0;
  out->extradata =
      static_cast<uint8_t*>(avutil.av_mallocz(avcc.size() + AV_INPUT_BUFFER_PADDING_SIZE));
  if (out->extradata == nullptr) throw FFmpegException("av_mallocz fail");
  std::memcpy(out->extradata, avcc.data(), avcc.size());
  out->extradata_size = static_cast<int>(avcc.size());
}

void TSmartVideo::SetUpWhole(const std::string& reason) {
  whole_ = true;
  report_.Reason = reason;
  GetLogger().Logf(sender_, llWarning, "Smart copy: the video is re-encoded whole: %s",
                   reason.c_str());
  whole_encoder_ = MakeEncoder(0, true);
  whole_decoder_ = MakeDecoder();
  report_.Reason += "; re-encoded with " + whole_settings_;
  GetLogger().Logf(sender_, llInfo, "Smart copy: the whole re-encode uses %s",
                   whole_settings_.c_str());
  AVCodecParameters* out = ost_.Stream->codecpar;
  const uint32_t tag = out->codec_tag;
  if (avcodec.avcodec_parameters_from_context(out, whole_encoder_.get()) < 0)
    throw FFmpegException("av_mallocz fail");
  out->codec_tag = whole_encoder_->codec_id == ist_.Stream->codecpar->codec_id ? tag : 0;
  ost_.Stream->time_base = whole_encoder_->time_base;
}

bool TSmartVideo::IsCleanStart(const AVPacket* packet) const {
  return IsCleanKeyFrame(packet, ist_.Stream->codecpar);
}

void TSmartVideo::Packet(const AVPacket* packet) {
  const int64_t decoded_at = packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
  if (end_ != INT64_MAX && decoded_at != AV_NOPTS_VALUE && decoded_at >= end_) past_end_ = true;
  if (!started_) {
    if (!(packet->flags & AV_PKT_FLAG_KEY)) return;
    started_ = true;
    group_.Clean = !whole_ && IsCleanStart(packet);
  }
  if (whole_) {
    if (avcodec.avcodec_send_packet(whole_decoder_.get(), packet) < 0) return;
    std::vector<AVPacketPtr> encoded;
    AVFrame* frame = frame_.get();
    while (avcodec.avcodec_receive_frame(whole_decoder_.get(), frame) >= 0) {
      TFrameUnref unref{frame};
      frame->pts = frame->best_effort_timestamp;
      if (!InCut(frame->pts)) continue;
      SetZero(frame->pts);
      Encode(whole_encoder_.get(), frame, encoded);
    }
    for (AVPacketPtr& p : encoded) Write(p.get());
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
      StartEdge(par->bit_rate > 0 ? par->bit_rate : input->bit_rate);
    }
    FeedEdge(packet);
    return;
  }
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
    StartEdge(par->bit_rate > 0 ? par->bit_rate : run_.InputContext(ist_)->bit_rate);
    for (const AVPacketPtr& held : group_.Packets) FeedEdge(held.get());
    group_ = TGroup{};
  }
}

void TSmartVideo::Finish() {
  if (whole_) {
    std::vector<AVPacketPtr> encoded;
    if (started_) {
      avcodec.avcodec_send_packet(whole_decoder_.get(), nullptr);
      AVFrame* frame = frame_.get();
      while (avcodec.avcodec_receive_frame(whole_decoder_.get(), frame) >= 0) {
        TFrameUnref unref{frame};
        frame->pts = frame->best_effort_timestamp;
        if (!InCut(frame->pts)) continue;
        SetZero(frame->pts);
        Encode(whole_encoder_.get(), frame, encoded);
      }
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
                     : clean_in_cut_ && !unclean_keys_ ? kWithinOneGroup
                                                       : kNoCleanGroup;
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
      for (const TNal& nal : SplitNals(packet->data, static_cast<size_t>(packet->size),
                                       annexb_ ? 0 : length_size_, hevc_))
        has_sps = has_sps || nal.IsSps();
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
  // The encoder is given the group's own bit rate (a little more, as a second
  // generation needs it) so that its pictures look like their neighbours.
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
    if (seconds > 0) rate = static_cast<int64_t>(bytes * 8 * 1.25 / seconds);
  }
  StartEdge(rate);
  for (const AVPacketPtr& p : group.Packets) {
    if (!FeedEdge(p.get()) && group.Clean)
      throw FFmpegException("Smart copy: a picture of the cut does not decode");
  }
  EndEdge(next_dts);
}

void TSmartVideo::StartEdge(int64_t bit_rate) {
  edge_encoder_ = MakeEncoder(bit_rate, false);
  if (!annexb_ && !vp9_ && std::vector<uint8_t>(edge_encoder_->extradata,
                                       edge_encoder_->extradata + edge_encoder_->extradata_size) !=
                      encoder_headers_)
    throw FFmpegException("Smart copy: the encoder's parameter sets changed between two edges");
  edge_decoder_ = MakeDecoder();
}

bool TSmartVideo::FeedEdge(const AVPacket* packet) {
  const bool decoded = avcodec.avcodec_send_packet(edge_decoder_.get(), packet) >= 0;
  AVFrame* frame = frame_.get();
  while (avcodec.avcodec_receive_frame(edge_decoder_.get(), frame) >= 0) {
    TFrameUnref unref{frame};
    frame->pts = frame->best_effort_timestamp;
    if (!InCut(frame->pts)) continue;
    SetZero(frame->pts);
    std::vector<AVPacketPtr> encoded;
    Encode(edge_encoder_.get(), frame, encoded);
    for (AVPacketPtr& p : encoded) edge_packets_.push_back(std::move(p));
  }
  // Only the last packets may need their decoding times moved (EndEdge).
  while (edge_packets_.size() > kHeldEdgePackets) {
    edge_wrote_ = true;
    WriteEncoded(edge_packets_.front().get());
    edge_packets_.pop_front();
  }
  return decoded;
}

void TSmartVideo::EndEdge(int64_t next_dts) {
  FeedEdge(nullptr);
  std::vector<AVPacketPtr> encoded;
  Encode(edge_encoder_.get(), nullptr, encoded);
  for (AVPacketPtr& p : encoded) edge_packets_.push_back(std::move(p));
  // The source's next key frame is decoded after all of these pictures: the
  // last ones are decoded a little earlier where they would meet it.
  if (next_dts != INT64_MAX) {
    int64_t limit = next_dts;
    for (auto it = edge_packets_.rbegin(); it != edge_packets_.rend(); ++it) {
      AVPacket* p = it->get();
      if (p->dts == AV_NOPTS_VALUE || p->dts < limit) break;
      p->dts = --limit;
    }
  }
  const bool wrote = !edge_packets_.empty() || edge_wrote_;
  for (AVPacketPtr& p : edge_packets_) WriteEncoded(p.get());
  edge_packets_.clear();
  edge_encoder_.reset();
  edge_decoder_.reset();
  edge_wrote_ = false;
  if (wrote) encoded_last_ = true;
}

void TSmartVideo::Encode(AVCodecContext* enc, AVFrame* frame, std::vector<AVPacketPtr>& out) {
  if (frame != nullptr) {
    frame->pict_type = AV_PICTURE_TYPE_NONE;
    frame->key_frame = 0;
  }
  if (avcodec.avcodec_send_frame(enc, frame) < 0) throw FFmpegException("Video encoding failed");
  for (;;) {
    AVPacketPtr packet(avcodec.av_packet_alloc());
    if (!packet) throw FFmpegException("av_packet_alloc failed");
    const int ret = avcodec.avcodec_receive_packet(enc, packet.get());
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) break;
    if (ret < 0) throw FFmpegException("Video encoding failed");
    out.push_back(std::move(packet));
    ++report_.EncodedPictures;
  }
}

// An encoded packet into the source's form: NAL units with length fields of
// the source's size, without parameter sets (the description has them).
void TSmartVideo::WriteEncoded(AVPacket* packet) {
  if (annexb_ || vp9_) {
    Write(packet);
    return;
  }
  // H.264's parameter sets are in the description under ids of their own;
  // H.265's stay in the packets, where they take over from the source's.
  std::vector<uint8_t> data;
  for (const TNal& nal : SplitNals(packet->data, static_cast<size_t>(packet->size), 0, hevc_)) {
    if ((nal.IsParameterSet() && !hevc_) || nal.IsAud()) continue;
    AppendLengthPrefixed(data, nal, length_size_);
  }
  AVPacketPtr out(avcodec.av_packet_alloc());
  if (!out || avcodec.av_new_packet(out.get(), static_cast<int>(data.size())) < 0)
    throw FFmpegException("av_new_packet failed");
  avcodec.av_packet_copy_props(out.get(), packet);
  std::memcpy(out->data, data.data(), data.size());
  Write(out.get());
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

// ---- The forecast ----

namespace {

// Reads the packets of stream `index` from the key frame at or before
// `from_us` (µs from the file's start; the start itself when that seek
// fails), handing each with its time in µs from the start to `visit` until it
// returns false or the file ends.
template <typename Visit>
void ReadStreamFrom(AVFormatContext* input, int index, int64_t from_us, Visit visit) {
  const AVStream* stream = input->streams[index];
  const int64_t origin = InputOrigin(input);
  if (SeekKeyFrame(input, std::max<int64_t>(from_us, 0) + origin) < 0) SeekKeyFrame(input, origin);
  AVPacketPtr packet(avcodec.av_packet_alloc());
  if (!packet) throw FFmpegException("av_packet_alloc failed");
  while (avformat.av_read_frame(input, packet.get()) >= 0) {
    TPacketUnref unref{packet.get()};
    if (packet->stream_index != index || packet->pts == AV_NOPTS_VALUE) continue;
    const int64_t pts =
        avutil.av_rescale_q(packet->pts, stream->time_base, AV_TIME_BASE_Q) - origin;
    if (!visit(*packet, pts)) break;
  }
}

// The clean key frames (µs from the input's start) that the video stream
// `index` holds from `from_us` up to `to_us`, read from a seek to `from_us`.
// Reading stops at the first one at or after `stop_at_us`.
std::vector<int64_t> CleanKeyFrames(AVFormatContext* input, int index, int64_t from_us,
                                    int64_t to_us, int64_t stop_at_us) {
  std::vector<int64_t> keys;
  const AVCodecParameters* par = input->streams[index]->codecpar;
  ReadStreamFrom(input, index, from_us, [&](const AVPacket& packet, int64_t pts) {
    if (pts > to_us) return false;
    if (pts < from_us || !IsCleanKeyFrame(&packet, par)) return true;
    keys.push_back(pts);
    return pts < stop_at_us;
  });
  return keys;
}

// The times (µs, decoding order) of the pictures of the group of pictures
// that begins with the clean key frame at `key_us`, up to the next one.
std::vector<int64_t> GroupTimes(AVFormatContext* input, int index, int64_t key_us) {
  std::vector<int64_t> times;
  const AVCodecParameters* par = input->streams[index]->codecpar;
  ReadStreamFrom(input, index, key_us, [&](const AVPacket& packet, int64_t pts) {
    if (IsCleanKeyFrame(&packet, par)) {
      if (!times.empty()) return false;
      if (pts != key_us) return true;
    }
    if (!times.empty() || pts == key_us) times.push_back(pts);
    return true;
  });
  return times;
}

// Within a millisecond of a mark counts as on it.
constexpr int64_t kNear = 1000;

// The first clean key frame at or after the start mark, inside the cut; the
// reason the cut is re-encoded whole when there is none.
struct THead {
  int64_t KeyUs = 0;
  std::string Reason;
};

THead FirstCleanGroup(AVFormatContext* input, int index, int64_t start_us, int64_t end_us) {
  THead head;
  const AVCodecParameters* par = input->streams[index]->codecpar;
  bool found = false, unclean = false;
  ReadStreamFrom(input, index, start_us - kNear, [&](const AVPacket& packet, int64_t pts) {
    if (pts >= end_us - kNear) return false;
    if (pts < start_us - kNear || !(packet.flags & AV_PKT_FLAG_KEY)) return true;
    if (!IsCleanKeyFrame(&packet, par)) {
      unclean = true;
      return true;
    }
    found = true;
    head.KeyUs = pts;
    return false;
  });
  if (!found) head.Reason = unclean ? kNoCleanGroup : kWithinOneGroup;
  return head;
}

}  // namespace

std::string TSmartVideo::NoCleanGroup() {
  const AVFormatContext* running = run_.InputContext(ist_);
  TInputContext input;
  int ret = OpenInputContext(ToLibraryFileName(running->url), nullptr, nullptr, input);
  if (ret >= 0) {
    std::lock_guard<std::mutex> lock(CodecLock());
    ret = avformat.avformat_find_stream_info(input.Get(), nullptr);
  }
  const int index = ist_.Stream->index;
  // A source that cannot be read again is left to the run to find out.
  if (ret < 0 || index >= static_cast<int>(input->nb_streams) ||
      input->streams[index]->codecpar->codec_id != ist_.Stream->codecpar->codec_id)
    return {};
  const AVRational tb = ist_.Stream->time_base;
  const int64_t start_us = avutil.av_rescale_q(start_, tb, AV_TIME_BASE_Q);
  const int64_t duration = input->duration > 0 ? input->duration : INT64_MAX;
  const int64_t end_us =
      end_ == INT64_MAX ? duration : std::min(duration, avutil.av_rescale_q(end_, tb, AV_TIME_BASE_Q));
  return FirstCleanGroup(input.Get(), index, start_us, end_us).Reason;
}

TSmartCutForecast ForecastSmartCut(const std::string& input_name, const std::string& output_name,
                                   int64_t start_us, int64_t end_us) {
  TSmartCutForecast forecast;
  TInputContext input;
  int ret = OpenInputContext(ToLibraryFileName(input_name), nullptr, nullptr, input);
  if (ret >= 0) {
    std::lock_guard<std::mutex> lock(CodecLock());
    ret = avformat.avformat_find_stream_info(input.Get(), nullptr);
  }
  const int index =
      ret < 0 ? ret
              : avformat.av_find_best_stream(input.Get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (index < 0) {
    forecast.Error = ErrorText("The source's pictures cannot be read", index);
    return forecast;
  }
  const AVCodecParameters* par = input->streams[index]->codecpar;
  forecast.WholeReason =
      SmartCutObstacle(par, avformat.av_guess_format(nullptr, output_name.c_str(), nullptr));
  if (!forecast.WholeReason.empty()) return forecast;

  const int64_t duration = input->duration > 0 ? input->duration : INT64_MAX;
  const int64_t end = std::min(end_us, duration);
  const THead head = FirstCleanGroup(input.Get(), index, start_us, end);
  if (!head.Reason.empty()) {
    forecast.WholeReason = head.Reason;
    return forecast;
  }
  forecast.HeadSeconds = std::max<int64_t>(head.KeyUs - start_us, 0) / 1e6;
  // The last clean key frame before the end mark: the pictures from there on
  // are re-encoded when the source reorders them (B-frames), else copied.
  if (end >= duration || par->video_delay <= 0) return forecast;
  int64_t last = head.KeyUs;
  for (const int64_t back : {int64_t{2'000'000}, int64_t{12'000'000}, int64_t{62'000'000}}) {
    const int64_t from = std::max(head.KeyUs, end - back);
    const std::vector<int64_t> keys =
        CleanKeyFrames(input.Get(), index, from, end + kNear, INT64_MAX);
    if (!keys.empty()) {
      last = std::max(last, keys.back());
      break;
    }
    if (from == head.KeyUs) break;
  }
  if (last < end - kNear && CopiedBeforeEnd(GroupTimes(input.Get(), index, last), end) == 0)
    forecast.TailSeconds = (end - last) / 1e6;
  return forecast;
}

// ---- The proof ----

namespace {

// 128 bits of a packet's bytes (two FNV-1a sums), for finding equal packets.
std::pair<uint64_t, uint64_t> PacketDigest(const uint8_t* data, size_t size) {
  uint64_t a = 0xcbf29ce484222325ull, b = 0x84222325cbf29ce4ull ^ size;
  for (size_t i = 0; i < size; ++i) {
    a = (a ^ data[i]) * 0x100000001b3ull;
    b = (b ^ data[i]) * 0x100000001b3ull + 0x9e3779b97f4a7c15ull;
  }
  return {a, b};
}

// The digest of what a packet codes of its picture: for H.264 and H.265 its
// slices (NAL units of coded picture data), without the access unit
// delimiters, parameter sets and messages a muxer or a join may put beside
// them; for other codecs the whole packet. {0, 0}: nothing of a picture.
std::pair<uint64_t, uint64_t> PictureDigest(const AVPacket* packet,
                                            const AVCodecParameters* par) {
  const auto size = static_cast<size_t>(packet->size);
  if (par->codec_id != AV_CODEC_ID_H264 && par->codec_id != AV_CODEC_ID_HEVC)
    return PacketDigest(packet->data, size);
  const bool hevc = par->codec_id == AV_CODEC_ID_HEVC;
  int length_size = 0;
  if (par->extradata_size > 0 && !StartsWithStartCode(par->extradata, par->extradata_size)) {
    if (!hevc && par->extradata_size > 4) length_size = (par->extradata[4] & 3) + 1;
    if (hevc && par->extradata_size > 21) length_size = (par->extradata[21] & 3) + 1;
  }
  std::vector<uint8_t> slices;
  for (const TNal& nal : SplitNals(packet->data, size, length_size, hevc)) {
    const int type = nal.Type();
    if (!(hevc ? type >= 0 && type < 32 : type >= 1 && type <= 5)) continue;
    // A NAL unit ends in a set bit: zero bytes after it are the next start
    // code's, which a reader may split off either way.
    size_t length = nal.Size;
    while (length > 0 && nal.Data[length - 1] == 0) --length;
    slices.insert(slices.end(), nal.Data, nal.Data + length);
  }
  if (slices.empty()) return {0, 0};
  return PacketDigest(slices.data(), slices.size());
}

// An input opened for reading its video packets.
struct TVideoReader {
  TInputContext Input;
  int Index = -1;
  int64_t Origin = 0;
  std::string Open(const std::string& name) {
    int ret = OpenInputContext(ToLibraryFileName(name), nullptr, nullptr, Input);
    if (ret >= 0) {
      std::lock_guard<std::mutex> lock(CodecLock());
      ret = avformat.avformat_find_stream_info(Input.Get(), nullptr);
    }
    if (ret >= 0)
      ret = avformat.av_find_best_stream(Input.Get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (ret < 0) return ErrorText(name + ": its pictures cannot be read", ret);
    Index = ret;
    Origin = InputOrigin(Input.Get());
    return {};
  }
  // µs from the file's start; AV_NOPTS_VALUE when the packet has no time.
  int64_t Time(const AVPacket* packet) const {
    if (packet->pts == AV_NOPTS_VALUE) return AV_NOPTS_VALUE;
    return avutil.av_rescale_q(packet->pts, Input->streams[Index]->time_base, AV_TIME_BASE_Q) -
           Origin;
  }
};

}  // namespace

TCopyProof ProveCopiedPackets(const std::string& source_name, const std::string& output_name,
                              int64_t start_us, int64_t end_us, const std::atomic<bool>* stop) {
  return ProveCopiedParts(source_name, output_name, {{start_us, end_us}}, stop);
}

TCopyProof ProveCopiedParts(const std::string& source_name, const std::string& output_name,
                            const std::vector<std::pair<int64_t, int64_t>>& parts,
                            const std::atomic<bool>* stop) {
  TCopyProof proof;
  TVideoReader source, output;
  proof.Problem = source.Open(source_name);
  if (proof.Problem.empty()) proof.Problem = output.Open(output_name);
  if (!proof.Problem.empty()) return proof;
  auto stopped = [stop] { return stop != nullptr && stop->load(); };

  // The source's pictures of the cut, by the digests of their coded data.
  std::map<std::pair<uint64_t, uint64_t>, int> digests;
  const AVCodecParameters* source_par = source.Input->streams[source.Index]->codecpar;
  const AVCodecParameters* output_par = output.Input->streams[output.Index]->codecpar;
  AVPacketPtr packet(avcodec.av_packet_alloc());
  if (!packet) throw FFmpegException("av_packet_alloc failed");
  for (const auto& [start_us, end_us] : parts) {
    const int64_t end = end_us < 0 ? INT64_MAX : end_us;
    // A transport stream's seek lands near the time, often after it: it is
    // sought well before.
    const int64_t lead = SeekLandsLate(source.Input.Get()) ? kLateLandingLead : 0;
    SeekKeyFrame(source.Input.Get(), std::max<int64_t>(start_us - lead, 0) + source.Origin);
    // Packets come in decoding order: reading goes on a little past the end
    // for pictures shown before it.
    constexpr int64_t kReorderSlack = 2'000'000;
    while (!stopped() && avformat.av_read_frame(source.Input.Get(), packet.get()) >= 0) {
      TPacketUnref unref{packet.get()};
      if (packet->stream_index != source.Index) continue;
      const int64_t time = source.Time(packet.get());
      if (time != AV_NOPTS_VALUE && end != INT64_MAX && time >= end + kReorderSlack) break;
      if (time == AV_NOPTS_VALUE || time < start_us - 1000 || time >= end) continue;
      const auto digest = PictureDigest(packet.get(), source_par);
      if (digest != std::pair<uint64_t, uint64_t>{0, 0}) ++digests[digest];
    }
  }
  while (!stopped() && avformat.av_read_frame(output.Input.Get(), packet.get()) >= 0) {
    TPacketUnref unref{packet.get()};
    if (packet->stream_index != output.Index) continue;
    const auto digest = PictureDigest(packet.get(), output_par);
    if (digest == std::pair<uint64_t, uint64_t>{0, 0}) continue;
    ++proof.OutputPackets;
    auto found = digests.find(digest);
    if (found != digests.end() && found->second > 0) {
      --found->second;
      ++proof.Identical;
    }
  }
  if (stopped()) proof.Problem = "stopped";
  return proof;
}

}  // namespace kelvane
