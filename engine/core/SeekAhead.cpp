#include "engine/core/SeekAhead.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "engine/core/FFmpegException.h"

namespace kelvane {

namespace {

// The first seek aims half a second before the start; each late landing
// doubles that. Beyond 64 s the input is read from its beginning: a key frame
// so far back (or a landing so wrong) saves little and suggests the times
// cannot be trusted.
constexpr TSeekLeads kMargins{500000, 0, 64000000};
// Sound decoded before the start, so that the block holding the start comes
// out of the decoder as it would after decoding from the beginning (overlapping
// transforms, the MP3 bit reservoir, Opus pre-roll).
constexpr int64_t kSoundLead = 250000;
// Packets read to find where each stream begins after a seek.
constexpr size_t kMaxLandingPackets = 20000;
// Probes of an input whose times may jump (transport and program streams).
constexpr int kProbes = 16;
constexpr int kProbePackets = 500;
// Streams of a multiplex run up to about a second apart at one byte position.
constexpr int64_t kProbeTolerance = 2000000;

// Demuxers whose packets carry times stored in the file, or computed exactly
// from an index or a fixed sample size. Raw streams and MP3 (times estimated
// from the byte position) are read from their beginning.
const char* const kTimedFormats[] = {"mov,mp4,m4a,3gp,3g2,mj2",
                                     "matroska,webm",
                                     "avi",
                                     "flv",
                                     "mpegts",
                                     "mpeg",
                                     "ogg",
                                     "asf",
                                     "wav"};

}  // namespace

TSeekAhead::TSeekAhead(AVFormatContext* input, int64_t start, std::vector<int> streams)
    : input_(input), start_(start), streams_(std::move(streams)) {}

bool TSeekAhead::Seekable(const AVFormatContext* input) {
  if (input == nullptr || input->iformat == nullptr || input->pb == nullptr) return false;
  if (!(input->pb->seekable & AVIO_SEEKABLE_NORMAL)) return false;
  if (input->iformat->flags & (AVFMT_NOFILE | AVFMT_NOTIMESTAMPS)) return false;
  for (const char* name : kTimedFormats)
    if (std::strcmp(input->iformat->name, name) == 0) return true;
  return false;
}

int TSeekAhead::StreamSlot(int index) const {
  for (size_t i = 0; i < streams_.size(); ++i)
    if (streams_[i] == index) return static_cast<int>(i);
  return -1;
}

int TSeekAhead::Read(AVPacket* packet) {
  // Inputs are opened non-blocking; a file answers at once, but be patient
  // with one that asks to try again.
  for (int tries = 0; tries < 100; ++tries) {
    const int ret = avformat.av_read_frame(input_, packet);
    if (ret != AVERROR(EAGAIN)) return ret;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return AVERROR(EAGAIN);
}

bool TSeekAhead::Seek() {
  if (streams_.empty() || start_ - kMargins.First <= InputOrigin(input_)) {
    report_ = "the start is near the beginning";
    return false;
  }
  if (!Seekable(input_)) {
    report_ = "the input cannot seek by stored times";
    return false;
  }
  if (SeekLandsLate(input_) && !TimesRunForward()) {
    report_ = "its times do not run forward";
    Rewind();
    return false;
  }
  moved_ = true;
  const TSteppedSeek seek =
      SeekSteppingBack(input_, start_, InputOrigin(input_), kMargins, -1, [this](int64_t) {
        const TSeekLanding landing = ReadLanding();
        if (landing != slEarly) packets_.clear();
        return landing;
      });
  switch (seek.Outcome) {
    case TSteppedSeek::soLanded:
      report_ = FormatText("landed %.3f s before the start", seek.Lead / 1e6);
      return true;
    case TSteppedSeek::soSeekFailed:
      report_ = "the seek failed";
      break;
    case TSteppedSeek::soUnusable:
      report_ = "its times are missing where it landed";
      break;
    case TSteppedSeek::soNoneEarly:
      report_ = "no key frame early enough";
      break;
  }
  packets_.clear();
  Rewind();
  return false;
}

// Reads until every checked stream has shown its first usable packet: the
// landing is early when each begins in time (video with a key frame at or
// before the start, sound a little before it).
TSeekLanding TSeekAhead::ReadLanding() {
  std::vector<bool> begun(streams_.size(), false);
  size_t waiting = streams_.size();
  AVPacketPtr packet(avcodec.av_packet_alloc());
  if (!packet) throw FFmpegException("av_packet_alloc failed");
  for (size_t count = 0; waiting > 0; ++count) {
    if (count >= kMaxLandingPackets) return slUnusable;
    // The end came before some stream began: it begins too late, if at all.
    if (Read(packet.get()) < 0) return slLate;
    // Packets of streams not checked (subtitles) are kept as they come.
    const int slot = StreamSlot(packet->stream_index);
    if (slot >= 0 && !begun[slot]) {
      const AVStream* stream = input_->streams[packet->stream_index];
      const bool video = stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
      // Pictures before the first key frame can never be decoded.
      if (video && !(packet->flags & AV_PKT_FLAG_KEY)) {
        avcodec.av_packet_unref(packet.get());
        continue;
      }
      const int64_t time = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
      if (time == AV_NOPTS_VALUE) return slUnusable;
      const int64_t us = avutil.av_rescale_q(time, stream->time_base, AV_TIME_BASE_Q);
      if (us > (video ? start_ : start_ - kSoundLead)) return slLate;
      begun[slot] = true;
      --waiting;
    }
    packets_.push_back(std::move(packet));
    packet.reset(avcodec.av_packet_alloc());
    if (!packet) throw FFmpegException("av_packet_alloc failed");
  }
  return slEarly;
}

// Formats whose times may jump are sampled at even byte steps up to the
// start: a time that runs backwards (two recordings joined, a clock reset)
// means a seek by time can land in the wrong part.
bool TSeekAhead::TimesRunForward() {
  const int64_t size = avformat.avio_size(input_->pb);
  if (size <= 0) return false;
  int64_t previous = AV_NOPTS_VALUE;
  for (int i = 0; i < kProbes; ++i) {
    const int64_t at = FirstTimeAt(size / kProbes * i);
    if (at == AV_NOPTS_VALUE) continue;
    if (previous != AV_NOPTS_VALUE && at + kProbeTolerance < previous) return false;
    previous = at;
    if (at > start_) break;
  }
  return true;
}

// The first time (µs) read at a byte position, or none.
int64_t TSeekAhead::FirstTimeAt(int64_t position) {
  moved_ = true;
  if (SeekToByte(input_, position) < 0) return AV_NOPTS_VALUE;
  AVPacketPtr packet(avcodec.av_packet_alloc());
  if (!packet) throw FFmpegException("av_packet_alloc failed");
  for (int count = 0; count < kProbePackets && Read(packet.get()) >= 0; ++count) {
    const AVStream* stream = input_->streams[packet->stream_index];
    const int64_t time = packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
    const bool checked = StreamSlot(packet->stream_index) >= 0;
    avcodec.av_packet_unref(packet.get());
    if (checked && time != AV_NOPTS_VALUE)
      return avutil.av_rescale_q(time, stream->time_base, AV_TIME_BASE_Q);
  }
  return AV_NOPTS_VALUE;
}

// Back to the first packet, as if no seek had been made.
void TSeekAhead::Rewind() {
  if (!moved_) return;
  if (SeekToBeginning(input_) < 0) report_ += "; it could not return to its beginning";
}

}  // namespace kelvane
