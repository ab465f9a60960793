// What the video path does to a picture's pixels and times: the sync step,
// crop bands, cropping, padding borders and deinterlacing.
#include "engine/core/VideoPath.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

namespace kelvane {

namespace {

// Bytes between horizontally neighbouring pixels of a plane.
int PlaneStep(const AVPixFmtDescriptor* desc, int plane) {
  int step = 0;
  for (int c = 0; c < desc->nb_components; ++c) {
    if (desc->comp[c].plane == plane) step = std::max(step, desc->comp[c].step);
  }
  return step;
}

bool IsChromaPlane(const AVPixFmtDescriptor* desc, int plane) {
  return (plane == 1 || plane == 2) && !(desc->flags & AV_PIX_FMT_FLAG_RGB);
}

// Planar formats with one byte per sample: YUV (any subsampling), YUVA, gray.
bool IsPlanar8Bit(const AVPixFmtDescriptor* desc) {
  if (desc->flags & (AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BITSTREAM | AV_PIX_FMT_FLAG_HWACCEL |
                     AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_FLOAT)) {
    return false;
  }
  for (int c = 0; c < desc->nb_components; ++c) {
    if (desc->comp[c].depth != 8 || desc->comp[c].step != 1 || desc->comp[c].shift != 0) {
      return false;
    }
  }
  return desc->nb_components == 1 || (desc->flags & AV_PIX_FMT_FLAG_PLANAR);
}

void FillRect(uint8_t* plane, int linesize, int x, int y, int width, int height, int step,
              uint8_t value) {
  if (width <= 0 || height <= 0) return;
  for (int row = 0; row < height; ++row) {
    std::memset(plane + int64_t(y + row) * linesize + int64_t(x) * step, value,
                size_t(width) * size_t(step));
  }
}

}  // namespace

TVideoSyncStep ComputeVideoSync(const TVideoSyncInput& in) {
  TVideoSyncStep step;
  step.SyncOpts = in.SyncOpts;
  const bool positioned = in.SyncMethod > 0 || (in.SyncMethod < 0 && in.TimeBase > 0.001);
  const double position = in.TimeBase > 0 ? in.Ipts / in.TimeBase : 0;
  if (!positioned) {
    step.SyncOpts = std::llrint(position);
    return step;
  }
  const double vdelta = position - double(in.SyncOpts);
  if (vdelta < -1.1) {
    step.Count = 0;
  } else if (in.SyncMethod == 2 || (in.SyncMethod < 0 && in.VariableFrameRate)) {
    if (vdelta <= -0.6) {
      step.Count = 0;
    } else if (vdelta > 0.6) {
      step.SyncOpts = std::llrint(position);
    }
  } else if (vdelta > 1.1) {
    step.Count = int(std::min<double>(std::llrint(vdelta), INT_MAX));
  }
  return step;
}

int ScaleCropBand(int new_size, int initial_band, int initial_size) {
  if (initial_size <= 0 || initial_band <= 0) return 0;
  return int(int64_t(new_size) * initial_band / initial_size) & ~1;
}

bool CropPicture(AVFrame* view, const AVFrame* picture, int top, int left, int width,
                 int height) {
  avutil.av_frame_unref(view);
  const AVPixFmtDescriptor* desc = avutil.av_pix_fmt_desc_get(AVPixelFormat(picture->format));
  if (desc == nullptr || top < 0 || left < 0 || width <= 0 || height <= 0 ||
      (desc->flags & (AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BITSTREAM | AV_PIX_FMT_FLAG_HWACCEL))) {
    return false;
  }
  if (avutil.av_frame_ref(view, picture) < 0) return false;
  const int planes = avutil.av_pix_fmt_count_planes(AVPixelFormat(picture->format));
  for (int p = 0; p < planes && p < AV_NUM_DATA_POINTERS; ++p) {
    const int x_shift = IsChromaPlane(desc, p) ? desc->log2_chroma_w : 0;
    const int y_shift = IsChromaPlane(desc, p) ? desc->log2_chroma_h : 0;
    if ((left & ((1 << x_shift) - 1)) != 0 || (top & ((1 << y_shift) - 1)) != 0) {
      avutil.av_frame_unref(view);
      return false;
    }
    view->data[p] += int64_t(top >> y_shift) * view->linesize[p] +
                     int64_t(left >> x_shift) * PlaneStep(desc, p);
  }
  view->width = width;
  view->height = height;
  return true;
}

void FillBorders(AVFrame* picture, int top, int bottom, int left, int right,
                 const uint8_t color[3]) {
  const AVPixFmtDescriptor* desc = avutil.av_pix_fmt_desc_get(AVPixelFormat(picture->format));
  if (desc == nullptr) return;
  const int width = picture->width;
  const int height = picture->height;
  const int planes = avutil.av_pix_fmt_count_planes(AVPixelFormat(picture->format));
  const bool yuv = IsPlanar8Bit(desc);
  for (int p = 0; p < planes && p < 4; ++p) {
    const int x_shift = IsChromaPlane(desc, p) ? desc->log2_chroma_w : 0;
    const int y_shift = IsChromaPlane(desc, p) ? desc->log2_chroma_h : 0;
    // Other formats get zero bytes: black for RGB, the darkest level for the rest.
    uint8_t value = 0;
    if (yuv) value = p < 3 ? color[p] : 255;  // alpha: opaque
    const int step = yuv ? 1 : std::max(PlaneStep(desc, p), 1);
    const int w = -((-width) >> x_shift);
    const int h = -((-height) >> y_shift);
    const int t = top >> y_shift;
    const int b = bottom >> y_shift;
    const int l = left >> x_shift;
    const int r = right >> x_shift;
    uint8_t* data = picture->data[p];
    const int linesize = picture->linesize[p];
    FillRect(data, linesize, 0, 0, w, std::min(t, h), step, value);
    FillRect(data, linesize, 0, std::max(h - b, 0), w, std::min(b, h), step, value);
    FillRect(data, linesize, 0, t, std::min(l, w), h - t - b, step, value);
    FillRect(data, linesize, std::max(w - r, 0), t, std::min(r, w), h - t - b, step, value);
  }
}

bool DeinterlacePicture(AVFrame* target, const AVFrame* source) {
  switch (source->format) {
    case AV_PIX_FMT_YUV420P:
    case AV_PIX_FMT_YUVJ420P:
    case AV_PIX_FMT_YUV422P:
    case AV_PIX_FMT_YUVJ422P:
    case AV_PIX_FMT_YUV444P:
    case AV_PIX_FMT_YUVJ444P:
    case AV_PIX_FMT_YUV411P:
    case AV_PIX_FMT_GRAY8:
      break;
    default:
      return false;
  }
  if ((source->width & 3) != 0 || (source->height & 3) != 0 || target->width != source->width ||
      target->height != source->height || target->format != source->format) {
    return false;
  }
  const AVPixFmtDescriptor* desc = avutil.av_pix_fmt_desc_get(AVPixelFormat(source->format));
  const int planes = source->format == AV_PIX_FMT_GRAY8 ? 1 : 3;
  for (int p = 0; p < planes; ++p) {
    const int w = p == 0 ? source->width : source->width >> desc->log2_chroma_w;
    const int h = p == 0 ? source->height : source->height >> desc->log2_chroma_h;
    const uint8_t* src = source->data[p];
    const int src_wrap = source->linesize[p];
    uint8_t* dst = target->data[p];
    const int dst_wrap = target->linesize[p];
    auto row = [&](int y) { return src + int64_t(std::clamp(y, 0, h - 1)) * src_wrap; };
    for (int y = 0; y < h; ++y) {
      uint8_t* out = dst + int64_t(y) * dst_wrap;
      if ((y & 1) == 0) {
        std::memcpy(out, row(y), size_t(w));
        continue;
      }
      const uint8_t* m2 = row(y - 2);
      const uint8_t* m1 = row(y - 1);
      const uint8_t* c0 = row(y);
      const uint8_t* p1 = row(y + 1);
      const uint8_t* p2 = row(y + 2);
      for (int x = 0; x < w; ++x) {
        int sum = -m2[x] + 4 * m1[x] + 2 * c0[x] + 4 * p1[x] - p2[x];
        out[x] = uint8_t(std::clamp((sum + 4) >> 3, 0, 255));
      }
    }
  }
  return true;
}

TVideoPath::TVideoPath(const TVideoPathSettings& settings, TVideoHost& host, TPacketWriter writer)
    : settings_(settings), host_(host), writer_(std::move(writer)) {}

}  // namespace kelvane
