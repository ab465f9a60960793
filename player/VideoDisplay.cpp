// The event loop on the player's play thread: the refresh cycle that shows
// each picture at its time, synchronised to the sound clock; the display
// area; the waveform of files without pictures; the position tick and end
// detection.
#include <climits>
#include <cmath>

#include "binding/FFmpegLogger.h"
#include "binding/MainThread.h"
#include "player/FFPlayer.h"
#include "player/PlaybackContext.h"
#include "player/SDLWindowDisplay.h"

namespace kelvane {
namespace {

using namespace std::chrono_literals;

// Differences between picture and sound this large are not corrected (a
// damaged time stamp, a jump in the stream).
constexpr double kNoSyncThreshold = 10.0;
constexpr double kMinSyncThreshold = 0.01;

double SystemSeconds(int64_t microseconds) { return static_cast<double>(microseconds) / 1e6; }

int WaitMilliseconds(double seconds) { return static_cast<int>(seconds * 1000 + 0.5); }

bool SameRect(const TDisplayRect& a, const TDisplayRect& b) {
  return a.Left == b.Left && a.Top == b.Top && a.Width == b.Width && a.Height == b.Height;
}

}  // namespace

void TPlaybackContext::RunEventLoop() {
  loop_thread_ = std::this_thread::get_id();
  while (!ended_.load()) {
    TPlayerEvent event;
    const bool got = events_.Wait(event, 20ms);
    {
      std::lock_guard<std::mutex> lock(loop_mutex_);
      if (ended_.load()) break;
      if (got) HandleEvent(event);
      if (!ended_.load()) PollOwnWindow();
    }
    RunCallouts();
  }
}

void TPlaybackContext::HandleEvent(const TPlayerEvent& event) {
  switch (event.Type) {
    case evQuit:
      End();
      break;
    case evRefresh:
      Refresh();
      break;
    case evAllocate:
      OpenVideoMode();
      {
        std::lock_guard<std::mutex> lock(picture_mutex_);
        allocated_ = true;
      }
      picture_cond_.notify_all();
      break;
    case evVideoResize:
      player_.SetScreenWidth(event.Width);
      player_.SetScreenHeight(event.Height);
      OpenVideoMode();
      Display();
      break;
    case evRedisplay:
      OpenVideoMode();
      Display();
      break;
    case evVideoExpose:
      Display();
      break;
    case evStep:
      ShowQueuedPicture();  // the step asked for, unless a refresh showed it already
      break;
  }
}

void TPlaybackContext::PollOwnWindow() {
  if (!own_window_) return;
  TPlayerEvent event;
  while (own_window_ && own_window_->PollEvent(event)) HandleEvent(event);
}

void TPlaybackContext::RunCallouts() {
  if (report_position_) {
    report_position_ = false;
    const int64_t position = position_to_report_;
    if (player_.OnPosition) {
      try {
        CallInMainThread([this, position] { player_.OnPosition.Call(position); });
      } catch (const std::exception& e) {
        Log(llError, e.what());
      }
    }
  }
  if (report_end_) {
    report_end_ = false;
    player_.RaiseState(psEnd);
  }
}

TDisplayTarget* TPlaybackContext::Target() const {
  return settings_.Target != nullptr ? settings_.Target : own_window_.get();
}

void TPlaybackContext::OpenVideoMode() {
  int32_t width = player_.ScreenWidth();
  int32_t height = player_.ScreenHeight();
  {
    std::lock_guard<std::mutex> lock(picture_mutex_);
    if (width <= 0 || height <= 0) {
      width = allocated_width_ > 0 ? allocated_width_ : video_width_;
      height = allocated_height_ > 0 ? allocated_height_ : video_height_;
    }
    if (width <= 0 || height <= 0) {
      width = 640;
      height = 480;
    }
  }
  if (settings_.Target == nullptr && !settings_.DisableDisplay && !own_window_) {
    own_window_ = TSDLWindowDisplay::Create(width, height);
    if (!own_window_) Log(llError, "SDL: could not set video mode.");
  }
  {
    std::lock_guard<std::mutex> lock(picture_mutex_);
    area_width_ = width;
    area_height_ = height;
    area_open_ = true;
  }
  if (TDisplayTarget* target = Target()) target->SetDisplayArea(width, height);
}

// ---- refresh ----

void TPlaybackContext::Refresh() {
  if (video_stream_ == nullptr) {
    if (audio_stream_ == nullptr) {
      events_.PushAfter(100, {evRefresh});
      return;
    }
    events_.PushAfter(40, {evRefresh});
    if (show_waveform_) Display();
  } else if (!ShowQueuedPicture()) {
    // Nothing to show yet: look again soon (less often while nothing can come).
    const bool idle = paused_.load() || video_finished_.load();
    events_.PushAfter(idle ? 10 : 1, {evRefresh});
  }
  PositionTick();
}

// Shows the queued picture when its turn has come: always while playing;
// while paused only the first picture after a seek or a step. Schedules the
// next refresh when it shows one.
bool TPlaybackContext::ShowQueuedPicture() {
  int32_t shown_serial;
  bool step_wanted;
  {
    std::lock_guard<std::mutex> lock(clock_mutex_);
    shown_serial = shown_serial_;
    step_wanted = step_request_;
  }
  const bool paused = paused_.load();
  TPicture picture;
  {
    std::lock_guard<std::mutex> lock(picture_mutex_);
    if (picture_count_ == 1 && StaleSerial(picture_.Serial)) {
      picture_ = TPicture();
      picture_count_ = 0;
    }
    const bool turn = picture_count_ == 1 &&
                      (!paused || picture_.Serial != shown_serial || step_wanted);
    if (turn) {
      picture = std::move(picture_);
      picture_ = TPicture();
      picture_count_ = 0;
    }
  }
  picture_cond_.notify_all();
  if (!picture.Source) return false;

  // Faster than real time the pictures keep their own time: the sound is off.
  const double audio_clock = audio_stream_ != nullptr && speed_.load() == 1 ? AudioClock() : NAN;
  const int64_t now = avutil.av_gettime_relative();
  double wait = 0.01;
  {
    std::lock_guard<std::mutex> lock(clock_mutex_);
    const double pts = static_cast<double>(picture.Pts) / 1e6;
    const bool new_serial = picture.Serial != shown_serial_;
    if (new_serial) {
      // The first picture after opening or a seek starts the timing afresh.
      frame_timer_ = SystemSeconds(now);
      last_frame_time_ = pts;
      last_frame_delay_ = static_cast<double>(picture.Duration) / 1e6;
      sync_settled_at_ = now + kSettleMicroseconds;
    } else if (!paused && SystemSeconds(now) - frame_timer_ > frame_period_) {
      ++frames_late_;
    }
    current_video_time_ = pts;
    current_video_stamp_ = now;
    shown_serial_ = picture.Serial;
    step_request_ = false;
    ++frames_shown_;
    if (!paused) wait = FrameDelayLocked(pts, audio_clock, SystemSeconds(now));
  }
  events_.PushAfter(WaitMilliseconds(wait), {evRefresh});
  DisplayPicture(std::move(picture));
  NotifyMainThread();  // a StepFrame may be waiting for it
  return true;
}

// How long until the next refresh after showing the picture at `pts`.
double TPlaybackContext::FrameDelayLocked(double pts, double audio_clock, double now) {
  double delay = pts - last_frame_time_;
  if (delay <= 0 || delay >= 2) {
    delay = last_frame_delay_;
  } else {
    last_frame_delay_ = delay;
  }
  last_frame_time_ = pts;
  if (!std::isnan(audio_clock)) {
    const double diff = pts - audio_clock;
    if (std::fabs(diff) < kNoSyncThreshold) {
      const double threshold = std::max(delay, kMinSyncThreshold);
      if (diff <= -threshold) {
        delay = 0;  // behind the sound: catch up
      } else if (diff >= threshold) {
        delay = 2 * delay;  // ahead: wait for it
      }
      if (now * 1e6 >= static_cast<double>(sync_settled_at_)) {
        max_av_difference_ = std::max(max_av_difference_, std::fabs(diff));
      }
    }
  }
  frame_timer_ += delay / speed_.load();
  return std::max(frame_timer_ - now, 0.01);
}

double TPlaybackContext::VideoClockLocked() const {
  if (paused_.load()) return current_video_time_;
  return current_video_time_ + speed_.load() *
                                   static_cast<double>(avutil.av_gettime_relative() -
                                                       current_video_stamp_) / 1e6;
}

// ---- display ----

TDisplayRect TPlaybackContext::PictureRect(int32_t area_width, int32_t area_height) const {
  const float forced = player_.AspectRatio();
  double aspect;
  if (forced >= 0 || area_width <= 0 || area_height <= 0) {
    if (forced > 0) {
      aspect = forced;
    } else {
      double sample = video_sample_aspect_.num != 0 ? av_q2d(video_sample_aspect_) : 0;
      if (sample <= 0) sample = 1;
      aspect = video_height_ > 0 ? sample * video_width_ / video_height_ : 1;
    }
  } else {
    aspect = static_cast<double>(area_width) / area_height;  // fill the area
  }
  if (!(aspect > 0)) aspect = 1;
  TDisplayRect rect;
  rect.Height = area_height;
  rect.Width = static_cast<int32_t>(std::lrint(rect.Height * aspect)) & ~1;
  if (rect.Width > area_width) {
    rect.Width = area_width;
    rect.Height = static_cast<int32_t>(std::lrint(rect.Width / aspect)) & ~1;
  }
  rect.Left = (area_width - rect.Width) / 2;
  rect.Top = (area_height - rect.Height) / 2;
  return rect;
}

void TPlaybackContext::DisplayPicture(TPicture picture) {
  int32_t area_width;
  int32_t area_height;
  {
    std::lock_guard<std::mutex> lock(picture_mutex_);
    area_width = area_width_;
    area_height = area_height_;
  }
  // The area or the aspect changed since the decoder converted it.
  const TDisplayRect rect = PictureRect(area_width, area_height);
  if (!SameRect(rect, picture.Rect) || area_width != picture.AreaWidth ||
      area_height != picture.AreaHeight || !picture.Image) {
    picture.Image = ScalePicture(display_scaler_, picture.Source.get(), rect);
    if (!picture.Image) Log(llError, "Cannot initialize the conversion context.");
    picture.Rect = rect;
    picture.AreaWidth = area_width;
    picture.AreaHeight = area_height;
  }
  TDisplayFrame frame;
  frame.Image = picture.Image;
  frame.Rect = picture.Rect;
  frame.AreaWidth = area_width;
  frame.AreaHeight = area_height;
  frame.PTS = picture.Pts - start_offset_.load();
  TDisplayTarget* target = Target();
  if (target != nullptr && frame.Image) target->ShowPicture(frame);
  std::lock_guard<std::mutex> lock(shown_mutex_);
  shown_ = std::move(picture);
  has_shown_ = true;
  ++displayed_count_;
}

void TPlaybackContext::Display() {
  bool open;
  {
    std::lock_guard<std::mutex> lock(picture_mutex_);
    open = area_open_;
  }
  if (!open) OpenVideoMode();
  if (audio_stream_ != nullptr && show_waveform_) {
    DrawWaveform();
    return;
  }
  TPicture again;
  {
    std::lock_guard<std::mutex> lock(shown_mutex_);
    if (has_shown_ && video_stream_ != nullptr) again = shown_;
  }
  if (again.Source) {
    DisplayPicture(std::move(again));
  } else if (TDisplayTarget* target = Target()) {
    target->Redraw();
  }
}

namespace {

// White on black, a band per channel: each of `samples`' interleaved frames
// is a column, drawn from the band's middle line, with lines between bands.
std::shared_ptr<TBitmap> WaveformImage(const std::vector<int16_t>& samples, int width, int height,
                                       int channels) {
  auto image = std::make_shared<TBitmap>();
  image->SetSize(width, height);  // black
  const auto white = [&image](int x, int y) {
    uint8_t* pixel = image->ScanLine(y) + 3 * x;
    pixel[0] = pixel[1] = pixel[2] = 255;
  };
  const int band = height / channels;
  const int amplitude = band * 9 / 20;
  for (int c = 0; c < channels; ++c) {
    const int centre = c * band + band / 2;
    for (int x = 0; x < width; ++x) {
      const int y = (samples[static_cast<size_t>(x) * channels + c] * amplitude) >> 15;
      const int top = y < 0 ? centre + y : centre;
      for (int row = top; row <= top + std::abs(y) && row < height; ++row) white(x, row);
    }
  }
  for (int c = 1; c < channels; ++c) {
    for (int x = 0; x < width; ++x) white(x, c * band);
  }
  return image;
}

}  // namespace

void TPlaybackContext::DrawWaveform() {
  int32_t width;
  int32_t height;
  {
    std::lock_guard<std::mutex> lock(picture_mutex_);
    width = area_width_;
    height = area_height_;
  }
  const int channels = device_channels_;
  if (width <= 0 || height <= 0 || channels <= 0) return;
  std::vector<int16_t> samples(static_cast<size_t>(width) * channels);
  {
    std::lock_guard<std::mutex> lock(audio_mutex_);
    if (sample_array_.empty()) return;
    const auto at = [this](int index) {
      return sample_array_[static_cast<size_t>((index % kSampleArraySize + kSampleArraySize) %
                                                kSampleArraySize)];
    };
    if (!paused_.load()) {
      // Start where the sound heard now lies, at a rising zero crossing so
      // that a steady tone stands still.
      int64_t delay = unread_bytes_ / (2 * channels);
      if (callback_time_ != 0) {
        delay += (avutil.av_gettime_relative() - callback_time_) * device_rate_ / 1000000;
      }
      delay -= width / 2;
      if (delay < width) delay = width;
      const int x = static_cast<int>((sample_index_ - delay * channels) % kSampleArraySize);
      int best = INT_MIN;
      for (int i = 0; i < 1000; i += channels) {
        const int index = x - i;
        const int score = at(index) - at(index + 9 * channels);
        if (best < score && (at(index + 4 * channels) ^ at(index + 5 * channels)) < 0) {
          best = score;
          waveform_start_ = (index % kSampleArraySize + kSampleArraySize) % kSampleArraySize;
        }
      }
    }
    for (size_t i = 0; i < samples.size(); ++i) {
      samples[i] = at(waveform_start_ + static_cast<int>(i));
    }
  }
  TDisplayFrame frame;
  frame.Image = WaveformImage(samples, width, height, channels);
  frame.Rect = {0, 0, width, height};
  frame.AreaWidth = width;
  frame.AreaHeight = height;
  if (TDisplayTarget* target = Target()) target->ShowWaveform(frame);
}

// ---- position and end ----

void TPlaybackContext::PositionTick() {
  if (image_sequence_) return;
  const int64_t offset = start_offset_.load();
  const int64_t duration = duration_.load();
  int64_t position;
  if (video_stream_ != nullptr) {
    std::lock_guard<std::mutex> lock(clock_mutex_);
    if (shown_serial_ < 0) return;  // no picture yet: no position
    position = std::llround(VideoClockLocked() * 1e6) - offset;
  } else {
    const double clock = AudioClock();
    if (!std::isnan(clock)) {
      position = std::llround(clock * 1e6) - offset;
    } else if (AtEnd() && duration > 0) {
      position = duration;  // a seek beyond the last sound
    } else {
      return;
    }
    if (audio_duration_ > 0 && position >= audio_duration_ && position < duration) {
      position = duration;
    }
  }
  player_.position_ = position;
  if (duration > 0 && position >= duration) {
    position = duration;
    if (reported_position_ != duration) reported_position_ = 0;
  }
  if (reported_position_ == AV_NOPTS_VALUE || std::llabs(position - reported_position_) > 10000) {
    reported_position_ = position;
    position_to_report_ = position;
    report_position_ = true;
  }
  if (AtEnd()) report_end_ = true;
}

// Everything up to the end of the file has been read, decoded and shown.
bool TPlaybackContext::AtEnd() const {
  if (capture_input_ || !eof_.load()) return false;
  if (video_queue_.Count() != 0 || audio_queue_.Count() != 0) return false;
  if (video_stream_ == nullptr) return true;
  if (!video_finished_.load()) return false;
  std::lock_guard<std::mutex> lock(picture_mutex_);
  return picture_count_ == 0;
}

}  // namespace kelvane
