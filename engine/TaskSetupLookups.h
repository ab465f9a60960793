// The look-ups a task's set-up shares between opening inputs
// (TaskSetupInputs.cpp), applying the option records (TaskSetup.cpp) and
// creating output streams (TaskSetupStreams.cpp): codecs by name, media types
// by kind, a new stream of an output file.
//
// Threads: the set-up only (the thread calling AddTask/SetOutput).
#pragma once

#include <string>

#include "engine/core/TaskRecords.h"

namespace kelvane::task_setup {

// Decoder or encoder by name, checked against the media type; raises
// FFmpegException for an unknown name or the wrong type.
const AVCodec* FindCodecByName(const std::string& name, AVMediaType type, bool encoder);

// The media type of a TStreamKind.
AVMediaType MediaTypeOf(int kind);

// A new stream of `file`, its id its index; raises when it cannot be made.
AVStream* NewStream(TOutputFile& file);

}  // namespace kelvane::task_setup
