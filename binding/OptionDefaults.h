// Library option defaults of one conversion task.
//
// Options the engine does not know itself but the libraries define on their
// codec, format or scaler contexts are not interpreted: they are set on
// template contexts, and later copied onto each real context the task opens,
// filtered by the option's flags (decoding/encoding, audio/video/subtitle).
// Encoder and muxer private options (libx264's "crf", mp4's "movflags", ...)
// live in the codec's or format's own class in today's libraries; a name no
// template knows but some encoder or muxer does is kept aside and applied to the
// chosen encoder or muxer once it is known.
//
// Ownership: the store owns its templates (freed by FreeOptionDefaults or the
// destructor). It needs the engine's libraries loaded while it holds templates.
// Threads: one task's store is used by one thread at a time.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "binding/AVPtr.h"

namespace kelvane {

// Option flags of the libraries, as the masks below combine them.
inline constexpr int kOptionEncoding = AV_OPT_FLAG_ENCODING_PARAM;  // 1
inline constexpr int kOptionDecoding = AV_OPT_FLAG_DECODING_PARAM;  // 2
inline constexpr int kOptionAudio = AV_OPT_FLAG_AUDIO_PARAM;        // 8
inline constexpr int kOptionVideo = AV_OPT_FLAG_VIDEO_PARAM;        // 16
inline constexpr int kOptionSubtitle = AV_OPT_FLAG_SUBTITLE_PARAM;  // 32

class TOptionDefaults {
 public:
  // Codec templates in the libraries' media type order.
  static constexpr int kCodecTemplates = 5;  // video, audio, data, subtitle, attachment

  TOptionDefaults() = default;  // InitOptionDefaults: every field empty
  ~TOptionDefaults() { FreeOptionDefaults(); }
  TOptionDefaults(const TOptionDefaults&) = delete;
  TOptionDefaults& operator=(const TOptionDefaults&) = delete;

  // Creates the seven templates (five codec contexts, a format context, a 16x16
  // scaler context with `scaler_flags`). Returns false when the libraries could
  // not make one; the store is then empty.
  bool AllocOptionDefaults(int scaler_flags);
  // Frees the templates and forgets every stored name.
  void FreeOptionDefaults();
  bool Allocated() const { return format_template_ != nullptr; }

  // Stores `value` for the library option `name`. False for an empty name or
  // value, an unknown name, or a value the option refuses (then logged as
  // "Invalid value \"%s\" for option \"%s\"\n"; earlier values stay).
  bool SetOptionDefault(const std::string& name, const std::string& value);

  // Copies every stored option whose flags contain all bits of `flag_mask` from
  // `template_context` onto `target` (both objects whose first field is their
  // AVClass). Values the target refuses are skipped.
  void ApplyOptionDefaults(void* target, void* template_context, int flag_mask) const;

  // Applies the kept encoder private options that `encoder`'s codec knows to
  // its private data (call after avcodec_alloc_context3(codec), before opening).
  // Returns 0, or the first refusal's AVERROR code (also logged as an invalid
  // value).
  int ApplyOptionDefaultsToEncoderPrivate(AVCodecContext* encoder);
  // The same for a muxer's private options on an output format context.
  int ApplyOptionDefaultsToMuxerPrivate(AVFormatContext* output);
  // Kept private options that no encoder or muxer has taken so far.
  std::vector<std::string> UnusedPrivateOptions() const;

  // The template of a media type (video, audio, data, subtitle, attachment).
  AVCodecContext* CodecTemplate(AVMediaType type) const;
  AVFormatContext* FormatTemplate() const { return format_template_.get(); }
  SwsContext* ScalerTemplate() const { return scaler_template_.get(); }
  // Names stored so far, in order; a name set twice is listed twice.
  const std::vector<std::string>& Names() const { return names_; }

 private:
  struct TTemplateDeleter {  // templates are never opened: no CodecLock needed
    void operator()(AVCodecContext* p) const { avcodec.avcodec_free_context(&p); }
  };
  struct TPrivateOption {
    std::string name;
    std::string value;
    bool used = false;
  };
  int ApplyPrivate(void* object, const AVClass* av_class);

  std::unique_ptr<AVCodecContext, TTemplateDeleter> codec_templates_[kCodecTemplates];
  AVFormatContextPtr format_template_;
  SwsContextPtr scaler_template_;
  std::vector<std::string> names_;
  std::vector<TPrivateOption> private_options_;
};

}  // namespace kelvane
