// The main-thread dispatcher: lets worker threads run work on the main thread.
//
// Two back-ends: a plain queue that the main thread drains whenever it pumps or
// waits (headless programs, the command line, tests), and one a toolkit installs
// (the Qt window posts into its event loop). A main thread that waits for a
// worker keeps draining the queue (WaitOnMainThread), so a worker blocked in
// CallInMainThread can always finish.
//
// Threads: CallInMainThread and PostToMainThread from any thread;
// PumpMessages and WaitOnMainThread on the main thread (elsewhere they only wait).
#pragma once

#include <chrono>
#include <functional>

namespace kelvane {

// A toolkit's way of running work on its main thread.
class TMainThreadBackend {
 public:
  virtual ~TMainThreadBackend() = default;
  // Queue `work` to run on the main thread soon; must not run it inline.
  virtual void Post(std::function<void()> work) = 0;
  // Run whatever the toolkit has queued for the main thread, then return.
  virtual void Pump() = 0;
};

// The calling thread becomes the main thread. The thread that first touches the
// dispatcher is the main thread unless this is called earlier.
void SetMainThread();
bool IsMainThread();

// Installs a toolkit back-end (null goes back to the plain queue). Main thread only.
void SetMainThreadBackend(TMainThreadBackend* backend);

// Runs `work` on the main thread and returns when it has run: directly when
// called on the main thread. Exceptions thrown by `work` reach the caller.
void CallInMainThread(const std::function<void()>& work);

// Queues `work` for the main thread without waiting for it.
void PostToMainThread(std::function<void()> work);

// Runs every piece of work waiting for the main thread, then returns.
void PumpMessages();

// Waits until `done()` is true, draining the main-thread queue meanwhile when
// called on the main thread. `done` is checked after each piece of work, after
// each NotifyMainThread and at least every few milliseconds. Returns false when
// `timeout` passed first (a zero timeout waits without limit).
bool WaitOnMainThread(const std::function<bool()>& done,
                      std::chrono::milliseconds timeout = std::chrono::milliseconds(0));

// Wakes a WaitOnMainThread so it checks its condition again.
void NotifyMainThread();

}  // namespace kelvane
