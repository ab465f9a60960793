// Task set-up: creating an output's video, sound and subtitle streams from
// the pending settings: encoders, picture and sound formats, rates.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <ctime>
#include <fstream>
#include <utility>

#include <sys/stat.h>

#include "binding/FileUtils.h"
#include "binding/KeyFrameSeek.h"
#include "binding/OptionDefaults.h"
#include "binding/PictureRotation.h"
#include "binding/UnicodeProtocol.h"
#include "engine/FFmpeg.h"
#include "engine/OptionValues.h"
#include "engine/TaskSetupLookups.h"
#include "engine/core/AudioEncoder.h"
#include "engine/core/FFmpegException.h"
#include "engine/core/LibraryOwners.h"

namespace kelvane {

using task_setup::FindCodecByName;
using task_setup::MediaTypeOf;
using task_setup::NewStream;

namespace {

// Aspect ratio (display width / height) as a sample aspect ratio of at most
// 255/255 terms.
AVRational SampleAspect(float aspect, int width, int height) {
  double value = width && height ? double(aspect) * height / width : double(aspect) * 3.0 / 4.0;
  if (value <= 0) return AVRational{0, 1};
  return avutil.av_d2q(value, 255);
}

}  // namespace

// ---- output streams ----

namespace {

// `wanted` when an encoder's list of formats (ended by `end`) has it or there
// is no list, else the list's first.
template <typename Format>
Format SupportedFormat(const Format* list, Format end, Format wanted) {
  if (list == nullptr) return wanted;
  for (const Format* p = list; *p != end; ++p) {
    if (*p == wanted) return wanted;
  }
  return list[0];
}

// The encoder's quantiser matrix: a copy the codec context owns, or none.
uint16_t* CopyMatrix(const std::vector<uint16_t>& matrix) {
  if (matrix.size() != 64) return nullptr;
  auto* copy = static_cast<uint16_t*>(avutil.av_malloc(64 * sizeof(uint16_t)));
  if (copy) std::memcpy(copy, matrix.data(), 64 * sizeof(uint16_t));
  return copy;
}

// "start,end,q/start,end,q/...": q > 0 a quantiser, else a quality factor of
// -q/100. The table goes to the encoder context, which owns it.
void SetRcOverride(AVCodecContext* enc, const std::string& text) {
  std::vector<RcOverride> overrides;
  const char* p = text.c_str();
  while (*p) {
    int start = 0, end = 0, q = 0;
    if (std::sscanf(p, "%d,%d,%d", &start, &end, &q) != 3) {
      throw FFmpegException("error parsing rc_override");
    }
    RcOverride entry{};
    entry.start_frame = start;
    entry.end_frame = end;
    if (q > 0) {
      entry.qscale = q;
      entry.quality_factor = 1.0f;
    } else {
      entry.qscale = 0;
      entry.quality_factor = -q / 100.0f;
    }
    overrides.push_back(entry);
    p = std::strchr(p, '/');
    if (!p) break;
    ++p;
  }
  if (overrides.empty()) return;
  auto* table = static_cast<RcOverride*>(avutil.av_malloc(overrides.size() * sizeof(RcOverride)));
  if (!table) throw FFmpegException("error parsing rc_override");
  std::memcpy(table, overrides.data(), overrides.size() * sizeof(RcOverride));
  enc->rc_override = table;
  enc->rc_override_count = int(overrides.size());
}

}  // namespace

// The encoder a new stream of `kind` takes: the one the options name, else the
// one for the codec the format guesses from the file name (never for
// subtitles). A copied stream takes none. Returns the codec id.
AVCodecID TCustomFFmpeg::ChooseEncoder(TOutputStream& out, const TOutputFile& file,
                                       TStreamKind kind) {
  if (out.stream_copy) return AV_CODEC_ID_NONE;
  const std::string& name = Pending.codec_name[kind];
  if (kind == skAudio && !name.empty() && IsAmrNbEncoderName(name) &&
      !avcodec.avcodec_find_encoder_by_name(name.c_str())) {
    // AMR-NB is encoded by libopencore-amrnb beside the codec library: the
    // stream carries the codec id and no library encoder.
    std::string error;
    if (!LoadAmrNbLibrary(&error)) throw FFmpegException(error);
    out.encoder_named = true;
    return AV_CODEC_ID_AMR_NB;
  }
  if (!name.empty()) {
    out.encoder = FindCodecByName(name, MediaTypeOf(kind), true);
    out.encoder_named = true;
    return out.encoder->id;
  }
  if (kind == skSubtitle) return AV_CODEC_ID_NONE;
  AVCodecID codec_id = avformat.av_guess_codec(file.context->oformat, nullptr,
                                               file.library_name.c_str(), nullptr,
                                               MediaTypeOf(kind));
  out.encoder = avcodec.avcodec_find_encoder(codec_id);
  return codec_id;
}

// What every new output stream starts with: the stream, its encoder and
// encoder context, the pending bitstream filters, threads and codec tag.
TOutputStream TCustomFFmpeg::BeginStream(TOutputFile& file, TStreamKind kind,
                                         AVCodecID& codec_id) {
  TOutputStream out;
  out.stream = NewStream(file);
  out.stream_copy = Pending.stream_copy[kind];
  codec_id = ChooseEncoder(out, file, kind);
  out.encoder_context.reset(avcodec.avcodec_alloc_context3(out.encoder));
  if (!out.encoder_context) throw FFmpegException("avcodec_alloc_context3 failed");
  AVCodecContext* enc = out.encoder_context.get();
  enc->codec_type = MediaTypeOf(kind);
  out.bitstream_filters = std::move(Pending.bitstream_filters[kind]);
  Pending.bitstream_filters[kind].clear();
  if (kind != skSubtitle) enc->thread_count = Pending.thread_count;
  if (Pending.codec_tag[kind]) enc->codec_tag = Pending.codec_tag[kind];
  return out;
}

// The stream joins its file with its private options; the next stream of its
// kind starts from fresh settings.
void TCustomFFmpeg::FinishStream(TOutputFile& file, TOutputStream out, TStreamKind kind) {
  file.streams.push_back(std::move(out));
  ApplyPrivateOptions(file.streams.back());
  Pending.disable[kind] = false;
  Pending.codec_name[kind].clear();
  Pending.stream_copy[kind] = false;
}

void TCustomFFmpeg::NewVideoStream(TOutputFile& file) {
  AVFormatContext* oc = file.context.Get();
  AVCodecID codec_id = AV_CODEC_ID_NONE;
  TOutputStream out = BeginStream(file, skVideo, codec_id);
  AVCodecContext* enc = out.encoder_context.get();

  AVCodecContext* video_template =
      OptionDefaults ? OptionDefaults->CodecTemplate(AVMEDIA_TYPE_VIDEO) : nullptr;
  if ((Pending.video_global_header & 1) ||
      (Pending.video_global_header == 0 && (oc->oformat->flags & AVFMT_GLOBALHEADER))) {
    enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (video_template) video_template->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  }
  if (Pending.video_global_header & 2) {
    enc->flags2 |= AV_CODEC_FLAG2_LOCAL_HEADER;
    if (video_template) video_template->flags2 |= AV_CODEC_FLAG2_LOCAL_HEADER;
  }

  // A source stored on its side: copied or kept as stored, the output says
  // how to turn it, as the source did; turned pictures need no such word.
  if (!out.stream_copy && Pending.upright_pictures) out.rotation = Pending.frame_rotation;
  if (Pending.has_display_matrix && out.rotation == 0 &&
      !SetStreamDisplayMatrix(out.stream, Pending.display_matrix.data())) {
    throw FFmpegException("av_mallocz fail");
  }
  if (out.stream_copy) {
    AVRational sar = SampleAspect(Pending.frame_aspect_ratio, Pending.frame_width,
                                  Pending.frame_height);
    out.stream->sample_aspect_ratio = sar;
    enc->sample_aspect_ratio = sar;
  } else {
    enc->codec_id = codec_id;
    if (OptionDefaults) {
      OptionDefaults->ApplyOptionDefaults(enc, video_template, kOptionVideo | kOptionEncoding);
    }
    ConfigureVideoPictures(out);
    ConfigureVideoRates(out);
  }
  FinishStream(file, std::move(out), skVideo);
}

// A re-encoded video stream's rate, size, aspect and picture format.
void TCustomFFmpeg::ConfigureVideoPictures(TOutputStream& out) {
  AVCodecContext* enc = out.encoder_context.get();
  AVRational rate = Pending.frame_rate.num && Pending.frame_rate.den ? Pending.frame_rate
                                                                     : AVRational{25, 1};
  if (out.encoder && out.encoder->supported_framerates && !Pending.force_fps) {
    rate = out.encoder->supported_framerates[avutil.av_find_nearest_q_idx(
        rate, out.encoder->supported_framerates)];
  }
  enc->framerate = rate;
  enc->time_base = AVRational{rate.den, rate.num};
  out.stream->time_base = enc->time_base;
  // Turned pictures are upright: the input's size and shape turn with them
  // unless the options gave their own.
  int width = Pending.frame_width;
  int height = Pending.frame_height;
  float aspect = Pending.frame_aspect_ratio;
  if (TurnSwapsSides(out.rotation)) {
    if (!Pending.frame_size_given) std::swap(width, height);
    if (!Pending.frame_aspect_given && aspect > 0) aspect = 1.0f / aspect;
  }
  enc->width = width + Settings.pad_left + Settings.pad_right;
  enc->height = height + Settings.pad_top + Settings.pad_bottom;
  AVRational sar = SampleAspect(aspect, enc->width, enc->height);
  enc->sample_aspect_ratio = sar;
  out.stream->sample_aspect_ratio = sar;
  enc->pix_fmt = Pending.frame_pix_fmt;
  if (out.encoder) {
    const AVPixelFormat wanted = enc->pix_fmt;
    enc->pix_fmt = SupportedFormat(out.encoder->pix_fmts, AV_PIX_FMT_NONE, wanted);
    if (enc->pix_fmt != wanted && wanted != AV_PIX_FMT_NONE) {
      // The encoder's format that loses the least: a 10-bit source stays
      // 10-bit where the encoder takes 10 bits.
      enc->pix_fmt =
          avcodec.avcodec_find_best_pix_fmt_of_list(out.encoder->pix_fmts, wanted, 0, nullptr);
    }
  }
  out.source_times = !Pending.frame_rate_given &&
                     (Settings.video_sync_method == 0 || Settings.video_sync_method == 2);
  Pending.frame_rate_given = false;
}

// A re-encoded video stream's quality, matrices, rate control and passes.
void TCustomFFmpeg::ConfigureVideoRates(TOutputStream& out) {
  AVCodecContext* enc = out.encoder_context.get();
  if (Pending.intra_only) enc->gop_size = 0;
  if (Pending.video_qscale > 0 || Pending.same_quality) {
    enc->flags |= AV_CODEC_FLAG_QSCALE;
    out.quality = float(FF_QP2LAMBDA) * Pending.video_qscale;
    enc->global_quality = int(out.quality);
  }
  if (!Pending.intra_matrix.empty()) enc->intra_matrix = CopyMatrix(Pending.intra_matrix);
  if (!Pending.inter_matrix.empty()) enc->inter_matrix = CopyMatrix(Pending.inter_matrix);
  SetRcOverride(enc, Pending.video_rc_override);
  if (enc->rc_initial_buffer_occupancy == 0) {
    enc->rc_initial_buffer_occupancy = int(int64_t(enc->rc_buffer_size) * 3 / 4);
  }
  enc->intra_dc_precision = Pending.intra_dc_precision - 8;
  if (Settings.do_psnr) enc->flags |= AV_CODEC_FLAG_PSNR;
  if (Settings.do_pass == 1) enc->flags |= AV_CODEC_FLAG_PASS1;
  if (Settings.do_pass == 2) enc->flags |= AV_CODEC_FLAG_PASS2;
  Settings.requested_width = enc->width - Settings.pad_left - Settings.pad_right;
  Settings.requested_height = enc->height - Settings.pad_top - Settings.pad_bottom;
}

namespace {

// `channels` channels in the layout of `mask` when it has that many, else in
// the default layout for the count.
void SetChannelLayout(AVCodecContext* enc, int channels, uint64_t mask) {
  avutil.av_channel_layout_uninit(&enc->ch_layout);
  TChannelLayout layout;
  if (mask && avutil.av_channel_layout_from_mask(layout.get(), mask) == 0 &&
      layout->nb_channels == channels) {
    layout.MoveTo(&enc->ch_layout);
  } else {
    avutil.av_channel_layout_default(&enc->ch_layout, channels);
  }
}

}  // namespace

// Copied sound in a smart copy begins with the packet that reaches into the
// cut; MP4's edit list trims what lies before the first picture. Containers
// that cannot say so get the sound re-encoded in the source's codec (at the
// source's bit rate), cut exactly like the pictures. So do the parts of a
// joined file: no container trims sound in the middle of a stream. Null: copy it.
const AVCodecParameters* TCustomFFmpeg::SmartSoundToEncode(const AVOutputFormat* format) const {
  if (!Settings.smart_copy || !Pending.stream_copy[skAudio] || InputFiles.empty()) return nullptr;
  const bool parts = InputFiles.size() > 1 && InputFiles.back()->part_length > 0;
  if (!parts && avutil.av_match_name(format->name, "mp4,mov,ipod,3gp,3g2,psp,ismv,f4v"))
    return nullptr;
  for (const TInputStream& input : InputFiles.back()->streams) {
    const AVCodecParameters* par = input.stream->codecpar;
    if (par->codec_type == AVMEDIA_TYPE_AUDIO) return par;
  }
  return nullptr;
}

void TCustomFFmpeg::NewAudioStream(TOutputFile& file) {
  AVFormatContext* oc = file.context.Get();
  AVCodecID codec_id = AV_CODEC_ID_NONE;
  const AVCodecParameters* reencode = SmartSoundToEncode(oc->oformat);
  if (reencode != nullptr) {
    const AVCodec* same = avcodec.avcodec_find_encoder(reencode->codec_id);
    if (same == nullptr)
      throw FFmpegException(FormatText("No %s encoder: the cut's sound cannot be trimmed in %s",
                                       avcodec.avcodec_get_name(reencode->codec_id),
                                       oc->oformat->name));
    Pending.stream_copy[skAudio] = false;
    Pending.codec_name[skAudio] = same->name;
  }
  TOutputStream out = BeginStream(file, skAudio, codec_id);
  AVCodecContext* enc = out.encoder_context.get();
  if (reencode != nullptr && reencode->bit_rate > 0) enc->bit_rate = reencode->bit_rate;
  if (oc->oformat->flags & AVFMT_GLOBALHEADER) {
    enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (OptionDefaults) {
      OptionDefaults->CodecTemplate(AVMEDIA_TYPE_AUDIO)->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
  }

  if (out.stream_copy) {
    SetChannelLayout(enc, Pending.audio_channels, 0);
  } else {
    enc->codec_id = codec_id;
    if (OptionDefaults) {
      OptionDefaults->ApplyOptionDefaults(enc, OptionDefaults->CodecTemplate(AVMEDIA_TYPE_AUDIO),
                                          kOptionAudio | kOptionEncoding);
    }
    if (Pending.audio_qscale > NoAudioQuality) {
      enc->flags |= AV_CODEC_FLAG_QSCALE;
      out.quality = float(FF_QP2LAMBDA) * Pending.audio_qscale;
      enc->global_quality = int(out.quality);
    }
    SetChannelLayout(enc, Pending.audio_channels, Pending.audio_channel_layout);
    enc->sample_fmt = Pending.audio_sample_fmt;
    if (out.encoder) {
      enc->sample_fmt = SupportedFormat(out.encoder->sample_fmts, AV_SAMPLE_FMT_NONE,
                                        enc->sample_fmt);
    }
  }
  enc->sample_rate = Pending.audio_sample_rate;
  if (enc->sample_rate > 0) {
    enc->time_base = AVRational{1, enc->sample_rate};
    out.stream->time_base = enc->time_base;
  }
  if (!Pending.audio_language.empty()) {
    avutil.av_dict_set(&out.stream->metadata, "language", Pending.audio_language.c_str(), 0);
    Pending.audio_language.clear();
  }
  FinishStream(file, std::move(out), skAudio);
}

void TCustomFFmpeg::NewSubtitleStream(TOutputFile& file) {
  AVCodecID codec_id = AV_CODEC_ID_NONE;
  TOutputStream out = BeginStream(file, skSubtitle, codec_id);
  AVCodecContext* enc = out.encoder_context.get();
  if (!out.stream_copy) {
    if (OptionDefaults) {
      OptionDefaults->ApplyOptionDefaults(enc,
                                          OptionDefaults->CodecTemplate(AVMEDIA_TYPE_SUBTITLE),
                                          kOptionSubtitle | kOptionEncoding);
    }
    enc->codec_id = codec_id;
  }
  if (!Pending.subtitle_language.empty()) {
    avutil.av_dict_set(&out.stream->metadata, "language", Pending.subtitle_language.c_str(), 0);
    Pending.subtitle_language.clear();
  }
  FinishStream(file, std::move(out), skSubtitle);
}

}  // namespace kelvane
