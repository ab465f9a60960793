// Enumerations and event types of the conversion component.
//
// Events carry no sender: every event except the all-tasks-done form of
// OnTerminate names the task by its index in the task list. What a handler
// writes into `action` (OnBeforeHook) or into the hooked frame's Update and
// StopHook (OnCustomHook) is read back after it returns. Which thread each
// event arrives on is stated at TCustomFFConverter.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "binding/Bitmap.h"  // TBitmap: the pictures of previews and hooks
#include "engine/core/HookAction.h"
#include "engine/core/RunProgress.h"

namespace kelvane {

// Priority of the worker threads; never above normal.
enum TConvertPriority : int { tpIdle = 0, tpLowest = 1, tpLower = 2, tpNormal = 3 };

// A task's progress, as OnProgress reports it: the run's report (what was
// written so far, engine/core/RunProgress.h) with the task it belongs to.
struct TProgressInfo : TRunProgress {
  int32_t Index = 0;                // the task's index in the task list
  int32_t TotalOutputDuration = 0;  // ms the output will last; -1 unknown
};

// A picture handed to OnCustomHook as a 24-bit bitmap. What the handler draws
// on Bitmap is encoded while Update stays true; setting StopHook ends the
// hook for the rest of the run.
struct THookedFrame : THookPicture {
  int32_t Index = 0;  // the task's index in the task list
};

using TBeforeHookEvent = std::function<void(int32_t index, int64_t pts, THookAction& action)>;
using TCustomHookEvent = std::function<void(THookedFrame& frame)>;
using TPreviewBitmapEvent =
    std::function<void(int32_t index, TBitmap* bitmap, int32_t frame_number, int64_t pts)>;
using TProgressEvent = std::function<void(const TProgressInfo& progress)>;
using TTerminateEvent =
    std::function<void(int32_t index, bool finished, bool exception, const std::string& message)>;

}  // namespace kelvane
