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
