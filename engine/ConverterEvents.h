// Enumerations and event types of the conversion component.
//
// Events carry no sender: every event except the all-tasks-done form of
// OnTerminate names the task by its index in the task list. Reference
// parameters (AHookAction, AUpdate, AStopHook) are read back after the handler
// returns. Which thread each event arrives on is stated at TCustomFFConverter.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "binding/Bitmap.h"  // TBitmap: the pictures of previews and hooks
#include "engine/core/HookAction.h"

namespace kelvane {

// Priority of the worker threads; never above normal.
enum TConvertPriority : int { tpIdle = 0, tpLowest = 1, tpLower = 2, tpNormal = 3 };

using TBeforeHookEvent =
    std::function<void(int32_t AIndex, int64_t APTS, THookAction& AHookAction)>;
using TCustomHookEvent =
    std::function<void(int32_t AIndex, TBitmap* ABitmap, int32_t AFrameNumber, int64_t APTS,
                       bool& AUpdate, bool& AStopHook)>;
using TPreviewBitmapEvent =
    std::function<void(int32_t AIndex, TBitmap* ABitmap, int32_t AFrameNumber, int64_t APTS)>;
using TProgressEvent =
    std::function<void(int32_t AIndex, int32_t AFrameNumber, int32_t AFPS,
                       int32_t ACurrentDuration, float AQuality, float ABitRate,
                       int64_t ACurrentSize, int32_t ATotalOutputDuration)>;
using TTerminateEvent = std::function<void(int32_t AIndex, bool AFinished, bool AException,
                                           const std::string& AMessage)>;

}  // namespace kelvane
