// The component's run control: starting tasks (at most n at once, or all in the
// caller's thread), pausing, resuming and stopping them, and the terminate
// handling that reports each end, starts the next task and reports "all done".
#include "engine/ConvertThreads.h"
#include "engine/FFConverter.h"
#include "engine/FFmpeg.h"

namespace kelvane {

void TCustomFFConverter::Start(int32_t max_tasks) {
  thread_.Check();
  std::lock_guard<std::recursive_mutex> lock(event_lock_);
  if (!terminate_chain_) terminate_chain_ = std::make_shared<TTerminateEventChain>();
  next_task_ = 0;
  finished_count_ = 0;
  asynchronous_ = max_tasks > 0;
  pending_count_ = tasks_.Count();
  int32_t n = max_tasks;
  while (pending_count_ > 0) {
    StartNextTask();
    if (asynchronous_) {
      --n;
      if (n <= 0) break;
    }
  }
}

void TCustomFFConverter::StartNextTask() {
  std::lock_guard<std::recursive_mutex> lock(event_lock_);
  if (pending_count_ <= 0) return;
  --pending_count_;
  const int32_t index = next_task_++;
  if (index >= tasks_.Count()) return;
  StartOneTask(*tasks_.Get(index));
}

void TCustomFFConverter::StartOneTask(TFFmpeg& task) {
  task.ProgressInterval = static_cast<int64_t>(progress_interval_) * 1000;
  if (asynchronous_) {
    TConvertThread* thread = task.Start(true, ThreadPriority);
    if (thread != nullptr) thread->Resume();
  } else {
    task.Start(false, ThreadPriority);
  }
}

void TCustomFFConverter::TerminateReceiver(TCustomFFmpeg& task) {
  std::lock_guard<std::recursive_mutex> lock(event_lock_);
  if (!terminate_chain_) terminate_chain_ = std::make_shared<TTerminateEventChain>();
  auto report = [this](int32_t index, bool finished, bool exception, const std::string& message) {
    if (!OnTerminate) return;
    if (asynchronous_) {
      // The handler runs on a thread of its own, after the events raised before it.
      auto* thread = new TTerminateEventThread(terminate_chain_, OnTerminate, index, finished,
                                               exception, message);
      thread->Resume();
    } else {
      OnTerminate(index, finished, exception, message);
    }
  };
  report(static_cast<TFFmpeg&>(task).Index, task.Finished.load(), task.ErrorOccurred.load(),
         task.ErrorMessage);
  ++finished_count_;
  if (pending_count_ < 1) {
    if (tasks_.Count() <= finished_count_) report(-1, true, false, std::string());
  } else if (asynchronous_) {
    StartNextTask();
  }
}

void TCustomFFConverter::Pause() {
  thread_.Check();
  for (int32_t i = 0; i < tasks_.Count(); ++i) tasks_.Get(i)->Pause();
}

void TCustomFFConverter::Resume() {
  thread_.Check();
  for (int32_t i = 0; i < tasks_.Count(); ++i) tasks_.Get(i)->Resume();
}

void TCustomFFConverter::Stop(bool wait) {
  thread_.Check();
  {
    // Taken so that a terminate handling starting the next task has finished.
    std::lock_guard<std::recursive_mutex> lock(event_lock_);
    pending_count_ = 0;
  }
  // Not under the list's lock: waiting serves the main-thread queue, whose work
  // may read the list.
  for (int32_t i = 0; i < tasks_.Count(); ++i) tasks_.Get(i)->Stop(wait);
}

bool TCustomFFConverter::TerminateEventsDone() const {
  return !terminate_chain_ || terminate_chain_->Idle();
}

}  // namespace kelvane
