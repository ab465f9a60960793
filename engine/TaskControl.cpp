// The task's control surface: start, run, terminate, stop, pause and resume,
// and the preview flags.
#include <exception>

#include "binding/MainThread.h"
#include "binding/Previewer.h"
#include "engine/ConvertThreads.h"
#include "engine/FFmpeg.h"
#include "engine/TaskRunHost.h"
#include "engine/core/FFmpegException.h"
#include "engine/core/Transcoder.h"

namespace kelvane {

TConvertThread* TCustomFFmpeg::Start(bool threaded, TConvertPriority priority) {
  {
    std::lock_guard<std::mutex> lock(control_mutex_);
    // A task converts at most once; a pending terminate thread counts as started.
    if (Running.load() || Terminated.load() || worker_inside_) return nullptr;
  }
  const char* missing = nullptr;
  if (OutputFiles.empty())
    missing = "At least one output file must be specified";
  else if (InputFiles.empty())
    missing = "At least one input file must be specified";
  if (missing != nullptr) {
    ReleaseState();
    Log(llQuiet, missing);
    ErrorOccurred = true;
    ErrorMessage = missing;
    DoTerminate();
    return nullptr;
  }

  Running = true;
  StopRequested = false;
  Finished = false;
  Terminated = false;
  if (!threaded) {
    Run();
    return nullptr;
  }
  auto* thread = new TConvertThread(this, priority);
  thread->FreeOnTerminate = true;
  std::lock_guard<std::mutex> lock(control_mutex_);
  convert_thread_ = thread;
  worker_inside_ = true;
  return thread;
}

void TCustomFFmpeg::Run() {
  Finished = false;
  try {
    TTaskRunHost host(*this);
    TTranscoder run(host);
    run.Run();
  } catch (const std::exception& error) {
    Log(llQuiet, error.what());
    ErrorOccurred = true;
    ErrorMessage = error.what();
  } catch (...) {
    Log(llQuiet, "Unknown error");
    ErrorOccurred = true;
    ErrorMessage = "Unknown error";
  }
  // The run's codecs are closed by now (the transcoder closes them on every
  // way out); what the set-up made goes here.
  try {
    ReleaseState();
  } catch (const std::exception& error) {
    Log(llError, error.what());
  }
  DoTerminate();
}

void TCustomFFmpeg::DoTerminate() {
  Terminated = true;
  {
    std::lock_guard<std::mutex> lock(control_mutex_);
    // A worker thread is still inside the task (the terminate handling below
    // runs on it): the task counts as running until the worker has left, so
    // that whoever frees a task that is not running never frees it under the
    // worker's feet.
    if (!worker_inside_) Running = false;
    convert_thread_ = nullptr;
    paused_ = false;
  }
  pause_changed_.notify_all();
  NotifyMainThread();
  if (TerminateSlot) TerminateSlot(*this);
}

void TCustomFFmpeg::RequestStop(bool wait) {
  StopRequested = true;
  {
    std::lock_guard<std::mutex> lock(control_mutex_);
    // A paused worker must run to see the request.
    paused_ = false;
  }
  pause_changed_.notify_all();
  // Nobody would look at a waiter that frees itself: only waiting needs one.
  if (!wait || WorkerGone()) {
    if (wait) WaitForWorker();
    return;
  }
  TWaitThread waiter(this);
  waiter.Resume();
  waiter.WaitFor();
}

void TCustomFFmpeg::Stop(bool wait) {
  bool never_ran = false;
  bool running = false;
  {
    std::lock_guard<std::mutex> lock(control_mutex_);
    running = Running.load();
    never_ran = !running && !Terminated.load() && !worker_inside_;
    // Claimed here so that a second Stop cannot terminate the task twice; the
    // thread that terminates it counts as its worker until it has left.
    if (never_ran) {
      worker_inside_ = true;
      Running = true;
    }
  }
  if (running) {
    RequestStop(wait);
    return;
  }
  if (never_ran) {
    auto* thread = new TDoTerminateThread(this);
    thread->FreeOnTerminate = !wait;
    thread->Resume();
    if (wait) {
      thread->WaitFor();
      delete thread;
    }
    return;
  }
  // Terminated, or terminating: a caller about to free the task waits until the
  // thread that terminated it has let go of it.
  if (wait) WaitForWorker();
}

void TCustomFFmpeg::Pause() {
  std::lock_guard<std::mutex> lock(control_mutex_);
  if (convert_thread_ != nullptr && !paused_) paused_ = true;
}

void TCustomFFmpeg::Resume() {
  {
    std::lock_guard<std::mutex> lock(control_mutex_);
    if (!paused_) return;
    paused_ = false;
  }
  pause_changed_.notify_all();
}

bool TCustomFFmpeg::Paused() const {
  std::lock_guard<std::mutex> lock(control_mutex_);
  return paused_;
}

void TCustomFFmpeg::WaitWhilePaused() {
  std::unique_lock<std::mutex> lock(control_mutex_);
  pause_changed_.wait(lock, [this] { return !paused_ || StopRequested.load(); });
}

bool TCustomFFmpeg::WorkerGone() const {
  std::lock_guard<std::mutex> lock(control_mutex_);
  return convert_thread_ == nullptr && !worker_inside_;
}

void TCustomFFmpeg::WorkerLeft() {
  std::lock_guard<std::mutex> lock(control_mutex_);
  worker_inside_ = false;
  Running = false;
  // Under the lock: whoever sees the worker gone may free the task (and end
  // the process) at once, so nothing may follow the wake-up.
  NotifyMainThread();
}

void TCustomFFmpeg::WaitForWorker() {
  WaitOnMainThread([this] { return WorkerGone(); });
}

void TCustomFFmpeg::SetPreviewFlags(uint8_t flags) {
  auto lock = LockPreview();
  StorePreviewFlagsLocked(flags);
}

void TCustomFFmpeg::StorePreviewFlagsLocked(uint8_t flags) {
  if (flags != PreviewFlags && (PreviewFlags & 1) != 0 && (flags & 1) == 0 && PreviewWindow) {
    PreviewWindow->Close();
    PreviewWindow.reset();
  }
  PreviewFlags = flags;
}

}  // namespace kelvane
