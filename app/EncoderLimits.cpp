#include "app/EncoderLimits.h"

#include <cstdlib>

#include "binding/FFmpegLoader.h"

namespace kelvane {
namespace {

const AVCodec* AudioEncoderFor(const std::string& encoder, const std::string& output_path) {
  if (!encoder.empty()) return avcodec.avcodec_find_encoder_by_name(encoder.c_str());
  const AVOutputFormat* format = avformat.av_guess_format(nullptr, output_path.c_str(), nullptr);
  if (format == nullptr) return nullptr;
  const AVCodecID id = avformat.av_guess_codec(format, nullptr, output_path.c_str(), nullptr,
                                               AVMEDIA_TYPE_AUDIO);
  if (id == AV_CODEC_ID_NONE) return nullptr;
  return avcodec.avcodec_find_encoder(id);
}

}  // namespace

int32_t NearestSupportedSampleRate(const std::string& encoder, const std::string& output_path,
                                   int32_t rate) {
  TFFmpegLoader& loader = GetLoader();
  if (!loader.LibraryLoaded(LibAVCodec) || !loader.LibraryLoaded(LibAVFormat)) return rate;
  const AVCodec* codec = AudioEncoderFor(encoder, output_path);
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

}  // namespace kelvane
