#include "engine/ConvertThreads.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <exception>

#include "binding/FFmpegLogger.h"
#include "binding/MainThread.h"
#include "engine/FFmpeg.h"

namespace kelvane {

void ApplyThreadPriority(TConvertPriority priority) {
  const pid_t tid = static_cast<pid_t>(syscall(SYS_gettid));
  if (priority == tpIdle) {
    sched_param param{};
    param.sched_priority = 0;
    pthread_setschedparam(pthread_self(), SCHED_IDLE, &param);
    return;
  }
  int nice_value = 0;
  if (priority == tpLowest) nice_value = 10;
  if (priority == tpLower) nice_value = 5;
  // Raising a thread back to nice 0 may need privileges; a refusal leaves the
  // thread at its inherited (lower) priority, which is still below normal.
  setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice_value);
}

std::mutex& PreviewLock() {
  static std::mutex lock;
  return lock;
}

std::unique_lock<std::mutex> LockPreview() {
  if (!IsMainThread()) return std::unique_lock<std::mutex>(PreviewLock());
  std::unique_lock<std::mutex> lock(PreviewLock(), std::defer_lock);
  WaitOnMainThread([&lock] { return lock.try_lock(); });
  return lock;
}

// ---------------------------------------------------------------------------

TEngineThread::~TEngineThread() {
  if (thread_.joinable()) thread_.join();
}

void TEngineThread::Resume() {
  if (started_.exchange(true)) return;
  const bool free_on_terminate = FreeOnTerminate;
  std::thread thread([this, free_on_terminate] {
    Main(free_on_terminate);
    if (free_on_terminate) delete this;
  });
  // A self-freeing thread may already be gone: only the local object is touched.
  if (free_on_terminate) {
    thread.detach();
  } else {
    thread_ = std::move(thread);
  }
}

void TEngineThread::Main(bool free_on_terminate) {
  try {
    Execute();
  } catch (const std::exception& error) {
    // A handler that raises ends only its own thread.
    GetLogger().Logf(this, llError, "%s", error.what());
  } catch (...) {
    GetLogger().Log(this, llError, "Unknown error in an engine thread");
  }
  finished_.store(true);
  // Nobody waits for a thread that frees itself; past its step it touches
  // nothing shared, so the process may end while it winds down.
  if (!free_on_terminate) NotifyMainThread();
}

void TEngineThread::WaitFor() {
  WaitOnMainThread([this] { return finished_.load(); });
  if (thread_.joinable()) thread_.join();
}

// ---------------------------------------------------------------------------

void TConvertThread::Execute() {
  ApplyThreadPriority(priority_);
  task_->Run();
  // The last touch of the task: from here on it may be freed.
  task_->WorkerLeft();
}

void TWaitThread::Execute() {
  while (!task_->WorkerGone()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

void TDoTerminateThread::Execute() {
  task_->DoTerminate();
  task_->WorkerLeft();
}

// ---------------------------------------------------------------------------

TTerminateEventThread::TTerminateEventThread(std::shared_ptr<TTerminateEventChain> chain,
                                             THandler handler, int32_t index, bool finished,
                                             bool exception, std::string message)
    : chain_(std::move(chain)),
      ticket_(chain_->Enter()),
      handler_(std::move(handler)),
      index_(index),
      finished_(finished),
      exception_(exception),
      message_(std::move(message)) {
  FreeOnTerminate = true;
}

void TTerminateEventThread::Execute() {
  chain_->WaitTurn(ticket_);
  struct TLeave {
    TTerminateEventChain* chain;
    ~TLeave() { chain->Leave(); }
  } leave{chain_.get()};
  if (handler_) handler_(index_, finished_, exception_, message_);
}

uint64_t TTerminateEventChain::Enter() {
  std::lock_guard<std::mutex> lock(mutex_);
  return next_ticket_++;
}

void TTerminateEventChain::WaitTurn(uint64_t ticket) {
  std::unique_lock<std::mutex> lock(mutex_);
  turn_.wait(lock, [&] { return serving_ == ticket; });
}

void TTerminateEventChain::Leave() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++serving_;
  turn_.notify_all();
  // Under the lock: a waiter sees the chain idle only after this thread is
  // done with everything shared.
  NotifyMainThread();
}

bool TTerminateEventChain::Idle() {
  std::lock_guard<std::mutex> lock(mutex_);
  return serving_ == next_ticket_;
}

}  // namespace kelvane
