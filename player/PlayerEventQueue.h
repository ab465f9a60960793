// The player's own event queue: what SDL's event queue and timer did for the
// event loop, without SDL's video subsystem (which must not start inside the
// Qt program). Events come out in the order they were pushed; a timed event
// joins the queue when its time comes.
//
// Threads: Push and PushAfter from any thread; Wait on the event-loop thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

namespace kelvane {

// The numbers are those of the events as SDL knew them.
enum TPlayerEventType : int {
  evVideoResize = 16,  // the display area got a new size (Width, Height)
  evVideoExpose = 17,  // paint again
  evAllocate = 24,     // the video decoder needs the display area for a new picture size
  evRefresh = 25,      // the refresh timer fired
  evQuit = 26,         // end the playback
  evRedisplay = 27,    // the aspect ratio changed
  evStep = 28,         // StepFrame asked for the next picture while paused
};

struct TPlayerEvent {
  TPlayerEventType Type = evRefresh;
  int32_t Width = 0;
  int32_t Height = 0;
};

class TPlayerEventQueue {
 public:
  void Push(const TPlayerEvent& event);
  // A one-shot timer: `event` is pushed after `milliseconds` (0 counts as 1).
  void PushAfter(int milliseconds, const TPlayerEvent& event);
  // The next event; false when none came within `timeout`.
  bool Wait(TPlayerEvent& event, std::chrono::milliseconds timeout);

 private:
  using TClock = std::chrono::steady_clock;
  struct TTimer {
    TClock::time_point Due;
    uint64_t Order;  // timers due at the same time keep their order
    TPlayerEvent Event;
  };
  void MoveDueTimersLocked(TClock::time_point now);

  std::mutex mutex_;
  std::condition_variable cond_;
  // Guarded by mutex_.
  std::deque<TPlayerEvent> events_;
  std::vector<TTimer> timers_;
  uint64_t timer_order_ = 0;
};

}  // namespace kelvane
