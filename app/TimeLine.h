// The time line under the preview, without a toolkit: which part of the file
// it shows (the whole file, or a zoomed part that scrolls), where a time is
// on it and which time a place on it is, snapping to key frames, and
// following a dragging hand with the player's picture (TScrubber).
//
// Ownership: plain values; TScrubber refers to the player, which must outlive
// it.
//
// Threads: main thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

namespace kelvane {

class TCustomPlayer;

class TTimeLineView {
 public:
  // A zoomed view shows at least this much of the file.
  static constexpr int64_t kMinLength = 500000;

  // A new file: the view shows all of it.
  void SetDuration(int64_t duration);
  int64_t Duration() const { return duration_; }
  int64_t Start() const { return start_; }
  int64_t Length() const { return length_; }
  int64_t End() const { return start_ + length_; }
  bool Zoomed() const { return duration_ > 0 && length_ < duration_; }

  // Shows `factor` times less of the file (more when below 1), keeping
  // `anchor` where it is on the line when it is in view (else in the middle).
  void Zoom(double factor, int64_t anchor);
  // Moves the view by `delta` µs, within the file.
  void Scroll(int64_t delta);
  // Pages the view so that `position` is in it (a playing position that ran
  // off the right edge comes back at the left).
  void KeepInView(int64_t position);

  // The place of `time` on a line `width` pixels wide, and the way back.
  double XOf(int64_t time, int width) const;
  int64_t TimeAt(double x, int width) const;

 private:
  void Clamp();

  int64_t duration_ = 0;
  int64_t start_ = 0;
  int64_t length_ = 0;
};

// The key frame nearest `time` in the ascending `key_frames`; `time` itself
// when there is none.
int64_t NearestKeyFrame(const std::vector<int64_t>& key_frames, int64_t time);

// Follows a dragging hand with the picture: each place the hand passes
// becomes the newest target, and the player is asked for a target only once
// it shows the picture of the one before, so the picture keeps up with the
// hand instead of working through a queue of old places. While dragging the
// player goes to key frames (the quickest picture near a place); on release
// it goes exactly to the place let go of.
class TScrubber {
 public:
  // After this long without the player settling, the next target goes anyway.
  static constexpr std::chrono::milliseconds kGiveUp{400};

  explicit TScrubber(TCustomPlayer& player) : player_(player) {}

  bool Dragging() const { return dragging_; }
  // The hand is at `time`.
  void MoveTo(int64_t time);
  // Asks for the newest target when the player is ready (call often while
  // dragging: every few milliseconds).
  void Tick();
  // The hand let go at `time`: the exact picture.
  void Release(int64_t time);
  // Targets asked of the player during this drag.
  int SeeksSent() const { return seeks_sent_; }

 private:
  void Send(int64_t time);

  TCustomPlayer& player_;
  bool dragging_ = false;
  int64_t pending_ = -1;
  int seeks_sent_ = 0;
  std::chrono::steady_clock::time_point sent_at_{};
};

}  // namespace kelvane
