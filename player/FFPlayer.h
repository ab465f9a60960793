// The embedded player: plays one media file into a display target and plays
// its sound, reporting the file's facts when it opens, the position while it
// plays and its state changes. TCustomPlayer holds the state and behaviour;
// TFFPlayer only publishes it.
//
//   TFFPlayer player;
//   player.OnFileOpen = [&](TFileOpenInfo& opened) {...};
//   player.OnPosition = [&](int64_t pts) {...};
//   if (!player.LibrariesLoaded()) player.LoadLibraries(folder);
//   if (!player.Open(file, &panel_target)) show(player.LastErrMsg());
//   ... player.Pause(); player.Seek(us); player.StepFrame(-1); player.CurrentFrame() ...
//   player.Stop(true);
//
// Behind it runs one playback context per open file (reader, video decoder,
// sound callback, refresh cycle; player/PlaybackContext.h). Only one player
// plays at a time in the process: SDL's sound is started per open and shut down
// per close.
//
// Events and their threads:
//   OnFileOpen   main thread, inside Open
//   OnPosition   main thread; the player's event-loop thread waits for it
//   OnState      the thread that changes the state: the event-loop thread for
//                psPlay, psEnd and psStop, the caller's for psPause/psResume
//                (handlers that touch the window hand the work to the main
//                thread without waiting for it)
//   OnHook       the video decode thread, before each picture is shown
// Handlers may be set or cleared at any time from any thread. The destructor
// clears OnPosition, OnState and OnHook before it stops, so no event reaches an
// owner that is being destroyed.
//
// Ownership: the player owns its probe, its frame converters and the playback
// context; the display target belongs to the caller and must outlive the
// playback (until Stop with wait returns, or the player is destroyed).
//
// Threads: the commands are called on the main thread. While they wait
// (Open, Stop with wait, StepFrame, pausing during a seek) they keep running
// the work other threads hand to the main thread, so a player thread waiting
// in OnPosition can always finish. The property setters may be called from
// any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "binding/Bitmap.h"
#include "binding/EventSlot.h"
#include "binding/FrameConverter.h"
#include "binding/ThreadOwner.h"
#include "binding/WeakOwner.h"
#include "player/DisplayTarget.h"
#include "probe/AVProbe.h"

namespace kelvane {

class TPlaybackContext;
class TPlayThread;

// psStep exists for completeness; no command raises it.
enum TPlayState : int { psPlay = 0, psPause, psResume, psStep, psStop, psEnd };

// What OnFileOpen reports once a file opened. The handler may set the display
// area's size through ScreenWidth and ScreenHeight; left at 0 they become the
// target's client size.
struct TFileOpenInfo {
  int64_t Duration = -1;    // µs; 0 for an image sequence, -1 when unknown
  int32_t FrameWidth = -1;  // -1 x -1 without video
  int32_t FrameHeight = -1;
  int32_t ScreenWidth = 0;  // written back by the handler
  int32_t ScreenHeight = 0;
};
using TFileOpenEvent = std::function<void(TFileOpenInfo& opened)>;
// The playback position in microseconds from the start of the file.
using TPositionEvent = std::function<void(int64_t pts)>;
using TPlayStateEvent = std::function<void(TPlayState state)>;
// Each picture as a 24-bit bitmap at the decoder's size, before it is shown;
// what the handler draws on it is what gets shown. `pts` in microseconds.
using THookEvent = std::function<void(TBitmap* bitmap, int64_t pts)>;

// The picture on display.
struct TShownFrame {
  int64_t PTS = -1;       // microseconds from the start of the file; -1: no picture
  int64_t Duration = -1;  // how long it stays before the next one, microseconds; -1: unknown
};

// How the playback went since the file was opened (for benchmarks and
// diagnostics).
struct TPlaybackStatistics {
  int64_t FramesShown = 0;
  // Shown more than one frame period after their time.
  int64_t FramesLate = 0;
  // The largest difference between a picture's time and the sound heard when
  // it was shown, microseconds (not counted for half a second after the
  // start, a seek or a resume, while the clocks settle).
  int64_t MaxAVDifference = 0;
};

class TCustomPlayer {
 public:
  TCustomPlayer();
  virtual ~TCustomPlayer();
  TCustomPlayer(const TCustomPlayer&) = delete;
  TCustomPlayer& operator=(const TCustomPlayer&) = delete;

  // ---- Libraries ----
  // Loads the player's library set from `folder` (empty: the system search);
  // on failure LastErrMsg holds the loader's message.
  bool LoadLibraries(const std::string& folder);
  bool LibrariesLoaded() const;

  // ---- Commands ----
  // Stops any playback, then opens `file_name` (UTF-8) and starts playing it
  // into `target` (null: an SDL window of the player's own, unless
  // DisableDisplay). Raises OnFileOpen before it returns. False with
  // LastErrMsg set when the file cannot be played.
  bool Open(const std::string& file_name, TDisplayTarget* target);
  // Ends the playback; with `wait`, returns once it is gone (within about a
  // second whatever the state). Nothing happens without an open file.
  void Stop(bool wait);
  // Pauses when playing (raises psPause); nothing when paused or closed.
  void Pause();
  // Pauses when playing, resumes when paused (psPause / psResume).
  void TogglePause();
  // Shows the picture at `position` (microseconds from the start of the file;
  // beyond the end: the end) and plays on from there, or stays there when
  // paused. A seek asked for while an earlier one is still pending is ignored.
  // With SeekToAny (the default) the picture shown, CaptureFrame and
  // OnPosition are exactly the frame at that time; without it the key frame
  // at or before it.
  void Seek(int64_t position);
  // As Seek, but to the key frame at or before `position`, whatever the seek
  // flags: the quickest picture near a place (following a dragged time line).
  void SeekToKeyFrame(int64_t position);
  // No seek pending and the latest one's picture on display (true without a
  // file): the moment to ask for the next place while following the hand.
  bool SeekSettled() const;
  // While paused: shows the next (+1) or the previous (-1) picture and returns
  // true once it is on display. False when not paused, without video, at the
  // first (-1) or last (+1) picture, or when it did not come within 5 s.
  bool StepFrame(int direction);
  // The picture on display as a 24-bit bitmap at the decoder's size, and its
  // position (microseconds; -1 and a 0 x 0 bitmap without a picture). The
  // bitmap belongs to the player and is reused by the next call.
  TBitmap& CaptureFrame(int64_t& position);
  TBitmap& CurrentFrame();
  // Plays `speed` (1, 2, 4 or 8) times faster than real time, without sound
  // above 1. False (nothing changes) without an open file with pictures, or for
  // another speed. Back at 1 the caller seeks to the picture shown, which
  // brings the sound back in step. A new file starts at 1.
  bool SetSpeed(int32_t speed);
  int32_t Speed() const;
  // The time and duration of the picture on display.
  TShownFrame ShownFrame() const;
  TPlaybackStatistics Statistics() const;
  // The display area changed size (the window was resized): the picture is
  // drawn at the new size from now on. Stored in ScreenWidth/ScreenHeight.
  void DisplayResized(int32_t width, int32_t height);

  // ---- State ----
  // A file is open (playing, paused or at its end).
  bool Active() const;
  bool Paused() const;
  // The last position the position tick computed (microseconds; -1 before).
  int64_t Position() const { return position_.load(); }
  // The last failure (library load or open).
  const std::string& LastErrMsg() const { return last_err_msg_; }
  // The file open now (or last opened).
  const std::string& FileName() const { return file_name_; }
  // Attached to the open file while it plays (stream facts of the playing file).
  TAVProbe& Probe() { return *probe_; }

  // ---- Properties ----
  std::string About;
  std::string Version() const { return "1.3"; }

  // Display aspect: > 0 forces width/height, 0 the stream's own, < 0 fills the
  // whole area. A different value while a file is open redraws the picture.
  float AspectRatio() const { return aspect_ratio_.load(); }
  void SetAspectRatio(float value);
  // Sound volume 0..128 (128 = unchanged); other values are clamped.
  int32_t AudioVolume() const { return audio_volume_.load(); }
  void SetAudioVolume(int32_t value);
  // Silence instead of the sound; the timing is unchanged.
  bool Mute() const { return mute_.load(); }
  void SetMute(bool value) { mute_ = value; }
  // Read when a file is opened.
  bool DisableAudio = false;   // no sound stream
  bool DisableVideo = false;   // no picture stream
  bool DisableDisplay = false; // nothing shown at all (forces DisableVideo, no waveform)
  int32_t FrameWidth = 0;      // picture size handed to the demuxer (raw inputs)
  int32_t FrameHeight = 0;
  // Enables OnHook.
  bool Hook() const { return hook_.load(); }
  void SetHook(bool value) { hook_ = value; }
  // The display area; 0 takes it from the target's client size when a file opens.
  int32_t ScreenWidth() const { return screen_width_.load(); }
  int32_t ScreenHeight() const { return screen_height_.load(); }
  void SetScreenWidth(int32_t value) { screen_width_ = value; }
  void SetScreenHeight(int32_t value) { screen_height_ = value; }
  // The seek flags, bits of the format library's seek flags: 1 backward,
  // 2 by byte, 4 any frame (exact), 8 by frame number. Initially 4.
  int32_t SeekFlags() const { return seek_flags_.load(); }
  void SetSeekFlags(int32_t value) { seek_flags_ = value; }
  bool SeekBackware() const { return SeekFlagSet(1); }
  bool SeekByByte() const { return SeekFlagSet(2); }
  bool SeekToAny() const { return SeekFlagSet(4); }
  bool SeekByFrame() const { return SeekFlagSet(8); }
  void SetSeekBackware(bool value) { SetSeekFlag(1, value); }
  void SetSeekByByte(bool value) { SetSeekFlag(2, value); }
  void SetSeekToAny(bool value) { SetSeekFlag(4, value); }
  void SetSeekByFrame(bool value) { SetSeekFlag(8, value); }

  // ---- Events ----
  TEventSlot<TFileOpenEvent> OnFileOpen;
  TEventSlot<THookEvent> OnHook;
  TEventSlot<TPositionEvent> OnPosition;
  TEventSlot<TPlayStateEvent> OnState;

 private:
  friend class TPlaybackContext;
  friend class TPlayThread;

  bool SeekFlagSet(int32_t bit) const { return (seek_flags_.load() & bit) != 0; }
  void SetSeekFlag(int32_t bit, bool value);
  void ResetPlayer();
  void FileOpenedStep();
  // Open's first step: the SDL subsystems this file needs (`sdl_flags` gets
  // those started; `audio_error` why the sound did not). False after Fail.
  bool InitSubSystems(TDisplayTarget* target, uint32_t& sdl_flags, std::string& audio_error);
  // Raises OnState on the calling thread; a handler's failure is logged.
  void RaiseState(TPlayState state);
  void Fail(const std::string& text, bool log);
  std::shared_ptr<TPlaybackContext> CurrentContext() const;
  // Any thread: `context` ended; the player has no context from now on.
  void ClearContext(const TPlaybackContext* context);
  // Play thread, after its loop: the probe lets go of the file on the main thread.
  void PlayThreadEnded();
  // Main thread: the probe lets go of a file no longer playing.
  void DetachProbe();
  // Main thread: waits for a play thread that is still finishing and joins it.
  void JoinPlayThread();
  // Main thread: pauses or resumes, waiting first for a pending seek.
  void TogglePauseOf(const std::shared_ptr<TPlaybackContext>& context);

  std::unique_ptr<TAVProbe> probe_;
  std::shared_ptr<TPlaybackContext> attached_context_;  // what the probe reads; main thread
  TOwnerLink<TCustomPlayer> owner_{this};  // for work posted to the main thread
  TThreadOwner thread_;  // the main thread, which gives the commands
  std::string last_err_msg_;
  std::string file_name_;
  TDisplayTarget* target_ = nullptr;
  TFrameConverter capture_converter_;  // main thread
  std::atomic<int64_t> position_{-1};
  std::atomic<float> aspect_ratio_{0.0f};
  std::atomic<int32_t> audio_volume_{128};
  std::atomic<bool> mute_{false};
  std::atomic<bool> hook_{false};
  std::atomic<int32_t> screen_width_{0};
  std::atomic<int32_t> screen_height_{0};
  std::atomic<int32_t> seek_flags_{4};

  mutable std::mutex context_mutex_;
  // Guarded by context_mutex_.
  std::shared_ptr<TPlaybackContext> context_;
  std::shared_ptr<TPlayThread> play_thread_;
};

class TFFPlayer : public TCustomPlayer {
 public:
  TFFPlayer() = default;
};

}  // namespace kelvane
