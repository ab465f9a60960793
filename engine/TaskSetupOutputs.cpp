// Task set-up: adding an output file, its muxer and metadata, and the streams
// it gets.
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

namespace {

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

std::string IsoTime(int64_t unix_seconds) {
  time_t value = time_t(unix_seconds);
  struct tm utc {};
  gmtime_r(&value, &utc);
  char text[32];
  strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S.000000Z", &utc);
  return text;
}

// The joined output's length in ms: each input's part, or all of it; -1 unknown.
int32_t JoinedDuration(const std::vector<std::unique_ptr<TInputFile>>& inputs) {
  int64_t total = 0;
  for (const auto& input : inputs) {
    if (input->part_length > 0) {
      total += input->part_length / 1000;
    } else if (input->duration_ms > 0) {
      total += input->duration_ms;
    }
  }
  return total > 0 ? int32_t(std::min<int64_t>(total, INT32_MAX)) : -1;
}

}  // namespace

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
    TotalOutputDuration = JoinedDuration(InputFiles);
  }
  Pending.input_format = nullptr;
  Pending.output_format = nullptr;
  return int(OutputFiles.size());
}

}  // namespace kelvane
