#include "player/FFPlayer.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "binding/FFmpegLogger.h"
#include "binding/MainThread.h"
#include "player/PlayThreads.h"
#include "player/PlaybackContext.h"

namespace kelvane {
namespace {

constexpr int kStepTimeoutMs = 5000;

}  // namespace

TCustomPlayer::TCustomPlayer() : probe_(std::make_unique<TAVProbe>()) { ResetPlayer(); }

TCustomPlayer::~TCustomPlayer() {
  // No event reaches an owner that is being destroyed.
  OnPosition = nullptr;
  OnState = nullptr;
  OnHook = nullptr;
  Stop(true);
  JoinPlayThread();
  DetachProbe();
}

bool TCustomPlayer::LoadLibraries(const std::string& folder) {
  thread_.Check();
  TFFmpegLoader& loader = GetLoader();
  if (!folder.empty()) loader.SetLibraryPath(folder);
  if (loader.LoadLibraries(PlayerLibraries)) return true;
  last_err_msg_ = loader.LastError();
  return false;
}

bool TCustomPlayer::LibrariesLoaded() const {
  return GetLoader().LibrariesLoaded(PlayerLibraries);
}

void TCustomPlayer::Fail(const std::string& text, bool log) {
  if (log) GetLogger().Log(this, llError, text);
  last_err_msg_ = text;
}

void TCustomPlayer::ResetPlayer() { position_ = -1; }

std::shared_ptr<TPlaybackContext> TCustomPlayer::CurrentContext() const {
  std::lock_guard<std::mutex> lock(context_mutex_);
  return context_;
}

void TCustomPlayer::ClearContext(const TPlaybackContext* context) {
  {
    std::lock_guard<std::mutex> lock(context_mutex_);
    if (context_.get() == context) context_.reset();
  }
  ResetPlayer();
}

void TCustomPlayer::RaiseState(TPlayState state) {
  try {
    OnState.Call(state);
  } catch (const std::exception& e) {
    GetLogger().Log(this, llError, e.what());
  }
}

void TCustomPlayer::PlayThreadEnded() {
  PostToMainThread([owner = owner_.Weak()] {
    if (TCustomPlayer* self = owner.Get()) self->DetachProbe();
  });
}

void TCustomPlayer::DetachProbe() {
  if (attached_context_ && attached_context_ != CurrentContext()) {
    probe_->CloseFile();
    attached_context_.reset();
  }
}

void TCustomPlayer::JoinPlayThread() {
  std::shared_ptr<TPlayThread> play;
  {
    std::lock_guard<std::mutex> lock(context_mutex_);
    play = play_thread_;
  }
  if (!play) return;
  WaitOnMainThread([&play] { return play->Finished(); });
  play->Join();
  std::lock_guard<std::mutex> lock(context_mutex_);
  if (play_thread_ == play) play_thread_.reset();
}

bool TCustomPlayer::InitSubSystems(TDisplayTarget* target, uint32_t& sdl_flags,
                                   std::string& audio_error) {
  // Left to itself SDL turns Ctrl-C and SIGTERM into quit events that nothing
  // here reads, and the program could no longer be stopped by them.
  sdl.SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
  if (target == nullptr && !DisableDisplay) {
    if (sdl.SDL_InitSubSystem(SDL_INIT_VIDEO) < 0) {
      Fail(std::string("Could not initialize SDL: ") + sdl.SDL_GetError(), true);
      return false;
    }
    sdl_flags |= SDL_INIT_VIDEO;
  }
  if (!DisableAudio) {
    // Without a sound device the pictures keep their own time.
    if (sdl.SDL_InitSubSystem(SDL_INIT_AUDIO) < 0) {
      audio_error = sdl.SDL_GetError();
    } else {
      sdl_flags |= SDL_INIT_AUDIO;
    }
  }
  return true;
}

bool TCustomPlayer::Open(const std::string& file_name, TDisplayTarget* target) {
  thread_.Check();
  if (!LibrariesLoaded()) {
    Fail("libav or libsdl not loaded.", true);
    return false;
  }
  Stop(true);
  JoinPlayThread();
  DetachProbe();

  TPlaybackContext::TSettings settings;
  if (!InitSubSystems(target, settings.SDLFlags, settings.AudioInitError)) return false;
  if (DisableDisplay) DisableVideo = true;
  settings.FileName = file_name;
  settings.DisableAudio = DisableAudio;
  settings.DisableVideo = DisableVideo;
  settings.DisableDisplay = DisableDisplay;
  settings.FrameWidth = FrameWidth;
  settings.FrameHeight = FrameHeight;
  settings.Target = target;
  const uint32_t sdl_flags = settings.SDLFlags;

  std::shared_ptr<TPlaybackContext> context;
  try {
    context = std::make_shared<TPlaybackContext>(*this, std::move(settings));
  } catch (const std::bad_alloc&) {
    if (sdl_flags != 0) sdl.SDL_QuitSubSystem(sdl_flags);
    Fail("av_mallocz() failed.", true);
    return false;
  }
  if (!context->Start()) {
    if (sdl_flags != 0) sdl.SDL_QuitSubSystem(sdl_flags);
    last_err_msg_ = context->StartError();
    ResetPlayer();
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(context_mutex_);
    context_ = context;
  }
  file_name_ = file_name;
  target_ = target;
  probe_->AttachContext(context->FormatContext());
  attached_context_ = context;
  FileOpenedStep();
  context->AllowReading();

  auto play = std::make_shared<TPlayThread>(*this, context);
  {
    std::lock_guard<std::mutex> lock(context_mutex_);
    play_thread_ = play;
  }
  play->Start();
  return true;
}

void TCustomPlayer::FileOpenedStep() {
  capture_converter_.ToBitmap.reset();
  capture_converter_.FromBitmap.reset();
  std::shared_ptr<TPlaybackContext> context = CurrentContext();
  if (!context) return;
  TFileOpenInfo opened;
  if (context->HasVideo() && context->VideoWidth() > 0) {
    opened.FrameWidth = context->VideoWidth();
    opened.FrameHeight = context->VideoHeight();
  }
  // Set whether or not anyone listens: positions and seeks count from the
  // file's start either way.
  const AVFormatContext* input = context->FormatContext();
  const int64_t start = input->start_time == AV_NOPTS_VALUE ? 0 : input->start_time;
  const int64_t duration = input->duration == AV_NOPTS_VALUE ? -1 : input->duration;
  context->SetTimeLine(start, duration);
  opened.Duration = context->ImageSequence() ? 0 : duration;
  opened.ScreenWidth = ScreenWidth();
  opened.ScreenHeight = ScreenHeight();
  try {
    OnFileOpen.Call(opened);
  } catch (const std::exception& e) {
    GetLogger().Log(this, llError, e.what());
  }
  if (target_ != nullptr && (opened.ScreenWidth == 0 || opened.ScreenHeight == 0)) {
    target_->ClientSize(opened.ScreenWidth, opened.ScreenHeight);
  }
  SetScreenWidth(opened.ScreenWidth);
  SetScreenHeight(opened.ScreenHeight);
}

void TCustomPlayer::Stop(bool wait) {
  thread_.Check();
  std::shared_ptr<TPlaybackContext> context = CurrentContext();
  if (!context) return;
  context->PushEvent({evQuit});
  if (!wait) return;
  std::shared_ptr<TPlayThread> play;
  {
    std::lock_guard<std::mutex> lock(context_mutex_);
    play = play_thread_;
  }
  TStopThread(context, play).RunAndWait();
  if (play && play->Finished()) {
    play->Join();
    std::lock_guard<std::mutex> lock(context_mutex_);
    if (play_thread_ == play) play_thread_.reset();
  }
  DetachProbe();
}

void TCustomPlayer::TogglePauseOf(const std::shared_ptr<TPlaybackContext>& context) {
  if (!context->Paused()) {
    // A seek asked for just before is taken first, so its picture shows.
    TPauseThread(context).RunAndWait();
  }
  context->TogglePause();
}

void TCustomPlayer::Pause() {
  thread_.Check();
  std::shared_ptr<TPlaybackContext> context = CurrentContext();
  if (!context || context->Paused()) return;
  TogglePauseOf(context);
  RaiseState(psPause);
}

void TCustomPlayer::TogglePause() {
  thread_.Check();
  std::shared_ptr<TPlaybackContext> context = CurrentContext();
  if (!context) return;
  TogglePauseOf(context);
  RaiseState(context->Paused() ? psPause : psResume);
}

void TCustomPlayer::Seek(int64_t position) {
  thread_.Check();
  std::shared_ptr<TPlaybackContext> context = CurrentContext();
  if (!context) return;
  const int64_t duration = context->Duration();
  if (duration >= 0 && position > duration) position = duration;
  context->RequestSeek(position + context->StartOffset(), SeekFlags());
}

void TCustomPlayer::SeekToKeyFrame(int64_t position) {
  thread_.Check();
  std::shared_ptr<TPlaybackContext> context = CurrentContext();
  if (!context) return;
  const int64_t duration = context->Duration();
  if (duration >= 0 && position > duration) position = duration;
  context->RequestSeek(std::max<int64_t>(position, 0) + context->StartOffset(), AVSEEK_FLAG_BACKWARD);
}

bool TCustomPlayer::SetSpeed(int32_t speed) {
  thread_.Check();
  std::shared_ptr<TPlaybackContext> context = CurrentContext();
  if (!context || !context->HasVideo() || (speed != 1 && speed != 2 && speed != 4 && speed != 8)) {
    return false;
  }
  context->SetSpeed(speed);
  return true;
}

int32_t TCustomPlayer::Speed() const {
  std::shared_ptr<TPlaybackContext> context = CurrentContext();
  return context ? context->Speed() : 1;
}

bool TCustomPlayer::SeekSettled() const {
  std::shared_ptr<TPlaybackContext> context = CurrentContext();
  return !context || context->SeekSettled();
}

bool TCustomPlayer::StepFrame(int direction) {
  thread_.Check();
  std::shared_ptr<TPlaybackContext> context = CurrentContext();
  return context && context->StepFrame(direction, kStepTimeoutMs);
}

TBitmap& TCustomPlayer::CaptureFrame(int64_t& position) {
  thread_.Check();
  if (!capture_converter_.Bitmap) capture_converter_.Bitmap = std::make_unique<TBitmap>();
  TBitmap& bitmap = *capture_converter_.Bitmap;
  position = -1;
  std::shared_ptr<TPlaybackContext> context = CurrentContext();
  {
    std::lock_guard<std::mutex> lock(bitmap.Lock);
    if (!context || !context->HasVideo()) {
      bitmap.SetSize(0, 0);
      return bitmap;
    }
    bitmap.SetSize(context->VideoWidth(), context->VideoHeight());
    std::fill(bitmap.Pixels.begin(), bitmap.Pixels.end(), 0);
  }
  if (!context->CaptureShown(capture_converter_, position)) position = -1;
  return bitmap;
}

TBitmap& TCustomPlayer::CurrentFrame() {
  thread_.Check();
  int64_t position;
  return CaptureFrame(position);
}

TShownFrame TCustomPlayer::ShownFrame() const {
  std::shared_ptr<TPlaybackContext> context = CurrentContext();
  return context ? context->ShownFrame() : TShownFrame();
}

TPlaybackStatistics TCustomPlayer::Statistics() const {
  std::shared_ptr<TPlaybackContext> context = CurrentContext();
  return context ? context->Statistics() : TPlaybackStatistics();
}

void TCustomPlayer::DisplayResized(int32_t width, int32_t height) {
  std::shared_ptr<TPlaybackContext> context = CurrentContext();
  if (context) {
    context->PushEvent({evVideoResize, width, height});
  } else {
    SetScreenWidth(width);
    SetScreenHeight(height);
  }
}

bool TCustomPlayer::Active() const { return CurrentContext() != nullptr; }

bool TCustomPlayer::Paused() const {
  std::shared_ptr<TPlaybackContext> context = CurrentContext();
  return context && context->Paused();
}

void TCustomPlayer::SetAspectRatio(float value) {
  if (aspect_ratio_.exchange(value) == value) return;
  if (std::shared_ptr<TPlaybackContext> context = CurrentContext()) {
    context->PushEvent({evRedisplay});
  }
}

void TCustomPlayer::SetAudioVolume(int32_t value) { audio_volume_ = std::clamp(value, 0, 128); }

void TCustomPlayer::SetSeekFlag(int32_t bit, bool value) {
  int32_t flags = seek_flags_.load();
  while (!seek_flags_.compare_exchange_weak(flags, value ? (flags | bit) : (flags & ~bit))) {
  }
}

}  // namespace kelvane
