// The conversion component: TCustomFFConverter holds the state and behaviour,
// TFFConverter only publishes it.
//
// An application loads the engine's libraries, adds tasks (AddTask with the
// input, SetOutput with an output), starts them and receives progress, preview
// frames, frame hooks and the end of each task as events:
//   OnProgress       the task's worker thread (the caller's in a synchronous run),
//                    under EventLock
//   OnPreviewBitmap  the main thread, while the worker waits (PreviewLock held by it)
//   OnCustomHook, OnBeforeHook  the worker thread, no lock
//   OnTerminate      a terminate-event thread of its own in asynchronous runs
//                    (not waited for), the terminating thread in synchronous runs
//
// Ownership: the component owns its probe and its task list; the list owns
// the tasks. Failures of LoadLibraries, AddTask and SetOutput leave their text
// in LastError; nothing here ends the process.
//
// Threads: every operation is called on the main thread. Handlers and
// properties must be set before Start.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "binding/ThreadOwner.h"
#include "engine/ConverterEvents.h"
#include "engine/FFmpegList.h"
#include "engine/OptionRecords.h"

namespace kelvane {

class TAVProbe;
class TCustomFFmpeg;
class TFFmpeg;
class TTerminateEventChain;

class TCustomFFConverter {
 public:
  TCustomFFConverter();
  virtual ~TCustomFFConverter();
  TCustomFFConverter(const TCustomFFConverter&) = delete;
  TCustomFFConverter& operator=(const TCustomFFConverter&) = delete;

  // Loads the engine's library set from `folder` (empty: the system search).
  bool LoadLibraries(const std::string& folder);
  bool LibrariesLoaded() const;

  // Frees every task (stopping each and waiting for its worker), clears LastError.
  void ClearTasks();
  // Creates a task for `file_name`, applies `options` (may be null) and opens
  // the input. The task's index, or -1 with LastError set.
  int32_t AddTask(const std::string& file_name, const TInputOptions* options = nullptr);
  // Adds an output file to task `index`. False with LastError set; the task
  // stays in the list either way. An index out of range raises std::out_of_range.
  bool SetOutput(int32_t index, const std::string& file_name,
                 const TOutputOptions* options = nullptr);
  // Stops and frees task `index`, renumbering the others.
  void RemoveTask(int32_t index);
  int32_t TaskCount() const { return tasks_.Count(); }
  // The task at `index` (owned by the list).
  TFFmpeg* Task(int32_t index) { return tasks_.Get(index); }

  // ---- Properties ----
  std::string About;
  const std::string& LastError() const { return last_error_; }
  std::string Version() const { return "2.5"; }
  int32_t ProgressInterval() const { return progress_interval_; }
  void SetProgressInterval(int32_t milliseconds);  // 100 or less is stored as 100
  TConvertPriority ThreadPriority = tpNormal;
  bool Preview() const { return preview_; }
  void SetPreview(bool value);
  bool PreviewBitmap() const { return preview_bitmap_; }
  void SetPreviewBitmap(bool value);
  TAVProbe& Probe() { return *probe_; }

  // ---- Events ----
  TBeforeHookEvent OnBeforeHook;
  TCustomHookEvent OnCustomHook;
  TPreviewBitmapEvent OnPreviewBitmap;
  TProgressEvent OnProgress;
  TTerminateEvent OnTerminate;

  // ---- Run control: engine/ConverterControl.cpp ----
  // Start, Pause, Resume, Stop, StartNextTask, StartOneTask and the terminate
  // handling (TerminateReceiver). The Connect* functions that fill the task
  // slots live in FFConverter.cpp; the terminate slot calls TerminateReceiver.
  void Start(int32_t max_tasks);
  void Pause();
  void Resume();
  void Stop(bool wait);
  // No OnTerminate handler is waiting or running (asynchronous runs hand each
  // event to a thread of its own).
  bool TerminateEventsDone() const;

 protected:
  // Fills the preview-bitmap slot (before the options are applied).
  void ConnectPreviewSlot(TCustomFFmpeg& task);
  // Fills the progress and terminate slots (after the input opened).
  void ConnectTaskSlots(TCustomFFmpeg& task);
  // Fills the custom-hook slot (custom) or else the before-hook slot (before).
  void ConnectHookSlots(TCustomFFmpeg& task, bool custom, bool before);
  void StartNextTask();  // under EventLock
  void StartOneTask(TFFmpeg& task);
  void TerminateReceiver(TCustomFFmpeg& task);

  std::recursive_mutex event_lock_;  // EventLock
  // Guarded by event_lock_ (and written by Start before any worker runs).
  int32_t next_task_ = -1;
  std::atomic<bool> asynchronous_{false};
  std::atomic<int32_t> finished_count_{0};
  std::atomic<int32_t> pending_count_{0};
  std::shared_ptr<TTerminateEventChain> terminate_chain_;
  // ---- end of run control ----

 private:
  std::string last_error_;
  int32_t progress_interval_ = 500;
  bool preview_ = false;
  bool preview_bitmap_ = false;
  int32_t verbosity_ = 1;
  std::unique_ptr<TAVProbe> probe_;
  TFFmpegList tasks_;  // destroyed first: tasks stop before the probe goes
  TThreadOwner thread_;  // the main thread, which calls every operation

  friend class TFFmpegList;
};

class TFFConverter : public TCustomFFConverter {
 public:
  TFFConverter() = default;
};

}  // namespace kelvane
