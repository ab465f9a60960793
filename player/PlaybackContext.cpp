// The playback context's start and end, and its reader thread.
#include "player/PlaybackContext.h"

#include <chrono>
#include <climits>
#include <cstdio>
#include <utility>

#include "binding/FFmpegLogger.h"
#include "binding/KeyFrameSeek.h"
#include "binding/MainThread.h"
#include "binding/PictureRotation.h"
#include "player/FFPlayer.h"
#include "player/SDLWindowDisplay.h"
#include "probe/AVProbe.h"

namespace kelvane {
namespace {

using namespace std::chrono_literals;

// The reader stops adding packets while a queue holds more than this.
constexpr int64_t kMaxAudioQueueBytes = 327680;
constexpr int64_t kMaxVideoQueueBytes = 1310720;

std::string WithFileName(const char* pattern, const std::string& file_name) {
  std::string text = pattern;
  text.replace(text.find("%s"), 2, file_name);
  return text;
}

}  // namespace

TPlaybackContext::TPlaybackContext(TCustomPlayer& player, TSettings settings)
    : player_(player), settings_(std::move(settings)) {}

TPlaybackContext::~TPlaybackContext() {
  End();
  avutil.av_channel_layout_uninit(&resampler_layout_);
}

void TPlaybackContext::Log(int level, const std::string& text) const {
  GetLogger().Log(&player_, static_cast<TLogLevel>(level), text);
}

int TPlaybackContext::InterruptCallback(void* opaque) {
  return static_cast<TPlaybackContext*>(opaque)->abort_request_.load() ? 1 : 0;
}

bool TPlaybackContext::Start() {
  thread_.Check();
  events_.PushAfter(40, {evRefresh});
  try {
    reader_ = std::thread(&TPlaybackContext::ReaderThread, this);
  } catch (const std::system_error&) {
    start_error_ = "SDL_CreateThread() failed.";
    Log(llError, start_error_);
    return false;
  }
  WaitOnMainThread([this] { return state_.load() != TReaderState::Starting; });
  if (state_.load() == TReaderState::Reading) return true;
  WaitOnMainThread([this] { return state_.load() != TReaderState::Failed; });
  reader_.join();
  ended_ = true;  // nothing left to end: the reader cleaned up after itself
  return false;
}

void TPlaybackContext::SetTimeLine(int64_t start_offset, int64_t duration) {
  thread_.Check();
  start_offset_ = start_offset;
  duration_ = duration;
}

void TPlaybackContext::AllowReading() {
  thread_.Check();
  {
    std::lock_guard<std::mutex> lock(reader_wake_mutex_);
    read_allowed_ = true;
  }
  reader_wake_.notify_all();
}

void TPlaybackContext::End() {
  std::lock_guard<std::mutex> end_lock(end_mutex_);
  if (ended_.load()) return;
  // The event loop ends the context itself while handling the quit event;
  // from another thread, wait until it is between two events.
  std::unique_lock<std::mutex> loop_lock(loop_mutex_, std::defer_lock);
  if (std::this_thread::get_id() != loop_thread_) loop_lock.lock();
  {
    std::lock_guard<std::mutex> lock(reader_wake_mutex_);
    abort_request_ = true;
  }
  reader_wake_.notify_all();
  video_queue_.Abort();
  audio_queue_.Abort();
  {
    std::lock_guard<std::mutex> lock(picture_mutex_);
    picture_abort_ = true;
  }
  picture_cond_.notify_all();
  if (reader_.joinable()) reader_.join();
  own_window_.reset();
  display_scaler_.reset();
  decode_scaler_.reset();
  ResetConverter(hook_converter_);
  ended_ = true;
  player_.ClearContext(this);
  if (settings_.SDLFlags != 0) sdl.SDL_QuitSubSystem(settings_.SDLFlags);
}

// ---- reader thread ----

void TPlaybackContext::ReaderThread() {
  const bool opened = OpenInput();
  if (opened) {
    state_ = TReaderState::Reading;
    NotifyMainThread();
    // Reading may add streams: it waits until the probe has counted them.
    {
      std::unique_lock<std::mutex> lock(reader_wake_mutex_);
      reader_wake_.wait(lock, [this] { return read_allowed_ || abort_request_.load(); });
    }
    ReadLoop();
    // An I/O error ends the reading; what is queued still plays.
    while (!abort_request_.load()) ReaderSleep(100ms);
  } else {
    state_ = TReaderState::Failed;
    NotifyMainThread();
  }
  CloseStreams();
  if (!opened) state_ = TReaderState::CleanedUp;
  NotifyMainThread();
}

bool TPlaybackContext::OpenInput() {
  const std::string& name = settings_.FileName;
  AVFormatContext* prepared = avformat.avformat_alloc_context();
  if (prepared == nullptr) {
    start_error_ = "av_mallocz() failed.";
    Log(llError, start_error_);
    return false;
  }
  prepared->interrupt_callback.callback = &TPlaybackContext::InterruptCallback;
  prepared->interrupt_callback.opaque = this;
  AVDictionary* raw_options = nullptr;
  if (settings_.FrameWidth > 0 && settings_.FrameHeight > 0) {
    const std::string size =
        std::to_string(settings_.FrameWidth) + "x" + std::to_string(settings_.FrameHeight);
    avutil.av_dict_set(&raw_options, "video_size", size.c_str(), 0);
  }
  int error = OpenInputContext(ToLibraryFileName(name), nullptr, &raw_options, input_, prepared);
  avutil.av_dict_free(&raw_options);
  if (error < 0) {
    start_error_ = OpenErrorText(error, name);
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(CodecLock());
    error = avformat.avformat_find_stream_info(input_.Get(), nullptr);
  }
  if (error < 0) {
    start_error_ = WithFileName("%s: could not find codec parameters", name);
    return false;
  }
  const char* format = input_->iformat->name;
  image_sequence_ = strcmp(format, "image2") == 0;
  capture_input_ = strcmp(format, "vfwcap") == 0 || strcmp(format, "video4linux2,v4l2") == 0;

  int audio_index = -1;
  int video_index = -1;
  ChooseStreams(audio_index, video_index);
  if (audio_index >= 0) OpenStream(audio_index);
  if (video_index >= 0) OpenStream(video_index);
  show_waveform_ = video_stream_ == nullptr && !settings_.DisableDisplay;
  if (audio_stream_ == nullptr && video_stream_ == nullptr) {
    start_error_ = WithFileName("%s: could not open codecs, no stream to play.", name);
    return false;
  }
  return true;
}

void TPlaybackContext::ChooseStreams(int& audio_index, int& video_index) {
  AVFormatContext* ic = input_.Get();
  // Counters of the wanted stream of each type: 0 picks the first.
  int wanted_audio = 0;
  int wanted_video = 0;
  for (unsigned i = 0; i < ic->nb_streams; ++i) {
    AVStream* stream = ic->streams[i];
    stream->discard = AVDISCARD_ALL;
    switch (stream->codecpar->codec_type) {
      case AVMEDIA_TYPE_AUDIO:
        if (wanted_audio-- == 0 && !settings_.DisableAudio) audio_index = static_cast<int>(i);
        break;
      case AVMEDIA_TYPE_VIDEO:
        if (wanted_video-- == 0 && !settings_.DisableVideo) video_index = static_cast<int>(i);
        break;
      default:
        break;  // subtitles and data are never played
    }
  }
}

AVCodecContextPtr TPlaybackContext::OpenDecoder(AVStream* stream) {
  const AVCodec* codec = avcodec.avcodec_find_decoder(stream->codecpar->codec_id);
  AVCodecContextPtr decoder;
  if (codec != nullptr) decoder.reset(avcodec.avcodec_alloc_context3(codec));
  bool opened = false;
  if (decoder && avcodec.avcodec_parameters_to_context(decoder.get(), stream->codecpar) >= 0) {
    decoder->pkt_timebase = stream->time_base;
    decoder->workaround_bugs = FF_BUG_AUTODETECT;
    decoder->lowres = 0;
    decoder->idct_algo = FF_IDCT_AUTO;
    decoder->skip_frame = AVDISCARD_DEFAULT;
    decoder->skip_idct = AVDISCARD_DEFAULT;
    decoder->skip_loop_filter = AVDISCARD_DEFAULT;
    decoder->err_recognition = AV_EF_CRCCHECK;
    decoder->error_concealment = FF_EC_GUESS_MVS | FF_EC_DEBLOCK;
    decoder->thread_count = 0;  // one thread per core
    std::lock_guard<std::mutex> lock(CodecLock());
    opened = avcodec.avcodec_open2(decoder.get(), codec, nullptr) >= 0;
  }
  if (!opened) {
    decoder.reset();  // outside CodecLock: the deleter takes it
    Log(llError, "avcodec_open() failed.");
  }
  return decoder;
}

bool TPlaybackContext::OpenStream(int index) {
  AVStream* stream = input_->streams[index];
  AVCodecContextPtr decoder = OpenDecoder(stream);
  if (!decoder) return false;
  const bool audio = stream->codecpar->codec_type == AVMEDIA_TYPE_AUDIO;
  if (audio && !OpenAudioDevice(decoder.get())) return false;
  stream->discard = AVDISCARD_DEFAULT;
  if (audio) {
    audio_stream_ = stream;
    audio_decoder_ = std::move(decoder);
    audio_duration_ = stream->duration == AV_NOPTS_VALUE
                          ? -1
                          : avutil.av_rescale_q(stream->duration, stream->time_base,
                                                AV_TIME_BASE_Q);
    audio_frame_.reset(avutil.av_frame_alloc());
    sdl.SDL_PauseAudioDevice(audio_device_, 0);
    return true;
  }
  video_stream_ = stream;
  video_decoder_ = std::move(decoder);
  video_width_ = video_decoder_->width;
  video_height_ = video_decoder_->height;
  video_sample_aspect_ = stream->sample_aspect_ratio;
  if (video_sample_aspect_.num == 0) video_sample_aspect_ = video_decoder_->sample_aspect_ratio;
  // A picture stored on its side is shown, captured and measured upright.
  video_rotation_ = StreamRotation(stream);
  if (TurnSwapsSides(video_rotation_)) {
    std::swap(video_width_, video_height_);
    if (video_sample_aspect_.num > 0) video_sample_aspect_ = av_inv_q(video_sample_aspect_);
  }
  if (stream->start_time != AV_NOPTS_VALUE) {
    video_start_ = avutil.av_rescale_q(stream->start_time, stream->time_base, AV_TIME_BASE_Q);
  }
  const AVRational rate = avformat.av_guess_frame_rate(input_.Get(), stream, nullptr);
  if (rate.num > 0 && rate.den > 0) frame_period_ = av_q2d(av_inv_q(rate));
  {
    std::lock_guard<std::mutex> lock(clock_mutex_);
    last_frame_delay_ = 0.04;
    frame_timer_ = static_cast<double>(avutil.av_gettime_relative()) / 1e6;
    current_video_stamp_ = avutil.av_gettime_relative();
  }
  video_thread_ = std::thread(&TPlaybackContext::VideoThread, this);
  return true;
}

void TPlaybackContext::CloseStreams() {
  if (audio_stream_ != nullptr || audio_device_ != 0) {
    audio_queue_.Abort();
    CloseAudioDevice();
    audio_queue_.Flush();
  }
  if (video_thread_.joinable()) {
    video_queue_.Abort();
    {
      std::lock_guard<std::mutex> lock(picture_mutex_);
      picture_abort_ = true;
    }
    picture_cond_.notify_all();
    video_thread_.join();
    video_queue_.Flush();
  }
  // The decoders go now; the streams and the file stay for the probe until
  // the context itself goes.
  audio_decoder_.reset();
  video_decoder_.reset();
  for (AVStream* stream : {audio_stream_, video_stream_}) {
    if (stream != nullptr) stream->discard = AVDISCARD_ALL;
  }
}

void TPlaybackContext::ReaderSleep(std::chrono::milliseconds time) {
  std::unique_lock<std::mutex> lock(reader_wake_mutex_);
  reader_wake_.wait_for(lock, time, [this] { return abort_request_.load(); });
}

void TPlaybackContext::ReadLoop() {
  AVFormatContext* ic = input_.Get();
  bool end_reported = false;
  bool end_marked = false;
  while (!abort_request_.load()) {
    const bool paused = paused_.load();
    if (paused != last_paused_) {
      last_paused_ = paused;
      if (paused) {
        avformat.av_read_pause(ic);
      } else {
        avformat.av_read_play(ic);
      }
    }
    if (SeekPending()) {
      PerformSeek();
      end_reported = end_marked = false;
    }
    if (audio_queue_.Size() > kMaxAudioQueueBytes || video_queue_.Size() > kMaxVideoQueueBytes) {
      ReaderSleep(10ms);
      continue;
    }
    if (eof_.load()) {
      // The decoders give out their delayed frames on an empty packet.
      if (!end_marked) {
        if (video_stream_ != nullptr) video_queue_.PutEmpty();
        if (audio_stream_ != nullptr) audio_queue_.PutEmpty();
        end_marked = true;
      }
      ReaderSleep(10ms);
      continue;
    }
    AVPacketPtr packet(avcodec.av_packet_alloc());
    reading_ = true;
    const int result = avformat.av_read_frame(ic, packet.get());
    reading_ = false;
    if (result < 0) {
      if (!image_sequence_ && !end_reported) {
        Log(llError, WithFileName("%s: error or end of file", settings_.FileName));
        end_reported = true;
      }
      if (result == AVERROR_EOF) eof_ = true;
      if (ic->pb != nullptr && ic->pb->error != 0 && !eof_.load()) break;
      if (!eof_.load()) ReaderSleep(100ms);
      continue;
    }
    if (audio_stream_ != nullptr && packet->stream_index == audio_stream_->index) {
      // Faster than real time the sound is left out.
      if (speed_.load() == 1) audio_queue_.Put(std::move(packet));
    } else if (video_stream_ != nullptr && packet->stream_index == video_stream_->index) {
      video_queue_.Put(std::move(packet));
    }
  }
}

bool TPlaybackContext::SeekPending() const {
  std::lock_guard<std::mutex> lock(seek_mutex_);
  return seek_.Pending;
}

void TPlaybackContext::PerformSeek() {
  TSeekRequest request;
  {
    std::lock_guard<std::mutex> lock(seek_mutex_);
    request = seek_;
  }
  // An exact seek goes to the key frame at or before the point; the decoders
  // then drop what comes before the target.
  const bool by_time = (request.Flags & AVSEEK_FLAG_BYTE) == 0;
  const int64_t max_ts = request.Exact && by_time ? request.Point : INT64_MAX;
  AVFormatContext* ic = input_.Get();
  // MPEG-TS and MPEG-PS search by time stamp and fail, or land late, at the
  // first one: their start is their first byte.
  const bool from_first_byte =
      by_time && request.Point <= InputOrigin(ic) && SeekLandsLate(ic);
  int result = -1;
  if (from_first_byte) result = SeekNear(ic, 0, INT64_MAX, AVSEEK_FLAG_BYTE);
  if (result < 0) result = SeekNear(ic, request.Point, max_ts, request.Flags);
  const bool moved = result >= 0;
  if (!moved) {
    Log(llError, WithFileName("%s: error while seeking", settings_.FileName));
  } else {
    audio_queue_.Flush();
    video_queue_.Flush();
  }
  // A failed seek still starts a new serial, so the pictures after it show.
  const int64_t target = moved && request.Exact ? request.Target : AV_NOPTS_VALUE;
  if (audio_stream_ != nullptr) audio_queue_.PutFlush(request.Serial, target, request.Attempt, moved);
  if (video_stream_ != nullptr) video_queue_.PutFlush(request.Serial, target, request.Attempt, moved);
  eof_ = false;
  video_finished_ = false;
  {
    std::lock_guard<std::mutex> lock(seek_mutex_);
    if (seek_.Serial == request.Serial) seek_.Pending = false;
  }
  NotifyMainThread();
}

}  // namespace kelvane
