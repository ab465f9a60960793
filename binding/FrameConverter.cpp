#include "binding/FrameConverter.h"

#include <cstdio>
#include <cstring>

namespace kelvane {

void ResetConverter(TFrameConverter& converter) {
  converter.PictureFormat = AV_PIX_FMT_BGR24;
  converter.Bitmap.reset();
  converter.ToBitmap.reset();
  converter.FromBitmap.reset();
}

bool ConvertToBitmap(TFrameConverter& converter, const uint8_t* const data[],
                     const int linesize[], AVPixelFormat format, int height, int width) {
  if (width <= 0 || height <= 0 || data == nullptr || data[0] == nullptr) return false;
  if (!converter.Bitmap) converter.Bitmap = std::make_unique<TBitmap>();
  TBitmap& bitmap = *converter.Bitmap;
  std::lock_guard<std::mutex> lock(bitmap.Lock);
  bitmap.SetSize(width, height);

  if (format == converter.PictureFormat) {
    for (int y = 0; y < height; ++y) {
      memcpy(bitmap.ScanLine(y), data[0] + static_cast<ptrdiff_t>(y) * linesize[0],
             static_cast<size_t>(width) * 3);
    }
    return true;
  }
  // The scaler aborts the process on formats it does not know; ask it first.
  if (!swscale.sws_isSupportedInput(format)) return false;
  SwsContext* scaler = swscale.sws_getCachedContext(converter.ToBitmap.release(), width, height,
                                                    format, width, height,
                                                    converter.PictureFormat, SWS_BICUBIC, nullptr,
                                                    nullptr, nullptr);
  converter.ToBitmap.reset(scaler);
  if (scaler == nullptr) return false;
  // The scaler writes the rows straight into the bitmap's scan lines.
  uint8_t* planes[4] = {bitmap.Pixels.data(), nullptr, nullptr, nullptr};
  int strides[4] = {bitmap.Stride, 0, 0, 0};
  return swscale.sws_scale(scaler, data, linesize, 0, height, planes, strides) == height;
}

bool ConvertToBitmap(TFrameConverter& converter, const AVFrame* frame) {
  if (frame == nullptr) return false;
  return ConvertToBitmap(converter, frame->data, frame->linesize,
                         static_cast<AVPixelFormat>(frame->format), frame->height, frame->width);
}

bool ConvertFromBitmap(TFrameConverter& converter, const TBitmap& bitmap, uint8_t* const data[],
                       const int linesize[], AVPixelFormat format, int height, int width) {
  std::lock_guard<std::mutex> lock(bitmap.Lock);
  if (width <= 0 || height <= 0 || bitmap.Width != width || bitmap.Height != height ||
      data == nullptr || data[0] == nullptr) {
    return false;
  }
  if (format == converter.PictureFormat) {
    for (int y = 0; y < height; ++y) {
      memcpy(data[0] + static_cast<ptrdiff_t>(y) * linesize[0], bitmap.ScanLine(y),
             static_cast<size_t>(width) * 3);
    }
    return true;
  }
  if (!swscale.sws_isSupportedOutput(format)) return false;
  SwsContext* scaler = swscale.sws_getCachedContext(
      converter.FromBitmap.release(), width, height, converter.PictureFormat, width, height,
      format, SWS_BICUBIC, nullptr, nullptr, nullptr);
  converter.FromBitmap.reset(scaler);
  if (scaler == nullptr) return false;
  const uint8_t* planes[4] = {bitmap.Pixels.data(), nullptr, nullptr, nullptr};
  const int strides[4] = {bitmap.Stride, 0, 0, 0};
  return swscale.sws_scale(scaler, planes, strides, 0, height, data, linesize) == height;
}

bool ConvertFromBitmap(TFrameConverter& converter, const TBitmap& bitmap, AVFrame* frame) {
  if (frame == nullptr) return false;
  return ConvertFromBitmap(converter, bitmap, frame->data, frame->linesize,
                           static_cast<AVPixelFormat>(frame->format), frame->height,
                           frame->width);
}

std::string FormatPreviewTime(int64_t microseconds) {
  if (microseconds == AV_NOPTS_VALUE) return "N/A";
  const int64_t seconds = microseconds / 1000000;
  char text[64];
  snprintf(text, sizeof text, "%.2d:%.2d:%.2d.%.3d", static_cast<int>(seconds / 60 / 60),
           static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60),
           static_cast<int>(microseconds % 1000000 * 1000 / 1000000));
  return text;
}

}  // namespace kelvane
