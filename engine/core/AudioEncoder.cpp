#include "engine/core/AudioEncoder.h"

#include <mutex>

#include "engine/core/AmrNbEncoder.h"

namespace kelvane {

namespace {

// An FFmpeg encoder: the context opened with avcodec_open2.
class TLibAudioEncoder : public TAudioEncoder {
 public:
  using TAudioEncoder::TAudioEncoder;
  int SendFrame(const AVFrame* frame) override {
    return avcodec.avcodec_send_frame(Context(), frame);
  }
  int ReceivePacket(AVPacket* packet) override {
    return avcodec.avcodec_receive_packet(Context(), packet);
  }
  bool AcceptsShortLastFrame() const override {
    const AVCodec* codec = Context()->codec;
    return codec != nullptr &&
           (codec->capabilities &
            (AV_CODEC_CAP_SMALL_LAST_FRAME | AV_CODEC_CAP_VARIABLE_FRAME_SIZE)) != 0;
  }
  const char* Name() const override {
    return Context()->codec != nullptr ? Context()->codec->name : "none";
  }
};

// The AMR-NB encoder over libopencore-amrnb, behind the same interface.
class TAmrNbAudioEncoder : public TAudioEncoder {
 public:
  explicit TAmrNbAudioEncoder(AVCodecContext* context) : TAudioEncoder(context), amr_(context) {}
  bool Valid() const { return amr_.Valid(); }
  int SendFrame(const AVFrame* frame) override { return amr_.SendFrame(frame); }
  int ReceivePacket(AVPacket* packet) override { return amr_.ReceivePacket(packet); }
  bool AcceptsShortLastFrame() const override { return true; }
  const char* Name() const override { return "libopencore_amrnb"; }

 private:
  TAmrNbEncoder amr_;
};

std::string ErrorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {0};
  avutil.av_strerror(code, text, sizeof text);
  return text;
}

}  // namespace

std::unique_ptr<TAudioEncoder> WrapOpenedAudioEncoder(AVCodecContext* context) {
  return std::make_unique<TLibAudioEncoder>(context);
}

bool IsAmrNbEncoderName(std::string_view name) {
  return name == "libopencore_amrnb" || name == "libamr_nb";
}

bool LoadAmrNbLibrary(std::string* error) {
  // The loader itself is meant for the main thread; this one library is also
  // loaded from workers, so its loading is serialised here.
  static std::mutex load_lock;
  std::lock_guard<std::mutex> lock(load_lock);
  TFFmpegLoader& loader = GetLoader();
  if (loader.LibraryLoaded(LibOpenCoreAmrNb)) return true;
  if (loader.LoadOne(LibOpenCoreAmrNb)) return true;
  if (error != nullptr) {
    *error = "AMR-NB encoding needs " + TFFmpegLoader::LibraryFileName(LibOpenCoreAmrNb) +
             ": " + loader.LastError();
  }
  return false;
}

bool PrepareAmrNbContext(AVCodecContext* context, std::string* error) {
  context->codec_type = AVMEDIA_TYPE_AUDIO;
  context->codec_id = AV_CODEC_ID_AMR_NB;
  if (context->sample_rate != TAmrNbEncoder::kSampleRate) {
    if (error != nullptr) {
      *error = "AMR-NB encoding needs a sample rate of 8000 Hz, not " +
               std::to_string(context->sample_rate) + " Hz";
    }
    return false;
  }
  if (context->ch_layout.nb_channels != 1) {
    if (error != nullptr) {
      *error = "AMR-NB encoding needs one channel, not " +
               std::to_string(context->ch_layout.nb_channels);
    }
    return false;
  }
  // The library takes signed 16-bit only, as an encoder that lists one sample
  // format would; the audio path converts to it.
  context->sample_fmt = AV_SAMPLE_FMT_S16;
  if (context->ch_layout.order != AV_CHANNEL_ORDER_NATIVE ||
      context->ch_layout.u.mask != AV_CH_LAYOUT_MONO) {
    avutil.av_channel_layout_uninit(&context->ch_layout);
    context->ch_layout = AV_CHANNEL_LAYOUT_MONO;
  }
  context->frame_size = TAmrNbEncoder::kFrameSamples;
  context->time_base = AVRational{1, TAmrNbEncoder::kSampleRate};
  context->bit_rate = TAmrNbEncoder::BitRateOfMode(TAmrNbEncoder::ModeForBitRate(context->bit_rate));
  context->initial_padding = TAmrNbEncoder::kDelaySamples;
  return true;
}

std::unique_ptr<TAudioEncoder> OpenAudioEncoder(AVCodecContext* context, const AVCodec* codec,
                                                AVDictionary** options, std::string* error,
                                                int* code) {
  auto fail = [&](int result, const std::string& text) -> std::unique_ptr<TAudioEncoder> {
    if (error != nullptr) *error = text;
    if (code != nullptr) *code = result;
    return nullptr;
  };
  if (codec == nullptr && context->codec_id == AV_CODEC_ID_AMR_NB) {
    codec = avcodec.avcodec_find_encoder(AV_CODEC_ID_AMR_NB);
    if (codec == nullptr) {
      std::string why;
      if (!PrepareAmrNbContext(context, &why)) return fail(AVERROR(EINVAL), why);
      if (!LoadAmrNbLibrary(&why)) return fail(AVERROR(ENOSYS), why);
      auto encoder = std::make_unique<TAmrNbAudioEncoder>(context);
      if (!encoder->Valid()) return fail(AVERROR(ENOMEM), "Encoder_Interface_init failed");
      return encoder;
    }
  }
  if (codec == nullptr) codec = avcodec.avcodec_find_encoder(context->codec_id);
  if (codec == nullptr) return fail(AVERROR_ENCODER_NOT_FOUND, "encoder not found");
  int result;
  {
    std::lock_guard<std::mutex> lock(CodecLock());
    result = avcodec.avcodec_open2(context, codec, options);
  }
  if (result < 0) return fail(result, ErrorText(result));
  return std::make_unique<TLibAudioEncoder>(context);
}

}  // namespace kelvane
