// One progress report of a run, as the core makes it: what was written so far.
// The component's OnProgress event reports it within its TProgressInfo
// (engine/ConverterEvents.h), which adds the task's index and the output's
// planned length. Plain data: made on the worker thread and copied.
#pragma once

#include <cstdint>

namespace kelvane {

struct TRunProgress {
  int32_t FrameNumber = 0;      // pictures written so far
  int32_t FPS = 0;              // pictures written per second
  int32_t CurrentDuration = 0;  // ms of output written so far
  float Quality = 0;            // the video encoder's quantizer; -1 copied
  float BitRate = 0;            // kbit/s
  int64_t CurrentSize = 0;      // bytes written so far
};

}  // namespace kelvane
