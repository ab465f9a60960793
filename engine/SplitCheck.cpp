#include "engine/SplitCheck.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <tuple>
#include <vector>

#include "binding/AVPtr.h"
#include "binding/Bitmap.h"
#include "binding/FFmpegLoader.h"
#include "binding/KeyFrameSeek.h"
#include "binding/PictureRotation.h"
#include "binding/UnicodeProtocol.h"
#include "engine/core/SmartCut.h"

namespace kelvane {
namespace {

// Pictures are compared as grey pictures of this size.
constexpr int kThumbWidth = 64;
constexpr int kThumbHeight = 48;
// A picture is the source's when its grey values differ by less than this on
// average (of 255): coding and scaling leave a few; another scene leaves dozens.
constexpr double kSamePicture = 20.0;
// A neighbour counts as the better match only when it is clearly closer.
constexpr double kClearlyCloser = 0.8;

using TThumb = std::vector<uint8_t>;

struct TCheckFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Ends the reading when another thread asked the check to stop.
void StopIfAsked(const TSplitCheckRequest& request) {
  if (request.Stop != nullptr && request.Stop->load()) throw TCheckFailure(kCheckStopped);
}

std::string ErrorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {0};
  avutil.av_strerror(code, text, sizeof text);
  return text;
}

void OpenFile(const std::string& path, TInputContext& input) {
  int result = OpenInputContext(ToLibraryFileName(path), nullptr, nullptr, input);
  if (result >= 0) {
    std::lock_guard<std::mutex> lock(CodecLock());
    result = avformat.avformat_find_stream_info(input.Get(), nullptr);
  }
  if (result < 0) throw TCheckFailure(path + ": " + ErrorText(result));
}

AVCodecContextPtr OpenDecoder(const AVStream* stream) {
  const AVCodec* codec = avcodec.avcodec_find_decoder(stream->codecpar->codec_id);
  if (codec == nullptr) {
    throw TCheckFailure(std::string("no decoder for ") +
                        avcodec.avcodec_get_name(stream->codecpar->codec_id));
  }
  AVCodecContextPtr decoder(avcodec.avcodec_alloc_context3(codec));
  if (!decoder || avcodec.avcodec_parameters_to_context(decoder.get(), stream->codecpar) < 0) {
    throw TCheckFailure("cannot set up a decoder");
  }
  decoder->pkt_timebase = stream->time_base;
  decoder->thread_count = 0;  // one per core: decoding up to the start mark is most of the check
  std::lock_guard<std::mutex> lock(CodecLock());
  if (avcodec.avcodec_open2(decoder.get(), codec, nullptr) < 0) {
    throw TCheckFailure("cannot open the decoder");
  }
  return decoder;
}

int64_t MsSince(std::chrono::steady_clock::time_point began) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               began)
      .count();
}

int64_t ToUs(int64_t value, AVRational time_base) {
  return avutil.av_rescale_q(value, time_base, AV_TIME_BASE_Q);
}

int64_t PacketTime(const AVPacket* packet) {
  return packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
}

// The picture inside the bars, as a small grey picture.
TThumb Thumb(const AVFrame* frame, int top, int bottom, int left, int right) {
  const int width = frame->width, height = frame->height;
  // Rows and slack after them as the scaler's vector code needs (Bitmap.h).
  const int grey_stride = TBitmap::RowBytes(width, 1);
  std::vector<uint8_t> grey(size_t(grey_stride) * size_t(height) + TBitmap::kScalerSlack);
  SwsContextPtr to_grey(swscale.sws_getContext(width, height, AVPixelFormat(frame->format), width,
                                               height, AV_PIX_FMT_GRAY8, SWS_POINT, nullptr,
                                               nullptr, nullptr));
  if (!to_grey) throw TCheckFailure("cannot read the picture's format");
  uint8_t* grey_planes[4] = {grey.data(), nullptr, nullptr, nullptr};
  int grey_strides[4] = {grey_stride, 0, 0, 0};
  swscale.sws_scale(to_grey.get(), frame->data, frame->linesize, 0, height, grey_planes,
                    grey_strides);
  if (top < 0 || bottom < 0 || left < 0 || right < 0 || top + bottom >= height ||
      left + right >= width) {
    top = bottom = left = right = 0;
  }
  const int inner_width = width - left - right, inner_height = height - top - bottom;
  SwsContextPtr shrink(swscale.sws_getContext(inner_width, inner_height, AV_PIX_FMT_GRAY8,
                                              kThumbWidth, kThumbHeight, AV_PIX_FMT_GRAY8,
                                              SWS_AREA, nullptr, nullptr, nullptr));
  if (!shrink) throw TCheckFailure("cannot shrink the picture");
  TThumb thumb(size_t(kThumbWidth) * kThumbHeight + TBitmap::kScalerSlack);
  const uint8_t* inner[4] = {grey.data() + size_t(top) * grey_stride + left, nullptr, nullptr,
                             nullptr};
  uint8_t* thumb_planes[4] = {thumb.data(), nullptr, nullptr, nullptr};
  int thumb_strides[4] = {kThumbWidth, 0, 0, 0};
  swscale.sws_scale(shrink.get(), inner, grey_strides, 0, inner_height, thumb_planes,
                    thumb_strides);
  thumb.resize(size_t(kThumbWidth) * kThumbHeight);
  return thumb;
}

// The picture as it is shown: turned as its stream's display matrix asks
// (`rotation`), the bars around it turned along.
TThumb ShownThumb(const AVFrame* frame, int32_t rotation, int top, int bottom, int left,
                  int right) {
  if (rotation == 0) return Thumb(frame, top, bottom, left, right);
  SwsContextPtr scaler;
  AVFramePtr turned = RotatePicture(frame, rotation, scaler);
  if (!turned) throw TCheckFailure("cannot turn the picture");
  for (int quarter = 0; quarter < rotation / 90; ++quarter) {
    // A clockwise quarter turn brings the left bar to the top.
    std::tie(top, right, bottom, left) = std::make_tuple(left, top, right, bottom);
  }
  return Thumb(turned.get(), top, bottom, left, right);
}

double Distance(const TThumb& a, const TThumb& b) {
  double sum = 0;
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) sum += std::abs(int(a[i]) - int(b[i]));
  return a.empty() ? std::numeric_limits<double>::max() : sum / double(a.size());
}

// What the output holds, from its packets and its first picture.
// Times of a part of a joined file may lie a rounding off the exact
// pictures' times; a picture is far longer than this.
constexpr int64_t kRoundingUs = 500;

struct TOutputFacts {
  bool HasVideo = false;
  std::optional<TThumb> FirstPicture;
  int64_t FirstPictureUs = 0;
  std::optional<TThumb> LastPicture;
  int64_t Frames = 0;
  int64_t VideoEndUs = INT64_MIN;
  AVRational FrameRate{0, 1};
  bool HasAudio = false;
  int64_t AudioStartUs = INT64_MAX;
  // Where the packets say the sound starts. Decoders that leave out their
  // priming themselves (MP3, Opus) give the first sound a later time, on a
  // line the packets' end is not on.
  int64_t AudioPacketStartUs = INT64_MAX;
  int64_t AudioEndUs = INT64_MIN;
  int64_t AudioFrameUs = 0;
  // A part's sound goes on from the part before, or into the next one.
  bool SoundFromBefore = false;
  bool SoundIntoNext = false;
};

// Samples the demuxer says to leave out at the start and the end of a packet.
std::pair<int64_t, int64_t> SkippedSamples(const AVPacket* packet) {
  size_t size = 0;
  const uint8_t* data = avcodec.av_packet_get_side_data(packet, AV_PKT_DATA_SKIP_SAMPLES, &size);
  if (data == nullptr || size < 8) return {0, 0};
  auto le32 = [](const uint8_t* p) {
    return int64_t(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 |
                   uint32_t(p[3]) << 24);
  };
  return {le32(data), le32(data + 4)};
}

// Where the first sound is heard: the time of the first decoded samples. The
// decoder leaves out what the file marks as priming (skip samples) and what it
// leaves out by itself (WMA's first two frames), which packet times alone do
// not show.
struct TFirstSound {
  AVCodecContextPtr Decoder;
  bool Done = false;
  std::optional<int64_t> StartUs;

  void Open(const AVStream* stream) {
    const AVCodec* codec = avcodec.avcodec_find_decoder(stream->codecpar->codec_id);
    if (codec == nullptr) {
      Done = true;  // the packet times stand
      return;
    }
    Decoder.reset(avcodec.avcodec_alloc_context3(codec));
    if (!Decoder || avcodec.avcodec_parameters_to_context(Decoder.get(), stream->codecpar) < 0) {
      Done = true;
      return;
    }
    Decoder->pkt_timebase = stream->time_base;
    std::lock_guard<std::mutex> lock(CodecLock());
    if (avcodec.avcodec_open2(Decoder.get(), codec, nullptr) < 0) Done = true;
  }

  void Packet(const AVPacket* packet, const AVStream* stream, AVFrame* frame) {
    if (Done || !Decoder) return;  // done, or not opened: the packet times stand
    if (packet != nullptr && avcodec.avcodec_send_packet(Decoder.get(), packet) < 0) return;
    if (packet == nullptr) avcodec.avcodec_send_packet(Decoder.get(), nullptr);
    if (avcodec.avcodec_receive_frame(Decoder.get(), frame) < 0) return;
    const int64_t at = frame->pts != AV_NOPTS_VALUE ? frame->pts : frame->best_effort_timestamp;
    if (at != AV_NOPTS_VALUE) StartUs = ToUs(at, stream->time_base);
    avutil.av_frame_unref(frame);
    Done = true;
  }
};

void NoteAudioPacket(const AVPacket* packet, const AVStream* stream, TOutputFacts& facts) {
  const int64_t at = PacketTime(packet);
  if (at == AV_NOPTS_VALUE) return;
  const int rate = stream->codecpar->sample_rate;
  const auto [skip_start, skip_end] = SkippedSamples(packet);
  auto samples_us = [rate](int64_t samples) {
    return rate > 0 ? samples * AV_TIME_BASE / rate : 0;
  };
  const int64_t start = ToUs(at, stream->time_base);
  const int64_t length = ToUs(packet->duration, stream->time_base);
  facts.AudioStartUs = std::min(facts.AudioStartUs, start + samples_us(skip_start));
  facts.AudioPacketStartUs = facts.AudioStartUs;
  facts.AudioEndUs = std::max(facts.AudioEndUs, start + length - samples_us(skip_end));
  if (facts.AudioFrameUs == 0) facts.AudioFrameUs = length;
}

// Where a file's times begin (µs): a transport stream's muxing delay; 0 for
// other files, whose first sound may lie a little before their first picture.
int64_t OutputOrigin(const AVFormatContext* ic) {
  if (!(ic->iformat->flags & AVFMT_TS_DISCONT)) return 0;
  return ic->start_time != AV_NOPTS_VALUE && ic->start_time > 0 ? ic->start_time : 0;
}

// The output's last picture: decoded from the last key picture (`last_key`,
// stream units) on. Nothing when the file cannot be sought.
std::optional<TThumb> LastPicture(const TSplitCheckRequest& request, AVFormatContext* ic,
                                  int video, int64_t last_key) {
  if (last_key == AV_NOPTS_VALUE) return std::nullopt;
  AVStream* stream = ic->streams[video];
  // A part of the output: its last picture is the last before the part's end.
  const int64_t end =
      request.OutputEndUs < 0
          ? INT64_MAX
          : avutil.av_rescale_q(request.OutputEndUs + OutputOrigin(ic) - kRoundingUs,
                                AV_TIME_BASE_Q, stream->time_base);
  const int64_t read_until =
      end == INT64_MAX ? INT64_MAX
                       : end + avutil.av_rescale_q(AV_TIME_BASE, AV_TIME_BASE_Q, stream->time_base);
  for (unsigned i = 0; i < ic->nb_streams; ++i) {
    if (int(i) != video) ic->streams[i]->discard = AVDISCARD_ALL;
  }
  if (SeekKeyFrame(ic, last_key, video) < 0) return std::nullopt;
  AVCodecContextPtr decoder = OpenDecoder(stream);
  AVPacketPtr packet(avcodec.av_packet_alloc());
  AVFramePtr frame(avutil.av_frame_alloc());
  AVFramePtr last(avutil.av_frame_alloc());
  int64_t last_at = INT64_MIN;
  bool before_key = true;
  auto receive = [&]() {
    while (avcodec.avcodec_receive_frame(decoder.get(), frame.get()) >= 0) {
      const int64_t at = frame->best_effort_timestamp;
      if (at != AV_NOPTS_VALUE && at >= last_at && at < end) {
        last_at = at;
        avutil.av_frame_unref(last.get());
        if (avutil.av_frame_ref(last.get(), frame.get()) < 0) last_at = INT64_MIN;
      }
      avutil.av_frame_unref(frame.get());
    }
  };
  while (avformat.av_read_frame(ic, packet.get()) >= 0) {
    if (packet->stream_index == video) {
      // Pictures before the last key picture need references seeking may
      // have skipped; from it on everything decodes.
      const int64_t at = PacketTime(packet.get());
      if (at != AV_NOPTS_VALUE && at >= last_key) before_key = false;
      if (!before_key && avcodec.avcodec_send_packet(decoder.get(), packet.get()) >= 0) receive();
      const int64_t dts = packet->dts != AV_NOPTS_VALUE ? packet->dts : at;
      if (dts != AV_NOPTS_VALUE && dts >= read_until) {
        avcodec.av_packet_unref(packet.get());
        break;
      }
    }
    avcodec.av_packet_unref(packet.get());
  }
  avcodec.avcodec_send_packet(decoder.get(), nullptr);
  receive();
  if (last_at == INT64_MIN) return std::nullopt;
  return ShownThumb(last.get(), StreamRotation(stream), request.PadTop, request.PadBottom,
                    request.PadLeft, request.PadRight);
}

TOutputFacts ReadOutput(const TSplitCheckRequest& request) {
  TInputContext input;
  OpenFile(request.OutputFile, input);
  AVFormatContext* ic = input.Get();
  TOutputFacts facts;
  const int video = avformat.av_find_best_stream(ic, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  const int audio = avformat.av_find_best_stream(ic, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  facts.HasAudio = audio >= 0;
  AVCodecContextPtr decoder;
  int64_t frame_ticks = 0;
  facts.HasVideo = video >= 0;
  if (video >= 0) {
    AVStream* stream = ic->streams[video];
    decoder = OpenDecoder(stream);
    facts.FrameRate = avformat.av_guess_frame_rate(ic, stream, nullptr);
    if (facts.FrameRate.num > 0) {
      frame_ticks = avutil.av_rescale_q(1, av_inv_q(facts.FrameRate), stream->time_base);
    }
  }
  // A part of the output (a joined file's): read from the key picture before
  // it to a little after it; the times a part holds are its own.
  // Its times count from the file's own beginning (a transport stream's lie
  // past its muxing delay).
  const bool window = request.OutputStartUs > 0 || request.OutputEndUs >= 0;
  const int64_t origin = window ? OutputOrigin(ic) : 0;
  const int64_t window_start = request.OutputStartUs + origin;
  const int64_t window_end = request.OutputEndUs < 0 ? INT64_MAX : request.OutputEndUs + origin;
  auto inside = [&](int64_t us) {
    return us >= window_start - kRoundingUs && us < window_end - kRoundingUs;
  };
  bool after_window = false;  // the file goes on past the part
  // A part is sought a little before it (a program stream is sought by its
  // bytes and may land on a key picture after the time asked for); a
  // transport stream's seek lands anywhere, not at a key picture, so it is
  // sought well before the part, and decoding starts at the key picture there.
  const int64_t seek_to = window_start - (SeekLandsLate(ic) ? kLateLandingLead : AV_TIME_BASE);
  if (request.OutputStartUs > 0 && video >= 0 &&
      SeekKeyFrame(ic,
                   avutil.av_rescale_q(std::max<int64_t>(seek_to, 0), AV_TIME_BASE_Q,
                                       ic->streams[video]->time_base),
                   video) < 0) {
    throw TCheckFailure(request.OutputFile + ": cannot be sought to " +
                        std::to_string(window_start / 1000) + " ms");
  }
  TFirstSound first_sound;
  // The decoder's own priming matters at the file's start only.
  if (audio >= 0 && request.OutputStartUs <= 0) first_sound.Open(ic->streams[audio]);
  int64_t last_key = AV_NOPTS_VALUE;  // time of the last key picture, stream units
  std::vector<int64_t> part_times;    // a part's pictures, stream units
  AVPacketPtr packet(avcodec.av_packet_alloc());
  AVFramePtr frame(avutil.av_frame_alloc());
  auto take_picture = [&]() {
    while (!facts.FirstPicture && avcodec.avcodec_receive_frame(decoder.get(), frame.get()) >= 0) {
      const int64_t at = frame->best_effort_timestamp;
      const int64_t at_us = at == AV_NOPTS_VALUE ? 0 : ToUs(at, ic->streams[video]->time_base);
      if (window && (at == AV_NOPTS_VALUE || at_us < window_start - kRoundingUs)) {
        avutil.av_frame_unref(frame.get());
        continue;  // a picture of the part before, decoded for its references
      }
      facts.FirstPicture = ShownThumb(frame.get(), StreamRotation(ic->streams[video]),
                                      request.PadTop, request.PadBottom, request.PadLeft,
                                      request.PadRight);
      if (at != AV_NOPTS_VALUE) facts.FirstPictureUs = at_us;
      avutil.av_frame_unref(frame.get());
    }
  };
  while (avformat.av_read_frame(ic, packet.get()) >= 0) {
    StopIfAsked(request);
    if (packet->stream_index == video) {
      const AVRational tb = ic->streams[video]->time_base;
      const int64_t at = PacketTime(packet.get());
      const int64_t at_us = at == AV_NOPTS_VALUE ? AV_NOPTS_VALUE : ToUs(at, tb);
      const bool in_part = !window || (at != AV_NOPTS_VALUE && inside(at_us));
      if (in_part) ++facts.Frames;
      if (window && in_part) part_times.push_back(at);
      if ((packet->flags & AV_PKT_FLAG_KEY) != 0 && at != AV_NOPTS_VALUE &&
          (!window || at_us < window_end - kRoundingUs)) {
        last_key = at;
      }
      if (at != AV_NOPTS_VALUE && in_part) {
        const int64_t length = packet->duration > 0 ? packet->duration : frame_ticks;
        facts.VideoEndUs = std::max(facts.VideoEndUs, ToUs(at + length, tb));
      }
      if (window && at != AV_NOPTS_VALUE && at_us >= window_end - kRoundingUs) {
        after_window = true;
      }
      if (!facts.FirstPicture && avcodec.avcodec_send_packet(decoder.get(), packet.get()) >= 0) {
        take_picture();
      }
      // Reordered pictures come a little after the part's end in file order.
      const int64_t dts = packet->dts != AV_NOPTS_VALUE ? ToUs(packet->dts, tb) : at_us;
      if (window && window_end != INT64_MAX && facts.FirstPicture &&
          dts != AV_NOPTS_VALUE && dts >= window_end + AV_TIME_BASE) {
        avcodec.av_packet_unref(packet.get());
        break;
      }
    } else if (packet->stream_index == audio) {
      const AVStream* stream = ic->streams[audio];
      const int64_t at = PacketTime(packet.get());
      const int64_t start = at == AV_NOPTS_VALUE ? 0 : ToUs(at, stream->time_base);
      const int64_t end = start + ToUs(packet->duration, stream->time_base);
      if (!window || (at != AV_NOPTS_VALUE && end > window_start && start < window_end)) {
        NoteAudioPacket(packet.get(), stream, facts);
        first_sound.Packet(packet.get(), stream, frame.get());
      }
    }
    avcodec.av_packet_unref(packet.get());
  }
  if (decoder && !facts.FirstPicture) {
    avcodec.avcodec_send_packet(decoder.get(), nullptr);
    take_picture();
  }
  if (part_times.size() >= 2) {
    // A part's rate is that of its own pictures. The file's guessed rate can
    // be a multiple of it: a segment whose start mark lies between two of the
    // source's pictures begins part of a picture after its join, and the
    // guess takes the finest step of all the file's times.
    std::sort(part_times.begin(), part_times.end());
    std::vector<int64_t> steps;
    for (size_t i = 1; i < part_times.size(); ++i) {
      steps.push_back(part_times[i] - part_times[i - 1]);
    }
    std::nth_element(steps.begin(), steps.begin() + steps.size() / 2, steps.end());
    const int64_t step = steps[steps.size() / 2];
    const AVRational tb = ic->streams[video]->time_base;
    if (step > 0 && avutil.av_reduce(&facts.FrameRate.num, &facts.FrameRate.den,
                                     int64_t(tb.den), step * tb.num, INT_MAX) == 0) {
      facts.FrameRate = {0, 1};  // not exact: unknown rather than wrong
    }
    if (step > 0) facts.VideoEndUs = ToUs(part_times.back() + step, tb);
  }
  if (audio >= 0) {
    first_sound.Packet(nullptr, ic->streams[audio], frame.get());
    if (first_sound.StartUs) facts.AudioStartUs = *first_sound.StartUs;
    // Opus's priming (its pre-skip) as the readers report it: Matroska keeps
    // it as the track's codec delay, which the reader takes off every time,
    // so the first packet begins that much before the sound it holds (its
    // decoder leaves the priming out); Ogg's reader starts the first packet
    // at 0 with the primed samples in it, so the packets end that much early.
    const AVCodecParameters* par = ic->streams[audio]->codecpar;
    if (par->codec_id == AV_CODEC_ID_OPUS && par->initial_padding > 0 && par->sample_rate > 0) {
      const int64_t delay = int64_t(par->initial_padding) * AV_TIME_BASE / par->sample_rate;
      if (std::strstr(ic->iformat->name, "matroska") != nullptr) {
        if (request.OutputStartUs <= 0) facts.AudioPacketStartUs += delay;
      } else if (std::strcmp(ic->iformat->name, "ogg") == 0) {
        facts.AudioEndUs += delay;
      }
    }
  }
  if (window && facts.AudioEndUs > INT64_MIN) {
    // Sound that goes on from the part before or into the next one is in
    // place at that join: it is measured from and to the join.
    if (request.OutputStartUs > 0 && facts.AudioStartUs < window_start) {
      facts.AudioStartUs = facts.AudioPacketStartUs = window_start;
      facts.SoundFromBefore = true;
    }
    if (after_window && facts.AudioEndUs > window_end) {
      facts.AudioEndUs = window_end;
      facts.SoundIntoNext = true;
    }
  }
  if (decoder && facts.FirstPicture) facts.LastPicture = LastPicture(request, ic, video, last_key);
  return facts;
}

// Decodes from wherever the input was sought to: the pictures either side of
// `start` (µs of the stream's time) and the count of pictures in [start, end).
// Pictures more than two `frame_us` before `start` serve only as references:
// those that nothing refers to are not decoded, the others without their loop
// filter (what it smooths does not show in a 64x48 picture), which halves the
// check's time when the key frame lies seconds before the mark. False when
// the decoding began after `start` though pictures before it exist.
bool ReadAroundStart(const TSplitCheckRequest& request, AVFormatContext* ic, int video,
                     AVCodecContext* decoder, int64_t start, int64_t end, int64_t stream_start,
                     int64_t frame_us, TSourcePictures& facts) {
  const AVStream* stream = ic->streams[video];
  AVPacketPtr packet(avcodec.av_packet_alloc());
  AVFramePtr frame(avutil.av_frame_alloc());
  facts = TSourcePictures{};
  facts.Frames = 0;
  bool first = true;
  // The picture before the mark is shrunk only once the mark's picture shows
  // which one it is.
  AVFramePtr previous(avutil.av_frame_alloc());
  bool have_previous = false;
  auto receive = [&]() {
    while (facts.After.empty() && avcodec.avcodec_receive_frame(decoder, frame.get()) >= 0) {
      const int64_t at = ToUs(frame->best_effort_timestamp, stream->time_base);
      if (first && at > start && start > stream_start) return false;
      first = false;
      if (at < start) {
        avutil.av_frame_unref(previous.get());
        have_previous = avutil.av_frame_ref(previous.get(), frame.get()) >= 0;
        avutil.av_frame_unref(frame.get());
        continue;
      }
      const int32_t rotation = StreamRotation(stream);
      if (facts.At.empty()) {
        if (have_previous) facts.Before = ShownThumb(previous.get(), rotation, 0, 0, 0, 0);
        facts.At = ShownThumb(frame.get(), rotation, 0, 0, 0, 0);
        facts.FirstPictureLeadUs = at - start;
      } else {
        facts.After = ShownThumb(frame.get(), rotation, 0, 0, 0, 0);
      }
      avutil.av_frame_unref(frame.get());
    }
    return true;
  };
  // Reordered pictures can come a little after the end in file order.
  const int64_t read_until = end == INT64_MAX ? INT64_MAX : end + AV_TIME_BASE;
  while (avformat.av_read_frame(ic, packet.get()) >= 0) {
    StopIfAsked(request);
    bool more = true;
    if (packet->stream_index == video) {
      const int64_t at = PacketTime(packet.get());
      const int64_t at_us = at == AV_NOPTS_VALUE ? AV_NOPTS_VALUE : ToUs(at, stream->time_base);
      if (at_us == AV_NOPTS_VALUE) facts.Frames = -1;
      if (facts.Frames >= 0 && at_us >= start && at_us < end) {
        ++facts.Frames;
        facts.LastPictureUs = std::max(facts.LastPictureUs, at_us);
      }
      if (facts.After.empty()) {
        const bool far = at_us != AV_NOPTS_VALUE && frame_us > 0 && at_us < start - 2 * frame_us;
        decoder->skip_frame = far ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
        decoder->skip_loop_filter = far ? AVDISCARD_ALL : AVDISCARD_DEFAULT;
        if (avcodec.avcodec_send_packet(decoder, packet.get()) >= 0) more = receive();
      }
      const int64_t dts =
          packet->dts != AV_NOPTS_VALUE ? ToUs(packet->dts, stream->time_base) : at_us;
      if (!facts.After.empty() && dts != AV_NOPTS_VALUE && dts >= read_until) more = false;
    }
    avcodec.av_packet_unref(packet.get());
    if (!more) return !facts.After.empty() || !first;
  }
  avcodec.avcodec_send_packet(decoder, nullptr);
  return receive();
}

// The source's video stream, read from a position of choice.
struct TSourceReader {
  TInputContext Input;
  int Video = -1;
  AVCodecContextPtr Decoder;

  void Open(const std::string& path) {
    Decoder.reset();
    OpenFile(path, Input);
    AVFormatContext* ic = Input.Get();
    Video = avformat.av_find_best_stream(ic, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (Video < 0) return;
    for (unsigned i = 0; i < ic->nb_streams; ++i) {
      if (int(i) != Video) ic->streams[i]->discard = AVDISCARD_ALL;
    }
    Decoder = OpenDecoder(ic->streams[Video]);
  }
};

TSourcePictures ReadSource(const TSplitCheckRequest& request) {
  TSourceReader reader;
  reader.Open(request.SourceFile);
  if (reader.Video < 0) throw TCheckFailure(request.SourceFile + ": no pictures");
  AVFormatContext* ic = reader.Input.Get();
  const AVStream* stream = ic->streams[reader.Video];
  const int64_t origin = InputOrigin(ic);
  const int64_t start = origin + request.StartUs;
  const int64_t end = request.EndUs < 0 ? INT64_MAX : origin + request.EndUs;
  const int64_t stream_start =
      stream->start_time != AV_NOPTS_VALUE ? ToUs(stream->start_time, stream->time_base) : origin;
  const int64_t first = std::min(origin, stream_start);
  const AVRational frame_rate =
      avformat.av_guess_frame_rate(ic, ic->streams[reader.Video], nullptr);
  // From the key frame before the picture before the mark.
  const int64_t frame_us =
      frame_rate.num > 0 ? avutil.av_rescale(AV_TIME_BASE, frame_rate.den, frame_rate.num) : 0;
  // Some demuxers (MPEG program and transport streams) land after the key
  // frame asked for: try again from further back, in the end from the start.
  const TSeekLeads leads{frame_us, AV_TIME_BASE};
  auto read_around = [&](int64_t at, int64_t until, TSourcePictures& facts) {
    auto read = [&] {
      return ReadAroundStart(request, reader.Input.Get(), reader.Video, reader.Decoder.get(), at,
                             until, stream_start, frame_us, facts);
    };
    const TSteppedSeek seek =
        SeekSteppingBack(reader.Input.Get(), at, first, leads, reader.Video, [&](int64_t) {
          avcodec.avcodec_flush_buffers(reader.Decoder.get());
          return read() ? slEarly : slLate;
        });
    if (seek.Outcome != TSteppedSeek::soLanded) {
      reader.Open(request.SourceFile);  // from the first byte
      read();
    }
  };
  TSourcePictures facts;
  read_around(start, end, facts);
  if (end != INT64_MAX && frame_us > 0) {
    // Pictures that do not come one frame length apart: their count is not
    // the segment's length in frames.
    facts.VariableRate = facts.Frames > 0 &&
                         std::llabs(facts.Frames - (end - start + frame_us / 2) / frame_us) > 1;
    // The last picture of the segment: the one that begins within a picture's
    // length before the end mark, or, at a variable rate, the last that
    // begins before it.
    TSourcePictures last;
    read_around(facts.VariableRate && facts.LastPictureUs >= 0 ? facts.LastPictureUs
                                                              : end - frame_us,
                end, last);
    facts.LastBefore = std::move(last.Before);
    facts.LastAt = std::move(last.At);
    facts.LastAfter = std::move(last.After);
  }
  facts.FrameRateNum = frame_rate.num;
  facts.FrameRateDen = frame_rate.den;
  return facts;
}

// Which of the source's pictures `before`, `at` and `after` the output's
// `picture` is: 0 `at`, -1 `before`, +1 `after`; nothing when none is alike.
std::optional<int> WhichPicture(const TThumb& picture, const TThumb& before, const TThumb& at,
                                const TThumb& after) {
  const double none = std::numeric_limits<double>::max();
  const double on = Distance(picture, at);
  const double earlier = before.empty() ? none : Distance(picture, before);
  const double later = after.empty() ? none : Distance(picture, after);
  double best = on;
  int offset = 0;
  if (earlier < best * kClearlyCloser) {
    best = earlier;
    offset = -1;
  }
  if (later < best * kClearlyCloser && later < on * kClearlyCloser) {
    best = later;
    offset = 1;
  }
  if (best >= kSamePicture) return std::nullopt;
  return offset;
}

void ComparePictures(const TOutputFacts& output, const TSourcePictures& source,
                     TSplitCheck& check) {
  if (output.FirstPicture && !source.At.empty()) {
    const auto offset = WhichPicture(*output.FirstPicture, source.Before, source.At, source.After);
    check.PictureFound = offset.has_value();
    check.FrameOffset = offset.value_or(0);
  }
  // At another frame rate the last picture is whichever the rate's times
  // land on.
  if (output.LastPicture && !source.LastAt.empty() && !check.RateChanged) {
    check.LastPictureCompared = true;
    const auto offset =
        WhichPicture(*output.LastPicture, source.LastBefore, source.LastAt, source.LastAfter);
    check.LastPictureFound = offset.has_value();
    check.LastFrameOffset = offset.value_or(0);
  }
}

void CompareCounts(const TOutputFacts& output, const TSourcePictures& source, TSplitCheck& check) {
  check.Frames = output.Frames;
  if (source.Frames < 0) return;
  const AVRational in{source.FrameRateNum, source.FrameRateDen}, out = output.FrameRate;
  check.RateChanged = in.num > 0 && out.num > 0 &&
                      std::fabs(av_q2d(out) / av_q2d(in) - 1.0) > 0.01;
  check.ExpectedFrames =
      check.RateChanged ? std::llround(double(source.Frames) * av_q2d(out) / av_q2d(in))
                        : source.Frames;
}

void CompareSound(const TSplitCheckRequest& request, const TOutputFacts& output,
                  const TSourcePictures& source, TSplitCheck& check) {
  check.HasAudio = output.HasAudio && output.AudioEndUs > INT64_MIN;
  if (!check.HasAudio) return;
  int64_t start = 0, end = 0;
  int64_t sound_start = output.AudioStartUs, sound_end = output.AudioEndUs;
  if (check.HasVideo && output.FirstPicture && output.VideoEndUs > INT64_MIN) {
    start = output.FirstPictureUs;
    end = output.VideoEndUs;
    // Against the end of the segment's pictures at the output's rate, which
    // a picture too many or too few (counted on their own) does not move.
    // At a variable rate, against the segment's length.
    if (request.OutputEndUs >= 0 && request.EndUs >= 0) {
      // A part of a joined file runs from join to join, as long as its
      // segment: its sound fills it, while its first picture comes as long
      // after the join as the source's after the start mark (a mark between
      // two pictures). Sound going on across a join is in place there.
      start = output.FirstPictureUs - source.FirstPictureLeadUs;
      end = start + request.EndUs - request.StartUs;
      if (output.SoundFromBefore) sound_start = start;
      if (output.SoundIntoNext) sound_end = end;
    } else if (source.VariableRate && request.EndUs >= 0) {
      end = start + request.EndUs - request.StartUs;
    } else if (check.ExpectedFrames >= 0 && output.FrameRate.num > 0) {
      end = start + avutil.av_rescale(check.ExpectedFrames * AV_TIME_BASE, output.FrameRate.den,
                                      output.FrameRate.num);
    }
  } else {
    start = output.AudioStartUs;  // against the segment's length only
    end = request.EndUs < 0 ? output.AudioEndUs
                            : output.AudioPacketStartUs + request.EndUs - request.StartUs;
  }
  check.AudioStartMs = double(sound_start - start) / 1000.0;
  // Containers state the sound's length in whole coded frames, the last one
  // filled up with silence: the sound ends in place when the segment ends
  // within its last frame.
  const int64_t last_frame_start = sound_end - output.AudioFrameUs;
  int64_t off = 0;
  if (end > sound_end) off = sound_end - end;
  if (end < last_frame_start) off = last_frame_start - end;
  check.AudioEndMs = double(off) / 1000.0;
}

// "+3", "0", "-2".
std::string Signed(int64_t value) {
  std::string text = std::to_string(value);
  if (value > 0) text.insert(text.begin(), '+');
  return text;
}

std::string OffsetText(int offset) {
  return "off by " + std::to_string(offset) + (std::abs(offset) == 1 ? " frame" : " frames");
}

std::string SignedMs(double ms) { return Signed(std::llround(ms)) + " ms"; }

}  // namespace

std::vector<std::string> TSplitCheck::Mismatches() const {
  std::vector<std::string> found;
  if (!Done) return found;
  if (!Parts.empty()) {
    for (size_t i = 0; i < Parts.size(); ++i) {
      const std::vector<std::string> part = Parts[i].Mismatches();
      for (const std::string& text : part) {
        found.push_back("segment " + std::to_string(i + 1) + ": " + text);
      }
      if (!part.empty() && !Parts[i].Why.empty()) {
        found.push_back("segment " + std::to_string(i + 1) + ": " + Parts[i].Why);
      }
    }
  }
  if (CopiedPictures >= 0 && IdenticalPictures != CopiedPictures) {
    found.push_back(std::to_string(IdenticalPictures) + " of " + std::to_string(CopiedPictures) +
                    " copied pictures identical to the source's");
  }
  if (!Parts.empty()) return found;
  if (HasVideo) {
    if (!PictureFound || FrameOffset != 0) {
      found.push_back("first picture " + (PictureFound ? OffsetText(FrameOffset) : "not found"));
    }
    if (LastPictureCompared && (!LastPictureFound || LastFrameOffset != 0)) {
      found.push_back("last picture " +
                      (LastPictureFound ? OffsetText(LastFrameOffset) : "not found"));
    }
    if (std::llabs(DurationErrorFrames()) > 1) {
      found.push_back(std::to_string(Frames) + " frames of " + std::to_string(ExpectedFrames) +
                      " (" + Signed(DurationErrorFrames()) + ")");
    }
  }
  if (HasAudio && std::fabs(AudioStartMs) > AudioToleranceMs) {
    found.push_back("sound " + SignedMs(AudioStartMs) + " at the start");
  }
  if (HasAudio && std::fabs(AudioEndMs) > AudioToleranceMs) {
    found.push_back("sound " + SignedMs(AudioEndMs) + " at the end");
  }
  return found;
}

bool TSplitCheck::Matched() const { return Done && Mismatches().empty(); }

std::string TSplitCheck::PictureText() const {
  if (!HasVideo) return "no pictures";
  std::string text = !PictureFound ? "not found" : FrameOffset == 0 ? "" : OffsetText(FrameOffset);
  if (LastPictureCompared && (!LastPictureFound || LastFrameOffset != 0)) {
    text += (text.empty() ? "" : ", ") + std::string("last picture ") +
            (LastPictureFound ? OffsetText(LastFrameOffset) : "not found");
  }
  return text.empty() ? "matched" : text;
}

std::string TSplitCheck::Summary() const {
  if (!Done) return "the new file could not be checked: " + Problem;
  if (!Parts.empty()) {
    std::string text = std::to_string(Parts.size()) + " segments: ";
    const std::vector<std::string> found = Mismatches();
    if (found.empty()) {
      text += "pictures matched at every join";
    } else {
      for (size_t i = 0; i < found.size(); ++i) text += (i > 0 ? "; " : "") + found[i];
    }
    if (HasVideo) {
      text += "; " + std::to_string(Frames) + " frames of " + std::to_string(ExpectedFrames);
    }
    if (HasAudio && found.empty()) text += "; sound within 5 ms at every join";
    if (CopiedPictures >= 0 && found.empty())
      text += "; " + std::to_string(IdenticalPictures) + " of " + std::to_string(CopiedPictures) +
              " copied pictures identical to the source's";
    return text;
  }
  std::string text = PictureText();
  // "matched" alone reads as the verdict on the whole file.
  if (text == "matched" && !Matched()) text = "pictures in place";
  if (HasVideo) {
    text += "; " + std::to_string(Frames) + " frames";
    if (ExpectedFrames >= 0) {
      text += " of " + std::to_string(ExpectedFrames);
      if (DurationErrorFrames() != 0) text += " (" + Signed(DurationErrorFrames()) + ")";
    }
  }
  if (HasAudio) {
    text += "; sound " + SignedMs(AudioStartMs) + " at the start, " + SignedMs(AudioEndMs) +
            " at the end";
  }
  if (CopiedPictures >= 0) {
    text += "; " + std::to_string(IdenticalPictures) + " of " + std::to_string(CopiedPictures) +
            " copied pictures identical to the source's";
  }
  return text;
}

std::string TSplitCheck::StatusText() const {
  if (!Done) return "Warning: " + Summary();
  if (Matched()) return "Check: " + Summary();
  std::string text = "Warning: the new file does not match its source: ";
  const std::vector<std::string> found = Mismatches();
  for (size_t i = 0; i < found.size(); ++i) text += (i > 0 ? "; " : "") + found[i];
  return text;
}

TSourcePictures ReadSourcePictures(const TSplitCheckRequest& request) {
  const auto began = std::chrono::steady_clock::now();
  TSourcePictures source;
  try {
    source = ReadSource(request);
    source.Read = true;
  } catch (const TCheckFailure& failure) {
    source.Problem = failure.what();
  }
  source.ReadMs = MsSince(began);
  return source;
}

namespace {

// A smart copy: its copied pictures are the source's packets, byte for byte.
void ProveCopies(const TSplitCheckRequest& request, TSplitCheck& check) {
  const TCopyProof proof = ProveCopiedPackets(request.SourceFile, request.OutputFile,
                                              request.StartUs, request.EndUs, request.Stop);
  StopIfAsked(request);
  if (!proof.Problem.empty()) throw TCheckFailure(proof.Problem);
  check.CopiedPictures = request.CopiedPictures;
  check.IdenticalPictures = proof.Identical;
}

}  // namespace

TSplitCheck CheckSplit(const TSplitCheckRequest& request, const TSourcePictures& source) {
  const auto began = std::chrono::steady_clock::now();
  TSplitCheck check;
  check.SourceMs = source.ReadMs;
  try {
    StopIfAsked(request);
    const TOutputFacts output = ReadOutput(request);
    check.HasVideo = output.HasVideo;
    if (check.HasVideo) {
      if (!source.Read) throw TCheckFailure(source.Problem);
      CompareCounts(output, source, check);
      ComparePictures(output, source, check);
    }
    CompareSound(request, output, source, check);
    if (request.CopiedPictures >= 0) ProveCopies(request, check);
    check.Done = true;
  } catch (const TCheckFailure& failure) {
    check.Problem = failure.what();
  }
  check.CheckMs = MsSince(began);
  return check;
}

TSplitCheck JoinedCheck(const std::vector<TSplitCheck>& parts) {
  TSplitCheck joined;
  joined.Done = !parts.empty();
  joined.ExpectedFrames = 0;
  for (size_t i = 0; i < parts.size(); ++i) {
    const TSplitCheck& part = parts[i];
    if (!part.Done && joined.Done) {
      joined.Done = false;
      joined.Problem = "segment " + std::to_string(i + 1) + ": " + part.Problem;
    }
    joined.HasVideo = joined.HasVideo || part.HasVideo;
    joined.HasAudio = joined.HasAudio || part.HasAudio;
    joined.Frames += part.Frames;
    if (part.ExpectedFrames >= 0 && joined.ExpectedFrames >= 0) {
      joined.ExpectedFrames += part.ExpectedFrames;
    } else {
      joined.ExpectedFrames = -1;
    }
    // The first picture of each part: the first one off says how.
    if (i == 0) joined.PictureFound = true;
    if (joined.PictureFound && joined.FrameOffset == 0) {
      joined.PictureFound = part.PictureFound || !part.HasVideo;
      joined.FrameOffset = part.FrameOffset;
    }
    joined.CheckMs += part.CheckMs;
    joined.SourceMs += part.SourceMs;
  }
  joined.Parts = parts;
  return joined;
}

TSplitCheck CheckJoined(std::vector<TSplitCheckRequest> parts,
                        const std::vector<TSourcePictures>& sources) {
  // Some muxers move every time of a file on so that none is negative (a
  // sound whose first packet starts before the first picture): the joins lie
  // that much later, which the file's first picture, as far after its
  // beginning as the first segment's after its start mark, shows.
  int64_t origin = 0;
  bool fixed_rate = false;  // pictures on the frame rate's slots, without times of their own
  if (!parts.empty() && !sources.empty()) {
    try {
      TInputContext input;
      OpenFile(parts.front().OutputFile, input);
      AVFormatContext* ic = input.Get();
      fixed_rate = std::strcmp(ic->iformat->name, "avi") == 0;
      const int video = avformat.av_find_best_stream(ic, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
      AVPacketPtr packet(avcodec.av_packet_alloc());
      while (video >= 0 && avformat.av_read_frame(ic, packet.get()) >= 0) {
        const int64_t at = PacketTime(packet.get());
        const bool first = packet->stream_index == video && at != AV_NOPTS_VALUE;
        // A transport stream's muxing delay is added where its parts are read.
        if (first) {
          origin = ToUs(at, ic->streams[video]->time_base) - sources[0].FirstPictureLeadUs -
                   OutputOrigin(ic);
        }
        avcodec.av_packet_unref(packet.get());
        if (first) break;
      }
    } catch (const TCheckFailure&) {
      // The part's own check names what cannot be read.
    }
  }
  std::vector<TSplitCheck> checks;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) parts[i].OutputStartUs += origin;
    if (parts[i].OutputEndUs >= 0) parts[i].OutputEndUs += origin;
    checks.push_back(i < sources.size() ? CheckSplit(parts[i], sources[i]) : CheckSplit(parts[i]));
    if (fixed_rate && i > 0 && i < sources.size() && sources[i].FirstPictureLeadUs > 0) {
      checks.back().Why =
          "AVI holds pictures only at its fixed rate, so a part whose start mark lies between "
          "two pictures cannot have both its first picture and its sound at the join";
    }
  }
  return JoinedCheck(checks);
}

TSplitCheck CheckSplit(const TSplitCheckRequest& request) {
  return CheckSplit(request, ReadSourcePictures(request));
}

void ProveJoinedCopies(const std::vector<TSplitCheckRequest>& parts, int64_t copied,
                       TSplitCheck& joined) {
  if (parts.empty() || copied < 0 || !joined.Done) return;
  std::vector<std::pair<int64_t, int64_t>> stretches;
  for (const TSplitCheckRequest& part : parts) stretches.emplace_back(part.StartUs, part.EndUs);
  const TCopyProof proof = ProveCopiedParts(parts[0].SourceFile, parts[0].OutputFile, stretches,
                                            parts[0].Stop);
  if (parts[0].Stop != nullptr && parts[0].Stop->load()) {
    joined.Done = false;
    joined.Problem = kCheckStopped;
    return;
  }
  if (!proof.Problem.empty()) {
    joined.Done = false;
    joined.Problem = proof.Problem;
    return;
  }
  joined.CopiedPictures = copied;
  joined.IdenticalPictures = proof.Identical;
}

}  // namespace kelvane
