// Pictures recorded on their side. A phone stores its pictures the way its
// sensor lies and says in the container how to turn them for showing: the
// display matrix on the video stream (AV_PKT_DATA_DISPLAYMATRIX side data).
// These helpers read and write that matrix as a clockwise turn of 0, 90, 180
// or 270 degrees and turn decoded pictures by it.
//
// The player turns every decoded picture before it is shown or captured; the
// engine turns them before encoding when the output has a frame size of its
// own, and otherwise writes the source's matrix on the output stream.
//
// Plain functions over library objects; any thread, one picture at a time per
// scaler. The libraries must be loaded.
#pragma once

#include <cstdint>

#include "binding/AVPtr.h"

namespace kelvane {

// The clockwise turn in degrees (0, 90, 180, 270) that shows pictures stored
// under `matrix` upright, rounded to the nearest quarter. A mirroring matrix
// counts by its turn alone.
int32_t MatrixRotation(const int32_t matrix[9]);

// The display matrix on `stream`; false (and `matrix` untouched) without one.
bool StreamDisplayMatrix(const AVStream* stream, int32_t matrix[9]);

// Writes `matrix` as `stream`'s display matrix (the muxer stores it with the
// stream: MP4, MOV, 3GP). False when the library has no memory for it.
bool SetStreamDisplayMatrix(AVStream* stream, const int32_t matrix[9]);

// The clockwise turn `stream`'s display matrix asks for; 0 without one.
int32_t StreamRotation(const AVStream* stream);

// Writes a display matrix asking for a clockwise turn of `rotation` degrees.
bool SetStreamRotation(AVStream* stream, int32_t rotation);

// A quarter turn swaps a picture's width and height.
inline bool TurnSwapsSides(int32_t rotation) { return rotation == 90 || rotation == 270; }

// The pixel format of `format` pictures after RotatePicture: the same, or
// YUV444P for formats whose layout cannot be turned in place (packed 4:2:2,
// chroma halved one way only under a quarter turn, palettes, bit streams).
AVPixelFormat RotatedFormat(AVPixelFormat format, int32_t rotation);

// `source` turned clockwise by `rotation` degrees (90, 180 or 270) into a new
// picture in RotatedFormat, with the source's properties and, for a quarter
// turn, the inverse sample aspect. `converter` is the cached scaler used for
// formats that are converted first. Null when the picture cannot be turned
// (no memory, a format the scaler does not take); any other rotation gives a
// new reference to the source.
AVFramePtr RotatePicture(const AVFrame* source, int32_t rotation, SwsContextPtr& converter);

}  // namespace kelvane
