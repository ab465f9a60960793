#include "binding/OptionDefaults.h"

#include <cstring>

#include "binding/FFmpegLogger.h"
#include "binding/Text.h"

namespace kelvane {
namespace {

// The option type each codec template takes, in template order; 0 takes any.
constexpr int kTemplateMasks[TOptionDefaults::kCodecTemplates] = {kOptionVideo, kOptionAudio, 0,
                                                                  kOptionSubtitle, 0};
constexpr AVMediaType kTemplateTypes[TOptionDefaults::kCodecTemplates] = {
    AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO, AVMEDIA_TYPE_DATA, AVMEDIA_TYPE_SUBTITLE,
    AVMEDIA_TYPE_ATTACHMENT};

void LogInvalidValue(const std::string& value, const std::string& name) {
  avutil.av_log(nullptr, AV_LOG_ERROR, "Invalid value \"%s\" for option \"%s\"\n", value.c_str(),
                name.c_str());
}

const AVOption* FindOption(void* object, const char* name, int flags = 0) {
  return avutil.av_opt_find(object, name, nullptr, flags, 0);
}

// True when some encoder or muxer of the libraries has a private option `name`.
bool IsPrivateOption(const std::string& name) {
  void* opaque = nullptr;
  while (const AVCodec* codec = avcodec.av_codec_iterate(&opaque)) {
    if (codec->priv_class == nullptr || !avcodec.av_codec_is_encoder(codec)) continue;
    const AVClass* av_class = codec->priv_class;
    if (avutil.av_opt_find2(&av_class, name.c_str(), nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ,
                            nullptr) != nullptr) {
      return true;
    }
  }
  opaque = nullptr;
  while (const AVOutputFormat* format = avformat.av_muxer_iterate(&opaque)) {
    if (format->priv_class == nullptr) continue;
    const AVClass* av_class = format->priv_class;
    if (avutil.av_opt_find2(&av_class, name.c_str(), nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ,
                            nullptr) != nullptr) {
      return true;
    }
  }
  return false;
}

}  // namespace

bool TOptionDefaults::AllocOptionDefaults(int scaler_flags) {
  FreeOptionDefaults();
  for (int i = 0; i < kCodecTemplates; ++i) {
    codec_templates_[i].reset(avcodec.avcodec_alloc_context3(nullptr));
    if (!codec_templates_[i]) {
      FreeOptionDefaults();
      return false;
    }
    codec_templates_[i]->codec_type = kTemplateTypes[i];
  }
  format_template_.reset(avformat.avformat_alloc_context());
  for (int flags : {scaler_flags, scaler_flags | SWS_BICUBIC}) {  // flags may name no method
    scaler_template_.reset(swscale.sws_getContext(16, 16, AV_PIX_FMT_YUV420P, 16, 16,
                                                  AV_PIX_FMT_YUV420P, flags, nullptr, nullptr,
                                                  nullptr));
    if (scaler_template_) break;
  }
  if (!format_template_ || !scaler_template_) {
    FreeOptionDefaults();
    return false;
  }
  return true;
}

void TOptionDefaults::FreeOptionDefaults() {
  for (auto& codec_template : codec_templates_) codec_template.reset();
  format_template_.reset();
  scaler_template_.reset();
  names_.clear();
  private_options_.clear();
}

AVCodecContext* TOptionDefaults::CodecTemplate(AVMediaType type) const {
  for (int i = 0; i < kCodecTemplates; ++i) {
    if (kTemplateTypes[i] == type) return codec_templates_[i].get();
  }
  return nullptr;
}

bool TOptionDefaults::SetOptionDefault(const std::string& name, const std::string& value) {
  if (!Allocated() || Trim(name).empty() || Trim(value).empty()) return false;
  const char* n = name.c_str();
  const char* v = value.c_str();
  const AVOption* option = nullptr;
  int result = 0;
  // Every codec context shares one class: the video template answers for all.
  AVCodecContext* video = codec_templates_[0].get();
  for (int i = 0; i < kCodecTemplates && result >= 0; ++i) {
    const AVOption* found = FindOption(video, n, kTemplateMasks[i]);
    if (found == nullptr) continue;
    option = found;
    result = avutil.av_opt_set(codec_templates_[i].get(), n, v, 0);
  }
  if (option == nullptr) {
    for (void* object : {static_cast<void*>(format_template_.get()),
                         static_cast<void*>(scaler_template_.get())}) {
      option = FindOption(object, n);
      if (option != nullptr) {
        result = avutil.av_opt_set(object, n, v, 0);
        break;
      }
    }
  }
  if (option == nullptr && name.size() > 1) {
    // "ab", "vb", "scodec": an option of one media type named with its letter.
    int index = -1;
    if (name[0] == 'a') index = 1;
    if (name[0] == 'v') index = 0;
    if (name[0] == 's') index = 3;
    if (index >= 0) {
      option = FindOption(codec_templates_[index].get(), n + 1);
      if (option != nullptr) result = avutil.av_opt_set(codec_templates_[index].get(), n + 1, v, 0);
    }
  }
  if (option != nullptr && result < 0) {
    LogInvalidValue(value, name);
    return false;
  }
  if (option == nullptr) {
    if (!IsPrivateOption(name)) return false;
    private_options_.push_back({name, value, false});
    return true;
  }
  names_.push_back(option->name);

  if (video->debug != 0 || format_template_->debug != 0) GetLogger().SetLogLevel(llDebug);
  return true;
}

void TOptionDefaults::ApplyOptionDefaults(void* target, void* template_context,
                                          int flag_mask) const {
  if (target == nullptr || template_context == nullptr) return;
  for (const std::string& name : names_) {
    const AVOption* option = FindOption(template_context, name.c_str());
    if (option == nullptr || (option->flags & flag_mask) != flag_mask) continue;
    uint8_t* text = nullptr;
    if (avutil.av_opt_get(template_context, name.c_str(), 0, &text) < 0 || text == nullptr) {
      continue;
    }
    avutil.av_opt_set(target, name.c_str(), reinterpret_cast<const char*>(text), 0);
    avutil.av_free(text);
  }
}

int TOptionDefaults::ApplyPrivate(void* object, const AVClass* av_class) {
  if (object == nullptr || av_class == nullptr) return 0;
  for (TPrivateOption& option : private_options_) {
    if (FindOption(object, option.name.c_str()) == nullptr) continue;
    int result = avutil.av_opt_set(object, option.name.c_str(), option.value.c_str(), 0);
    if (result < 0) {
      LogInvalidValue(option.value, option.name);
      return result;
    }
    option.used = true;
  }
  return 0;
}

int TOptionDefaults::ApplyOptionDefaultsToEncoderPrivate(AVCodecContext* encoder) {
  if (encoder == nullptr || encoder->codec == nullptr) return 0;
  return ApplyPrivate(encoder->priv_data, encoder->codec->priv_class);
}

int TOptionDefaults::ApplyOptionDefaultsToMuxerPrivate(AVFormatContext* output) {
  if (output == nullptr || output->oformat == nullptr) return 0;
  return ApplyPrivate(output->priv_data, output->oformat->priv_class);
}

std::vector<std::string> TOptionDefaults::UnusedPrivateOptions() const {
  std::vector<std::string> unused;
  for (const TPrivateOption& option : private_options_) {
    if (!option.used) unused.push_back(option.name);
  }
  return unused;
}

}  // namespace kelvane
