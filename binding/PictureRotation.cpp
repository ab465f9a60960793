#include "binding/PictureRotation.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "binding/FFmpegLoader.h"

namespace kelvane {
namespace {

constexpr size_t kMatrixBytes = 9 * sizeof(int32_t);
constexpr AVPixelFormat kFallbackFormat = AV_PIX_FMT_YUV444P;

int32_t NormalRotation(int32_t rotation) {
  rotation %= 360;
  return rotation < 0 ? rotation + 360 : rotation;
}

// Bytes per pixel of every component on `plane`; 0 when they differ (the
// plane packs pixels of differing sizes, as YUYV does).
int PlaneStep(const AVPixFmtDescriptor* desc, int plane) {
  int step = 0;
  for (int c = 0; c < desc->nb_components; ++c) {
    if (desc->comp[c].plane != plane) continue;
    if (step != 0 && desc->comp[c].step != step) return 0;
    step = desc->comp[c].step;
  }
  return step;
}

bool IsChromaPlane(const AVPixFmtDescriptor* desc, int plane) {
  return (plane == 1 || plane == 2) && !(desc->flags & AV_PIX_FMT_FLAG_RGB);
}

// Whether pictures of `desc` can be turned plane by plane, pixel by pixel.
bool TurnsInPlace(const AVPixFmtDescriptor* desc, AVPixelFormat format, int32_t rotation) {
  if (desc == nullptr || (desc->flags & (AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BITSTREAM |
                                         AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_BAYER))) {
    return false;
  }
  if (TurnSwapsSides(rotation) && desc->log2_chroma_w != desc->log2_chroma_h) return false;
  const int planes = avutil.av_pix_fmt_count_planes(format);
  if (planes <= 0) return false;
  for (int p = 0; p < planes; ++p) {
    if (PlaneStep(desc, p) <= 0) return false;
  }
  return true;
}

// Copies one pixel of `Step` bytes.
template <int Step>
inline void CopyPixel(uint8_t* to, const uint8_t* from, int) {
  if constexpr (Step == 1) {
    *to = *from;
  } else {
    std::memcpy(to, from, Step);
  }
}
template <>
inline void CopyPixel<0>(uint8_t* to, const uint8_t* from, int step) {
  std::memcpy(to, from, static_cast<size_t>(step));
}

// Turns one plane of `width` x `height` pixels of `step` bytes: destination
// row y, column x takes the source pixel the turn brings there. Works in
// tiles so that both pictures are read and written near where they were last.
template <int Step>
void TurnPlane(uint8_t* to, int to_stride, const uint8_t* from, int from_stride, int width,
               int height, int32_t rotation, int step) {
  const int out_width = TurnSwapsSides(rotation) ? height : width;
  const int out_height = TurnSwapsSides(rotation) ? width : height;
  constexpr int kTile = 32;
  for (int ty = 0; ty < out_height; ty += kTile) {
    const int y_end = std::min(ty + kTile, out_height);
    for (int tx = 0; tx < out_width; tx += kTile) {
      const int x_end = std::min(tx + kTile, out_width);
      for (int y = ty; y < y_end; ++y) {
        uint8_t* row = to + static_cast<ptrdiff_t>(y) * to_stride;
        for (int x = tx; x < x_end; ++x) {
          int sx;
          int sy;
          if (rotation == 90) {
            sx = y;
            sy = height - 1 - x;
          } else if (rotation == 270) {
            sx = width - 1 - y;
            sy = x;
          } else {
            sx = width - 1 - x;
            sy = height - 1 - y;
          }
          CopyPixel<Step>(row + static_cast<ptrdiff_t>(x) * step,
                          from + static_cast<ptrdiff_t>(sy) * from_stride +
                              static_cast<ptrdiff_t>(sx) * step,
                          step);
        }
      }
    }
  }
}

void TurnAnyPlane(uint8_t* to, int to_stride, const uint8_t* from, int from_stride, int width,
                  int height, int32_t rotation, int step) {
  switch (step) {
    case 1:
      return TurnPlane<1>(to, to_stride, from, from_stride, width, height, rotation, step);
    case 2:
      return TurnPlane<2>(to, to_stride, from, from_stride, width, height, rotation, step);
    case 3:
      return TurnPlane<3>(to, to_stride, from, from_stride, width, height, rotation, step);
    case 4:
      return TurnPlane<4>(to, to_stride, from, from_stride, width, height, rotation, step);
    default:
      return TurnPlane<0>(to, to_stride, from, from_stride, width, height, rotation, step);
  }
}

// `source` in `format` at its own size through the cached `converter`.
AVFramePtr Converted(const AVFrame* source, AVPixelFormat format, SwsContextPtr& converter) {
  const auto from = static_cast<AVPixelFormat>(source->format);
  if (!swscale.sws_isSupportedInput(from)) return nullptr;
  SwsContext* context = swscale.sws_getCachedContext(
      converter.release(), source->width, source->height, from, source->width, source->height,
      format, SWS_BICUBIC, nullptr, nullptr, nullptr);
  converter.reset(context);
  if (context == nullptr) return nullptr;
  AVFramePtr converted(avutil.av_frame_alloc());
  if (!converted) return nullptr;
  converted->format = format;
  converted->width = source->width;
  converted->height = source->height;
  if (avutil.av_frame_get_buffer(converted.get(), 0) < 0) return nullptr;
  swscale.sws_scale(context, source->data, source->linesize, 0, source->height,
                    converted->data, converted->linesize);
  return converted;
}

}  // namespace

int32_t MatrixRotation(const int32_t matrix[9]) {
  const double angle = avutil.av_display_rotation_get(matrix);
  if (std::isnan(angle)) return 0;
  // The library gives the counter-clockwise angle the matrix turns by.
  const long quarters = std::lround(-angle / 90.0);
  return NormalRotation(static_cast<int32_t>(quarters * 90 % 360));
}

bool StreamDisplayMatrix(const AVStream* stream, int32_t matrix[9]) {
  if (stream == nullptr) return false;
  size_t size = 0;
  const uint8_t* data = avformat.av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
  if (data == nullptr || size < kMatrixBytes) return false;
  std::memcpy(matrix, data, kMatrixBytes);
  return true;
}

bool SetStreamDisplayMatrix(AVStream* stream, const int32_t matrix[9]) {
  uint8_t* data = avformat.av_stream_new_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, kMatrixBytes);
  if (data == nullptr) return false;
  std::memcpy(data, matrix, kMatrixBytes);
  return true;
}

int32_t StreamRotation(const AVStream* stream) {
  int32_t matrix[9];
  return StreamDisplayMatrix(stream, matrix) ? MatrixRotation(matrix) : 0;
}

bool SetStreamRotation(AVStream* stream, int32_t rotation) {
  int32_t matrix[9];
  // The library sets a clockwise turn (and reads back a counter-clockwise angle).
  avutil.av_display_rotation_set(matrix, static_cast<double>(NormalRotation(rotation)));
  return SetStreamDisplayMatrix(stream, matrix);
}

AVPixelFormat RotatedFormat(AVPixelFormat format, int32_t rotation) {
  rotation = NormalRotation(rotation);
  if (rotation == 0) return format;
  return TurnsInPlace(avutil.av_pix_fmt_desc_get(format), format, rotation) ? format
                                                                           : kFallbackFormat;
}

AVFramePtr RotatePicture(const AVFrame* source, int32_t rotation, SwsContextPtr& converter) {
  rotation = NormalRotation(rotation);
  if (rotation % 90 != 0 || rotation == 0) return AVFramePtr(avutil.av_frame_clone(source));
  if (source->width <= 0 || source->height <= 0) return nullptr;
  AVFramePtr converted;
  const AVFrame* from = source;
  const auto format = static_cast<AVPixelFormat>(source->format);
  if (RotatedFormat(format, rotation) != format) {
    converted = Converted(source, kFallbackFormat, converter);
    if (!converted) return nullptr;
    from = converted.get();
  }
  const auto from_format = static_cast<AVPixelFormat>(from->format);
  const AVPixFmtDescriptor* desc = avutil.av_pix_fmt_desc_get(from_format);
  AVFramePtr turned(avutil.av_frame_alloc());
  if (!turned || desc == nullptr) return nullptr;
  turned->format = from_format;
  turned->width = TurnSwapsSides(rotation) ? from->height : from->width;
  turned->height = TurnSwapsSides(rotation) ? from->width : from->height;
  if (avutil.av_frame_get_buffer(turned.get(), 0) < 0) return nullptr;
  avutil.av_frame_copy_props(turned.get(), source);
  if (TurnSwapsSides(rotation) && source->sample_aspect_ratio.num > 0) {
    turned->sample_aspect_ratio = {source->sample_aspect_ratio.den,
                                   source->sample_aspect_ratio.num};
  }
  const int planes = avutil.av_pix_fmt_count_planes(from_format);
  for (int p = 0; p < planes; ++p) {
    const int x_shift = IsChromaPlane(desc, p) ? desc->log2_chroma_w : 0;
    const int y_shift = IsChromaPlane(desc, p) ? desc->log2_chroma_h : 0;
    const int width = -((-from->width) >> x_shift);
    const int height = -((-from->height) >> y_shift);
    TurnAnyPlane(turned->data[p], turned->linesize[p], from->data[p], from->linesize[p], width,
                 height, rotation, PlaneStep(desc, p));
  }
  return turned;
}

}  // namespace kelvane
