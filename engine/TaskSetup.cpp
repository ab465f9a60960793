// Task set-up: applying the option records, opening inputs, adding outputs and
// creating output streams from the pending settings.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>
#include <fstream>

#include <sys/stat.h>

#include "binding/FileUtils.h"
#include "binding/OptionDefaults.h"
#include "binding/UnicodeProtocol.h"
#include "engine/FFmpeg.h"
#include "engine/OptionValues.h"
#include "engine/core/AudioEncoder.h"
#include "engine/core/FFmpegException.h"

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

bool HasResizingFilter(const std::string& chain) {
  std::string lower = chain;
  for (char& c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
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

// Date-time (days since 30 December 1899, local standard time) to seconds since 1970.
int64_t DateTimeToUnix(double date_time) {
  time_t now = time(nullptr);
  struct tm local {};
  localtime_r(&now, &local);
  // The standard-time offset: a summer-time offset is one hour larger.
  long offset_seconds = local.tm_gmtoff - (local.tm_isdst > 0 ? 3600 : 0);
  double offset_days = double(offset_seconds) / 86400.0;
  return std::llround((date_time - 25569.0 - offset_days) * 86400.0);
}

double NowAsDateTime() {
  time_t now = time(nullptr);
  struct tm local {};
  localtime_r(&now, &local);
  long offset_seconds = local.tm_gmtoff - (local.tm_isdst > 0 ? 3600 : 0);
  return 25569.0 + (double(now) + offset_seconds) / 86400.0;
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
  return OpenInput(file_name);
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
  ApplyOptionLines(o.ExtOptions, ogGeneral);

  auto number = [](int64_t value) { return std::to_string(value); };
  if (!o.FileFormat.empty()) SetOutputFormat(o.FileFormat);
  if (o.PacketSize > 0) SetOptionDefault("packetsize", number(o.PacketSize));
  if (o.MuxRate > 0) SetOptionDefault("muxrate", number(o.MuxRate));
  if (o.MuxDelay > 0) Pending.mux_max_delay = o.MuxDelay;
  if (o.MuxPreload > 0) Pending.mux_preload = o.MuxPreload;
  SetCodecName(skAudio, o.AudioCodec);
  ApplyPreset('a', o.AudioPreset);
  Pending.disable[skAudio] = o.DisableAudio;
  if (o.AudioVolume >= 0) Settings.audio_volume = o.AudioVolume;
  if (o.AudioChannels > 0) Pending.audio_channels = o.AudioChannels;
  if (o.AudioSampleRate > 0) Pending.audio_sample_rate = o.AudioSampleRate;
  if (o.AudioBitrate > 0) SetOptionDefault("ab", number(o.AudioBitrate));
  if (o.AudioBitrateTolerance > 0) SetOptionDefault("abt", number(o.AudioBitrateTolerance));
  Pending.audio_language = o.AudioLanguage;
  Settings.audio_sync_method = o.AudioSync;
  SetCodecTag(skAudio, o.AudioTag);
  SetCodecName(skVideo, o.VideoCodec);
  ApplyPreset('v', o.VideoPreset);
  Pending.disable[skVideo] = o.DisableVideo;
  SetFrameRate(o.FrameRate);
  if (!o.FrameSize.empty()) SetFrameSize(o.FrameSize);
  if (!o.AspectRatio.empty()) SetAspectRatio(o.AspectRatio);
  if (o.CropTop >= 0) SetCrop("croptop", number(o.CropTop));
  if (o.CropBottom >= 0) SetCrop("cropbottom", number(o.CropBottom));
  if (o.CropLeft >= 0) SetCrop("cropleft", number(o.CropLeft));
  if (o.CropRight >= 0) SetCrop("cropright", number(o.CropRight));
  if (o.PadTop >= 0) SetPad("padtop", number(o.PadTop));
  if (o.PadBottom >= 0) SetPad("padbottom", number(o.PadBottom));
  if (o.PadLeft >= 0) SetPad("padleft", number(o.PadLeft));
  if (o.PadRight >= 0) SetPad("padright", number(o.PadRight));
  SetPadColor(o.PadColor & 0xffffff);
  // The group size option is called "g" in today's codec library.
  if (o.GopSize > 0) SetOptionDefault("g", number(o.GopSize));
  if (o.VideoBitrate > 0) SetOptionDefault("vb", number(o.VideoBitrate));
  if (o.VideoMaxRate > 0) SetOptionDefault("maxrate", number(o.VideoMaxRate));
  if (o.VideoMinRate > 0) SetOptionDefault("minrate", number(o.VideoMinRate));
  if (o.VideoBitrateTolerance > 0) SetOptionDefault("bt", number(o.VideoBitrateTolerance));
  if (o.VideoBufferSize > 0) SetOptionDefault("bufsize", number(o.VideoBufferSize));
  Settings.video_sync_method = o.VideoSync;
  SetCodecTag(skVideo, o.VideoTag);
  if (!o.VideoFilters.empty()) Settings.filter_description = o.VideoFilters;
  SetCodecName(skSubtitle, o.SubtitleCodec);
  ApplyPreset('s', o.SubtitlePreset);
  Pending.disable[skSubtitle] = o.DisableSubtitle;
  Pending.subtitle_language = o.SubtitleLanguage;
  Settings.copy_ts = o.CopyTimestamps;
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
  const TStreamInfo& m = o.Metadata;
  if (m.Timestamp == 0.0) {
    Pending.recording_timestamp = DateTimeToUnix(NowAsDateTime());
  } else if (m.Timestamp > 0) {
    Pending.recording_timestamp = DateTimeToUnix(m.Timestamp);
  }
  if (m.Year > 0) SetMetadata("year=" + number(m.Year));
  if (m.Track > 0) SetMetadata("track=" + number(m.Track));
  const std::pair<const char*, const std::string*> texts[] = {
      {"title", &m.Title},     {"author", &m.Author}, {"copyright", &m.Copyright},
      {"comment", &m.Comment}, {"album", &m.Album},   {"genre", &m.Genre}};
  for (const auto& [key, text] : texts) {
    if (!text->empty()) SetMetadata(std::string(key) + "=" + *text);
  }

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

// ---- OpenInput ----

bool TCustomFFmpeg::OpenInput(const std::string& file_name) {
  AVFormatContext* prepared = avformat.avformat_alloc_context();
  if (!prepared) throw FFmpegException("avformat_alloc_context failed");
  AVFormatContextPtr prepared_owner(prepared);

  AVDictionary* raw_parameters = nullptr;
  auto set = [&](const char* key, const std::string& value) {
    avutil.av_dict_set(&raw_parameters, key, value.c_str(), 0);
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
  AVDictionaryPtr parameters_owner(raw_parameters);

  // Forced decoders.
  const AVCodec* forced[3] = {nullptr, nullptr, nullptr};
  static const AVMediaType kTypes[3] = {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO,
                                        AVMEDIA_TYPE_SUBTITLE};
  try {
    for (int kind = skVideo; kind <= skSubtitle; ++kind) {
      if (!Pending.codec_name[kind].empty()) {
        forced[kind] = FindCodecByName(Pending.codec_name[kind], kTypes[kind], false);
      }
    }
  } catch (const FFmpegException& error) {
    LastError = error.what();
    return false;
  }
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

  auto file = std::make_unique<TInputFile>();
  file->file_name = file_name;
  AVDictionary* parameters = parameters_owner.release();
  int error = OpenInputContext(ToLibraryFileName(file_name), Pending.input_format, &parameters,
                               file->context, prepared_owner.release());
  avutil.av_dict_free(&parameters);
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

  int64_t timestamp = Settings.start_time;
  if (ic->start_time != AV_NOPTS_VALUE) timestamp += ic->start_time;
  if (Settings.start_time != 0) {
    avformat.av_seek_frame(ic, -1, timestamp, AVSEEK_FLAG_BACKWARD);
    Settings.start_time = 0;
  }

  int file_index = int(InputFiles.size());
  file->streams.resize(ic->nb_streams);
  for (unsigned i = 0; i < ic->nb_streams; ++i) {
    AVStream* st = ic->streams[i];
    TInputStream& in = file->streams[i];
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
      case AVMEDIA_TYPE_VIDEO: {
        if (OptionDefaults) {
          OptionDefaults->ApplyOptionDefaults(dec, OptionDefaults->CodecTemplate(AVMEDIA_TYPE_VIDEO),
                                              kOptionVideo | kOptionDecoding);
        }
        Pending.frame_width = dec->width;
        Pending.frame_height = dec->height;
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
        if (Verbosity >= 0 && container.num && container.den && codec_rate.num &&
            codec_rate.den && av_cmp_q(container, codec_rate) != 0) {
          Log(llInfo,
              FormatText("Seems stream %d codec frame rate differs from container frame rate: "
                         "%2.2f (%d/%d) -> %2.2f (%d/%d)",
                         int(i), av_q2d(codec_rate), codec_rate.num, codec_rate.den,
                         av_q2d(container), container.num, container.den));
        }
        // The library's best guess rather than the container's rate alone: a
        // damaged stream may claim 375 pictures a second while its average is
        // 25, and every picture would then be repeated fifteen times.
        Pending.frame_rate = avformat.av_guess_frame_rate(ic, st, nullptr);
        in.chosen_decoder = forced[skVideo];
        if (Pending.disable[skVideo]) {
          st->discard = AVDISCARD_ALL;
        } else if (Pending.video_discard) {
          st->discard = AVDiscard(Pending.video_discard);
        }
        break;
      }
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

  if (ic->duration != AV_NOPTS_VALUE && ic->duration > 0) {
    file->duration_ms = ic->duration / 1000;
    int32_t duration = int32_t(std::min<int64_t>(file->duration_ms, INT32_MAX));
    if (duration > TotalOutputDuration) TotalOutputDuration = duration;
  }

  file->ts_offset = Settings.copy_ts ? Pending.input_ts_offset : Pending.input_ts_offset - timestamp;
  file->ts_scale = Pending.input_ts_scale;
  Pending.input_ts_scale = {};
  Pending.input_ts_offset = 0;

  if (Verbosity >= 0) avformat.av_dump_format(ic, file_index, file_name.c_str(), 0);

  InputFiles.push_back(std::move(file));
  Pending.input_format = nullptr;
  Pending.output_format = nullptr;
  Pending.video_channel = 0;
  for (auto& name : Pending.codec_name) name.clear();
  return true;
}

// ---- AddOutput ----

int TCustomFFmpeg::AddOutput(const std::string& file_name, bool join) {
  auto fail = [&](const std::string& message) {
    LastError = message;
    Pending.input_format = nullptr;
    Pending.output_format = nullptr;
    return -1;
  };
  if (Settings.join) return fail("Cannot join more than one output file.");
  bool crop = Settings.crop_top || Settings.crop_bottom || Settings.crop_left ||
              Settings.crop_right;
  bool pad = Settings.pad_top || Settings.pad_bottom || Settings.pad_left || Settings.pad_right;
  if (!Settings.filter_description.empty() && crop) {
    return fail("Cannot enable crop options and filters at the same time.");
  }
  if (pad && HasResizingFilter(Settings.filter_description)) {
    return fail(
        "Cannot enable pad options and the filters which resize frame at the same time. "
        "(crop, rotate, scale, transpose, etc.)");
  }
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

  // Which kinds of stream the output gets.
  bool use[3] = {
      Pending.stream_copy[skVideo] || format->video_codec != AV_CODEC_ID_NONE ||
          !Pending.codec_name[skVideo].empty(),
      Pending.stream_copy[skAudio] || format->audio_codec != AV_CODEC_ID_NONE ||
          !Pending.codec_name[skAudio].empty(),
      Pending.stream_copy[skSubtitle] || format->subtitle_codec != AV_CODEC_ID_NONE ||
          !Pending.codec_name[skSubtitle].empty()};
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
            return fail("check_audio_video_sub_inputs fail: invalid codec_type of input file");
        }
      }
    }
    for (int kind = 0; kind < 3; ++kind) use[kind] = use[kind] && present[kind];
  }
  for (int kind = 0; kind < 3; ++kind) use[kind] = use[kind] && !Pending.disable[kind];
  try {
    if (use[skVideo]) NewVideoStream(*file);
  } catch (const FFmpegException& error) {
    return fail(FormatText("new_video_stream fail: %s", error.what()));
  }
  try {
    if (use[skAudio]) NewAudioStream(*file);
  } catch (const FFmpegException& error) {
    return fail(FormatText("new_audio_stream fail: %s", error.what()));
  }
  try {
    if (use[skSubtitle]) NewSubtitleStream(*file);
  } catch (const FFmpegException& error) {
    return fail(FormatText("new_subtitle_stream fail: %s", error.what()));
  }

  if (Pending.recording_timestamp != 0) {
    avutil.av_dict_set(&oc->metadata, "creation_time",
                       IsoTime(Pending.recording_timestamp).c_str(), 0);
  }
  for (auto pair = Pending.metadata.rbegin(); pair != Pending.metadata.rend(); ++pair) {
    avutil.av_dict_set(&oc->metadata, pair->first.c_str(), pair->second.c_str(), 0);
  }
  Pending.metadata.clear();

  if ((format->flags & AVFMT_NEEDNUMBER) &&
      avformat.av_filename_number_test(file_name.c_str()) == 0) {
    return fail(ErrorText(file_name, AVERROR(EDOM)));
  }
  if (!(format->flags & AVFMT_NOFILE)) {
    // Opening truncates the file: never one the task reads from.
    struct stat target {};
    if (stat(file_name.c_str(), &target) == 0) {
      for (const auto& input : InputFiles) {
        struct stat source {};
        if (stat(input->file_name.c_str(), &source) == 0 && source.st_dev == target.st_dev &&
            source.st_ino == target.st_ino) {
          return fail(FormatText("Output file '%s' is the input file '%s'", file_name.c_str(),
                                 input->file_name.c_str()));
        }
      }
    }
    if (OpenOutputIO(file->context, file->library_name) < 0) {
      return fail(FormatText("Could not open '%s'", file_name.c_str()));
    }
    file->created_file = true;
  }

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

  OutputFiles.push_back(std::move(file));
  if (join && InputFiles.size() > 1) {
    Settings.join = true;
    int64_t total = 0;
    for (const auto& input : InputFiles) {
      if (input->duration_ms > 0) total += input->duration_ms;
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

}  // namespace

void TCustomFFmpeg::NewVideoStream(TOutputFile& file) {
  AVFormatContext* oc = file.context.Get();
  TOutputStream out;
  out.stream = NewStream(file);
  out.stream_copy = Pending.stream_copy[skVideo];
  AVCodecID codec_id = AV_CODEC_ID_NONE;
  if (!out.stream_copy) {
    if (!Pending.codec_name[skVideo].empty()) {
      out.encoder = FindCodecByName(Pending.codec_name[skVideo], AVMEDIA_TYPE_VIDEO, true);
      out.encoder_named = true;
      codec_id = out.encoder->id;
    } else {
      codec_id = avformat.av_guess_codec(oc->oformat, nullptr, file.library_name.c_str(), nullptr,
                                         AVMEDIA_TYPE_VIDEO);
      out.encoder = avcodec.avcodec_find_encoder(codec_id);
    }
  }
  out.encoder_context.reset(avcodec.avcodec_alloc_context3(out.encoder));
  if (!out.encoder_context) throw FFmpegException("avcodec_alloc_context3 failed");
  AVCodecContext* enc = out.encoder_context.get();
  enc->codec_type = AVMEDIA_TYPE_VIDEO;
  out.bitstream_filters = std::move(Pending.bitstream_filters[skVideo]);
  Pending.bitstream_filters[skVideo].clear();
  enc->thread_count = Pending.thread_count;
  if (Pending.codec_tag[skVideo]) enc->codec_tag = Pending.codec_tag[skVideo];

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

  if (out.stream_copy) {
    AVRational sar = SampleAspect(Pending.frame_aspect_ratio, Pending.frame_width,
                                  Pending.frame_height);
    out.stream->sample_aspect_ratio = sar;
    enc->sample_aspect_ratio = sar;
  } else {
    enc->codec_id = codec_id;
    AVRational rate = Pending.frame_rate.num && Pending.frame_rate.den ? Pending.frame_rate
                                                                       : AVRational{25, 1};
    if (OptionDefaults) {
      OptionDefaults->ApplyOptionDefaults(enc, video_template, kOptionVideo | kOptionEncoding);
    }
    if (out.encoder && out.encoder->supported_framerates && !Pending.force_fps) {
      rate = out.encoder->supported_framerates[avutil.av_find_nearest_q_idx(
          rate, out.encoder->supported_framerates)];
    }
    enc->framerate = rate;
    enc->time_base = AVRational{rate.den, rate.num};
    out.stream->time_base = enc->time_base;
    enc->width = Pending.frame_width + Settings.pad_left + Settings.pad_right;
    enc->height = Pending.frame_height + Settings.pad_top + Settings.pad_bottom;
    AVRational sar = SampleAspect(Pending.frame_aspect_ratio, enc->width, enc->height);
    enc->sample_aspect_ratio = sar;
    out.stream->sample_aspect_ratio = sar;
    enc->pix_fmt = Pending.frame_pix_fmt;
    if (out.encoder && out.encoder->pix_fmts) {
      bool listed = false;
      for (const AVPixelFormat* p = out.encoder->pix_fmts; *p != AV_PIX_FMT_NONE; ++p) {
        if (*p == enc->pix_fmt) listed = true;
      }
      if (!listed) enc->pix_fmt = out.encoder->pix_fmts[0];
    }
    if (Pending.intra_only) enc->gop_size = 0;
    if (Pending.video_qscale > 0 || Pending.same_quality) {
      enc->flags |= AV_CODEC_FLAG_QSCALE;
      out.quality = float(FF_QP2LAMBDA) * Pending.video_qscale;
      enc->global_quality = int(out.quality);
    }
    auto copy_matrix = [](const std::vector<uint16_t>& matrix) -> uint16_t* {
      if (matrix.size() != 64) return nullptr;
      auto* copy = static_cast<uint16_t*>(avutil.av_malloc(64 * sizeof(uint16_t)));
      if (copy) std::memcpy(copy, matrix.data(), 64 * sizeof(uint16_t));
      return copy;
    };
    if (!Pending.intra_matrix.empty()) enc->intra_matrix = copy_matrix(Pending.intra_matrix);
    if (!Pending.inter_matrix.empty()) enc->inter_matrix = copy_matrix(Pending.inter_matrix);

    // "start,end,q/start,end,q/...": q > 0 a quantiser, else a quality factor of -q/100.
    std::vector<RcOverride> overrides;
    const char* p = Pending.video_rc_override.c_str();
    for (int i = 0; *p; ++i) {
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
    if (!overrides.empty()) {
      auto* table = static_cast<RcOverride*>(avutil.av_malloc(overrides.size() * sizeof(RcOverride)));
      if (!table) throw FFmpegException("error parsing rc_override");
      std::memcpy(table, overrides.data(), overrides.size() * sizeof(RcOverride));
      enc->rc_override = table;
      enc->rc_override_count = int(overrides.size());
    }
    if (enc->rc_initial_buffer_occupancy == 0) {
      enc->rc_initial_buffer_occupancy = int(int64_t(enc->rc_buffer_size) * 3 / 4);
    }
    enc->intra_dc_precision = Pending.intra_dc_precision - 8;
    if (Settings.do_psnr) enc->flags |= AV_CODEC_FLAG_PSNR;
    if (Settings.do_pass == 1) enc->flags |= AV_CODEC_FLAG_PASS1;
    if (Settings.do_pass == 2) enc->flags |= AV_CODEC_FLAG_PASS2;
    Settings.requested_width = Pending.frame_width;
    Settings.requested_height = Pending.frame_height;
  }
  file.streams.push_back(std::move(out));
  ApplyPrivateOptions(file.streams.back());

  Pending.disable[skVideo] = false;
  Pending.codec_name[skVideo].clear();
  Pending.stream_copy[skVideo] = false;
}

void TCustomFFmpeg::NewAudioStream(TOutputFile& file) {
  AVFormatContext* oc = file.context.Get();
  TOutputStream out;
  out.stream = NewStream(file);
  out.stream_copy = Pending.stream_copy[skAudio];
  AVCodecID codec_id = AV_CODEC_ID_NONE;
  if (!out.stream_copy) {
    const std::string& name = Pending.codec_name[skAudio];
    if (!name.empty() && IsAmrNbEncoderName(name) &&
        !avcodec.avcodec_find_encoder_by_name(name.c_str())) {
      // AMR-NB is encoded by libopencore-amrnb beside the codec library: the
      // stream carries the codec id and no library encoder.
      std::string error;
      if (!LoadAmrNbLibrary(&error)) throw FFmpegException(error);
      out.encoder_named = true;
      codec_id = AV_CODEC_ID_AMR_NB;
    } else if (!name.empty()) {
      out.encoder = FindCodecByName(name, AVMEDIA_TYPE_AUDIO, true);
      out.encoder_named = true;
      codec_id = out.encoder->id;
    } else {
      codec_id = avformat.av_guess_codec(oc->oformat, nullptr, file.library_name.c_str(), nullptr,
                                         AVMEDIA_TYPE_AUDIO);
      out.encoder = avcodec.avcodec_find_encoder(codec_id);
    }
  }
  out.encoder_context.reset(avcodec.avcodec_alloc_context3(out.encoder));
  if (!out.encoder_context) throw FFmpegException("avcodec_alloc_context3 failed");
  AVCodecContext* enc = out.encoder_context.get();
  enc->codec_type = AVMEDIA_TYPE_AUDIO;
  out.bitstream_filters = std::move(Pending.bitstream_filters[skAudio]);
  Pending.bitstream_filters[skAudio].clear();
  enc->thread_count = Pending.thread_count;
  if (Pending.codec_tag[skAudio]) enc->codec_tag = Pending.codec_tag[skAudio];
  if (oc->oformat->flags & AVFMT_GLOBALHEADER) {
    enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (OptionDefaults) {
      OptionDefaults->CodecTemplate(AVMEDIA_TYPE_AUDIO)->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
  }

  auto set_layout = [&](int channels, uint64_t mask) {
    avutil.av_channel_layout_uninit(&enc->ch_layout);
    AVChannelLayout layout{};
    if (mask && avutil.av_channel_layout_from_mask(&layout, mask) == 0 &&
        layout.nb_channels == channels) {
      enc->ch_layout = layout;
    } else {
      avutil.av_channel_layout_uninit(&layout);
      avutil.av_channel_layout_default(&enc->ch_layout, channels);
    }
  };
  if (out.stream_copy) {
    set_layout(Pending.audio_channels, 0);
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
    set_layout(Pending.audio_channels, Pending.audio_channel_layout);
    enc->sample_fmt = Pending.audio_sample_fmt;
    if (out.encoder && out.encoder->sample_fmts) {
      bool listed = false;
      for (const AVSampleFormat* p = out.encoder->sample_fmts; *p != AV_SAMPLE_FMT_NONE; ++p) {
        if (*p == enc->sample_fmt) listed = true;
      }
      if (!listed) enc->sample_fmt = out.encoder->sample_fmts[0];
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
  file.streams.push_back(std::move(out));
  ApplyPrivateOptions(file.streams.back());

  Pending.disable[skAudio] = false;
  Pending.codec_name[skAudio].clear();
  Pending.stream_copy[skAudio] = false;
}

void TCustomFFmpeg::NewSubtitleStream(TOutputFile& file) {
  TOutputStream out;
  out.stream = NewStream(file);
  out.stream_copy = Pending.stream_copy[skSubtitle];
  if (!out.stream_copy && !Pending.codec_name[skSubtitle].empty()) {
    out.encoder = FindCodecByName(Pending.codec_name[skSubtitle], AVMEDIA_TYPE_SUBTITLE, true);
    out.encoder_named = true;
  }
  out.encoder_context.reset(avcodec.avcodec_alloc_context3(out.encoder));
  if (!out.encoder_context) throw FFmpegException("avcodec_alloc_context3 failed");
  AVCodecContext* enc = out.encoder_context.get();
  enc->codec_type = AVMEDIA_TYPE_SUBTITLE;
  out.bitstream_filters = std::move(Pending.bitstream_filters[skSubtitle]);
  Pending.bitstream_filters[skSubtitle].clear();
  if (Pending.codec_tag[skSubtitle]) enc->codec_tag = Pending.codec_tag[skSubtitle];
  if (!out.stream_copy) {
    if (OptionDefaults) {
      OptionDefaults->ApplyOptionDefaults(enc,
                                          OptionDefaults->CodecTemplate(AVMEDIA_TYPE_SUBTITLE),
                                          kOptionSubtitle | kOptionEncoding);
    }
    enc->codec_id = out.encoder ? out.encoder->id : AV_CODEC_ID_NONE;
  }
  if (!Pending.subtitle_language.empty()) {
    avutil.av_dict_set(&out.stream->metadata, "language", Pending.subtitle_language.c_str(), 0);
    Pending.subtitle_language.clear();
  }
  file.streams.push_back(std::move(out));
  ApplyPrivateOptions(file.streams.back());

  Pending.disable[skSubtitle] = false;
  Pending.codec_name[skSubtitle].clear();
  Pending.stream_copy[skSubtitle] = false;
}

// ---- hook ranges ----

void TCustomFFmpeg::SetHookRanges(const std::string& text) {
  std::string rest = TrimText(text);
  std::vector<THookRange> ranges;
  if (!rest.empty()) {
    size_t position = 0;
    while (position <= rest.size()) {
      size_t end = rest.find(',', position);
      if (end == std::string::npos) end = rest.size();
      std::string element = TrimText(rest.substr(position, end - position));
      position = end + 1;
      size_t dash = element.find('-');
      std::string start_text = TrimText(element.substr(0, dash));
      std::string end_text = dash == std::string::npos ? std::string()
                                                       : TrimText(element.substr(dash + 1));
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
