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

namespace {

// The pictures either side of a mark as one read from a seek's landing
// decodes them: the picture before `Start` (µs of the stream's time), the
// one at it and the one after, and the count of pictures in [Start, End).
struct TMarkRead {
  const AVStream* Stream;
  AVCodecContext* Decoder;
  int64_t Start;
  int64_t End;
  int64_t StreamStart;
  int64_t FrameUs;
  TSourcePictures& Facts;
  AVFramePtr Frame{avutil.av_frame_alloc()};
  // The picture before the mark is shrunk only once the mark's picture shows
  // which one it is.
  AVFramePtr Previous{avutil.av_frame_alloc()};
  bool HavePrevious = false;
  bool First = true;

  // Takes the decoder's pictures. False when the first lies after the start
  // though pictures before it exist: the seek landed late.
  bool Receive() {
    while (Facts.After.empty() && avcodec.avcodec_receive_frame(Decoder, Frame.get()) >= 0) {
      const int64_t at = ToUs(Frame->best_effort_timestamp, Stream->time_base);
      if (First && LandedPastTarget(at, Start) && Start > StreamStart) return false;
      First = false;
      if (BeforeTarget(at, Start, trFirstAtOrAfter)) {
        avutil.av_frame_unref(Previous.get());
        HavePrevious = avutil.av_frame_ref(Previous.get(), Frame.get()) >= 0;
      } else {
        Keep(at);
      }
      avutil.av_frame_unref(Frame.get());
    }
    return true;
  }

  void Keep(int64_t at) {
    const int32_t rotation = StreamRotation(Stream);
    if (Facts.At.empty()) {
      if (HavePrevious) Facts.Before = ShownThumb(Previous.get(), rotation, 0, 0, 0, 0);
      Facts.At = ShownThumb(Frame.get(), rotation, 0, 0, 0, 0);
      Facts.FirstPictureLeadUs = at - Start;
    } else {
      Facts.After = ShownThumb(Frame.get(), rotation, 0, 0, 0, 0);
    }
  }

  // One video packet: counted when it lies in [Start, End), decoded until the
  // picture after the mark is known. False once that one is known and the
  // packet's decoding time reached `read_until`, or the landing was late.
  bool Packet(const AVPacket* packet, int64_t read_until) {
    const int64_t at = PacketTime(packet);
    const int64_t at_us = at == AV_NOPTS_VALUE ? AV_NOPTS_VALUE : ToUs(at, Stream->time_base);
    if (at_us == AV_NOPTS_VALUE) Facts.Frames = -1;
    if (Facts.Frames >= 0 && at_us >= Start && at_us < End) {
      ++Facts.Frames;
      Facts.LastPictureUs = std::max(Facts.LastPictureUs, at_us);
    }
    bool more = true;
    if (Facts.After.empty()) {
      // Pictures long before the mark serve only as references (see ReadAroundStart).
      const bool far = at_us != AV_NOPTS_VALUE && FrameUs > 0 && at_us < Start - 2 * FrameUs;
      Decoder->skip_frame = far ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
      Decoder->skip_loop_filter = far ? AVDISCARD_ALL : AVDISCARD_DEFAULT;
      if (avcodec.avcodec_send_packet(Decoder, packet) >= 0) more = Receive();
    }
    const int64_t dts = packet->dts != AV_NOPTS_VALUE ? ToUs(packet->dts, Stream->time_base) : at_us;
    if (!Facts.After.empty() && dts != AV_NOPTS_VALUE && dts >= read_until) more = false;
    return more;
  }
};

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
  AVPacketPtr packet(avcodec.av_packet_alloc());
  facts = TSourcePictures{};
  facts.Frames = 0;
  TMarkRead read{ic->streams[video], decoder, start, end, stream_start, frame_us, facts};
  // Reordered pictures can come a little after the end in file order.
  const int64_t read_until = end == INT64_MAX ? INT64_MAX : end + AV_TIME_BASE;
  while (avformat.av_read_frame(ic, packet.get()) >= 0) {
    StopIfAsked(request);
    const bool more = packet->stream_index != video || read.Packet(packet.get(), read_until);
    avcodec.av_packet_unref(packet.get());
    if (!more) return !facts.After.empty() || !read.First;
  }
  avcodec.avcodec_send_packet(decoder, nullptr);
  return read.Receive();
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

}  // namespace

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

}  // namespace kelvane::split_check

namespace kelvane {

TSourcePictures ReadSourcePictures(const TSplitCheckRequest& request) {
  using namespace split_check;
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

}  // namespace kelvane
