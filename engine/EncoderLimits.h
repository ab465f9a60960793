// What the chosen encoders and containers can do, asked of the loaded codec library before a
// split is built, so that a preset's list value an encoder cannot take does not
// make the whole split fail: a sample rate the encoder does not list becomes
// the nearest one it does (MP3 and MP2 know no 96000 Hz, AC-3 no 8000 Hz), and
// a source's own frame size the nearest one the encoder opens with.
//
// Threads: any, once the engine's libraries are loaded (main thread in practice).
#pragma once

#include <cstdint>
#include <string>

namespace kelvane {

// The sample rate nearest to `rate` among those the audio encoder of an output
// lists. `encoder` is the encoder's name; empty means the default audio encoder
// of the container `output_path`'s extension names. `rate` comes back
// unchanged when the encoder is unknown, lists no rates (it takes any), or the
// libraries are not loaded.
int32_t NearestSupportedSampleRate(const std::string& encoder, const std::string& output_path,
                                   int32_t rate);

// The frame size nearest to `source_size` ("<w>x<h>") that the video encoder
// of an output opens with, as "<w>x<h>": the source's size made even as the
// letterbox makes lengths even, or, for an encoder that wants more (RealVideo
// takes multiples of 16 only), the nearest multiple of 4, 8, 16 or 32.
// `encoder` and `output_path` as above. The even size when the encoder is not
// known or the libraries are not loaded; `source_size` when it is no size.
std::string AcceptedFrameSize(const std::string& encoder, const std::string& output_path,
                              const std::string& source_size);

// Whether the container `output_path`'s extension names stores a stream's
// display matrix (the MP4 family: MP4, MOV, 3GP, 3G2, M4V, PSP). False when the
// libraries are not loaded.
bool StoresRotation(const std::string& output_path);

// A whole length made even the way the bars are: an odd one goes up when it
// ends in 1, otherwise down (281 gives 282, 283 and 405 give 282 and 404).
double MakeEven(double value);

}  // namespace kelvane
