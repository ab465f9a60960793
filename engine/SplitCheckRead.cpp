#include "engine/SplitCheckRead.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <tuple>
#include <vector>

#include "binding/AVPtr.h"
#include "binding/Bitmap.h"
#include "binding/FFmpegLoader.h"
#include "binding/KeyFrameSeek.h"
#include "binding/PictureRotation.h"
#include "binding/UnicodeProtocol.h"
#include "engine/core/SmartCut.h"

namespace kelvane::split_check {

// Ends the reading when another thread asked the check to stop.
void StopIfAsked(const TSplitCheckRequest& request) {
  if (request.Stop != nullptr && request.Stop->load()) throw TCheckFailure(kCheckStopped);
}

std::string ErrorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {0};
  avutil.av_strerror(code, text, sizeof text);
  return text;
}

void OpenFile(const std::string& path, TInputContext& input) {
  int result = OpenInputContext(ToLibraryFileName(path), nullptr, nullptr, input);
  if (result >= 0) {
    std::lock_guard<std::mutex> lock(CodecLock());
    result = avformat.avformat_find_stream_info(input.Get(), nullptr);
  }
  if (result < 0) throw TCheckFailure(path + ": " + ErrorText(result));
}

AVCodecContextPtr OpenDecoder(const AVStream* stream) {
  const AVCodec* codec = avcodec.avcodec_find_decoder(stream->codecpar->codec_id);
  if (codec == nullptr) {
    throw TCheckFailure(std::string("no decoder for ") +
                        avcodec.avcodec_get_name(stream->codecpar->codec_id));
  }
  AVCodecContextPtr decoder(avcodec.avcodec_alloc_context3(codec));
  if (!decoder || avcodec.avcodec_parameters_to_context(decoder.get(), stream->codecpar) < 0) {
    throw TCheckFailure("cannot set up a decoder");
  }
  decoder->pkt_timebase = stream->time_base;
  decoder->thread_count = 0;  // one per core: decoding up to the start mark is most of the check
  std::lock_guard<std::mutex> lock(CodecLock());
  if (avcodec.avcodec_open2(decoder.get(), codec, nullptr) < 0) {
    throw TCheckFailure("cannot open the decoder");
  }
  return decoder;
}

int64_t MsSince(std::chrono::steady_clock::time_point began) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               began)
      .count();
}

int64_t ToUs(int64_t value, AVRational time_base) {
  return avutil.av_rescale_q(value, time_base, AV_TIME_BASE_Q);
}

int64_t PacketTime(const AVPacket* packet) {
  return packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
}


namespace {

// The picture inside the bars, as a small grey picture.
TThumb Thumb(const AVFrame* frame, int top, int bottom, int left, int right) {
  const int width = frame->width, height = frame->height;
  // Rows and slack after them as the scaler's vector code needs (Bitmap.h).
  const int grey_stride = TBitmap::RowBytes(width, 1);
  std::vector<uint8_t> grey(size_t(grey_stride) * size_t(height) + TBitmap::kScalerSlack);
  SwsContextPtr to_grey(swscale.sws_getContext(width, height, AVPixelFormat(frame->format), width,
                                               height, AV_PIX_FMT_GRAY8, SWS_POINT, nullptr,
                                               nullptr, nullptr));
  if (!to_grey) throw TCheckFailure("cannot read the picture's format");
  uint8_t* grey_planes[4] = {grey.data(), nullptr, nullptr, nullptr};
  int grey_strides[4] = {grey_stride, 0, 0, 0};
  swscale.sws_scale(to_grey.get(), frame->data, frame->linesize, 0, height, grey_planes,
                    grey_strides);
  if (top < 0 || bottom < 0 || left < 0 || right < 0 || top + bottom >= height ||
      left + right >= width) {
    top = bottom = left = right = 0;
  }
  const int inner_width = width - left - right, inner_height = height - top - bottom;
  SwsContextPtr shrink(swscale.sws_getContext(inner_width, inner_height, AV_PIX_FMT_GRAY8,
                                              kThumbWidth, kThumbHeight, AV_PIX_FMT_GRAY8,
                                              SWS_AREA, nullptr, nullptr, nullptr));
  if (!shrink) throw TCheckFailure("cannot shrink the picture");
  TThumb thumb(size_t(kThumbWidth) * kThumbHeight + TBitmap::kScalerSlack);
  const uint8_t* inner[4] = {grey.data() + size_t(top) * grey_stride + left, nullptr, nullptr,
                             nullptr};
  uint8_t* thumb_planes[4] = {thumb.data(), nullptr, nullptr, nullptr};
  int thumb_strides[4] = {kThumbWidth, 0, 0, 0};
  swscale.sws_scale(shrink.get(), inner, grey_strides, 0, inner_height, thumb_planes,
                    thumb_strides);
  thumb.resize(size_t(kThumbWidth) * kThumbHeight);
  return thumb;
}

}  // namespace

// The picture as it is shown: turned as its stream's display matrix asks
// (`rotation`), the bars around it turned along.
TThumb ShownThumb(const AVFrame* frame, int32_t rotation, int top, int bottom, int left,
                  int right) {
  if (rotation == 0) return Thumb(frame, top, bottom, left, right);
  SwsContextPtr scaler;
  AVFramePtr turned = RotatePicture(frame, rotation, scaler);
  if (!turned) throw TCheckFailure("cannot turn the picture");
  for (int quarter = 0; quarter < rotation / 90; ++quarter) {
    // A clockwise quarter turn brings the left bar to the top.
    std::tie(top, right, bottom, left) = std::make_tuple(left, top, right, bottom);
  }
  return Thumb(turned.get(), top, bottom, left, right);
}

double Distance(const TThumb& a, const TThumb& b) {
  double sum = 0;
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) sum += std::abs(int(a[i]) - int(b[i]));
  return a.empty() ? std::numeric_limits<double>::max() : sum / double(a.size());
}

}  // namespace kelvane::split_check
