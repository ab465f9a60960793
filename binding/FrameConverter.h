// Turns decoded pictures into 24-bit BGR bitmaps and back.
//
// Used by the engine's preview and custom hook and by the player's frame
// capture. The converter owns its bitmap and its two cached scaler contexts;
// the bitmap it hands out stays valid until the next conversion or reset.
//
// Threads: one thread at a time (the owner's worker, or the main thread for a
// capture). The bitmap's own Lock is held while it is being written.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "binding/AVPtr.h"
#include "binding/Bitmap.h"

namespace kelvane {

struct TFrameConverter {
  AVPixelFormat PictureFormat = AV_PIX_FMT_BGR24;  // the bitmap side
  std::unique_ptr<TBitmap> Bitmap;                 // made on first use
  SwsContextPtr ToBitmap;                          // decoder format -> BGR24
  SwsContextPtr FromBitmap;                        // BGR24 -> decoder format
};

// Frees the bitmap and both scaler contexts; the converter is as new.
void ResetConverter(TFrameConverter& converter);

// Copies a picture of `width` x `height` in `format` into the converter's
// bitmap (sized to match). A BGR24 source is copied without a scaler. False
// when no scaler context can be made for the format or size (callers report
// "Cannot initialize the toRGB conversion context").
bool ConvertToBitmap(TFrameConverter& converter, const uint8_t* const data[],
                     const int linesize[], AVPixelFormat format, int height, int width);
bool ConvertToBitmap(TFrameConverter& converter, const AVFrame* frame);

// The way back: writes `bitmap` (of the picture's size) into a picture of
// `format` (a custom hook's changes reach the frame that gets encoded). False
// when the sizes differ or no scaler context can be made.
bool ConvertFromBitmap(TFrameConverter& converter, const TBitmap& bitmap, uint8_t* const data[],
                       const int linesize[], AVPixelFormat format, int height, int width);
bool ConvertFromBitmap(TFrameConverter& converter, const TBitmap& bitmap, AVFrame* frame);

// "HH:MM:SS.mmm" of a time in microseconds (hours not limited to 24); "N/A"
// for the libraries' no-value marker.
std::string FormatPreviewTime(int64_t microseconds);

}  // namespace kelvane
