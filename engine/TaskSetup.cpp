// Task set-up: applying the option records, opening inputs, adding outputs and
// creating output streams from the pending settings.
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
#include "engine/core/AudioEncoder.h"
#include "engine/core/FFmpegException.h"
#include "engine/core/LibraryOwners.h"

namespace kelvane {

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

// Decoder or encoder by name, checked against the media type.
const AVCodec* FindCodecByName(const std::string& name, AVMediaType type, bool encoder) {
  const char* what = encoder ? "encoder" : "decoder";
  const AVCodec* codec = encoder ? avcodec.avcodec_find_encoder_by_name(name.c_str())
                                 : avcodec.avcodec_find_decoder_by_name(name.c_str());
  if (!codec) RaiseFFmpeg("Unknown %s '%s'", what, name.c_str());
  if (codec->type != type) RaiseFFmpeg("Invalid %s type '%s'", what, name.c_str());
  return codec;
}

AVMediaType MediaTypeOf(int kind) {
  static const AVMediaType kTypes[3] = {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO,
                                        AVMEDIA_TYPE_SUBTITLE};
  return kTypes[kind];
}

bool HasResizingFilter(const std::string& chain) {
  std::string lower = LowerCase(chain);
  size_t position = 0;
  while (position <= lower.size()) {
    size_t end = lower.find(',', position);
    if (end == std::string::npos) end = lower.size();
    std::string element = lower.substr(position, end - position);
    std::string name = element.substr(0, element.find('='));
    if (!name.empty() && std::string(",crop,rotate,scale,transpose,").find("," + name + ",") !=
                             std::string::npos) {
      return true;
    }
    position = end + 1;
  }
  return false;
}

// Aspect ratio (display width / height) as a sample aspect ratio of at most
// 255/255 terms.
AVRational SampleAspect(float aspect, int width, int height) {
  double value = width && height ? double(aspect) * height / width : double(aspect) * 3.0 / 4.0;
  if (value <= 0) return AVRational{0, 1};
  return avutil.av_d2q(value, 255);
}

// Seconds east of UTC of the local standard time at `when`: a summer-time
// offset is one hour larger.
long StandardTimeOffset(time_t when) {
  struct tm local {};
  localtime_r(&when, &local);
  return local.tm_gmtoff - (local.tm_isdst > 0 ? 3600 : 0);
}

// Date-time (days since 30 December 1899, local standard time) to seconds since 1970.
int64_t DateTimeToUnix(double date_time) {
  double offset_days = double(StandardTimeOffset(time(nullptr))) / 86400.0;
  return std::llround((date_time - 25569.0 - offset_days) * 86400.0);
}

double NowAsDateTime() {
  time_t now = time(nullptr);
  return 25569.0 + (double(now) + StandardTimeOffset(now)) / 86400.0;
}

std::string IsoTime(int64_t unix_seconds) {
  time_t value = time_t(unix_seconds);
  struct tm utc {};
  gmtime_r(&value, &utc);
  char text[32];
  strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S.000000Z", &utc);
  return text;
}

}  // namespace

// ---- AddTask and SetOutput ----

namespace {

std::string Number(int64_t value) { return std::to_string(value); }

}  // namespace

bool TFFmpeg::SetUpInput(const std::string& file_name, const TInputOptions* options) {
  if (options) {
    InputOptions = *options;
    if (InputOptions.FileName.empty()) InputOptions.FileName = file_name;
    ApplyOptionLines(InputOptions.ExtOptions, ogGeneral);
    if (!InputOptions.FileFormat.empty()) SetInputFormat(InputOptions.FileFormat);
    if (InputOptions.StartTime > 0) Settings.start_time = int64_t(InputOptions.StartTime) * 1000;
    if (InputOptions.StartTimeUs > 0) Settings.start_time = InputOptions.StartTimeUs;
    if (InputOptions.ProgramID >= 0) {
      Settings.program_id = InputOptions.ProgramID;
      Settings.program_id_set = true;
    }
  } else {
    InputOptions = TInputOptions();
  }
  if (!OpenInput(file_name)) return false;
  // A join's part of this input and its chapter's title.
  if (InputOptions.JoinLengthUs > 0) InputFiles.back()->part_length = InputOptions.JoinLengthUs;
  InputFiles.back()->part_title = InputOptions.JoinTitle;
  return true;
}

bool TFFmpeg::SetUpOutput(const std::string& file_name, const TOutputOptions* options,
                          const std::function<void(bool custom, bool before)>& connect_hooks) {
  if (!options) {
    OutputOptions = TOutputOptions();
    return AddOutput(file_name, false) >= 0;
  }
  OutputOptions = *options;
  const TOutputOptions& o = OutputOptions;
  if (OutputOptions.FileName.empty()) OutputOptions.FileName = file_name;

  if (o.Target >= 1 && o.Target <= 3) {
    static const char* const kTypes[] = {"vcd", "svcd", "dvd"};
    std::string norm = o.TargetNorm == 1 ? "pal-" : o.TargetNorm == 2 ? "ntsc-" : "";
    ApplyTarget(norm + kTypes[o.Target - 1], o.TargetFallbackNorm == 1 ? "pal" : "ntsc");
  }
  // The records' encoders are known while the lines are read, so that an
  // encoder's own options ("preset", "crf", "profile") go to that encoder;
  // the records still win over a codec the lines name (set again below).
  SetCodecName(skAudio, o.AudioCodec);
  SetCodecName(skVideo, o.VideoCodec);
  ApplyOptionLines(o.ExtOptions, ogGeneral);

  if (!o.FileFormat.empty()) SetOutputFormat(o.FileFormat);
  if (o.PacketSize > 0) SetOptionDefault("packetsize", Number(o.PacketSize));
  if (o.MuxRate > 0) SetOptionDefault("muxrate", Number(o.MuxRate));
  if (o.MuxDelay > 0) Pending.mux_max_delay = o.MuxDelay;
  if (o.MuxPreload > 0) Pending.mux_preload = o.MuxPreload;
  ApplyOutputAudio(o);
  ApplyOutputVideo(o);
  SetCodecName(skSubtitle, o.SubtitleCodec);
  ApplyPreset('s', o.SubtitlePreset);
  Pending.disable[skSubtitle] = o.DisableSubtitle;
  Pending.subtitle_language = o.SubtitleLanguage;
  Settings.copy_ts = o.CopyTimestamps;
  ApplyOutputTimes(o);
  ApplyOutputMetadata(o.Metadata);

  ApplyOptionLines(o.ExtOptions, ogPreset);

  if (o.CustomHook || o.BeforeHook) {
    if (connect_hooks) connect_hooks(o.CustomHook, !o.CustomHook && o.BeforeHook);
  } else {
    SetHookRanges(o.HookRanges);
  }

  if (AddOutput(file_name, o.Join) < 0) return false;
  ApplyOptionLines(o.ExtOptions, ogNewStream);
  return true;
}

void TFFmpeg::ApplyOutputAudio(const TOutputOptions& o) {
  SetCodecName(skAudio, o.AudioCodec);
  ApplyPreset('a', o.AudioPreset);
  Pending.disable[skAudio] = o.DisableAudio;
  if (o.AudioVolume >= 0) Settings.audio_volume = o.AudioVolume;
  if (o.AudioChannels > 0) Pending.audio_channels = o.AudioChannels;
  if (o.AudioSampleRate > 0) Pending.audio_sample_rate = o.AudioSampleRate;
  if (o.AudioBitrate > 0) SetOptionDefault("ab", Number(o.AudioBitrate));
  if (o.AudioBitrateTolerance > 0) SetOptionDefault("abt", Number(o.AudioBitrateTolerance));
  Pending.audio_language = o.AudioLanguage;
  Settings.audio_sync_method = o.AudioSync;
  SetCodecTag(skAudio, o.AudioTag);
}

void TFFmpeg::ApplyOutputVideo(const TOutputOptions& o) {
  SetCodecName(skVideo, o.VideoCodec);
  ApplyPreset('v', o.VideoPreset);
  Pending.disable[skVideo] = o.DisableVideo;
  SetFrameRate(o.FrameRate);
  if (!o.FrameSize.empty()) SetFrameSize(o.FrameSize);
  if (!o.AspectRatio.empty()) SetAspectRatio(o.AspectRatio);
  if (o.CropTop >= 0) SetCrop("croptop", Number(o.CropTop));
  if (o.CropBottom >= 0) SetCrop("cropbottom", Number(o.CropBottom));
  if (o.CropLeft >= 0) SetCrop("cropleft", Number(o.CropLeft));
  if (o.CropRight >= 0) SetCrop("cropright", Number(o.CropRight));
  if (o.PadTop >= 0) SetPad("padtop", Number(o.PadTop));
  if (o.PadBottom >= 0) SetPad("padbottom", Number(o.PadBottom));
  if (o.PadLeft >= 0) SetPad("padleft", Number(o.PadLeft));
  if (o.PadRight >= 0) SetPad("padright", Number(o.PadRight));
  SetPadColor(o.PadColor & 0xffffff);
  // The group size option is called "g" in today's codec library.
  if (o.GopSize > 0) SetOptionDefault("g", Number(o.GopSize));
  if (o.VideoBitrate > 0) SetOptionDefault("vb", Number(o.VideoBitrate));
  if (o.VideoMaxRate > 0) SetOptionDefault("maxrate", Number(o.VideoMaxRate));
  if (o.VideoMinRate > 0) SetOptionDefault("minrate", Number(o.VideoMinRate));
  if (o.VideoBitrateTolerance > 0) SetOptionDefault("bt", Number(o.VideoBitrateTolerance));
  if (o.VideoBufferSize > 0) SetOptionDefault("bufsize", Number(o.VideoBufferSize));
  Settings.video_sync_method = o.VideoSync;
  SetCodecTag(skVideo, o.VideoTag);
  if (!o.VideoFilters.empty()) Settings.filter_description = o.VideoFilters;
  Pending.upright_pictures = o.UprightPictures;
}

// Start and length of the output, in milliseconds or microseconds (these win).
void TFFmpeg::ApplyOutputTimes(const TOutputOptions& o) {
  if (o.StartTime > 0) Settings.start_time = int64_t(o.StartTime) * 1000;
  if (o.StartTimeUs > 0) Settings.start_time = o.StartTimeUs;
  if (o.RecordingTime > 0) {
    Settings.recording_time = int64_t(o.RecordingTime) * 1000;
    TotalOutputDuration = o.RecordingTime;
  }
  if (o.RecordingTimeUs > 0) {
    Settings.recording_time = o.RecordingTimeUs;
    TotalOutputDuration = int32_t(o.RecordingTimeUs / 1000);
  }
}

// The output's metadata; a time stamp of 0 stands for now.
void TFFmpeg::ApplyOutputMetadata(const TStreamInfo& m) {
  if (m.Timestamp == 0.0) {
    Pending.recording_timestamp = DateTimeToUnix(NowAsDateTime());
  } else if (m.Timestamp > 0) {
    Pending.recording_timestamp = DateTimeToUnix(m.Timestamp);
  }
  if (m.Year > 0) SetMetadata("year=" + Number(m.Year));
  if (m.Track > 0) SetMetadata("track=" + Number(m.Track));
  const std::pair<const char*, const std::string*> texts[] = {
      {"title", &m.Title},     {"author", &m.Author}, {"copyright", &m.Copyright},
      {"comment", &m.Comment}, {"album", &m.Album},   {"genre", &m.Genre}};
  for (const auto& [key, text] : texts) {
    if (!text->empty()) SetMetadata(std::string(key) + "=" + *text);
  }
}

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

// ---- AddOutput ----

// Why the crop, pad and filter settings cannot go together, or "".
std::string TCustomFFmpeg::FilterConflict() const {
  bool crop = Settings.crop_top || Settings.crop_bottom || Settings.crop_left ||
              Settings.crop_right;
  bool pad = Settings.pad_top || Settings.pad_bottom || Settings.pad_left || Settings.pad_right;
  if (!Settings.filter_description.empty() && crop) {
    return "Cannot enable crop options and filters at the same time.";
  }
  if (pad && HasResizingFilter(Settings.filter_description)) {
    return "Cannot enable pad options and the filters which resize frame at the same time. "
           "(crop, rotate, scale, transpose, etc.)";
  }
  return "";
}

// Which kinds of stream an output of `format` gets: those the format or the
// options ask for, that the inputs have (the first alone when joining) and
// that are not disabled. "" or why the inputs cannot be told.
std::string TCustomFFmpeg::StreamKinds(const AVOutputFormat* format, bool join,
                                       std::array<bool, 3>& use) const {
  const AVCodecID format_codecs[3] = {format->video_codec, format->audio_codec,
                                      format->subtitle_codec};
  for (int kind = skVideo; kind <= skSubtitle; ++kind) {
    use[kind] = Pending.stream_copy[kind] || format_codecs[kind] != AV_CODEC_ID_NONE ||
                !Pending.codec_name[kind].empty();
  }
  if (!InputFiles.empty()) {
    bool present[3] = {false, false, false};
    size_t files = join ? 1 : InputFiles.size();
    for (size_t f = 0; f < files; ++f) {
      for (const TInputStream& in : InputFiles[f]->streams) {
        switch (in.stream->codecpar->codec_type) {
          case AVMEDIA_TYPE_VIDEO: present[skVideo] = true; break;
          case AVMEDIA_TYPE_AUDIO: present[skAudio] = true; break;
          case AVMEDIA_TYPE_SUBTITLE: present[skSubtitle] = true; break;
          case AVMEDIA_TYPE_DATA:
          case AVMEDIA_TYPE_ATTACHMENT:
            break;
          default:
            return "check_audio_video_sub_inputs fail: invalid codec_type of input file";
        }
      }
    }
    for (int kind = 0; kind < 3; ++kind) use[kind] = use[kind] && present[kind];
  }
  for (int kind = 0; kind < 3; ++kind) use[kind] = use[kind] && !Pending.disable[kind];
  return "";
}

// Creates (truncates) the output file, never one the task reads from. "" or
// the reason it cannot be opened.
std::string TCustomFFmpeg::OpenOutputFile(TOutputFile& file) const {
  const std::string& file_name = file.file_name;
  struct stat target {};
  if (stat(file_name.c_str(), &target) == 0) {
    for (const auto& input : InputFiles) {
      struct stat source {};
      if (stat(input->file_name.c_str(), &source) == 0 && source.st_dev == target.st_dev &&
          source.st_ino == target.st_ino) {
        return FormatText("Output file '%s' is the input file '%s'", file_name.c_str(),
                          input->file_name.c_str());
      }
    }
  }
  if (OpenOutputIO(file.context, file.library_name) < 0) {
    return FormatText("Could not open '%s'", file_name.c_str());
  }
  file.created_file = true;
  return "";
}

// The output's metadata: its creation time and the "metadata" options.
void TCustomFFmpeg::SetOutputMetadata(AVFormatContext* oc) {
  if (Pending.recording_timestamp != 0) {
    avutil.av_dict_set(&oc->metadata, "creation_time",
                       IsoTime(Pending.recording_timestamp).c_str(), 0);
  }
  for (auto pair = Pending.metadata.rbegin(); pair != Pending.metadata.rend(); ++pair) {
    avutil.av_dict_set(&oc->metadata, pair->first.c_str(), pair->second.c_str(), 0);
  }
  Pending.metadata.clear();
}

// The muxer's own settings: delays, loops and option defaults.
void TCustomFFmpeg::ConfigureMuxer(AVFormatContext* oc) const {
  oc->max_delay = int(Pending.mux_max_delay * 1000000);
  if (oc->priv_data) {
    // Muxers that know these take them (the MPEG muxers' preload, GIF's loop).
    avutil.av_opt_set_int(oc->priv_data, "preload", int64_t(Pending.mux_preload * 1000000), 0);
    if (Pending.loop_output >= 0) avutil.av_opt_set_int(oc->priv_data, "loop", Pending.loop_output, 0);
  }
  oc->flags |= AVFMT_FLAG_NONBLOCK;
  if (OptionDefaults) {
    OptionDefaults->ApplyOptionDefaults(oc, OptionDefaults->FormatTemplate(), kOptionEncoding);
    OptionDefaults->ApplyOptionDefaultsToMuxerPrivate(oc);
  }
}

int TCustomFFmpeg::AddOutput(const std::string& file_name, bool join) {
  auto fail = [&](const std::string& message) {
    LastError = message;
    Pending.input_format = nullptr;
    Pending.output_format = nullptr;
    return -1;
  };
  if (Settings.join) return fail("Cannot join more than one output file.");
  if (std::string conflict = FilterConflict(); !conflict.empty()) return fail(conflict);
  Settings.filters_in_use = !Settings.filter_description.empty();

  const AVOutputFormat* format = Pending.output_format;
  if (!format) format = avformat.av_guess_format(nullptr, file_name.c_str(), nullptr);
  if (!format) {
    return fail(FormatText("Unable to find a suitable output format for '%s'", file_name.c_str()));
  }
  auto file = std::make_unique<TOutputFile>();
  file->file_name = file_name;
  file->library_name = ToLibraryFileName(file_name);
  if (file->context.Allocate(format, nullptr, file->library_name) < 0) {
    Pending.input_format = nullptr;
    Pending.output_format = nullptr;
    throw FFmpegException("avformat_alloc_context failed");
  }
  AVFormatContext* oc = file->context.Get();

  std::array<bool, 3> use{};
  if (std::string problem = StreamKinds(format, join, use); !problem.empty()) return fail(problem);
  static const char* const kKindNames[3] = {"video", "audio", "subtitle"};
  for (int kind = skVideo; kind <= skSubtitle; ++kind) {
    if (!use[kind]) continue;
    try {
      if (kind == skVideo) NewVideoStream(*file);
      if (kind == skAudio) NewAudioStream(*file);
      if (kind == skSubtitle) NewSubtitleStream(*file);
    } catch (const FFmpegException& error) {
      return fail(FormatText("new_%s_stream fail: %s", kKindNames[kind], error.what()));
    }
  }
  SetOutputMetadata(oc);

  if ((format->flags & AVFMT_NEEDNUMBER) &&
      avformat.av_filename_number_test(file_name.c_str()) == 0) {
    return fail(ErrorText(file_name, AVERROR(EDOM)));
  }
  if (!(format->flags & AVFMT_NOFILE)) {
    if (std::string problem = OpenOutputFile(*file); !problem.empty()) return fail(problem);
  }
  ConfigureMuxer(oc);

  OutputFiles.push_back(std::move(file));
  if (join && InputFiles.size() > 1) {
    Settings.join = true;
    int64_t total = 0;
    for (const auto& input : InputFiles) {
      if (input->part_length > 0) {
        total += input->part_length / 1000;
      } else if (input->duration_ms > 0) {
        total += input->duration_ms;
      }
    }
    TotalOutputDuration = total > 0 ? int32_t(std::min<int64_t>(total, INT32_MAX)) : -1;
  }
  Pending.input_format = nullptr;
  Pending.output_format = nullptr;
  return int(OutputFiles.size());
}

// ---- output streams ----

namespace {

AVStream* NewStream(TOutputFile& file) {
  AVStream* st = avformat.avformat_new_stream(file.context.Get(), nullptr);
  if (!st) throw FFmpegException("Could not alloc stream");
  st->id = int(file.context->nb_streams) - 1;
  return st;
}

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

// ---- hook ranges ----

void TCustomFFmpeg::SetHookRanges(const std::string& text) {
  std::string rest = Trim(text);
  std::vector<THookRange> ranges;
  if (!rest.empty()) {
    size_t position = 0;
    while (position <= rest.size()) {
      size_t end = rest.find(',', position);
      if (end == std::string::npos) end = rest.size();
      std::string element = Trim(rest.substr(position, end - position));
      position = end + 1;
      size_t dash = element.find('-');
      std::string start_text = Trim(element.substr(0, dash));
      std::string end_text = dash == std::string::npos ? std::string()
                                                       : Trim(element.substr(dash + 1));
      int64_t start = -1, stop = -1;
      if (!TryStrToInt64(start_text, start)) start = -1;
      if (!TryStrToInt64(end_text, stop)) stop = -1;
      THookRange range{start * 1000, stop * 1000};
      if (range.End >= range.Start && range.End >= 0) ranges.push_back(range);
    }
  }
  std::stable_sort(ranges.begin(), ranges.end(),
                   [](const THookRange& a, const THookRange& b) { return a.End < b.End; });
  HookRanges = std::move(ranges);
  HookRangeIndex = 0;
}

}  // namespace kelvane
