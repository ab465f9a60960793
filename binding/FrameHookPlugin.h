/* The interface of a frame-hook plug-in: a shared object exporting
 * "Configure", "Process" and "Release" with C linkage.
 *
 *   Configure(&context, argc, argv)  once per use of the plug-in in a task;
 *       argv[0] is the plug-in's file name, the rest its options; stores its
 *       own context and returns 0, or non-zero to refuse. May be missing when
 *       the plug-in takes no options.
 *   Process(context, picture, pixel_format, width, height, time)  for every
 *       decoded video picture, on the engine's worker thread; may change the
 *       picture in place. pixel_format is an FFmpeg AVPixelFormat value; time is
 *       in microseconds.
 *   Release(context)  when the task ends; optional.
 *
 * Plain C, so plug-ins need nothing else to build. */
#ifndef KELVANE_FRAME_HOOK_PLUGIN_H
#define KELVANE_FRAME_HOOK_PLUGIN_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct TFrameHookPicture {
  uint8_t* data[4];
  int linesize[4];
} TFrameHookPicture;

typedef int (*TFrameHookConfigureFn)(void** context, int argc, char* argv[]);
typedef void (*TFrameHookProcessFn)(void* context, TFrameHookPicture* picture, int pixel_format,
                                    int width, int height, int64_t time);
typedef void (*TFrameHookReleaseFn)(void* context);

#ifdef __cplusplus
}
#endif

#endif /* KELVANE_FRAME_HOOK_PLUGIN_H */
