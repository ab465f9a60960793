// What keeps a cut from being copied smartly (SmartCut.h): the rules of the
// source's codec and the output's format, and the forecast read ahead from
// the source.
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

bool FormatIs(const AVOutputFormat* format, const char* names) {
  return format != nullptr && avutil.av_match_name(format->name, names) != 0;
}

std::string PixelFormatObstacle(const AVCodec* codec, int format) {
  for (const AVPixelFormat* f = codec->pix_fmts; f != nullptr && *f != AV_PIX_FMT_NONE; ++f)
    if (*f == format) return {};
  return FormatText("the encoder does not take the source's pixel format %s",
                    avutil.av_get_pix_fmt_name(static_cast<AVPixelFormat>(format)));
}

}  // namespace smart_cut

// VP9: its pictures come in the order they are shown and every key frame
// starts afresh, so the re-encoded head needs no parameter sets beside the
// source's; the encoder makes the source's profile from its pixel format.
std::string Vp9Obstacle(const AVCodecParameters* par, const AVOutputFormat* format) {
  if (par->field_order != AV_FIELD_PROGRESSIVE && par->field_order != AV_FIELD_UNKNOWN)
    return "the source's pictures are interlaced";
  const AVCodec* codec = avcodec.avcodec_find_encoder_by_name("libvpx-vp9");
  if (codec == nullptr) return "no libvpx-vp9 encoder is installed";
  if (std::string pixels = PixelFormatObstacle(codec, par->format); !pixels.empty()) return pixels;
  if (!FormatIs(format, "webm,matroska,mp4,mov"))
    return FormatText("VP9 in %s cannot be joined", format != nullptr ? format->name : "unknown");
  return {};
}

namespace {

// Whether H.265 parameter sets can take turns in the output: in-band in
// MPEG-TS, or in MP4 under the sample entry 'hev1'.
bool HevcTakesTurns(const AVCodecParameters* par, const AVOutputFormat* format) {
  if (StartsWithStartCode(par->extradata, par->extradata_size)) return FormatIs(format, "mpegts");
  return FormatIs(format, "mp4,mov") && par->extradata_size >= 23;
}

}  // namespace

std::string SmartCutObstacle(const AVCodecParameters* par, const AVOutputFormat* format,
                             const TSmartSource* source) {
  if (par->codec_id == AV_CODEC_ID_VP9) return Vp9Obstacle(par, format);
  if (par->codec_id == AV_CODEC_ID_AV1) return Av1Obstacle(par, format, source);
  if (IsMpegVideo(par->codec_id)) return MpegVideoObstacle(par, format);
  if (par->codec_id != AV_CODEC_ID_H264 && par->codec_id != AV_CODEC_ID_HEVC)
    return FormatText("only H.264, H.265, VP9, MPEG-2, MPEG-4 Part 2 and AV1 are copied in part "
                      "so far; this source is %s",
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
  if (std::string pixels = PixelFormatObstacle(codec, par->format); !pixels.empty()) return pixels;
  if (par->extradata_size <= 0) return "the source has no parameter sets in its description";
  const char* container = format != nullptr ? format->name : "unknown";

  if (hevc) {
    // libx265 numbers its parameter sets 0, like most sources: they can only
    // take turns in the stream, each sent again before the pictures that use
    // it. MPEG-TS carries them in-band; so does MP4 under the sample entry
    // 'hev1', which tells a reader that the stream's own parameter sets
    // rule over the description's. Matroska has one description only:
    // there the edges must write the source's very parameter sets.
    if (!HevcTakesTurns(par, format)) {
      const std::string differ = X265ParameterSetsDiffer(par);
      if (!differ.empty())
        return FormatText("H.265 in %s: the encoder's parameter sets cannot stand beside the "
                          "source's (they share its ids), and %s",
                          container, differ.c_str());
    }
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
  if (par->codec_id == AV_CODEC_ID_AV1) return UnmatchedAv1();
  std::string reason = SmartCutObstacle(par, run_.OutputContext(ost_)->oformat);
  if (!reason.empty()) return reason;
  codec_ = par->codec_id == AV_CODEC_ID_HEVC         ? TCodec::H265
           : par->codec_id == AV_CODEC_ID_VP9        ? TCodec::Vp9
           : par->codec_id == AV_CODEC_ID_MPEG2VIDEO ? TCodec::Mpeg2
           : par->codec_id == AV_CODEC_ID_MPEG4      ? TCodec::Mpeg4
                                                     : TCodec::H264;
  source_delay_ = par->video_delay;
  if (codec_ == TCodec::Vp9) return {};
  if (!Nal()) {
    // The description's headers, sent again at each join whose key frame
    // does not bring its own.
    source_headers_ = MpegSourceHeaders(par);
    if (codec_ == TCodec::Mpeg2) clock_ = MakePictureClock(ist_.Stream);
    return {};
  }
  const auto extradata = static_cast<size_t>(par->extradata_size);
  if (codec_ == TCodec::H265) {
    // Where they cannot take turns, the edges write the source's own.
    if (!HevcTakesTurns(par, run_.OutputContext(ost_)->oformat))
      x265_params_ = X265SourceParams(par);
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

namespace {

// Reads the packets of stream `index` from the key frame at or before
// `from_us` (µs from the file's start; the start itself when that seek
// fails), handing each with its time in µs from the start to `visit` until it
// returns false or the file ends.
template <typename Visit>
void ReadStreamFrom(AVFormatContext* input, int index, int64_t from_us, Visit visit) {
  const AVStream* stream = input->streams[index];
  const int64_t origin = InputOrigin(input);
  // A transport stream's seek lands near the time, often after it.
  const int64_t lead = SeekLandsLate(input) ? kLateLandingLead : 0;
  if (SeekKeyFrame(input, std::max<int64_t>(from_us - lead, 0) + origin) < 0)
    SeekKeyFrame(input, origin);
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
  if (!found) head.Reason = unclean ? NoCleanGroupReason(par->codec_id) : kWithinOneGroup;
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

namespace {

// One cut's forecast, read from the opened input's video stream `index`.
TSmartCutForecast ForecastCut(AVFormatContext* input, int index, const AVOutputFormat* format,
                              int64_t start_us, int64_t end_us) {
  TSmartCutForecast forecast;
  const AVCodecParameters* par = input->streams[index]->codecpar;
  const TSmartSource source{input->streams[index], Av1StreamHeader(input, index)};
  forecast.WholeReason = SmartCutObstacle(par, format, &source);
  if (!forecast.WholeReason.empty()) return forecast;

  const int64_t duration = input->duration > 0 ? input->duration : INT64_MAX;
  const int64_t end = std::min(end_us, duration);
  const THead head = FirstCleanGroup(input, index, start_us, end);
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
    const std::vector<int64_t> keys = CleanKeyFrames(input, index, from, end + kNear, INT64_MAX);
    if (!keys.empty()) {
      last = std::max(last, keys.back());
      break;
    }
    if (from == head.KeyUs) break;
  }
  if (last < end - kNear && CopiedBeforeEnd(GroupTimes(input, index, last), end) == 0)
    forecast.TailSeconds = (end - last) / 1e6;
  return forecast;
}

}  // namespace

std::vector<TSmartCutForecast> ForecastSmartCuts(
    const std::string& input_name, const std::string& output_name,
    const std::vector<std::pair<int64_t, int64_t>>& cuts) {
  TInputContext input;
  int ret = OpenInputContext(ToLibraryFileName(input_name), nullptr, nullptr, input);
  if (ret >= 0) {
    std::lock_guard<std::mutex> lock(CodecLock());
    ret = avformat.avformat_find_stream_info(input.Get(), nullptr);
  }
  const int index =
      ret < 0 ? ret
              : avformat.av_find_best_stream(input.Get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  std::vector<TSmartCutForecast> forecasts;
  if (index < 0) {
    TSmartCutForecast unread;
    unread.Error = ErrorText("The source's pictures cannot be read", index);
    forecasts.assign(cuts.size(), unread);
    return forecasts;
  }
  const AVOutputFormat* format = avformat.av_guess_format(nullptr, output_name.c_str(), nullptr);
  for (const auto& [start_us, end_us] : cuts)
    forecasts.push_back(ForecastCut(input.Get(), index, format, start_us, end_us));
  return forecasts;
}

TSmartCutForecast ForecastSmartCut(const std::string& input_name, const std::string& output_name,
                                   int64_t start_us, int64_t end_us) {
  return ForecastSmartCuts(input_name, output_name, {{start_us, end_us}}).front();
}

}  // namespace kelvane
