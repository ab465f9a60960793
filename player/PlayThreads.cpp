#include "player/PlayThreads.h"

#include <chrono>

#include "binding/MainThread.h"
#include "player/FFPlayer.h"
#include "player/PlaybackContext.h"

namespace kelvane {
namespace {

using namespace std::chrono_literals;

constexpr auto kPollInterval = 10ms;
// A reader stuck in a blocking read is given this many polls.
constexpr int kReadingPolls = 20;

}  // namespace

TPlayerThread::~TPlayerThread() { Join(); }

void TPlayerThread::Start() {
  thread_ = std::thread([this] {
    Execute();
    {
      std::lock_guard<std::mutex> lock(finished_mutex_);
      finished_ = true;
    }
    finished_cond_.notify_all();
    NotifyMainThread();
  });
}

bool TPlayerThread::WaitFinished(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(finished_mutex_);
  return finished_cond_.wait_for(lock, timeout, [this] { return finished_.load(); });
}

void TPlayerThread::RunAndWait() {
  Start();
  WaitOnMainThread([this] { return Finished(); });
  Join();
}

void TPlayerThread::Join() {
  if (!thread_.joinable()) return;
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();  // the last owner let go from inside the thread
  } else {
    thread_.join();
  }
}

void TPlayThread::Execute() {
  player_.RaiseState(psPlay);
  context_->RunEventLoop();
  player_.PlayThreadEnded();
  player_.RaiseState(psStop);
}

void TStopThread::Execute() {
  context_->PushEvent({evQuit});
  // A hundred polls, but never past one second: on a busy machine each wait
  // may overshoot its 10 ms.
  const auto deadline = std::chrono::steady_clock::now() + 100 * kPollInterval;
  for (int polls = 1; play_ && polls <= 100 && std::chrono::steady_clock::now() < deadline;
       ++polls) {
    if (play_->WaitFinished(kPollInterval)) break;
    if (context_->Reading() && polls > kReadingPolls) break;
    if (polls % 20 == 0) context_->PushEvent({evQuit});
  }
  // The event loop did not get to it (a handler of the owner holds it up).
  context_->End();
}

void TPauseThread::Execute() {
  for (int polls = 1; context_->SeekPending() && polls <= 101; ++polls) {
    std::this_thread::sleep_for(kPollInterval);
    if (context_->Reading() && polls > kReadingPolls) break;
  }
}

}  // namespace kelvane
