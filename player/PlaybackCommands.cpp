// What the player's commands ask of the playback context (main thread).
#include <chrono>

#include "binding/MainThread.h"
#include "player/FFPlayer.h"
#include "player/PlaybackContext.h"

namespace kelvane {

bool TPlaybackContext::RequestSeek(int64_t target, int32_t flags) {
  thread_.Check();
  {
    std::lock_guard<std::mutex> lock(seek_mutex_);
    // The decoder's own retry of a seek that landed late gives way.
    if (seek_.Pending && seek_.FromUser) return false;
    const bool special = (flags & (AVSEEK_FLAG_BYTE | AVSEEK_FLAG_FRAME)) != 0;
    // "Any frame" today makes decoders start at a frame they cannot decode
    // whole: seek to the key frame before and drop what lies before the target.
    seek_.Exact = !special && (flags & AVSEEK_FLAG_ANY) != 0;
    seek_.Flags = seek_.Exact ? 0 : special ? flags : (flags & ~AVSEEK_FLAG_ANY);
    seek_.Target = target;
    seek_.Point = target;
    seek_.Attempt = 0;
    seek_.FromUser = true;
    seek_.Pending = true;
    seek_.Serial = ++seek_serial_;
  }
  // A decoder waiting to queue a picture from before the seek drops it now.
  { std::lock_guard<std::mutex> lock(picture_mutex_); }
  picture_cond_.notify_all();
  return true;
}

void TPlaybackContext::TogglePause() {
  thread_.Check();
  std::lock_guard<std::mutex> lock(clock_mutex_);
  const int64_t now = avutil.av_gettime_relative();
  if (paused_.load()) {
    // The pictures go on from where they stood, as does the clock.
    frame_timer_ += static_cast<double>(now - current_video_stamp_) / 1e6;
    current_video_stamp_ = now;
    sync_settled_at_ = now + kSettleMicroseconds;
  }
  paused_ = !paused_.load();
}

bool TPlaybackContext::StepFrame(int direction, int timeout_ms) {
  thread_.Check();
  if (!paused_.load() || video_stream_ == nullptr || direction == 0) return false;
  const auto timeout = std::chrono::milliseconds(timeout_ms);
  int64_t before_pts;
  int64_t displayed_before;
  {
    std::lock_guard<std::mutex> lock(shown_mutex_);
    if (!has_shown_) return false;
    before_pts = shown_.Pts;
    displayed_before = displayed_count_;
  }
  // `done` once a picture of serial `serial` or later is on display.
  const auto shown_since = [this](int32_t serial, int64_t displayed) {
    std::lock_guard<std::mutex> lock(shown_mutex_);
    return displayed_count_ > displayed && shown_.Serial >= serial;
  };
  if (direction > 0) {
    {
      std::lock_guard<std::mutex> lock(clock_mutex_);
      step_request_ = true;
    }
    PushEvent({evStep});
    const auto nothing_left = [this] {
      std::lock_guard<std::mutex> lock(picture_mutex_);
      return video_finished_.load() && picture_count_ == 0;
    };
    const int32_t serial = seek_serial_.load();
    WaitOnMainThread(
        [&] { return shown_since(serial, displayed_before) || nothing_left(); }, timeout);
    {
      std::lock_guard<std::mutex> lock(clock_mutex_);
      step_request_ = false;
    }
    return shown_since(serial, displayed_before);
  }
  // One back: the frame on screen just before this one's time.
  if (!WaitOnMainThread([this] { return !SeekPending(); }, timeout)) return false;
  RequestSeek(before_pts - 1, AVSEEK_FLAG_ANY);
  const int32_t serial = seek_serial_.load();
  WaitOnMainThread([&] { return shown_since(serial, displayed_before); }, timeout);
  std::lock_guard<std::mutex> lock(shown_mutex_);
  return shown_.Serial >= serial && shown_.Pts < before_pts;
}

bool TPlaybackContext::CaptureShown(TFrameConverter& converter, int64_t& pts) {
  thread_.Check();
  std::shared_ptr<AVFrame> source;
  {
    std::lock_guard<std::mutex> lock(shown_mutex_);
    if (!has_shown_) return false;
    source = shown_.Source;
    pts = shown_.Pts - start_offset_.load();
  }
  if (!source) return false;
  if (!ConvertToBitmap(converter, source.get()) && converter.Bitmap) {
    std::lock_guard<std::mutex> lock(converter.Bitmap->Lock);
    converter.Bitmap->SetSize(0, 0);
  }
  return true;
}

bool TPlaybackContext::SeekSettled() const {
  if (SeekPending()) return false;
  if (video_stream_ == nullptr || video_finished_.load()) return true;
  std::lock_guard<std::mutex> lock(shown_mutex_);
  return has_shown_ && shown_.Serial >= seek_serial_.load();
}

TShownFrame TPlaybackContext::ShownFrame() const {
  TShownFrame shown;
  std::lock_guard<std::mutex> lock(shown_mutex_);
  if (has_shown_) {
    shown.PTS = shown_.Pts - start_offset_.load();
    shown.Duration = shown_.Duration;
  }
  return shown;
}

TPlaybackStatistics TPlaybackContext::Statistics() const {
  TPlaybackStatistics statistics;
  std::lock_guard<std::mutex> lock(clock_mutex_);
  statistics.FramesShown = frames_shown_;
  statistics.FramesLate = frames_late_;
  statistics.MaxAVDifference = static_cast<int64_t>(max_av_difference_ * 1e6);
  return statistics;
}

}  // namespace kelvane
