// The engine's thread classes: the worker that runs one task (TConvertThread),
// the waiter that watches a task's worker go away (TWaitThread), the thread that
// makes a never-started task's terminate callback (TDoTerminateThread), and the
// component's thread that runs one OnTerminate handler (TTerminateEventThread),
// plus the thread-priority mapping and the process-wide PreviewLock.
//
// Ownership: every thread object is created suspended (nothing runs until
// Resume). A thread made FreeOnTerminate deletes itself after its step; otherwise
// the creator calls WaitFor and deletes it. The task a thread works on must
// outlive the thread's step; tasks wait for their worker before they go away.
//
// Threads: a thread object is created and resumed by one thread; WaitFor runs
// on the creator (on the main thread it keeps serving the main-thread queue).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "engine/ConverterEvents.h"  // TConvertPriority

namespace kelvane {

class TCustomFFmpeg;

// Gives the calling thread the priority: SCHED_IDLE for tpIdle, nice 10 / 5 / 0.
void ApplyThreadPriority(TConvertPriority priority);

// Held while a task's preview flags change and while a frame is offered for
// preview (including the wait for the main thread to show it); the preview
// step stores its flags without taking it again. On the main thread take it
// with LockPreview, never by blocking on the mutex.
std::mutex& PreviewLock();

// Takes PreviewLock. On the main thread it keeps serving the main-thread queue
// while it waits, so that a worker holding the lock while it waits for the main
// thread (a preview event) can finish.
std::unique_lock<std::mutex> LockPreview();

// A thread that runs one step once resumed.
class TEngineThread {
 public:
  virtual ~TEngineThread();
  TEngineThread(const TEngineThread&) = delete;
  TEngineThread& operator=(const TEngineThread&) = delete;

  // Starts the step. A FreeOnTerminate thread must not be touched afterwards.
  void Resume();
  // Waits until the step has ended (serving the main-thread queue when called
  // on the main thread). Not for FreeOnTerminate threads.
  void WaitFor();
  bool Finished() const { return finished_.load(); }

  bool FreeOnTerminate = false;

 protected:
  TEngineThread() = default;
  virtual void Execute() = 0;

 private:
  void Main(bool free_on_terminate);

  std::thread thread_;
  std::atomic<bool> started_{false};
  std::atomic<bool> finished_{false};
};

// Runs a task's conversion (TCustomFFmpeg::Run) at the given priority.
class TConvertThread : public TEngineThread {
 public:
  TConvertThread(TCustomFFmpeg* task, TConvertPriority priority)
      : task_(task), priority_(priority) {}

 protected:
  void Execute() override;

 private:
  TCustomFFmpeg* task_;
  TConvertPriority priority_;
};

// Returns once the task's worker has left the task.
class TWaitThread : public TEngineThread {
 public:
  explicit TWaitThread(TCustomFFmpeg* task) : task_(task) {}

 protected:
  void Execute() override;

 private:
  TCustomFFmpeg* task_;
};

// Makes the terminate callback of a task that never ran.
class TDoTerminateThread : public TEngineThread {
 public:
  explicit TDoTerminateThread(TCustomFFmpeg* task) : task_(task) {}

 protected:
  void Execute() override;

 private:
  TCustomFFmpeg* task_;
};

// The component's thread for one OnTerminate event. Events of one component are
// handed to their handler in the order they were raised: each thread waits for
// the one created before it (TTerminateEventChain).
class TTerminateEventChain;
class TTerminateEventThread : public TEngineThread {
 public:
  using THandler = std::function<void(int32_t index, bool finished, bool exception,
                                      const std::string& message)>;
  TTerminateEventThread(std::shared_ptr<TTerminateEventChain> chain, THandler handler,
                        int32_t index, bool finished, bool exception, std::string message);

 protected:
  void Execute() override;

 private:
  std::shared_ptr<TTerminateEventChain> chain_;
  uint64_t ticket_;
  THandler handler_;
  int32_t index_;
  bool finished_;
  bool exception_;
  std::string message_;
};

// Orders a component's terminate-event threads and counts the live ones, so the
// component can wait for them before it goes away.
class TTerminateEventChain {
 public:
  uint64_t Enter();             // a new event's ticket, in raising order
  void WaitTurn(uint64_t ticket);
  void Leave();                 // the current event is done
  bool Idle();                  // no event waiting or running
 private:
  std::mutex mutex_;
  std::condition_variable turn_;
  // Guarded by mutex_.
  uint64_t next_ticket_ = 0;
  uint64_t serving_ = 0;
};

}  // namespace kelvane
