// A frame-hook plug-in for the tests: paints a square of one byte value into
// the first plane of each picture (the luma plane of YUV, the blue-green-red
// bytes of packed RGB formats alike).
//
// Options: size, byte value, and optionally the square's left edge. Refuses a
// missing or non-positive size. LiveContexts tells how many contexts are
// configured and not yet released.
#include <atomic>
#include <cstdlib>

#include "../../binding/FrameHookPlugin.h"

namespace {

struct TSquare {
  int size;
  int value;
  int left;
};

std::atomic<int> live_contexts{0};

}  // namespace

extern "C" {

int Configure(void** context, int argc, char* argv[]) {
  if (argc < 3) return -1;
  int size = atoi(argv[1]);
  if (size <= 0) return -1;
  auto* square = new TSquare{size, atoi(argv[2]), argc > 3 ? atoi(argv[3]) : 0};
  *context = square;
  ++live_contexts;
  return 0;
}

void Process(void* context, TFrameHookPicture* picture, int pixel_format, int width, int height,
             int64_t time) {
  (void)pixel_format;
  (void)time;
  auto* square = static_cast<TSquare*>(context);
  const int bytes_per_pixel = pixel_format == 3 ? 3 : 1;  // packed BGR24 or a planar format
  for (int y = 0; y < square->size && y < height; ++y) {
    uint8_t* row = picture->data[0] + y * picture->linesize[0];
    for (int x = square->left; x < square->left + square->size && x < width; ++x) {
      for (int b = 0; b < bytes_per_pixel; ++b) row[x * bytes_per_pixel + b] = square->value;
    }
  }
}

void Release(void* context) {
  delete static_cast<TSquare*>(context);
  --live_contexts;
}

int LiveContexts() { return live_contexts.load(); }

}  // extern "C"
