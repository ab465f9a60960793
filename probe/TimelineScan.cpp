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

namespace {

// Opens the file a scan reads into `input` through `prepared` (which it takes)
// and finds its streams; a library error code when it cannot.
int OpenScanInput(const std::string& file, AVFormatContext* prepared,
                  std::atomic<bool>& cancel, TInputContext& input) {
  prepared->interrupt_callback.callback = &Interrupted;
  prepared->interrupt_callback.opaque = &cancel;
  int error = OpenInputContext(ToLibraryFileName(file), nullptr, nullptr, input, prepared);
  if (error >= 0) {
    std::lock_guard<std::mutex> lock(CodecLock());
    error = avformat.avformat_find_stream_info(input.Get(), nullptr);
  }
  return error;
}

// One pass over an opened file: the streams it reads and their decoders, and
// where the strip and the peaks have got to. What it finds goes to `facts`.
class TScanPass {
 public:
  TScanPass(AVFormatContext* input, int thumbnail_height, TTimelineFacts& facts)
      : facts_(facts), input_(input), thumbnail_height_(thumbnail_height) {}

  // Picks the video and the sound stream, opens their decoders and sets the
  // facts known before reading.
  void ChooseStreams();
  // Takes what a packet holds: a key frame's time (and, now and then, its
  // picture) or the sound's peaks.
  void TakePacket(AVPacket* packet, AVFrame* frame);
  // What the decoders still hold.
  void DrainDecoders(AVFrame* frame);

 private:
  int64_t ToUs(int64_t value, AVRational base) const {
    return avutil.av_rescale_q(value, base, AV_TIME_BASE_Q) - start_;
  }
  void TakeKeyFrame(AVPacket* packet, AVFrame* frame);
  void Drain(AVCodecContext* decoder, AVFrame* frame, bool is_video);
  void TakePicture(AVFrame* decoded);
  void TakeSound(AVFrame* frame);

  TTimelineFacts& facts_;
  AVFormatContext* input_;
  const int thumbnail_height_;
  int64_t start_ = 0;
  int video_index_ = -1;
  int audio_index_ = -1;
  AVStream* video_ = nullptr;
  AVStream* audio_ = nullptr;
  AVCodecContextPtr video_decoder_;
  AVCodecContextPtr audio_decoder_;
  // Pictures at least this far apart, so the strip covers the whole file.
  int64_t thumbnail_gap_ = 0;
  int64_t next_thumbnail_ = 0;
  int64_t audio_time_ = -1;  // µs of the next sound sample
  SwsContextPtr scaler_;
  // A clip stored on its side shows its pictures upright, as the preview does.
  int32_t rotation_ = 0;
  SwsContextPtr turn_converter_;
};

void TScanPass::ChooseStreams() {
  AVFormatContext* ic = input_;
  start_ = ic->start_time != AV_NOPTS_VALUE ? ic->start_time : 0;
  facts_.Duration = ic->duration != AV_NOPTS_VALUE ? ic->duration : -1;
  video_index_ = avformat.av_find_best_stream(ic, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  audio_index_ =
      avformat.av_find_best_stream(ic, AVMEDIA_TYPE_AUDIO, -1, video_index_, nullptr, 0);
  video_ = video_index_ >= 0 ? ic->streams[video_index_] : nullptr;
  audio_ = audio_index_ >= 0 ? ic->streams[audio_index_] : nullptr;
  video_decoder_ = video_ ? OpenDecoder(video_, true) : nullptr;
  audio_decoder_ = audio_ ? OpenDecoder(audio_, false) : nullptr;
  facts_.HasVideo = video_ != nullptr;
  facts_.HasAudio = audio_decoder_ != nullptr;
  for (int i = 0; i < int(ic->nb_streams); ++i) {
    if (i != video_index_ && i != audio_index_) ic->streams[i]->discard = AVDISCARD_ALL;
  }
  facts_.PeakSpan = std::max(kMinPeakSpan, facts_.Duration / kMaxPeaks + 1);
  thumbnail_gap_ = facts_.Duration > 0 ? facts_.Duration / TTimelineScan::kMaxThumbnails
                                       : int64_t(1000000);
  rotation_ = video_ ? StreamRotation(video_) : 0;
}

void TScanPass::TakePicture(AVFrame* decoded) {
  const int64_t stamp = decoded->best_effort_timestamp;
  if (stamp == AV_NOPTS_VALUE || decoded->width <= 0 || decoded->height <= 0) return;
  AVFramePtr turned;
  if (rotation_ != 0) {
    turned = RotatePicture(decoded, rotation_, turn_converter_);
    if (!turned) return;
  }
  const AVFrame* frame = turned ? turned.get() : decoded;
  double aspect = double(frame->width) / frame->height;
  if (frame->sample_aspect_ratio.num > 0 && frame->sample_aspect_ratio.den > 0) {
    aspect *= double(frame->sample_aspect_ratio.num) / frame->sample_aspect_ratio.den;
  }
  const int height = thumbnail_height_;
  const int width = std::clamp(int(std::lround(height * aspect)), 8, height * 4);
  scaler_.reset(swscale.sws_getCachedContext(scaler_.release(), frame->width, frame->height,
                                             AVPixelFormat(frame->format), width, height,
                                             AV_PIX_FMT_BGR24, SWS_BILINEAR, nullptr, nullptr,
                                             nullptr));
  if (!scaler_) return;
  auto picture = std::make_shared<TBitmap>();
  picture->SetSize(width, height);
  uint8_t* planes[4] = {picture->ScanLine(0), nullptr, nullptr, nullptr};
  int strides[4] = {picture->Stride, 0, 0, 0};
  swscale.sws_scale(scaler_.get(), frame->data, frame->linesize, 0, frame->height, planes,
                    strides);
  facts_.Thumbnails.push_back({ToUs(stamp, video_->time_base), std::move(picture)});
  std::sort(facts_.Thumbnails.begin(), facts_.Thumbnails.end(),
            [](const TTimelineThumbnail& a, const TTimelineThumbnail& b) { return a.Time < b.Time; });
}

void TScanPass::TakeSound(AVFrame* frame) {
  const int rate = frame->sample_rate > 0 ? frame->sample_rate : audio_decoder_->sample_rate;
  if (rate <= 0 || frame->nb_samples <= 0) return;
  if (frame->best_effort_timestamp != AV_NOPTS_VALUE) {
    audio_time_ = ToUs(frame->best_effort_timestamp, audio_->time_base);
  } else if (audio_time_ < 0) {
    audio_time_ = 0;
  }
  const int64_t span = int64_t(frame->nb_samples) * 1000000 / rate;
  const int level = int(std::lround(FramePeak(frame) * 255));
  const int64_t first = std::max<int64_t>(0, audio_time_ / facts_.PeakSpan);
  const int64_t last = std::max<int64_t>(first, (audio_time_ + span - 1) / facts_.PeakSpan);
  if (last < kMaxPeaks * 2) {
    if (int64_t(facts_.Peaks.size()) <= last) facts_.Peaks.resize(size_t(last + 1), 0);
    for (int64_t i = first; i <= last; ++i) {
      facts_.Peaks[size_t(i)] = uint8_t(std::max<int>(facts_.Peaks[size_t(i)], level));
    }
  }
  audio_time_ += span;
}

void TScanPass::Drain(AVCodecContext* decoder, AVFrame* frame, bool is_video) {
  while (avcodec.avcodec_receive_frame(decoder, frame) >= 0) {
    is_video ? TakePicture(frame) : TakeSound(frame);
    avutil.av_frame_unref(frame);
  }
}

void TScanPass::TakeKeyFrame(AVPacket* packet, AVFrame* frame) {
  const int64_t stamp = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
  if (stamp == AV_NOPTS_VALUE) return;
  const int64_t time = ToUs(stamp, video_->time_base);
  if (facts_.KeyFrames.empty() || time > facts_.KeyFrames.back()) {
    facts_.KeyFrames.push_back(time);
  } else {
    facts_.KeyFrames.insert(
        std::lower_bound(facts_.KeyFrames.begin(), facts_.KeyFrames.end(), time), time);
  }
  if (video_decoder_ && time >= next_thumbnail_) {
    next_thumbnail_ = time + thumbnail_gap_;
    if (avcodec.avcodec_send_packet(video_decoder_.get(), packet) >= 0) {
      Drain(video_decoder_.get(), frame, true);
    }
  }
}

void TScanPass::TakePacket(AVPacket* packet, AVFrame* frame) {
  if (video_ && packet->stream_index == video_index_ && (packet->flags & AV_PKT_FLAG_KEY) != 0) {
    TakeKeyFrame(packet, frame);
  } else if (audio_decoder_ && packet->stream_index == audio_index_) {
    if (avcodec.avcodec_send_packet(audio_decoder_.get(), packet) >= 0) {
      Drain(audio_decoder_.get(), frame, false);
    }
  }
}

void TScanPass::DrainDecoders(AVFrame* frame) {
  for (auto* decoder : {video_decoder_.get(), audio_decoder_.get()}) {
    if (decoder == nullptr) continue;
    avcodec.avcodec_send_packet(decoder, nullptr);
    Drain(decoder, frame, decoder == video_decoder_.get());
  }
}

}  // namespace

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
  const int error = OpenScanInput(file, prepared, cancel_, input);
  if (error < 0) return finish(cancel_.load() ? std::string() : OpenErrorText(error, file));
  TScanPass pass(input.Get(), thumbnail_height, facts);
  pass.ChooseStreams();

  AVPacketPtr packet(avcodec.av_packet_alloc());
  AVFramePtr frame(avutil.av_frame_alloc());
  if (!packet || !frame) return finish("out of memory");
  while (!cancel_.load()) {
    const int read = avformat.av_read_frame(input.Get(), packet.get());
    if (read < 0) break;
    pass.TakePacket(packet.get(), frame.get());
    avcodec.av_packet_unref(packet.get());
    const auto now = std::chrono::steady_clock::now();
    if (now - last_publish >= std::chrono::milliseconds(100)) {
      last_publish = now;
      Publish(facts);
    }
  }
  if (cancel_.load()) return finish({});
  pass.DrainDecoders(frame.get());
  if (facts.Duration < 0 && !facts.KeyFrames.empty()) facts.Duration = facts.KeyFrames.back();
  finish({});
}

}  // namespace kelvane
