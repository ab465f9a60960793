// FFmpegException as the layers above the engine see it: the engine's one error
// class and its message helpers live with the transcoding core, which raises
// them too (engine/core/FFmpegException.h); the engine's set-up, the
// application and the front ends catch them under this name.
#pragma once

#include "engine/core/FFmpegException.h"
