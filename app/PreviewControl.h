// The main window's preview: the player that plays the opened file into the
// preview panel, the Play / Pause / Stop transport, the position and the track
// bar that follows it, seeking by dragging the bar or by keys, and the marks
// set from the picture shown, with their thumbnails. Toolkit-free: the Qt
// window forwards clicks, keys and timer ticks here, paints the panel through
// the display target it hands in, and mirrors the fields below.
//
// Ownership: owns the player; refers to the window model and the message sink,
// which must outlive it; the display target belongs to the view and must
// outlive the playback (it does: the player stops when this object goes).
//
// Threads: main thread only. The player raises OnFileOpen and OnPosition on
// the main thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/MainWindowModel.h"
#include "app/MessageSink.h"
#include "app/TimeLine.h"
#include "binding/Bitmap.h"
#include "binding/WeakOwner.h"
#include "player/FFPlayer.h"
#include "probe/TimelineScan.h"

namespace kelvane {

// What a mark's thumbnail shows.
struct TThumbnail {
  bool Black = true;  // the stored black picture (start-up, Clear Marks)
  TBitmap Frame;      // otherwise the picture at the mark; 0 x 0: none
  int Version = 0;    // counts the changes, so a view redraws only after one
};

class TPreviewControl {
 public:
  TPreviewControl(TMainWindowModel& model, TMessageSink& messages);
  ~TPreviewControl();
  TPreviewControl(const TPreviewControl&) = delete;
  TPreviewControl& operator=(const TPreviewControl&) = delete;

  TFFPlayer& Player() { return player_; }
  // Where the pictures go, and the size of the area they are scaled to.
  void SetDisplayTarget(TDisplayTarget* target, int32_t width, int32_t height);
  // The display area got a new size (the window grew, full screen): the
  // player draws at that size from now on.
  void DisplayResized(int32_t width, int32_t height);

  // ---- What the view shows ----
  // The position and the file's length as people read them
  // ("0:21:06.533 · frame 37996 / 0:30:00.000"); empty without a file.
  std::string PositionReadable() const;
  // A mark (0: start, 1: end) as people read it ("0:21:06.533 · frame
  // 37996"); empty when it marks nothing.
  std::string MarkReadable(int which) const;
  // A typed time with its picture's number, for the time-edit dialog; empty
  // when the text is not a time.
  std::string TypedReadable(const std::string& text) const;
  // A mark's time in microseconds (0: start, 1: end; exact when the panel
  // still shows the marked picture's time); -1 when there is none (an end
  // of 0.00 is none).
  int64_t MarkPosition(int which) const;

  // ---- The time line ----
  // The part of the file it shows.
  TTimeLineView TimeLineView;
  // What the background scan of the open file found so far (key frames,
  // pictures, the sound's peaks); refreshed on the main thread as it grows.
  TTimelineFacts TimeLineFacts;
  // Clicks and drags on the time line land on the nearest key frame.
  bool SnapToKeyFrames = false;
  // The scan found more (on the main thread, after TimeLineFacts changed).
  std::function<void()> OnTimeLineFacts;
  TTimelineScan& Scan() { return scan_; }
  // The hand is at `time` on the time line (pressed or dragging): the
  // picture follows as fast as the player can show it.
  void TimeLineDrag(int64_t time);
  // Called every few milliseconds while dragging: the newest place goes to
  // the player once it showed the last one.
  void TimeLineTick();
  // The hand let go at `time`: the exact picture there.
  void TimeLineRelease(int64_t time);
  bool TimeLineDragging() const { return scrubber_.Dragging(); }
  // Where a click at `time` lands (the nearest key frame when snapping).
  int64_t TimeLineTarget(int64_t time) const;
  // The track bar, in microseconds of the file: 0 .. TrackBarMax.
  int64_t TrackBarMax = 0;
  int64_t TrackBarPosition = 0;
  // TimerPlay runs (every 100 ms) while this is true.
  bool TimerPlayEnabled = true;
  TThumbnail StartThumbnail;  // start mark
  TThumbnail EndThumbnail;    // end mark
  // The player stopped: the panel shows black again.
  std::function<void()> OnStopped;

  // ---- Handlers ----
  // Add Video File with the chosen path (also a dropped file and `kelvane
  // FILE`): whatever played goes, in every state; the file opens and plays
  // when the preferences say so. The marks keep their times; pictures taken
  // from another file leave their thumbnails.
  void OpenFile(const std::string& path);
  void ButtonPlayClick();  // Play
  void ButtonPauseClick();
  void buttonStopClick();
  void TimerPlayTimer();
  void TrackBarMouseDown();
  // The user let go of the bar at `position` µs: the player seeks there.
  void TrackBarMouseUp(int64_t position);
  // The marks at the picture shown: the segment begins with it (start) or
  // ends with it (end), and the mark's thumbnail shows it.
  void ButtonMarkStartClick();
  void ButtonMarkEndClick();
  void ButtonClearMarksClick();
  // Stops the preview before a split and waits for it, noting the file that
  // played and where.
  void StopForSplit();
  // After the split (or a Start that did not begin one): the split's preview
  // picture goes, and the file that played before comes back paused at its
  // place, so that the transport and the keys answer as before.
  void RestoreAfterSplit();
  // A mark typed by hand: the preview goes there, paused, and the mark's
  // thumbnail shows that picture (none when it cannot be shown).
  void ShowMarkPicture(TEditedMark which, int64_t time);

  // ---- Keys (nothing while splitting) ----
  void PlayOrPause();              // Space
  void StepFrame(int direction);   // Left / Right: one picture, paused
  void SeekBy(int64_t delta);      // Shift+Left / Shift+Right: µs
  void SeekTo(int64_t position);   // Home / End, and the above
  // Go to Time (Ctrl+G): any form a mark is typed in, or "frame 37996". A
  // text that is neither, or no file playing, is said to the user; false then.
  bool GoToTime(const std::string& text);
  // J / K / L: J jumps one second back, K pauses, L plays; L while playing
  // doubles the speed up to 8x, without sound (StatusLine says the speed
  // asked and, each second, the speed reached); a pause (K, Space, Pause) or
  // the marked part's play comes back to 1x with the sound.
  void Shuttle(char key);
  // "[" / "]": to the start / end mark (0: start, 1: end); nothing without it.
  void GoToMark(int which);
  // Shift+Space: plays from the start mark and pauses at the end mark (goes
  // back to the start mark and on when LoopSegment is set).
  void PlaySegment();
  bool LoopSegment = false;

 private:
  void PlayerFileOpen(TFileOpenInfo& opened);
  void PlayerPosition(int64_t pts);
  void MarkAt(int which, TThumbnail& thumbnail);
  // Opens the input when nothing plays, pauses, seeks to `position` and waits
  // (up to 3 s) for its picture; false when it did not come.
  bool ShowPaused(int64_t position);
  void Changed() { model_.Changed(); }
  // Back to 1x with the sound, after a faster play.
  void NormalSpeed();
  static std::string SpeedText(int32_t speed, double reached);
  // StatusLine says "Ready" again if it said a speed.
  void ForgetSpeedText();
  bool speed_text_shown_ = false;

  TMainWindowModel& model_;
  TMessageSink& messages_;
  TDisplayTarget* target_ = nullptr;
  int64_t segment_end_ = -1;  // PlaySegment pauses here; -1: not playing one
  int64_t segment_start_ = 0;
  // Where and when the last speed was measured from.
  struct TSpeedFrom {
    std::chrono::steady_clock::time_point At;
    int64_t Position = 0;
  };
  TSpeedFrom speed_from_;
  int32_t area_width_ = 412;
  int32_t area_height_ = 307;
  // What StopForSplit found playing (File empty: nothing).
  struct TResume {
    std::string File;
    int64_t Position = 0;
  };
  TResume resume_;
  TFFPlayer player_;  // stops before the rest goes
  TScrubber scrubber_{player_};
  TTimelineScan scan_;  // last: its thread ends first
  // Work the scan posts to the main thread finds whether this object is still there.
  TOwnerLink<TPreviewControl> owner_{this};
  std::shared_ptr<std::atomic<bool>> facts_posted_ = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace kelvane
