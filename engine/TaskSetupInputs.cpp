// Task set-up: opening an input from the pending settings, its streams'
// decoders, and what it leaves for the outputs that follow.
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

namespace {

// The open-error text; a file no demuxer recognises with confidence is an
// unknown format, not a header that failed to parse.
std::string OpenInputErrorText(const std::string& file_name, int code, bool forced_format) {
  if (code == AVERROR_INVALIDDATA && !forced_format) {
    std::ifstream file(file_name, std::ios::binary);
    std::vector<unsigned char> head(4096 + AVPROBE_PADDING_SIZE, 0);
    file.read(reinterpret_cast<char*>(head.data()), 4096);
    AVProbeData probe{};
    probe.filename = file_name.c_str();
    probe.buf = head.data();
    probe.buf_size = int(file.gcount());
    int score = AVPROBE_SCORE_RETRY;
    if (!avformat.av_probe_input_format2(&probe, 1, &score)) code = AVERROR_DEMUXER_NOT_FOUND;
  }
  return ErrorText(file_name, code);
}

}  // namespace

// ---- OpenInput ----

// Demuxer parameters from the pending settings (rates, sizes, device settings).
AVDictionaryPtr TCustomFFmpeg::InputParameters() const {
  AVDictionary* raw = nullptr;
  auto set = [&](const char* key, const std::string& value) {
    avutil.av_dict_set(&raw, key, value.c_str(), 0);
  };
  if (Pending.audio_sample_rate > 0) set("sample_rate", std::to_string(Pending.audio_sample_rate));
  if (Pending.audio_channels > 0) set("channels", std::to_string(Pending.audio_channels));
  if (Pending.frame_rate.num > 0 && Pending.frame_rate.den > 0) {
    set("framerate", FormatText("%d/%d", Pending.frame_rate.num, Pending.frame_rate.den));
  }
  int width = Pending.frame_width + Settings.pad_left + Settings.pad_right;
  int height = Pending.frame_height + Settings.pad_top + Settings.pad_bottom;
  if (width > 0 && height > 0) set("video_size", FormatText("%dx%d", width, height));
  if (Pending.frame_pix_fmt != AV_PIX_FMT_NONE) {
    if (const char* name = avutil.av_get_pix_fmt_name(Pending.frame_pix_fmt)) set("pixel_format", name);
  }
  if (Pending.video_channel) set("channel", std::to_string(Pending.video_channel));
  if (!Pending.video_standard.empty()) set("standard", Pending.video_standard);
  if (Pending.loop_input) set("loop", "1");
  return AVDictionaryPtr(raw);
}

// The decoders the options name, by kind; raises for an unknown name.
TForcedDecoders TCustomFFmpeg::ForcedDecoders() const {
  TForcedDecoders forced{};
  for (int kind = skVideo; kind <= skSubtitle; ++kind) {
    if (!Pending.codec_name[kind].empty()) {
      forced[kind] = FindCodecByName(Pending.codec_name[kind], MediaTypeOf(kind), false);
    }
  }
  return forced;
}

// The context the input is opened into: option defaults and forced decoders.
void TCustomFFmpeg::PrepareInputContext(AVFormatContext* prepared,
                                        const TForcedDecoders& forced) const {
  if (OptionDefaults) {
    OptionDefaults->ApplyOptionDefaults(prepared, OptionDefaults->FormatTemplate(),
                                        kOptionDecoding);
  }
  if (forced[skVideo]) {
    prepared->video_codec_id = forced[skVideo]->id;
    prepared->video_codec = forced[skVideo];
  }
  if (Pending.pgmyuv) prepared->video_codec_id = AV_CODEC_ID_PGMYUV;
  if (forced[skAudio]) {
    prepared->audio_codec_id = forced[skAudio]->id;
    prepared->audio_codec = forced[skAudio];
  }
  if (forced[skSubtitle]) {
    prepared->subtitle_codec_id = forced[skSubtitle]->id;
    prepared->subtitle_codec = forced[skSubtitle];
  }
  prepared->flags |= AVFMT_FLAG_NONBLOCK;
}

bool TCustomFFmpeg::OpenInput(const std::string& file_name) {
  AVFormatContextPtr prepared(avformat.avformat_alloc_context());
  if (!prepared) throw FFmpegException("avformat_alloc_context failed");
  AVDictionaryPtr parameters = InputParameters();
  TForcedDecoders forced{};
  try {
    forced = ForcedDecoders();
  } catch (const FFmpegException& error) {
    LastError = error.what();
    return false;
  }
  PrepareInputContext(prepared.get(), forced);

  auto file = std::make_unique<TInputFile>();
  file->file_name = file_name;
  int error = 0;
  {
    // The demuxer takes the parameters it knows and leaves the rest.
    TPointerLoan loan(parameters);
    error = OpenInputContext(ToLibraryFileName(file_name), Pending.input_format, loan.Address(),
                             file->context, prepared.release());
  }
  if (error < 0) {
    LastError = OpenInputErrorText(file_name, error, Pending.input_format != nullptr);
    Pending.input_format = nullptr;
    Pending.output_format = nullptr;
    for (auto& name : Pending.codec_name) name.clear();
    return false;
  }
  AVFormatContext* ic = file->context.Get();

  if (Settings.program_id_set) {
    for (unsigned i = 0; i < ic->nb_programs; ++i) {
      if (ic->programs[i]->id != Settings.program_id) ic->programs[i]->discard = AVDISCARD_ALL;
    }
  }
  {
    std::lock_guard<std::mutex> lock(CodecLock());
    error = avformat.avformat_find_stream_info(ic, nullptr);
  }
  if (error < 0 && Verbosity >= 0) {
    LastError = FormatText("%s: could not find codec parameters", file_name.c_str());
    Log(llVerbose, LastError);
    return false;
  }

  // A start given before the input seeks it (to the key frame before).
  const int64_t timestamp = Settings.start_time + InputOrigin(ic);
  if (Settings.start_time != 0) {
    SeekKeyFrame(ic, timestamp);
    Settings.start_time = 0;
  }

  file->streams.resize(ic->nb_streams);
  for (unsigned i = 0; i < ic->nb_streams; ++i) {
    SetUpInputStream(file->streams[i], ic, i, forced);
  }
  AddInputFile(std::move(file), timestamp);
  return true;
}

// One input stream: its decoder context, and what its kind leaves in the
// pending settings for the outputs that follow.
void TCustomFFmpeg::SetUpInputStream(TInputStream& in, AVFormatContext* ic, unsigned index,
                                     const TForcedDecoders& forced) {
  AVStream* st = ic->streams[index];
  in.stream = st;
  AVMediaType type = st->codecpar->codec_type;
  const AVCodec* chosen = nullptr;
  if (type == AVMEDIA_TYPE_VIDEO) chosen = forced[skVideo];
  if (type == AVMEDIA_TYPE_AUDIO) chosen = forced[skAudio];
  if (type == AVMEDIA_TYPE_SUBTITLE) chosen = forced[skSubtitle];
  const AVCodec* decoder = chosen ? chosen : avcodec.avcodec_find_decoder(st->codecpar->codec_id);
  in.decoder_context.reset(avcodec.avcodec_alloc_context3(decoder));
  if (!in.decoder_context) throw FFmpegException("avcodec_alloc_context3 failed");
  AVCodecContext* dec = in.decoder_context.get();
  if (avcodec.avcodec_parameters_to_context(dec, st->codecpar) < 0) {
    throw FFmpegException("avcodec_parameters_to_context failed");
  }
  dec->pkt_timebase = st->time_base;
  dec->thread_count = Pending.thread_count;
  switch (type) {
    case AVMEDIA_TYPE_VIDEO:
      TakeInputVideo(ic, index, dec);
      in.chosen_decoder = forced[skVideo];
      if (Pending.disable[skVideo]) {
        st->discard = AVDISCARD_ALL;
      } else if (Pending.video_discard) {
        st->discard = AVDiscard(Pending.video_discard);
      }
      break;
    case AVMEDIA_TYPE_AUDIO:
      if (OptionDefaults) {
        OptionDefaults->ApplyOptionDefaults(dec, OptionDefaults->CodecTemplate(AVMEDIA_TYPE_AUDIO),
                                            kOptionAudio | kOptionDecoding);
      }
      Pending.audio_channel_layout =
          dec->ch_layout.order == AV_CHANNEL_ORDER_NATIVE ? dec->ch_layout.u.mask : 0;
      Pending.audio_channels = dec->ch_layout.nb_channels;
      Pending.audio_sample_rate = dec->sample_rate;
      Pending.audio_sample_fmt = dec->sample_fmt;
      in.chosen_decoder = forced[skAudio];
      if (Pending.disable[skAudio]) st->discard = AVDISCARD_ALL;
      break;
    case AVMEDIA_TYPE_DATA:
      break;
    case AVMEDIA_TYPE_SUBTITLE:
      in.chosen_decoder = forced[skSubtitle];
      if (Pending.disable[skSubtitle]) st->discard = AVDISCARD_ALL;
      break;
    case AVMEDIA_TYPE_ATTACHMENT:
      break;
    default:
      // Unknown streams carry nothing the run can use; they stay unread.
      st->discard = AVDISCARD_ALL;
      break;
  }
}

// An input video stream's picture size, aspect, format and rate become the
// pending ones: an output takes them unless the options say otherwise.
void TCustomFFmpeg::TakeInputVideo(AVFormatContext* ic, unsigned index, AVCodecContext* dec) {
  AVStream* st = ic->streams[index];
  if (OptionDefaults) {
    OptionDefaults->ApplyOptionDefaults(dec, OptionDefaults->CodecTemplate(AVMEDIA_TYPE_VIDEO),
                                        kOptionVideo | kOptionDecoding);
  }
  Pending.frame_width = dec->width;
  Pending.frame_height = dec->height;
  Pending.frame_size_given = false;
  Pending.frame_aspect_given = false;
  Pending.has_display_matrix = StreamDisplayMatrix(st, Pending.display_matrix.data());
  Pending.frame_rotation =
      Pending.has_display_matrix ? MatrixRotation(Pending.display_matrix.data()) : 0;
  AVRational sar = st->sample_aspect_ratio.num ? st->sample_aspect_ratio
                                               : dec->sample_aspect_ratio;
  double ratio = sar.num && sar.den ? av_q2d(sar) : 0.0;
  if (dec->width && dec->height) {
    if (ratio == 0) ratio = 1;
    Pending.frame_aspect_ratio = float(dec->width * ratio / dec->height);
  } else {
    Pending.frame_aspect_ratio = float(ratio != 0 ? ratio : 4.0 / 3.0);
  }
  if (dec->pix_fmt == AV_PIX_FMT_NONE) dec->pix_fmt = AVPixelFormat(0);
  Pending.frame_pix_fmt = dec->pix_fmt;
  AVRational container = st->r_frame_rate;
  AVRational codec_rate = st->avg_frame_rate;
  if (Verbosity >= 0 && container.num && container.den && codec_rate.num && codec_rate.den &&
      av_cmp_q(container, codec_rate) != 0) {
    Log(llInfo,
        FormatText("Seems stream %d codec frame rate differs from container frame rate: "
                   "%2.2f (%d/%d) -> %2.2f (%d/%d)",
                   int(index), av_q2d(codec_rate), codec_rate.num, codec_rate.den,
                   av_q2d(container), container.num, container.den));
  }
  // The library's best guess rather than the container's rate alone: a
  // damaged stream may claim 375 pictures a second while its average is
  // 25, and every picture would then be repeated fifteen times.
  Pending.frame_rate = avformat.av_guess_frame_rate(ic, st, nullptr);
  Pending.frame_rate_given = false;
}

// The opened input joins the task: its duration, its timestamp offset (the
// seek at `timestamp` moves its start to 0) and scales; the pending settings
// for the next input are reset.
void TCustomFFmpeg::AddInputFile(std::unique_ptr<TInputFile> file, int64_t timestamp) {
  AVFormatContext* ic = file->context.Get();
  if (ic->duration != AV_NOPTS_VALUE && ic->duration > 0) {
    file->duration_ms = ic->duration / 1000;
    int32_t duration = int32_t(std::min<int64_t>(file->duration_ms, INT32_MAX));
    if (duration > TotalOutputDuration) TotalOutputDuration = duration;
  }

  file->ts_offset = Settings.copy_ts ? Pending.input_ts_offset : Pending.input_ts_offset - timestamp;
  file->ts_scale = Pending.input_ts_scale;
  Pending.input_ts_scale = {};
  Pending.input_ts_offset = 0;

  const int file_index = int(InputFiles.size());
  if (Verbosity >= 0) avformat.av_dump_format(ic, file_index, file->file_name.c_str(), 0);

  InputFiles.push_back(std::move(file));
  Pending.input_format = nullptr;
  Pending.output_format = nullptr;
  Pending.video_channel = 0;
  for (auto& name : Pending.codec_name) name.clear();
}

}  // namespace kelvane
