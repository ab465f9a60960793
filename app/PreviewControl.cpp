#include "app/PreviewControl.h"

#include <algorithm>
#include <chrono>

#include "app/TextUtils.h"
#include "binding/FFmpegLogger.h"
#include "binding/MainThread.h"

namespace kelvane {
namespace {

const char kPlayerMissing[] =
    "Some files are missing or had been deleted!!!\n\rDLL files cannot be loaded.\n\rPlease "
    "re-install this software.";

}  // namespace

TPreviewControl::TPreviewControl(TMainWindowModel& model, TMessageSink& messages)
    : model_(model), messages_(messages) {
  player_.OnFileOpen = [this](int64_t ADuration, int32_t, int32_t, int32_t& AScreenWidth,
                              int32_t& AScreenHeight) {
    PlayerFileOpen(ADuration, AScreenWidth, AScreenHeight);
  };
  player_.OnPosition = [this](int64_t APTS) { PlayerPosition(APTS); };
  // Starting a split stops the preview first.
  model_.OnStopPreview = [this] { StopForSplit(); };
}

TPreviewControl::~TPreviewControl() {
  model_.OnStopPreview = nullptr;
  player_.OnFileOpen = nullptr;
  player_.OnPosition = nullptr;
  player_.Stop(true);
}

void TPreviewControl::SetDisplayTarget(TDisplayTarget* target, int32_t width, int32_t height) {
  target_ = target;
  area_width_ = width;
  area_height_ = height;
}

void TPreviewControl::OpenFile(const std::string& path) {
  if (model_.Splitting) return;
  if (model_.AddVideoFile(path) && model_.PlayImmediately) SpeedButton4Click();
}

void TPreviewControl::SpeedButton4Click() {
  if (model_.Splitting) return;
  if (!player_.LibrariesLoaded() && !player_.LoadLibraries(model_.ProgramFolder())) {
    GetLogger().Log(this, llError, player_.LastErrMsg());
    messages_.ShowMessage("Information", kPlayerMissing);
    return;
  }
  TimerPlayEnabled = true;
  if (model_.PreviewPaused) {
    player_.TogglePause();
    model_.PreviewPaused = false;
    Changed();
    return;
  }
  player_.Stop(true);
  TrackBarMax = 0;
  model_.PlayingFile = model_.EditInputFilename;
  Changed();
  // A file the player cannot open leaves the panel black.
  if (!player_.Open(model_.PlayingFile, target_)) {
    GetLogger().Log(this, llInfo, player_.LastErrMsg());
  }
}

void TPreviewControl::ButtonPauseClick() {
  if (model_.Splitting) return;
  model_.PreviewPaused = true;
  player_.Pause();
  Changed();
}

void TPreviewControl::buttonStopClick() {
  if (model_.Splitting) return;
  model_.PreviewPaused = false;
  player_.Stop(true);
  TimerPlayEnabled = false;
  Changed();
  if (OnStopped) OnStopped();
}

void TPreviewControl::StopForSplit() { player_.Stop(true); }

void TPreviewControl::PlayerFileOpen(int64_t ADuration, int32_t& AScreenWidth,
                                     int32_t& AScreenHeight) {
  AScreenWidth = area_width_;
  AScreenHeight = area_height_;
  model_.PlayPosition = 0;
  TrackBarMax = std::max<int64_t>(ADuration, 0);
  TrackBarPosition = 0;
  Changed();
}

void TPreviewControl::PlayerPosition(int64_t APTS) {
  model_.Panel3 = FormatFixed(static_cast<double>(APTS) / 1000000.0, 2);
  if (APTS >= 0 && TrackBarMax > 0) model_.PlayPosition = APTS;
  Changed();
}

void TPreviewControl::TimerPlayTimer() {
  // The bar moves forward by itself; back only when the user moves it.
  if (TrackBarPosition <= model_.PlayPosition) {
    TrackBarPosition = model_.PlayPosition;
    Changed();
  }
}

void TPreviewControl::TrackBarMouseDown() {
  TimerPlayEnabled = false;
  Changed();
}

void TPreviewControl::TrackBarMouseUp(int64_t position) {
  TrackBarPosition = position;
  player_.Seek(position);
  // Give the player a moment to show the new place before the bar follows it again.
  WaitOnMainThread([] { return false; }, std::chrono::milliseconds(100));
  model_.PlayPosition = TrackBarPosition;
  TimerPlayEnabled = true;
  Changed();
}

void TPreviewControl::MarkAt(int which, TThumbnail& thumbnail) {
  int64_t position = -1;
  const TBitmap& shown = player_.CaptureFrame(position);
  thumbnail.Black = false;
  thumbnail.Frame.CopyFrom(shown);
  ++thumbnail.Version;
  if (position >= 0 && thumbnail.Frame.Width > 0) {
    const TShownFrame frame = player_.ShownFrame();
    model_.SetMarkAt(which, position, frame.PTS == position ? frame.Duration : -1);
  } else if (which == 1) {
    model_.ButtonMarkStartClick();  // no picture: the position shown
  } else {
    model_.ButtonMarkEndClick();
  }
}

void TPreviewControl::ButtonMarkStartClick() { MarkAt(1, Image1); }

void TPreviewControl::ButtonMarkEndClick() { MarkAt(2, Image2); }

void TPreviewControl::ButtonClearMarksClick() {
  if (model_.Splitting) return;
  Image1.Black = Image2.Black = true;
  ++Image1.Version;
  ++Image2.Version;
  model_.ButtonClearMarksClick();
}

void TPreviewControl::PlayOrPause() {
  if (model_.Splitting) return;
  if (player_.Active() && !player_.Paused()) {
    ButtonPauseClick();
  } else {
    SpeedButton4Click();
  }
}

void TPreviewControl::StepFrame(int direction) {
  if (model_.Splitting || !player_.Active()) return;
  if (!player_.Paused()) ButtonPauseClick();
  if (!player_.StepFrame(direction)) return;
  const TShownFrame shown = player_.ShownFrame();
  if (shown.PTS >= 0) {
    PlayerPosition(shown.PTS);
    TrackBarPosition = model_.PlayPosition;
    Changed();
  }
}

void TPreviewControl::SeekBy(int64_t delta) { SeekTo(model_.PlayPosition + delta); }

void TPreviewControl::SeekTo(int64_t position) {
  if (model_.Splitting || !player_.Active()) return;
  position = std::clamp<int64_t>(position, 0, std::max<int64_t>(TrackBarMax, 0));
  player_.Seek(position);
  TrackBarPosition = position;
  model_.PlayPosition = position;
  Changed();
}

}  // namespace kelvane
