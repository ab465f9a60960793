#include "engine/EncoderLimits.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "binding/AVPtr.h"
#include "binding/FFmpegLoader.h"

namespace kelvane {
namespace {

bool EngineLibrariesLoaded() {
  TFFmpegLoader& loader = GetLoader();
  return loader.LibraryLoaded(LibAVCodec) && loader.LibraryLoaded(LibAVFormat);
}

const AVCodec* EncoderFor(const std::string& encoder, const std::string& output_path,
                          AVMediaType type) {
  if (!encoder.empty()) return avcodec.avcodec_find_encoder_by_name(encoder.c_str());
  const AVOutputFormat* format = avformat.av_guess_format(nullptr, output_path.c_str(), nullptr);
  if (format == nullptr) return nullptr;
  const AVCodecID id =
      avformat.av_guess_codec(format, nullptr, output_path.c_str(), nullptr, type);
  if (id == AV_CODEC_ID_NONE) return nullptr;
  return avcodec.avcodec_find_encoder(id);
}

// Whether the encoder opens with pictures of this size.
bool OpensWithSize(const AVCodec* codec, int width, int height) {
  AVCodecContextPtr context(avcodec.avcodec_alloc_context3(codec));
  if (!context) return false;
  context->width = width;
  context->height = height;
  context->pix_fmt = codec->pix_fmts != nullptr ? codec->pix_fmts[0] : AV_PIX_FMT_YUV420P;
  context->time_base = AVRational{1, 25};
  context->framerate = AVRational{25, 1};
  context->thread_count = 1;
  // A refused size is an answer here, not an error for the log.
  context->log_level_offset = 1000;
  int result;
  {
    std::lock_guard<std::mutex> lock(CodecLock());
    result = avcodec.avcodec_open2(context.get(), codec, nullptr);
  }
  return result >= 0;
}

}  // namespace

double MakeEven(double value) {
  if (std::fmod(value, 2.0) == 0) return value;
  const double last_digit = std::fmod(std::fabs(value), 10.0);
  return last_digit == 1 ? value + 1 : value - 1;
}

int32_t NearestSupportedSampleRate(const std::string& encoder, const std::string& output_path,
                                   int32_t rate) {
  if (!EngineLibrariesLoaded()) return rate;
  const AVCodec* codec = EncoderFor(encoder, output_path, AVMEDIA_TYPE_AUDIO);
  if (codec == nullptr || codec->supported_samplerates == nullptr) return rate;
  int32_t best = rate;
  long long best_distance = -1;
  for (const int* r = codec->supported_samplerates; *r != 0; ++r) {
    const long long distance = std::llabs(static_cast<long long>(*r) - rate);
    if (distance == 0) return rate;
    if (best_distance < 0 || distance < best_distance) {
      best = *r;
      best_distance = distance;
    }
  }
  return best;
}

std::string AcceptedFrameSize(const std::string& encoder, const std::string& output_path,
                              const std::string& source_size) {
  int width = 0, height = 0;
  char rest = 0;
  if (std::sscanf(source_size.c_str(), "%dx%d%c", &width, &height, &rest) != 2 || width <= 0 ||
      height <= 0)
    return source_size;
  width = static_cast<int>(MakeEven(width));
  height = static_cast<int>(MakeEven(height));
  auto text = [](int w, int h) { return std::to_string(w) + "x" + std::to_string(h); };
  const AVCodec* codec =
      EngineLibrariesLoaded() ? EncoderFor(encoder, output_path, AVMEDIA_TYPE_VIDEO) : nullptr;
  if (codec == nullptr) return text(width, height);
  for (int multiple : {2, 4, 8, 16, 32}) {
    auto nearest = [multiple](int length) {
      return std::max(multiple, (length + multiple / 2) / multiple * multiple);
    };
    if (OpensWithSize(codec, nearest(width), nearest(height)))
      return text(nearest(width), nearest(height));
  }
  return text(width, height);
}

bool StoresRotation(const std::string& output_path) {
  if (!EngineLibrariesLoaded()) return false;
  const AVOutputFormat* format = avformat.av_guess_format(nullptr, output_path.c_str(), nullptr);
  if (format == nullptr || format->name == nullptr) return false;
  // The muxers of the QuickTime family write the matrix into the track header.
  static const char* const kFamily[] = {"mov", "mp4", "3gp", "3g2", "psp", "ipod", "ismv", "f4v"};
  for (const char* name : kFamily) {
    if (std::strcmp(format->name, name) == 0) return true;
  }
  return false;
}

}  // namespace kelvane
