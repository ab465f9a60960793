// Task set-up: applying the option records (AddTask and SetOutput) and the
// frame hooks' time ranges. Opening inputs is in TaskSetupInputs.cpp, adding
// outputs in TaskSetupOutputs.cpp, creating output streams in
// TaskSetupStreams.cpp.
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

namespace task_setup {

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

AVStream* NewStream(TOutputFile& file) {
  AVStream* st = avformat.avformat_new_stream(file.context.Get(), nullptr);
  if (!st) throw FFmpegException("Could not alloc stream");
  st->id = int(file.context->nb_streams) - 1;
  return st;
}

}  // namespace task_setup

using task_setup::NewStream;

namespace {

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

std::string Number(int64_t value) { return std::to_string(value); }

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
