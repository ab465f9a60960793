// What the application answers when a picture reaches the frame hooks: hook it,
// leave it as it is, or stop hooking for the rest of the task. The run's video
// path (VideoPath.h) acts on it; the component's events carry it
// (engine/ConverterEvents.h).
#pragma once

namespace kelvane {

// Answer of OnBeforeHook: hook this frame / skip it / stop hooking for the rest of the task.
enum THookAction : int { haContinue = 0, haIgnore = 1, haStop = 2 };

}  // namespace kelvane
