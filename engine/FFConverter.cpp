// The component's construction, libraries, task set-up calls, properties and
// the task slots it fills. Start, Stop, Pause, Resume and the terminate
// handling are in ConverterControl.cpp.
#include "engine/FFConverter.h"

#include <stdexcept>

#include "binding/FFmpegLoader.h"
#include "binding/MainThread.h"
#include "engine/ConvertThreads.h"
#include "engine/FFmpeg.h"
#include "probe/AVProbe.h"

namespace kelvane {

TCustomFFConverter::TCustomFFConverter() : probe_(std::make_unique<TAVProbe>()) {}

TCustomFFConverter::~TCustomFFConverter() {
  {
    // An event in progress completes first; no task starts from here on.
    std::lock_guard<std::recursive_mutex> lock(event_lock_);
    pending_count_ = 0;
  }
  tasks_.Clear();
  // Terminate events still on their way reach their handler before the component goes.
  if (terminate_chain_) {
    auto chain = terminate_chain_;
    WaitOnMainThread([chain] { return chain->Idle(); });
  }
}

bool TCustomFFConverter::LoadLibraries(const std::string& folder) {
  thread_.Check();
  TFFmpegLoader& loader = GetLoader();
  if (!folder.empty()) loader.SetLibraryPath(folder);
  if (loader.LoadLibraries(EngineLibraries)) return true;
  last_error_ = loader.LastError();
  return false;
}

bool TCustomFFConverter::LibrariesLoaded() const {
  return GetLoader().LibrariesLoaded(EngineLibraries);
}

void TCustomFFConverter::ClearTasks() {
  thread_.Check();
  {
    // A task ending while the list is cleared must not start another one.
    std::lock_guard<std::recursive_mutex> lock(event_lock_);
    pending_count_ = 0;
  }
  tasks_.Clear();
  last_error_.clear();
  asynchronous_ = false;
}

int32_t TCustomFFConverter::AddTask(const std::string& file_name, const TInputOptions* options) {
  thread_.Check();
  if (!LibrariesLoaded()) {
    last_error_ = "The engine libraries are not loaded";
    return -1;
  }
  auto task = std::make_unique<TFFmpeg>();
  task->Reset();
  task->Verbosity = verbosity_;
  task->PreviewFlags = uint8_t((preview_ ? 1 : 0) | (preview_bitmap_ ? 2 : 0));
  ConnectPreviewSlot(*task);
  try {
    if (!task->SetUpInput(file_name, options)) {
      last_error_ = task->LastError;
      return -1;
    }
  } catch (const std::exception& error) {
    last_error_ = error.what();
    return -1;
  }
  task->Probe = std::make_unique<TAVProbe>();
  task->Probe->AttachContext(task->InputFiles.back()->context.Get());
  ConnectTaskSlots(*task);
  return tasks_.Add(std::move(task));
}

bool TCustomFFConverter::SetOutput(int32_t index, const std::string& file_name,
                                   const TOutputOptions* options) {
  thread_.Check();
  TFFmpeg* task = tasks_.Get(index);
  try {
    bool added = task->SetUpOutput(file_name, options, [this, task](bool custom, bool before) {
      ConnectHookSlots(*task, custom, before);
    });
    if (!added) last_error_ = task->LastError;
    return added;
  } catch (const std::exception& error) {
    last_error_ = error.what();
    return false;
  }
}

void TCustomFFConverter::RemoveTask(int32_t index) {
  thread_.Check();
  tasks_.Delete(index);
}

void TCustomFFConverter::SetProgressInterval(int32_t milliseconds) {
  progress_interval_ = milliseconds <= 100 ? 100 : milliseconds;
}

void TCustomFFConverter::SetPreview(bool value) {
  preview_ = value;
  tasks_.ForEach([value](TFFmpeg& task) {
    task.SetPreviewFlags(uint8_t((task.PreviewFlags & ~1) | (value ? 1 : 0)));
  });
}

void TCustomFFConverter::SetPreviewBitmap(bool value) {
  preview_bitmap_ = value;
  tasks_.ForEach([value](TFFmpeg& task) {
    task.SetPreviewFlags(uint8_t((task.PreviewFlags & ~2) | (value ? 2 : 0)));
  });
}

namespace {

int32_t IndexOf(TCustomFFmpeg& task) { return static_cast<TFFmpeg&>(task).Index; }

}  // namespace

void TCustomFFConverter::ConnectPreviewSlot(TCustomFFmpeg& task) {
  // The index and frame travel with the call, so two tasks converting at
  // once never report a frame under each other's index.
  task.PreviewBitmapSlot = [this](TCustomFFmpeg& t, TBitmap* bitmap, int32_t frame_number,
                                  int64_t pts) {
    if (!OnPreviewBitmap) return;
    int32_t index = IndexOf(t);
    CallInMainThread([&] { OnPreviewBitmap(index, bitmap, frame_number, pts); });
  };
}

void TCustomFFConverter::ConnectTaskSlots(TCustomFFmpeg& task) {
  task.ProgressSlot = [this](TCustomFFmpeg& t, const TProgressInfo& progress) {
    std::lock_guard<std::recursive_mutex> lock(event_lock_);
    if (OnProgress) {
      TProgressInfo indexed = progress;
      indexed.Index = IndexOf(t);
      OnProgress(indexed);
    }
  };
  task.TerminateSlot = [this](TCustomFFmpeg& t) { TerminateReceiver(t); };
}

void TCustomFFConverter::ConnectHookSlots(TCustomFFmpeg& task, bool custom, bool before) {
  if (custom) {
    task.CustomHookSlot = [this](TCustomFFmpeg& t, THookedFrame& frame) {
      if (!OnCustomHook) return;
      frame.Index = IndexOf(t);
      OnCustomHook(frame);
    };
  } else if (before) {
    task.BeforeHookSlot = [this](TCustomFFmpeg& t, int64_t pts, THookAction& action) {
      if (OnBeforeHook) OnBeforeHook(IndexOf(t), pts, action);
    };
  }
}

}  // namespace kelvane
