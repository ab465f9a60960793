#include "binding/MainThread.h"

#include <condition_variable>
#include <deque>
#include <exception>
#include <future>
#include <mutex>
#include <thread>

namespace kelvane {
namespace {

class TDispatcher {
 public:
  void SetMain() {
    std::lock_guard<std::mutex> lock(mutex_);
    main_ = std::this_thread::get_id();
    has_main_ = true;
  }

  bool IsMain() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!has_main_) {
      main_ = std::this_thread::get_id();
      has_main_ = true;
    }
    return main_ == std::this_thread::get_id();
  }

  void SetBackend(TMainThreadBackend* backend) {
    std::lock_guard<std::mutex> lock(mutex_);
    backend_ = backend;
  }

  void Post(std::function<void()> work) {
    TMainThreadBackend* backend;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      backend = backend_;
      if (backend == nullptr) queue_.push_back(std::move(work));
      ++generation_;
    }
    if (backend != nullptr) backend->Post(std::move(work));
    wake_.notify_all();
  }

  void Notify() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++generation_;
    }
    wake_.notify_all();
  }

  void Pump() {
    TMainThreadBackend* backend;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      backend = backend_;
    }
    if (backend != nullptr) backend->Pump();
    // Work queued before a back-end was installed still runs here.
    for (;;) {
      std::function<void()> work;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (queue_.empty()) return;
        work = std::move(queue_.front());
        queue_.pop_front();
      }
      work();
    }
  }

  bool Wait(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const bool on_main = IsMain();
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      uint64_t seen;
      bool polled;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        seen = generation_;
        polled = backend_ != nullptr;
      }
      if (on_main) Pump();
      if (done()) return true;
      auto now = std::chrono::steady_clock::now();
      if (timeout.count() > 0 && now >= deadline) return false;
      // A toolkit back-end cannot wake us; poll it briefly instead.
      auto slice = std::chrono::milliseconds(polled ? 2 : 20);
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait_for(lock, slice, [&] { return generation_ != seen; });
    }
  }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  // Guarded by mutex_.
  std::deque<std::function<void()>> queue_;
  std::thread::id main_;
  bool has_main_ = false;
  TMainThreadBackend* backend_ = nullptr;
  uint64_t generation_ = 0;
};

// Never destroyed: a detached worker or end-event thread may still post or
// notify while the process runs its exit handlers.
TDispatcher& Dispatcher() {
  static TDispatcher* dispatcher = new TDispatcher;
  return *dispatcher;
}

}  // namespace

void SetMainThread() { Dispatcher().SetMain(); }
bool IsMainThread() { return Dispatcher().IsMain(); }
void SetMainThreadBackend(TMainThreadBackend* backend) { Dispatcher().SetBackend(backend); }
void PostToMainThread(std::function<void()> work) { Dispatcher().Post(std::move(work)); }
void PumpMessages() { Dispatcher().Pump(); }
void NotifyMainThread() { Dispatcher().Notify(); }

bool WaitOnMainThread(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  return Dispatcher().Wait(done, timeout);
}

void CallInMainThread(const std::function<void()>& work) {
  if (IsMainThread()) {
    work();
    return;
  }
  // The main thread is done with a failure before it signals, so the caller's
  // thread is the last to touch the exception.
  std::exception_ptr failure;
  std::promise<void> finished;
  std::future<void> result = finished.get_future();
  Dispatcher().Post([&work, &finished, &failure] {
    try {
      work();
    } catch (...) {
      failure = std::current_exception();
    }
    finished.set_value();
  });
  result.get();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace kelvane
