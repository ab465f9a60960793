// What the application answers when a picture reaches the frame hooks: hook it,
// leave it as it is, or stop hooking for the rest of the task; and the picture
// its custom hook draws on, with that hook's answer. The run's video path
// (VideoPath.h) acts on them; the component's events carry them
// (engine/ConverterEvents.h). Plain data, made and read on the worker thread.
#pragma once

#include <cstdint>

namespace kelvane {

struct TBitmap;

// Answer of OnBeforeHook: hook this frame / skip it / stop hooking for the rest of the task.
enum THookAction : int { haContinue = 0, haIgnore = 1, haStop = 2 };

// A decoded picture handed to the task's custom hook as a 24-bit bitmap, with
// what the hook answers: the drawn bitmap is encoded back while Update stays
// true; StopHook ends the hook for the rest of the run. The engine's
// THookedFrame (engine/ConverterEvents.h) extends it with the task's index.
struct THookPicture {
  TBitmap* Bitmap = nullptr;
  int32_t FrameNumber = 0;  // decoded pictures that reached the hooks
  int64_t PTS = 0;          // µs
  bool Update = true;
  bool StopHook = false;
};

}  // namespace kelvane
