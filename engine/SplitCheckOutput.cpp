#include "engine/SplitCheckRead.h"

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

namespace kelvane::split_check {

// Where a file's times begin (µs): a transport stream's muxing delay; 0 for
// other files, whose first sound may lie a little before their first picture.
int64_t OutputOrigin(const AVFormatContext* ic) {
  if (!(ic->iformat->flags & AVFMT_TS_DISCONT)) return 0;
  return ic->start_time != AV_NOPTS_VALUE && ic->start_time > 0 ? ic->start_time : 0;
}

namespace {

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

// The output's reading, step by step: its streams, the part of it to read,
// its packets, then what the packets alone do not tell.
class TOutputReader {
 public:
  explicit TOutputReader(const TSplitCheckRequest& request) : Request(request) {}

  TOutputFacts Read() {
    OpenStreams();
    FindPart();
    // The decoder's own priming matters at the file's start only.
    if (Audio >= 0 && Request.OutputStartUs <= 0) FirstSound.Open(Ic->streams[Audio]);
    Packet.reset(avcodec.av_packet_alloc());
    Frame.reset(avutil.av_frame_alloc());
    ReadPackets();
    TakePartRate();
    TakeSoundStart();
    SoundAtJoins();
    if (Decoder && Facts.FirstPicture) {
      Facts.LastPicture = LastPicture(Request, Ic, Video, LastKey);
    }
    return Facts;
  }

 private:
  const TSplitCheckRequest& Request;
  TInputContext Input;
  AVFormatContext* Ic = nullptr;
  TOutputFacts Facts;
  int Video = -1;
  int Audio = -1;
  AVCodecContextPtr Decoder;
  int64_t FrameTicks = 0;
  bool Window = false;
  int64_t WindowStart = 0;
  int64_t WindowEnd = INT64_MAX;
  bool AfterWindow = false;  // the file goes on past the part
  TFirstSound FirstSound;
  int64_t LastKey = AV_NOPTS_VALUE;  // time of the last key picture, stream units
  std::vector<int64_t> PartTimes;    // a part's pictures, stream units
  AVPacketPtr Packet;
  AVFramePtr Frame;

  void OpenStreams() {
    OpenFile(Request.OutputFile, Input);
    Ic = Input.Get();
    Video = avformat.av_find_best_stream(Ic, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    Audio = avformat.av_find_best_stream(Ic, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    Facts.HasAudio = Audio >= 0;
    Facts.HasVideo = Video >= 0;
    if (Video >= 0) {
      AVStream* stream = Ic->streams[Video];
      Decoder = OpenDecoder(stream);
      Facts.FrameRate = avformat.av_guess_frame_rate(Ic, stream, nullptr);
      if (Facts.FrameRate.num > 0) {
        FrameTicks = avutil.av_rescale_q(1, av_inv_q(Facts.FrameRate), stream->time_base);
      }
    }
  }

  // A part of the output (a joined file's): read from the key picture before
  // it to a little after it; the times a part holds are its own.
  // Its times count from the file's own beginning (a transport stream's lie
  // past its muxing delay).
  void FindPart() {
    Window = Request.OutputStartUs > 0 || Request.OutputEndUs >= 0;
    const int64_t origin = Window ? OutputOrigin(Ic) : 0;
    WindowStart = Request.OutputStartUs + origin;
    WindowEnd = Request.OutputEndUs < 0 ? INT64_MAX : Request.OutputEndUs + origin;
    // A part is sought a little before it (a program stream is sought by its
    // bytes and may land on a key picture after the time asked for); a
    // transport stream's seek lands anywhere, not at a key picture, so it is
    // sought well before the part, and decoding starts at the key picture there.
    const int64_t seek_to = WindowStart - (SeekLandsLate(Ic) ? kLateLandingLead : AV_TIME_BASE);
    if (Request.OutputStartUs > 0 && Video >= 0 &&
        SeekKeyFrame(Ic,
                     avutil.av_rescale_q(std::max<int64_t>(seek_to, 0), AV_TIME_BASE_Q,
                                         Ic->streams[Video]->time_base),
                     Video) < 0) {
      throw TCheckFailure(Request.OutputFile + ": cannot be sought to " +
                          std::to_string(WindowStart / 1000) + " ms");
    }
  }

  bool Inside(int64_t us) const {
    return us >= WindowStart - kRoundingUs && us < WindowEnd - kRoundingUs;
  }

  void TakePicture() {
    while (!Facts.FirstPicture && avcodec.avcodec_receive_frame(Decoder.get(), Frame.get()) >= 0) {
      const int64_t at = Frame->best_effort_timestamp;
      const int64_t at_us =
          at == AV_NOPTS_VALUE ? AV_NOPTS_VALUE : ToUs(at, Ic->streams[Video]->time_base);
      if (Window && BeforeTarget(at_us, WindowStart - kRoundingUs, trFirstAtOrAfter)) {
        avutil.av_frame_unref(Frame.get());
        continue;  // a picture of the part before, decoded for its references
      }
      Facts.FirstPicture = ShownThumb(Frame.get(), StreamRotation(Ic->streams[Video]),
                                      Request.PadTop, Request.PadBottom, Request.PadLeft,
                                      Request.PadRight);
      if (at != AV_NOPTS_VALUE) Facts.FirstPictureUs = at_us;
      avutil.av_frame_unref(Frame.get());
    }
  }

  // False once the part's pictures are all read.
  bool VideoPacket() {
    const AVRational tb = Ic->streams[Video]->time_base;
    const int64_t at = PacketTime(Packet.get());
    const int64_t at_us = at == AV_NOPTS_VALUE ? AV_NOPTS_VALUE : ToUs(at, tb);
    const bool in_part = !Window || (at != AV_NOPTS_VALUE && Inside(at_us));
    if (in_part) ++Facts.Frames;
    if (Window && in_part) PartTimes.push_back(at);
    if ((Packet->flags & AV_PKT_FLAG_KEY) != 0 && at != AV_NOPTS_VALUE &&
        (!Window || at_us < WindowEnd - kRoundingUs)) {
      LastKey = at;
    }
    if (at != AV_NOPTS_VALUE && in_part) {
      const int64_t length = Packet->duration > 0 ? Packet->duration : FrameTicks;
      Facts.VideoEndUs = std::max(Facts.VideoEndUs, ToUs(at + length, tb));
    }
    if (Window && at != AV_NOPTS_VALUE && at_us >= WindowEnd - kRoundingUs) {
      AfterWindow = true;
    }
    if (!Facts.FirstPicture && avcodec.avcodec_send_packet(Decoder.get(), Packet.get()) >= 0) {
      TakePicture();
    }
    // Reordered pictures come a little after the part's end in file order.
    const int64_t dts = Packet->dts != AV_NOPTS_VALUE ? ToUs(Packet->dts, tb) : at_us;
    return !(Window && WindowEnd != INT64_MAX && Facts.FirstPicture && dts != AV_NOPTS_VALUE &&
             dts >= WindowEnd + AV_TIME_BASE);
  }

  void AudioPacket() {
    const AVStream* stream = Ic->streams[Audio];
    const int64_t at = PacketTime(Packet.get());
    const int64_t start = at == AV_NOPTS_VALUE ? 0 : ToUs(at, stream->time_base);
    const int64_t end = start + ToUs(Packet->duration, stream->time_base);
    if (!Window || (at != AV_NOPTS_VALUE && end > WindowStart && start < WindowEnd)) {
      NoteAudioPacket(Packet.get(), stream, Facts);
      FirstSound.Packet(Packet.get(), stream, Frame.get());
    }
  }

  void ReadPackets() {
    while (avformat.av_read_frame(Ic, Packet.get()) >= 0) {
      StopIfAsked(Request);
      if (Packet->stream_index == Video) {
        if (!VideoPacket()) {
          avcodec.av_packet_unref(Packet.get());
          break;
        }
      } else if (Packet->stream_index == Audio) {
        AudioPacket();
      }
      avcodec.av_packet_unref(Packet.get());
    }
    if (Decoder && !Facts.FirstPicture) {
      avcodec.avcodec_send_packet(Decoder.get(), nullptr);
      TakePicture();
    }
  }

  // A part's rate is that of its own pictures. The file's guessed rate can
  // be a multiple of it: a segment whose start mark lies between two of the
  // source's pictures begins part of a picture after its join, and the
  // guess takes the finest step of all the file's times.
  void TakePartRate() {
    if (PartTimes.size() < 2) return;
    std::sort(PartTimes.begin(), PartTimes.end());
    std::vector<int64_t> steps;
    for (size_t i = 1; i < PartTimes.size(); ++i) {
      steps.push_back(PartTimes[i] - PartTimes[i - 1]);
    }
    std::nth_element(steps.begin(), steps.begin() + steps.size() / 2, steps.end());
    const int64_t step = steps[steps.size() / 2];
    const AVRational tb = Ic->streams[Video]->time_base;
    if (step > 0 && avutil.av_reduce(&Facts.FrameRate.num, &Facts.FrameRate.den,
                                     int64_t(tb.den), step * tb.num, INT_MAX) == 0) {
      Facts.FrameRate = {0, 1};  // not exact: unknown rather than wrong
    }
    if (step > 0) Facts.VideoEndUs = ToUs(PartTimes.back() + step, tb);
  }

  void TakeSoundStart() {
    if (Audio < 0) return;
    FirstSound.Packet(nullptr, Ic->streams[Audio], Frame.get());
    if (FirstSound.StartUs) Facts.AudioStartUs = *FirstSound.StartUs;
    // Opus's priming (its pre-skip) as the readers report it: Matroska keeps
    // it as the track's codec delay, which the reader takes off every time,
    // so the first packet begins that much before the sound it holds (its
    // decoder leaves the priming out); Ogg's reader starts the first packet
    // at 0 with the primed samples in it, so the packets end that much early.
    const AVCodecParameters* par = Ic->streams[Audio]->codecpar;
    if (par->codec_id == AV_CODEC_ID_OPUS && par->initial_padding > 0 && par->sample_rate > 0) {
      const int64_t delay = int64_t(par->initial_padding) * AV_TIME_BASE / par->sample_rate;
      if (std::strstr(Ic->iformat->name, "matroska") != nullptr) {
        if (Request.OutputStartUs <= 0) Facts.AudioPacketStartUs += delay;
      } else if (std::strcmp(Ic->iformat->name, "ogg") == 0) {
        Facts.AudioEndUs += delay;
      }
    }
  }

  // Sound that goes on from the part before or into the next one is in
  // place at that join: it is measured from and to the join.
  void SoundAtJoins() {
    if (!Window || Facts.AudioEndUs <= INT64_MIN) return;
    if (Request.OutputStartUs > 0 && Facts.AudioStartUs < WindowStart) {
      Facts.AudioStartUs = Facts.AudioPacketStartUs = WindowStart;
      Facts.SoundFromBefore = true;
    }
    if (AfterWindow && Facts.AudioEndUs > WindowEnd) {
      Facts.AudioEndUs = WindowEnd;
      Facts.SoundIntoNext = true;
    }
  }
};

}  // namespace

TOutputFacts ReadOutput(const TSplitCheckRequest& request) {
  return TOutputReader(request).Read();
}

}  // namespace kelvane::split_check
