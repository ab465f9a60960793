#include "app/PreviewControl.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <optional>
#include <utility>

#include "app/MarkTime.h"
#include "app/TextUtils.h"
#include "binding/FFmpegLogger.h"
#include "binding/MainThread.h"

namespace kelvane {
namespace {

// The time line's pictures are this many pixels high (drawn smaller or larger).
const int kTimeLinePictureHeight = 54;

const char kPlayerMissing[] =
    "Some files are missing or had been deleted!!!\n\rDLL files cannot be loaded.\n\rPlease "
    "re-install this software.";

}  // namespace

TPreviewControl::TPreviewControl(TMainWindowModel& model, TMessageSink& messages)
    : model_(model), messages_(messages) {
  player_.OnFileOpen = [this](TFileOpenInfo& opened) { PlayerFileOpen(opened); };
  player_.OnPosition = [this](int64_t pts) { PlayerPosition(pts); };
  // Starting a split stops the preview first, and its end brings it back.
  model_.OnStopPreview = [this] { StopForSplit(); };
  model_.OnRestorePreview = [this] { RestoreAfterSplit(); };
  model_.OnMarkTyped = [this](TEditedMark which, int64_t time) { ShowMarkPicture(which, time); };
  // The scan's thread only says that there is more; the main thread takes it
  // once (however often it was said meanwhile).
  scan_.OnProgress = [this, owner = owner_.Weak(), posted = facts_posted_] {
    if (posted->exchange(true)) return;
    PostToMainThread([this, owner, posted] {
      posted->store(false);
      if (owner.Get() == nullptr) return;
      TimeLineFacts = scan_.Facts();
      // A file that does not play yet shows its length from the scan.
      if (TimeLineView.Duration() <= 0 && TimeLineFacts.Duration > 0) {
        TimeLineView.SetDuration(TimeLineFacts.Duration);
      }
      if (OnTimeLineFacts) OnTimeLineFacts();
    });
  };
}

TPreviewControl::~TPreviewControl() {
  owner_.Cut();
  scan_.Cancel();
  model_.OnStopPreview = nullptr;
  model_.OnRestorePreview = nullptr;
  model_.OnMarkTyped = nullptr;
  player_.OnFileOpen = nullptr;
  player_.OnPosition = nullptr;
  player_.Stop(true);
}

void TPreviewControl::SetDisplayTarget(TDisplayTarget* target, int32_t width, int32_t height) {
  target_ = target;
  area_width_ = width;
  area_height_ = height;
}

void TPreviewControl::DisplayResized(int32_t width, int32_t height) {
  if (width <= 0 || height <= 0 || (width == area_width_ && height == area_height_)) return;
  area_width_ = width;
  area_height_ = height;
  player_.DisplayResized(width, height);
}

void TPreviewControl::OpenFile(const std::string& path) {
  if (model_.Splitting) return;
  // Whatever the player showed goes, in every state (paused too): from now on
  // the picture, the bar and the keys are the new file's, or nothing.
  model_.PreviewPaused = false;
  player_.Stop(true);
  ForgetSpeedText();
  TrackBarMax = 0;
  TrackBarPosition = 0;
  model_.PlayPosition = 0;
  model_.PositionText = "0.00";
  model_.PlayingFile.clear();
  // The marks stay, but their pictures were the other file's.
  if (path != model_.EditInputFilename) {
    for (TThumbnail* thumbnail : {&StartThumbnail, &EndThumbnail}) {
      if (thumbnail->Black) continue;
      thumbnail->Frame.SetSize(0, 0);
      ++thumbnail->Version;
    }
  }
  // The time line forgets the other file, and reads this one in the background.
  scan_.Clear();
  TimeLineFacts = TTimelineFacts();
  TimeLineView.SetDuration(0);
  Changed();
  if (OnStopped) OnStopped();
  if (!model_.AddVideoFile(path)) return;
  scan_.Start(path, kTimeLinePictureHeight);
  if (model_.PlayImmediately) ButtonPlayClick();
}

void TPreviewControl::ButtonPlayClick() {
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
  NormalSpeed();
  Changed();
}

void TPreviewControl::NormalSpeed() {
  ForgetSpeedText();
  if (player_.Speed() == 1) return;
  player_.SetSpeed(1);
  // The sound was left out: a seek to the picture shown brings it back in step.
  const int64_t shown = player_.ShownFrame().PTS;
  WaitOnMainThread([this] { return player_.SeekSettled(); }, std::chrono::milliseconds(400));
  if (shown >= 0) player_.Seek(shown);
}

void TPreviewControl::ForgetSpeedText() {
  if (!speed_text_shown_) return;
  speed_text_shown_ = false;
  model_.StatusLine = "Ready";
}

std::string TPreviewControl::SpeedText(int32_t speed, double reached) {
  std::string text = "Playing at " + std::to_string(speed) + "x, sound off";
  if (reached > 0) text += " (" + FormatFixed(reached, 1) + "x reached)";
  return text;
}

void TPreviewControl::buttonStopClick() {
  if (model_.Splitting) return;
  model_.PreviewPaused = false;
  player_.Stop(true);
  ForgetSpeedText();
  TimerPlayEnabled = false;
  Changed();
  if (OnStopped) OnStopped();
}

void TPreviewControl::StopForSplit() {
  resume_ = TResume();
  if (player_.Active()) {
    // The picture on display is where the user is (a paused player's
    // position reports may lag behind a seek).
    const int64_t shown = player_.ShownFrame().PTS;
    resume_.File = model_.PlayingFile;
    resume_.Position = shown >= 0 ? shown : std::max<int64_t>(model_.PlayPosition, 0);
  }
  player_.Stop(true);
}

void TPreviewControl::RestoreAfterSplit() {
  const TResume resume = std::exchange(resume_, TResume());
  // The split's last preview picture goes; the preview is stopped now.
  model_.PreviewPaused = false;
  TimerPlayEnabled = false;
  Changed();
  if (OnStopped) OnStopped();
  // The file that played before the split comes back paused where it was,
  // unless another one was opened meanwhile.
  if (resume.File.empty() || resume.File != model_.EditInputFilename) return;
  ShowPaused(resume.Position);
}

bool TPreviewControl::ShowPaused(int64_t position) {
  if (model_.Splitting) return false;
  if (!player_.Active()) {
    if (Trim(model_.EditInputFilename).empty()) return false;
    model_.PreviewPaused = false;  // a Pause pressed while stopped would only be cleared
    ButtonPlayClick();
    if (!player_.Active()) return false;
  }
  if (!player_.Paused()) ButtonPauseClick();
  const int64_t before = player_.ShownFrame().PTS;
  SeekTo(position);
  position = model_.PlayPosition;  // as far as the file goes
  const bool at_end = position >= TrackBarMax;
  auto shows = [&](bool moved) {
    const TShownFrame shown = player_.ShownFrame();
    if (shown.PTS < 0 || shown.PTS > position) return false;
    // The picture that covers `position`; at the end of the file (the sound
    // may last longer) the last picture, once the seek has shown it.
    return position < shown.PTS + std::max<int64_t>(shown.Duration, 1) ||
           (at_end && (!moved || shown.PTS != before));
  };
  if (WaitOnMainThread([&] { return shows(true); }, std::chrono::seconds(3))) return true;
  return shows(false);  // the end's picture was shown already
}

void TPreviewControl::ShowMarkPicture(TEditedMark which, int64_t time) {
  TThumbnail& thumbnail = which == TEditedMark::Start ? StartThumbnail : EndThumbnail;
  thumbnail.Black = false;
  thumbnail.Frame.SetSize(0, 0);
  if (ShowPaused(time)) {
    int64_t position = -1;
    thumbnail.Frame.CopyFrom(player_.CaptureFrame(position));
  }
  ++thumbnail.Version;
  Changed();
}

void TPreviewControl::PlayerFileOpen(TFileOpenInfo& opened) {
  opened.ScreenWidth = area_width_;
  opened.ScreenHeight = area_height_;
  model_.PlayPosition = 0;
  TrackBarMax = std::max<int64_t>(opened.Duration, 0);
  TrackBarPosition = 0;
  if (TimeLineView.Duration() != TrackBarMax) TimeLineView.SetDuration(TrackBarMax);
  Changed();
}

std::string TPreviewControl::PositionReadable() const {
  if (TrackBarMax <= 0) return {};
  return ReadableTime(model_.PlayPosition, player_.ShownFrame().Duration) + " / " +
         ReadableTime(TrackBarMax);
}

std::string TPreviewControl::MarkReadable(int which) const {
  const int64_t position = MarkPosition(which);
  if (position < 0 || (which == 0 && position == 0 && MarkPosition(1) < 0)) return {};
  return ReadableTime(position, player_.ShownFrame().Duration);
}

std::string TPreviewControl::TypedReadable(const std::string& text) const {
  const std::optional<int64_t> hundredths = MarkHundredths(Trim(text));
  if (!hundredths) return {};
  return ReadableTime(*hundredths * 10000, player_.ShownFrame().Duration);
}

void TPreviewControl::PlayerPosition(int64_t pts) {
  // A report from before a seek that is still under way would put the
  // position back where the picture was; the seek's own reports follow.
  // While the time line is dragged the position is the hand's, not the
  // key frame shown for it.
  if (!player_.SeekSettled() || scrubber_.Dragging()) return;
  model_.PositionText = FormatFixed(static_cast<double>(pts) / 1000000.0, 2);
  if (pts >= 0 && TrackBarMax > 0) model_.PlayPosition = pts;
  Changed();
}

void TPreviewControl::TimerPlayTimer() {
  if (player_.Speed() == 1 && speed_text_shown_ && !player_.Paused()) {
    // (The marked part plays at 1x.) The notice of a file without pictures stays.
    if (model_.StatusLine.rfind("Playing at normal", 0) != 0) ForgetSpeedText();
  }
  // Faster than real time: how fast it really goes, said once a second.
  if (player_.Speed() > 1 && player_.Active() && !player_.Paused()) {
    const auto now = std::chrono::steady_clock::now();
    const double seconds = std::chrono::duration<double>(now - speed_from_.At).count();
    if (seconds >= 1.0) {
      const double reached = double(model_.PlayPosition - speed_from_.Position) / 1e6 / seconds;
      model_.StatusLine = SpeedText(player_.Speed(), reached);
      speed_from_ = {now, model_.PlayPosition};
      Changed();
    }
  }
  // The end of the marked part is reached when the position says so and the
  // picture on display agrees (a position report from before the part's seek
  // may still come in after it).
  const TShownFrame shown = player_.ShownFrame();
  if (segment_end_ >= 0 && model_.PlayPosition >= segment_end_ && player_.SeekSettled() &&
      shown.PTS >= 0 && shown.PTS + std::max<int64_t>(shown.Duration, 0) >= segment_end_) {
    if (LoopSegment && player_.Active() && !player_.Paused()) {
      SeekTo(segment_start_);  // and round again
    } else {
      segment_end_ = -1;
      if (player_.Active() && !player_.Paused()) ButtonPauseClick();
    }
  }
  // The bar moves forward by itself; back only when the user moves it.
  if (TrackBarPosition <= model_.PlayPosition) {
    TrackBarPosition = model_.PlayPosition;
    Changed();
  }
  if (!scrubber_.Dragging()) TimeLineView.KeepInView(model_.PlayPosition);
}

int64_t TPreviewControl::TimeLineTarget(int64_t time) const {
  time = std::clamp<int64_t>(time, 0, std::max<int64_t>(TrackBarMax, TimeLineView.Duration()));
  return SnapToKeyFrames ? NearestKeyFrame(TimeLineFacts.KeyFrames, time) : time;
}

void TPreviewControl::TimeLineDrag(int64_t time) {
  if (model_.Splitting) return;
  // Nothing plays yet: a click opens the file paused at that place.
  if (!player_.Active()) {
    ShowPaused(TimeLineTarget(time));
    return;
  }
  segment_end_ = -1;
  time = TimeLineTarget(time);
  TimerPlayEnabled = false;
  scrubber_.MoveTo(time);
  TrackBarPosition = time;
  model_.PlayPosition = time;
  Changed();
}

void TPreviewControl::TimeLineTick() {
  if (scrubber_.Dragging()) scrubber_.Tick();
}

void TPreviewControl::TimeLineRelease(int64_t time) {
  if (model_.Splitting || !player_.Active()) return;
  time = TimeLineTarget(time);
  scrubber_.Release(time);
  TrackBarPosition = time;
  model_.PlayPosition = time;
  TimerPlayEnabled = true;
  Changed();
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
  // A place just asked for (Go to Time, a key) is what gets marked: its
  // picture first.
  WaitOnMainThread([this] { return player_.SeekSettled(); }, TScrubber::kGiveUp);
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

void TPreviewControl::ButtonMarkStartClick() { MarkAt(1, StartThumbnail); }

void TPreviewControl::ButtonMarkEndClick() { MarkAt(2, EndThumbnail); }

void TPreviewControl::ButtonClearMarksClick() {
  if (model_.Splitting) return;
  StartThumbnail.Black = EndThumbnail.Black = true;
  ++StartThumbnail.Version;
  ++EndThumbnail.Version;
  model_.ButtonClearMarksClick();
}

void TPreviewControl::PlayOrPause() {
  if (model_.Splitting) return;
  if (player_.Active() && !player_.Paused()) {
    ButtonPauseClick();
  } else {
    ButtonPlayClick();
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

bool TPreviewControl::GoToTime(const std::string& text) {
  if (model_.Splitting) return false;
  if (!player_.Active()) {
    messages_.ShowMessage("Go to Time", "Open and play a file first: there is nothing to go to.");
    return false;
  }
  const std::string typed = Trim(text);
  std::optional<int64_t> target;
  const std::string frame_word = "frame";
  if (typed.compare(0, frame_word.size(), frame_word) == 0) {
    const std::string number = Trim(typed.substr(frame_word.size()));
    const int64_t duration = player_.ShownFrame().Duration;
    const bool digits = !number.empty() && number.size() < 10 &&
                        std::all_of(number.begin(), number.end(),
                                    [](unsigned char c) { return std::isdigit(c) != 0; });
    if (digits && duration > 0) target = std::stoll(number) * duration;
  } else if (const std::optional<int64_t> hundredths = MarkHundredths(typed)) {
    target = *hundredths * 10000;
  }
  if (!target) {
    messages_.ShowMessage("Go to Time", "\"" + typed + "\" is not a time. Type " + MarkForms() +
                                            ", or a picture's number (frame 250).");
    return false;
  }
  SeekTo(*target);
  return true;
}

void TPreviewControl::Shuttle(char key) {
  if (model_.Splitting) return;
  const bool playing = player_.Active() && !player_.Paused();
  segment_end_ = -1;
  if (key == 'J') {
    SeekBy(-1000000);
  } else if (key == 'K') {
    if (playing) ButtonPauseClick();
  } else if (key == 'L') {
    if (!playing) {
      ButtonPlayClick();
      return;
    }
    // Each L doubles the speed, up to 8x; the sound is left out above 1x.
    const int32_t speed = std::min(player_.Speed() * 2, 8);
    if (!player_.SetSpeed(speed)) {
      model_.StatusLine = "Playing at normal speed: a file without pictures has no faster one";
      speed_text_shown_ = true;
    } else {
      speed_from_ = {std::chrono::steady_clock::now(), model_.PlayPosition};
      model_.StatusLine = SpeedText(speed, 0);
      speed_text_shown_ = true;
    }
    Changed();
  }
}

int64_t TPreviewControl::MarkPosition(int which) const {
  const TMainWindowModel::TExactMark& exact = which == 0 ? model_.ExactStart : model_.ExactEnd;
  const std::string& text = which == 0 ? model_.StartMarkText : model_.EndMarkText;
  if (exact.Time >= 0 && text == exact.Text) return exact.Time;
  const std::optional<int64_t> hundredths = MarkHundredths(text);
  if (!hundredths || (which == 1 && *hundredths == 0)) return -1;
  return *hundredths * 10000;
}

void TPreviewControl::GoToMark(int which) {
  const int64_t position = MarkPosition(which);
  if (position >= 0) SeekTo(position);
}

void TPreviewControl::PlaySegment() {
  if (model_.Splitting || !player_.Active()) return;
  const int64_t start = std::max<int64_t>(MarkPosition(0), 0);
  const int64_t end = MarkPosition(1);
  if (end <= start) return;
  player_.SetSpeed(1);  // the seek below brings the sound back in step
  SeekTo(start);
  if (player_.Paused()) ButtonPlayClick();
  segment_start_ = start;
  segment_end_ = end;
}

void TPreviewControl::SeekBy(int64_t delta) { SeekTo(model_.PlayPosition + delta); }

void TPreviewControl::SeekTo(int64_t position) {
  if (model_.Splitting || !player_.Active()) return;
  position = std::clamp<int64_t>(position, 0, std::max<int64_t>(TrackBarMax, 0));
  // The player ignores a seek while an earlier one is pending: keys pressed in
  // quick succession wait (briefly) for the last one's picture, so the newest
  // place is always the one shown.
  WaitOnMainThread([this] { return player_.SeekSettled(); }, TScrubber::kGiveUp);
  player_.Seek(position);
  TrackBarPosition = position;
  model_.PlayPosition = position;
  Changed();
}

}  // namespace kelvane
