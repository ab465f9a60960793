// The sound: an SDL audio device (signed 16-bit, 1024 samples) whose callback
// decodes the audio queue, brings every frame to packed 16-bit at the device's
// rate and channels through libswresample, and mixes it at the player's
// volume. The callback never waits: an empty queue plays silence.
//
// The sound clock is the time of the sample being heard: each callback notes
// the time span it handed to the device and when; between callbacks the clock
// runs on from there, never past what was handed over.
#include <cmath>
#include <cstring>

#include "binding/FFmpegLogger.h"
#include "player/FFPlayer.h"
#include "player/PlaybackContext.h"

namespace kelvane {
namespace {

constexpr int kDeviceSamples = 1024;

}  // namespace

bool TPlaybackContext::OpenAudioDevice(AVCodecContext* decoder) {
  const int channels = decoder->ch_layout.nb_channels;
  SDL_AudioSpec wanted{};
  SDL_AudioSpec obtained{};
  wanted.freq = decoder->sample_rate;
  wanted.format = AUDIO_S16SYS;
  wanted.channels = static_cast<uint8_t>(channels == 1 ? 1 : 2);
  wanted.silence = 0;
  wanted.samples = kDeviceSamples;
  wanted.callback = &TPlaybackContext::AudioCallback;
  wanted.userdata = this;
  if (channels > 0 && wanted.freq > 0 && settings_.AudioInitError.empty()) {
    audio_device_ = sdl.SDL_OpenAudioDevice(nullptr, 0, &wanted, &obtained, 0);
  }
  if (audio_device_ == 0) {
    std::string reason = settings_.AudioInitError;
    if (reason.empty()) reason = wanted.freq > 0 ? sdl.SDL_GetError() : "no sample rate";
    Log(llError, "SDL_OpenAudio() failed: " + reason);
    return false;
  }
  device_rate_ = obtained.freq;
  device_channels_ = obtained.channels;
  bytes_per_second_ = device_rate_ * 2 * device_channels_;
  std::lock_guard<std::mutex> lock(audio_mutex_);
  sample_array_.assign(kSampleArraySize, 0);
  return true;
}

void TPlaybackContext::CloseAudioDevice() {
  // Returns once the callback has left.
  if (audio_device_ != 0) sdl.SDL_CloseAudioDevice(audio_device_);
  audio_device_ = 0;
  resampler_.reset();
}

void TPlaybackContext::AudioCallback(void* opaque, uint8_t* stream, int length) {
  static_cast<TPlaybackContext*>(opaque)->FillAudio(stream, length);
}

// Sound callback thread.
void TPlaybackContext::FillAudio(uint8_t* stream, int length) {
  const int64_t now = avutil.av_gettime_relative();
  memset(stream, 0, static_cast<size_t>(length));  // SDL 2 does not clear it
  int written = 0;
  const bool mute = player_.Mute();
  const int volume = player_.AudioVolume();
  while (!paused_.load() && written < length) {
    if (audio_buffer_index_ >= audio_buffer_size_ && DecodeAudioFrame() <= 0) break;
    const int chunk = std::min(length - written, audio_buffer_size_ - audio_buffer_index_);
    if (!mute) {
      sdl.SDL_MixAudioFormat(stream + written, audio_buffer_.data() + audio_buffer_index_,
                             AUDIO_S16SYS, static_cast<uint32_t>(chunk), volume);
    }
    written += chunk;
    audio_buffer_index_ += chunk;
  }
  std::lock_guard<std::mutex> lock(audio_mutex_);
  callback_time_ = now;
  unread_bytes_ = audio_buffer_size_ - audio_buffer_index_;
  if (written > 0 && audio_clock_set_) {
    written_end_ = audio_clock_ - static_cast<double>(unread_bytes_) / bytes_per_second_;
    written_start_ = written_end_ - static_cast<double>(written) / bytes_per_second_;
    clock_known_ = true;
  } else {
    written_start_ = written_end_;  // silence: the clock stands
  }
}

// Sound callback thread: decodes until a frame gives sound; its bytes, or -1
// when nothing can be decoded without waiting.
int TPlaybackContext::DecodeAudioFrame() {
  AVCodecContext* decoder = audio_decoder_.get();
  for (;;) {
    const int result = avcodec.avcodec_receive_frame(decoder, audio_frame_.get());
    if (result == 0) {
      const int bytes = ConvertAudio(audio_frame_.get());
      avutil.av_frame_unref(audio_frame_.get());
      if (bytes > 0) return bytes;
      continue;
    }
    if (result != AVERROR(EAGAIN) && result != AVERROR_EOF) {
      Log(llInfo, "avcodec_decode_audio2() failed");
    }
    if (!TakeAudioPacket()) return -1;
  }
}

// Sound callback thread: hands the decoder the next packet; false when none is
// waiting (or playback is paused or ending).
bool TPlaybackContext::TakeAudioPacket() {
  if (paused_.load()) return false;
  TQueuedPacket packet;
  if (audio_queue_.Get(packet, false) <= 0) return false;
  AVCodecContext* decoder = audio_decoder_.get();
  switch (packet.Kind) {
    case TQueuedPacket::pkFlush:
      if (packet.Seek) {
        avcodec.avcodec_flush_buffers(decoder);
        audio_target_ = packet.Target;
        audio_clock_set_ = false;
        std::lock_guard<std::mutex> lock(audio_mutex_);
        clock_known_ = false;
      }
      audio_drained_ = false;
      return true;
    case TQueuedPacket::pkEmpty:
      if (!audio_drained_) avcodec.avcodec_send_packet(decoder, nullptr);
      audio_drained_ = true;
      return true;
    case TQueuedPacket::pkData:
      break;
  }
  int result = avcodec.avcodec_send_packet(decoder, packet.Packet.get());
  if (result == AVERROR_EOF) {
    // More sound after the end (a stream that goes on): decode afresh.
    avcodec.avcodec_flush_buffers(decoder);
    audio_drained_ = false;
    result = avcodec.avcodec_send_packet(decoder, packet.Packet.get());
  }
  if (result < 0) Log(llInfo, "avcodec_decode_audio2() failed");
  return true;
}

// Sound callback thread: the frame as packed 16-bit into the sound buffer;
// its bytes (0 when all of it lies before a seek's target), or -1.
int TPlaybackContext::ConvertAudio(const AVFrame* frame) {
  AVChannelLayout source_layout{};
  if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
    avutil.av_channel_layout_default(&source_layout, frame->ch_layout.nb_channels);
  } else {
    avutil.av_channel_layout_copy(&source_layout, &frame->ch_layout);
  }
  const bool changed = !resampler_ || frame->format != resampler_format_ ||
                       frame->sample_rate != resampler_rate_ ||
                       avutil.av_channel_layout_compare(&source_layout, &resampler_layout_) != 0;
  if (changed) {
    resampler_.reset();
    AVChannelLayout device_layout{};
    avutil.av_channel_layout_default(&device_layout, device_channels_);
    SwrContext* context = nullptr;
    int result = swresample.swr_alloc_set_opts2(
        &context, &device_layout, AV_SAMPLE_FMT_S16, device_rate_, &source_layout,
        static_cast<AVSampleFormat>(frame->format), frame->sample_rate, 0, nullptr);
    if (result >= 0) result = swresample.swr_init(context);
    resampler_.reset(context);
    if (result < 0) {
      resampler_.reset();
      const char* name = avutil.av_get_sample_fmt_name(static_cast<AVSampleFormat>(frame->format));
      GetLogger().Logf(&player_, llError, "Cannot convert %s sample format to %s sample format",
                       name != nullptr ? name : "none", "s16");
    }
    resampler_format_ = frame->format;
    resampler_rate_ = frame->sample_rate;
    avutil.av_channel_layout_uninit(&resampler_layout_);
    avutil.av_channel_layout_copy(&resampler_layout_, &source_layout);
  }
  avutil.av_channel_layout_uninit(&source_layout);
  if (!resampler_) return -1;
  const int room = swresample.swr_get_out_samples(resampler_.get(), frame->nb_samples);
  if (room <= 0) return -1;
  audio_buffer_.resize(static_cast<size_t>(room) * 2 * device_channels_);
  uint8_t* out[1] = {audio_buffer_.data()};
  const int samples = swresample.swr_convert(resampler_.get(), out, room,
                                             const_cast<const uint8_t**>(frame->extended_data),
                                             frame->nb_samples);
  if (samples < 0) {
    Log(llError, "av_audio_convert() failed");
    return -1;
  }
  double start = audio_clock_;
  if (frame->best_effort_timestamp != AV_NOPTS_VALUE) {
    start = static_cast<double>(frame->best_effort_timestamp) * av_q2d(audio_stream_->time_base);
  }
  audio_clock_ = start + static_cast<double>(samples) / device_rate_;
  audio_clock_set_ = true;
  audio_buffer_size_ = samples * 2 * device_channels_;
  audio_buffer_index_ = 0;
  return TrimAudioToTarget(start, audio_buffer_size_);
}

// Sound callback thread: after an exact seek, the sound before the target is
// skipped to the sample.
int TPlaybackContext::TrimAudioToTarget(double start, int bytes) {
  if (audio_target_ != AV_NOPTS_VALUE) {
    const double target = static_cast<double>(audio_target_) / 1e6;
    if (audio_clock_ <= target) return 0;
    const int frame_bytes = 2 * device_channels_;
    if (start < target) {
      audio_buffer_index_ = static_cast<int>((target - start) * device_rate_) * frame_bytes;
    }
    audio_target_ = AV_NOPTS_VALUE;
  }
  const int left = bytes - audio_buffer_index_;
  if (show_waveform_ && left > 0) {
    std::lock_guard<std::mutex> lock(audio_mutex_);
    KeepSamplesLocked(audio_buffer_.data() + audio_buffer_index_, left);
  }
  return left;
}

void TPlaybackContext::KeepSamplesLocked(const uint8_t* samples, int bytes) {
  const int count = bytes / 2;
  for (int i = 0; i < count; ++i) {
    int16_t sample;
    memcpy(&sample, samples + 2 * i, sizeof sample);
    sample_array_[static_cast<size_t>(sample_index_)] = sample;
    sample_index_ = (sample_index_ + 1) % kSampleArraySize;
  }
}

double TPlaybackContext::AudioClock() const {
  std::lock_guard<std::mutex> lock(audio_mutex_);
  if (!clock_known_) return NAN;
  const double elapsed =
      static_cast<double>(avutil.av_gettime_relative() - callback_time_) / 1e6;
  return std::min(written_start_ + elapsed, written_end_);
}

}  // namespace kelvane
