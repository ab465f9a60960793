// A frame-hook plug-in for the tests without options: it exports no Configure
// and no Release and inverts every byte of the first row of each picture.
#include "../../binding/FrameHookPlugin.h"

extern "C" void Process(void* context, TFrameHookPicture* picture, int pixel_format, int width,
                        int height, int64_t time) {
  (void)context;
  (void)height;
  (void)time;
  const int row_bytes = pixel_format == 3 ? width * 3 : width;
  for (int x = 0; x < row_bytes; ++x) picture->data[0][x] = 255 - picture->data[0][x];
}
