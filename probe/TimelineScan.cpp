#include "probe/TimelineScan.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>

#include "binding/AVPtr.h"
#include "binding/FFmpegLoader.h"
#include "binding/PictureRotation.h"
#include "binding/UnicodeProtocol.h"
#include "probe/AVProbe.h"

namespace kelvane {
namespace {

// Peaks are kept in spans of at least 10 ms, and no more than this many.
const int64_t kMinPeakSpan = 10000;
const int64_t kMaxPeaks = 200000;

int64_t ThreadCpuMicroseconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return int64_t(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

int Interrupted(void* opaque) { return static_cast<std::atomic<bool>*>(opaque)->load() ? 1 : 0; }

AVCodecContextPtr OpenDecoder(const AVStream* stream, bool key_frames_only) {
  const AVCodec* codec = avcodec.avcodec_find_decoder(stream->codecpar->codec_id);
  if (codec == nullptr) return nullptr;
  AVCodecContextPtr decoder(avcodec.avcodec_alloc_context3(codec));
  if (!decoder || avcodec.avcodec_parameters_to_context(decoder.get(), stream->codecpar) < 0) {
    return nullptr;
  }
  decoder->pkt_timebase = stream->time_base;
  decoder->thread_count = 1;  // the preview keeps the other cores
  if (key_frames_only) decoder->skip_frame = AVDISCARD_NONKEY;
  std::lock_guard<std::mutex> lock(CodecLock());
  if (avcodec.avcodec_open2(decoder.get(), codec, nullptr) < 0) return nullptr;
  return decoder;
}

// The largest magnitude among the frame's samples, 0..1.
double FramePeak(const AVFrame* frame) {
  const AVSampleFormat format = AVSampleFormat(frame->format);
  const bool planar = avutil.av_sample_fmt_is_planar(format) != 0;
  const int channels = std::max(1, frame->ch_layout.nb_channels);
  const int planes = planar ? channels : 1;
  const int per_plane = planar ? frame->nb_samples : frame->nb_samples * channels;
  double peak = 0;
  for (int p = 0; p < planes; ++p) {
    const uint8_t* data = frame->extended_data[p];
    if (data == nullptr) continue;
    switch (avutil.av_get_packed_sample_fmt(format)) {
      case AV_SAMPLE_FMT_U8:
        for (int i = 0; i < per_plane; ++i) peak = std::max(peak, std::abs(data[i] - 128) / 128.0);
        break;
      case AV_SAMPLE_FMT_S16:
        for (int i = 0; i < per_plane; ++i) {
          peak = std::max(peak, std::abs(reinterpret_cast<const int16_t*>(data)[i]) / 32768.0);
        }
        break;
      case AV_SAMPLE_FMT_S32:
        for (int i = 0; i < per_plane; ++i) {
          peak = std::max(peak,
                          std::abs(double(reinterpret_cast<const int32_t*>(data)[i])) / 2147483648.0);
        }
        break;
      case AV_SAMPLE_FMT_FLT:
        for (int i = 0; i < per_plane; ++i) {
          peak = std::max(peak, double(std::fabs(reinterpret_cast<const float*>(data)[i])));
        }
        break;
      case AV_SAMPLE_FMT_DBL:
        for (int i = 0; i < per_plane; ++i) {
          peak = std::max(peak, std::fabs(reinterpret_cast<const double*>(data)[i]));
        }
        break;
      default:
        return 0;
    }
  }
  return std::min(peak, 1.0);
}

}  // namespace

TTimelineScan::~TTimelineScan() { Cancel(); }

void TTimelineScan::Start(const std::string& file, int thumbnail_height) {
  Cancel();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    facts_ = TTimelineFacts();
    facts_.Version = ++version_;
    cost_ = TScanCost();
    file_ = file;
  }
  cancel_ = false;
  thread_ = std::thread(&TTimelineScan::Run, this, file, std::max(8, thumbnail_height));
}

void TTimelineScan::Cancel() {
  cancel_ = true;
  if (thread_.joinable()) thread_.join();
}

void TTimelineScan::Clear() {
  Cancel();
  std::lock_guard<std::mutex> lock(mutex_);
  facts_ = TTimelineFacts();
  facts_.Version = ++version_;
  file_.clear();
}

TTimelineFacts TTimelineScan::Facts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return facts_;
}

TScanCost TTimelineScan::Cost() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return cost_;
}

std::string TTimelineScan::File() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return file_;
}

void TTimelineScan::Publish(const TTimelineFacts& facts) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    facts_ = facts;
    facts_.Version = ++version_;
  }
  if (OnProgress) OnProgress();
}

void TTimelineScan::Run(std::string file, int thumbnail_height) {
  // The lowest priority for this thread alone: the preview comes first.
  setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 19);
  const auto began = std::chrono::steady_clock::now();
  const int64_t cpu_began = ThreadCpuMicroseconds();
  TTimelineFacts facts;
  auto last_publish = began;
  // A cancelled scan keeps what it found, not done.
  auto finish = [&](const std::string& error) {
    facts.Done = !cancel_.load();
    facts.Error = error;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      cost_.WallMicroseconds = std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::steady_clock::now() - began)
                                   .count();
      cost_.CpuMicroseconds = ThreadCpuMicroseconds() - cpu_began;
    }
    Publish(facts);
  };

  TInputContext input;
  AVFormatContext* prepared = avformat.avformat_alloc_context();
  if (prepared == nullptr) return finish("out of memory");
  prepared->interrupt_callback.callback = &Interrupted;
  prepared->interrupt_callback.opaque = &cancel_;
  int error = OpenInputContext(ToLibraryFileName(file), nullptr, nullptr, input, prepared);
  if (error >= 0) {
    std::lock_guard<std::mutex> lock(CodecLock());
    error = avformat.avformat_find_stream_info(input.Get(), nullptr);
  }
  if (error < 0) return finish(cancel_.load() ? std::string() : OpenErrorText(error, file));
  AVFormatContext* ic = input.Get();
  const int64_t start = ic->start_time != AV_NOPTS_VALUE ? ic->start_time : 0;
  facts.Duration = ic->duration != AV_NOPTS_VALUE ? ic->duration : -1;
  const int video_index =
      avformat.av_find_best_stream(ic, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  const int audio_index =
      avformat.av_find_best_stream(ic, AVMEDIA_TYPE_AUDIO, -1, video_index, nullptr, 0);
  AVStream* video = video_index >= 0 ? ic->streams[video_index] : nullptr;
  AVStream* audio = audio_index >= 0 ? ic->streams[audio_index] : nullptr;
  AVCodecContextPtr video_decoder = video ? OpenDecoder(video, true) : nullptr;
  AVCodecContextPtr audio_decoder = audio ? OpenDecoder(audio, false) : nullptr;
  facts.HasVideo = video != nullptr;
  facts.HasAudio = audio_decoder != nullptr;
  for (int i = 0; i < int(ic->nb_streams); ++i) {
    if (i != video_index && i != audio_index) ic->streams[i]->discard = AVDISCARD_ALL;
  }
  facts.PeakSpan = std::max(kMinPeakSpan, facts.Duration / kMaxPeaks + 1);
  // Pictures at least this far apart, so the strip covers the whole file.
  const int64_t thumbnail_gap =
      facts.Duration > 0 ? facts.Duration / kMaxThumbnails : int64_t(1000000);
  int64_t next_thumbnail = 0;
  int64_t audio_time = -1;  // µs of the next sound sample
  SwsContextPtr scaler;
  // A clip stored on its side shows its pictures upright, as the preview does.
  const int32_t rotation = video ? StreamRotation(video) : 0;
  SwsContextPtr turn_converter;

  auto to_us = [&](int64_t value, AVRational base) {
    return avutil.av_rescale_q(value, base, AV_TIME_BASE_Q) - start;
  };
  auto take_picture = [&](AVFrame* decoded) {
    const int64_t stamp = decoded->best_effort_timestamp;
    if (stamp == AV_NOPTS_VALUE || decoded->width <= 0 || decoded->height <= 0) return;
    AVFramePtr turned;
    if (rotation != 0) {
      turned = RotatePicture(decoded, rotation, turn_converter);
      if (!turned) return;
    }
    const AVFrame* frame = turned ? turned.get() : decoded;
    double aspect = double(frame->width) / frame->height;
    if (frame->sample_aspect_ratio.num > 0 && frame->sample_aspect_ratio.den > 0) {
      aspect *= double(frame->sample_aspect_ratio.num) / frame->sample_aspect_ratio.den;
    }
    const int height = thumbnail_height;
    const int width = std::clamp(int(std::lround(height * aspect)), 8, height * 4);
    scaler.reset(swscale.sws_getCachedContext(scaler.release(), frame->width, frame->height,
                                              AVPixelFormat(frame->format), width, height,
                                              AV_PIX_FMT_BGR24, SWS_BILINEAR, nullptr, nullptr,
                                              nullptr));
    if (!scaler) return;
    auto picture = std::make_shared<TBitmap>();
    picture->SetSize(width, height);
    uint8_t* planes[4] = {picture->ScanLine(0), nullptr, nullptr, nullptr};
    int strides[4] = {picture->Stride, 0, 0, 0};
    swscale.sws_scale(scaler.get(), frame->data, frame->linesize, 0, frame->height, planes,
                      strides);
    facts.Thumbnails.push_back({to_us(stamp, video->time_base), std::move(picture)});
    std::sort(facts.Thumbnails.begin(), facts.Thumbnails.end(),
              [](const TTimelineThumbnail& a, const TTimelineThumbnail& b) { return a.Time < b.Time; });
  };
  auto take_sound = [&](AVFrame* frame) {
    const int rate = frame->sample_rate > 0 ? frame->sample_rate : audio_decoder->sample_rate;
    if (rate <= 0 || frame->nb_samples <= 0) return;
    if (frame->best_effort_timestamp != AV_NOPTS_VALUE) {
      audio_time = to_us(frame->best_effort_timestamp, audio->time_base);
    } else if (audio_time < 0) {
      audio_time = 0;
    }
    const int64_t span = int64_t(frame->nb_samples) * 1000000 / rate;
    const int level = int(std::lround(FramePeak(frame) * 255));
    const int64_t first = std::max<int64_t>(0, audio_time / facts.PeakSpan);
    const int64_t last = std::max<int64_t>(first, (audio_time + span - 1) / facts.PeakSpan);
    if (last < kMaxPeaks * 2) {
      if (int64_t(facts.Peaks.size()) <= last) facts.Peaks.resize(size_t(last + 1), 0);
      for (int64_t i = first; i <= last; ++i) {
        facts.Peaks[size_t(i)] = uint8_t(std::max<int>(facts.Peaks[size_t(i)], level));
      }
    }
    audio_time += span;
  };
  auto drain = [&](AVCodecContext* decoder, AVFrame* frame, bool is_video) {
    while (avcodec.avcodec_receive_frame(decoder, frame) >= 0) {
      is_video ? take_picture(frame) : take_sound(frame);
      avutil.av_frame_unref(frame);
    }
  };

  AVPacketPtr packet(avcodec.av_packet_alloc());
  AVFramePtr frame(avutil.av_frame_alloc());
  if (!packet || !frame) return finish("out of memory");
  while (!cancel_.load()) {
    const int read = avformat.av_read_frame(ic, packet.get());
    if (read < 0) break;
    if (video && packet->stream_index == video_index && (packet->flags & AV_PKT_FLAG_KEY) != 0) {
      const int64_t stamp = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
      if (stamp != AV_NOPTS_VALUE) {
        const int64_t time = to_us(stamp, video->time_base);
        if (facts.KeyFrames.empty() || time > facts.KeyFrames.back()) {
          facts.KeyFrames.push_back(time);
        } else {
          facts.KeyFrames.insert(
              std::lower_bound(facts.KeyFrames.begin(), facts.KeyFrames.end(), time), time);
        }
        if (video_decoder && time >= next_thumbnail) {
          next_thumbnail = time + thumbnail_gap;
          if (avcodec.avcodec_send_packet(video_decoder.get(), packet.get()) >= 0) {
            drain(video_decoder.get(), frame.get(), true);
          }
        }
      }
    } else if (audio_decoder && packet->stream_index == audio_index) {
      if (avcodec.avcodec_send_packet(audio_decoder.get(), packet.get()) >= 0) {
        drain(audio_decoder.get(), frame.get(), false);
      }
    }
    avcodec.av_packet_unref(packet.get());
    const auto now = std::chrono::steady_clock::now();
    if (now - last_publish >= std::chrono::milliseconds(100)) {
      last_publish = now;
      Publish(facts);
    }
  }
  if (cancel_.load()) return finish({});
  // What the decoders still hold.
  for (auto* decoder : {video_decoder.get(), audio_decoder.get()}) {
    if (decoder == nullptr) continue;
    avcodec.avcodec_send_packet(decoder, nullptr);
    drain(decoder, frame.get(), decoder == video_decoder.get());
  }
  if (facts.Duration < 0 && !facts.KeyFrames.empty()) facts.Duration = facts.KeyFrames.back();
  finish({});
}

}  // namespace kelvane
