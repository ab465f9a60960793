#include "app/SplitJob.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <sstream>

#include "app/CodecNames.h"
#include "app/Letterbox.h"
#include "app/OutputName.h"
#include "app/Quality.h"
#include "app/SettingsLists.h"
#include "app/TextUtils.h"
#include "binding/FileUtils.h"
#include "binding/PictureRotation.h"
#include "engine/EncoderLimits.h"

namespace kelvane {
namespace {

bool AllDigits(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

std::string BadMarkMessage(const char* which, const std::string& text) {
  return std::string("The ") + which + " time \"" + text +
         "\" cannot be used.\n\rPlease write it in seconds with a decimal point, for example "
         "12.00.";
}

// False with the choice's refusal as the message when it cannot be used.
bool Usable(const std::string& problem, std::string& message) {
  if (problem.empty()) return true;
  message = problem;
  return false;
}

}  // namespace

std::optional<int32_t> MarkToMilliseconds(const std::string& text) {
  const std::string trimmed = Trim(text);
  const size_t point = trimmed.find('.');
  if (point == std::string::npos) return std::nullopt;
  const std::string whole = trimmed.substr(0, point);
  const std::string decimals = trimmed.substr(point + 1);
  if (!AllDigits(whole) || (!decimals.empty() && !AllDigits(decimals))) return std::nullopt;
  // Only the first two decimals count: 0.467 is 460 ms.
  std::string hundredths = decimals.substr(0, 2);
  while (hundredths.size() < 2) hundredths += '0';
  auto seconds = ParseInteger(whole);
  if (!seconds || *seconds > std::numeric_limits<int32_t>::max() / 1000) return std::nullopt;
  const long long ms = *seconds * 1000 + std::stoi(hundredths) * 10;
  if (ms > std::numeric_limits<int32_t>::max()) return std::nullopt;
  return static_cast<int32_t>(ms);
}

std::string TSplitJob::Describe() const {
  std::ostringstream out;
  out << "Input file: " << InputFile << "\n"
      << "Output folder: " << OutputFolder << (Overwrite ? " (overwrite)" : "") << "\n"
      << "Output format: " << Trim(FormatText) << " [" << ContainerName << "]\n"
      << "Source: size " << SourceSize.Text() << ", " << WholeRateText(SourceFrameRate)
      << " fps, " << SourceDuration
      << " s\n"
      << "Video: quality \"" << VideoQuality << "\", codec \"" << VideoCodec << "\", bitrate \"" << VideoBitrate << "\", size \""
      << VideoSize << "\", frame rate \"" << FrameRate << "\", letterbox "
      << (LetterBoxIndex == 0 ? "none" : "added") << "\n"
      << "Audio: codec \"" << AudioCodec << "\", bitrate \"" << AudioBitrate
      << "\", sample rate \"" << SampleRate << "\", channels \"" << AudioChannels
      << "\", volume " << Volume << "\n"
      << "Marks: " << StartMark << " - " << EndMark << "\n";
  if (!Segments.Empty()) {
    out << "Segments" << (JoinSegments ? " (joined)" : "") << ":\n" << Segments.ToCsv();
  }
  return out.str();
}

namespace {

// A smart copy's file keeps the source's container when it is one the cut can
// be written in, and is Matroska otherwise.
std::string SmartCopyExtension(const std::string& input) {
  const std::string name = ExtractFileName(input);
  const size_t dot = name.rfind('.');
  const std::string ext = dot == std::string::npos ? std::string() : LowerCase(name.substr(dot + 1));
  for (const char* kept : {"mp4", "m4v", "mov", "mkv", "webm", "ts", "m2ts", "mts"})
    if (ext == kept) return ext;
  return "mkv";
}

// How a smart copy re-encodes a cut it cannot copy in part, one option line
// per encoder: as today's formats encode its codec at their highest quality
// ("smart_reencode=libx264 preset=fast ... crf=18"). The engine keeps the
// source's picture format and passes over options that are not the encoder's.
std::string SmartReencodeOptions() {
  std::string lines;
  std::vector<std::string> done;
  for (const Quality& row : FormatTable()) {
    const TTodayFormat* today = row.Today.get();
    if (today == nullptr || today->Crf[0] <= 0 || today->VideoCodecs.Default.empty()) continue;
    const std::string encoder = GetNewVideoCodec(today->VideoCodecs.Default);
    if (std::find(done.begin(), done.end(), encoder) != done.end()) continue;
    done.push_back(encoder);
    std::string line = "smart_reencode=" + encoder;
    std::istringstream options(today->Options + "\ncrf=" + std::to_string(today->Crf[0]) + "\n" +
                               today->QualityOptions);
    std::string option;
    while (std::getline(options, option))
      if (!Trim(option).empty()) line += " " + Trim(option);
    lines += "\n" + line;
  }
  return lines;
}

}  // namespace

bool IsSmartCopy(const TSplitJob& job) {
  if (job.SmartCopy) return true;
  const Quality* row = FindPreset(job.FormatText);
  return row != nullptr && row->Today && row->Today->SameAsSource;
}

std::string OutputPathFor(const TSplitJob& job) {
  std::string extension = ".";
  extension += IsSmartCopy(job) ? SmartCopyExtension(job.InputFile) : LowerCase(job.ContainerName);
  // The folder as the checks before the split found it: trimmed.
  const std::string folder = IncludeTrailingPathDelimiter(Trim(job.OutputFolder));
  std::string name = ExtractFileName(job.InputFile);
  if (!job.NameSuffix.empty()) name = RemoveExtension(name) + job.NameSuffix + ".";
  if (job.Overwrite) {
    const std::string path = RemoveExtension(folder + name) + extension;
    // Replacing other files is what the user asked for; replacing the very
    // file being read would destroy it, so it gets a free name instead.
    if (!SameFile(path, job.InputFile)) return path;
  }
  return UniqueOutputName(folder + name, extension);
}

std::string NoInputMessage() { return "Please add a video file To split!"; }

std::string EndBeforeStartMessage() {
  return "The end time is smaller than the start time!\n\rPlease make sure that the end time is "
         "LARGER than the start time.";
}

std::string OutputFolderProblem(const std::string& folder) {
  if (folder.empty()) return "Please select an output folder!";
  if (!DirectoryExists(Trim(folder))) {
    return "The output folder \"" + folder +
           "\"\n\rdoes not exist or has been deleted!\n\rPlease choose a new output folder.";
  }
  std::string reason;
  if (DirectoryWritable(Trim(folder), reason)) return std::string();
  return "The output folder \"" + folder + "\"\n\rcannot be written (" + reason +
         ").\n\rPlease choose another output folder.";
}

namespace {

// The marks, in milliseconds: they are what the user typed by hand.
bool ReadMarks(const TSplitJob& job, int32_t& start, int32_t& end, std::string& message) {
  const std::optional<int32_t> start_ms = MarkToMilliseconds(job.StartMark);
  if (!start_ms) {
    message = BadMarkMessage("start", job.StartMark);
    return false;
  }
  const std::optional<int32_t> end_ms = MarkToMilliseconds(job.EndMark);
  if (!end_ms) {
    message = BadMarkMessage("end", job.EndMark);
    return false;
  }
  if (*end_ms < *start_ms) {
    message = EndBeforeStartMessage();
    return false;
  }
  start = *start_ms;
  end = *end_ms;
  return true;
}

std::string OutputNameOf(const TSplitJob& job) { return "output." + LowerCase(job.ContainerName); }

// A source stored on its side keeps its display matrix while its pictures
// keep their size and the container stores one; otherwise its pictures are
// turned upright. The source's size as the sizes are reckoned: upright then.
TPictureSize SourceSizeFor(const TSplitJob& job, TOutputOptions& out) {
  TPictureSize source_size = job.SourceSize;
  if (job.SourceRotation != 0 &&
      !(job.Settings.Size.Original && StoresRotation(OutputNameOf(job)))) {
    out.UprightPictures = true;
    if (TurnSwapsSides(job.SourceRotation)) source_size = source_size.Swapped();
  }
  return source_size;
}

// The video settings of a container that takes pictures.
bool FillVideoOptions(const TSplitJob& job, TOutputOptions& out, std::string& message) {
  const TSplitSettings& settings = job.Settings;
  out.VideoCodec = settings.VideoEncoder;
  if (Contains(job.FormatText, "DivX")) out.VideoTag = "DIVX";
  if (!Usable(settings.Size.Problem, message) || !Usable(settings.FrameRate.Problem, message))
    return false;

  // The size list's texts name sizes; the source's is written as they are.
  const std::string source_size = SourceSizeFor(job, out).Text();
  // The source's own size, as near as the encoder takes it (even, or a
  // multiple of 16 for RealVideo); the bars keep its shape when that differs.
  const std::string size = settings.Size.Original
                               ? AcceptedFrameSize(out.VideoCodec, OutputNameOf(job), source_size)
                               : settings.Size.Text();
  const TLetterbox box = LetterboxDecision(source_size, size);
  out.FrameSize = SizeWithoutLabel(box.OutputSize);
  const int32_t bar = static_cast<int32_t>(std::lround(box.BarSize));
  if (box.Decision == lbSideBars) {
    out.PadLeft = out.PadRight = bar;
  } else if (box.Decision == lbTopBottom) {
    out.PadTop = out.PadBottom = bar;
  }
  if (box.Decision != lbNone && bar > 0) {
    // The bars keep the picture's shape inside the frame: the whole frame is
    // shown as it is, with square pixels (a frame aspect of the source's
    // shape would squeeze the picture and its bars together).
    std::string frame = SizeWithoutLabel(box.TargetSize);
    const size_t x = frame.find('x');
    if (x != std::string::npos) out.AspectRatio = frame.replace(x, 1, ":");
  }
  if (settings.Letterbox == TLetterboxMode::None) {
    // Scaled to the chosen size without bars, whatever its shape.
    out.FrameSize = SizeWithoutLabel(box.TargetSize);
    out.PadTop = out.PadBottom = out.PadLeft = out.PadRight = 0;
    out.AspectRatio.clear();
  }

  out.FrameRate =
      settings.FrameRate.Source ? WholeRateText(job.SourceFrameRate) : settings.FrameRate.Text();
  out.DisableVideo = false;

  if (!Usable(settings.VideoBitrate.Problem, message)) return false;
  out.VideoBitrate = settings.VideoBitrate.BitsPerSecond;
  return true;
}

// The pictures of a format of today: fitted into the chosen size without
// bars, at the source's own times ("Auto") or a rate of their own, at a
// constant quality of the chosen level unless a bit rate is chosen.
bool FillTodayVideo(const TSplitJob& job, const TTodayFormat& format, TOutputOptions& out,
                    std::string& message) {
  const TSplitSettings& settings = job.Settings;
  out.VideoCodec = settings.VideoEncoder;
  out.VideoTag = format.VideoTag;
  out.VideoFilters = format.VideoFilters;
  if (!Usable(settings.Size.Problem, message) || !Usable(settings.FrameRate.Problem, message))
    return false;
  const std::string source_size = SourceSizeFor(job, out).Text();
  const std::string size =
      settings.Size.Original ? source_size : FittedSize(source_size, settings.Size.Text());
  // Today's encoders take any even size. (They are not opened to ask: the
  // AV1 encoder, closed without a picture, never returns.)
  int width = 0, height = 0;
  out.FrameSize = std::sscanf(size.c_str(), "%dx%d", &width, &height) == 2
                      ? std::to_string(std::max(2, int(MakeEven(width)))) + "x" +
                            std::to_string(std::max(2, int(MakeEven(height))))
                      : size;

  if (settings.FrameRate.Source) {
    // Every picture at its own time: a variable rate stays variable.
    out.FrameRate.clear();
    out.VideoSync = 2;
  } else {
    out.FrameRate = settings.FrameRate.Text();
  }
  out.DisableVideo = false;

  if (!settings.VideoBitrate.Quality) {
    if (!Usable(settings.VideoBitrate.Problem, message)) return false;
    out.VideoBitrate = settings.VideoBitrate.BitsPerSecond;
    return true;
  }
  // "Auto (quality)": the level's constant quality rules.
  const int crf = format.Crf[static_cast<size_t>(settings.Quality)];
  if (crf > 0) {
    out.ExtOptions += "crf=" + std::to_string(crf) + "\n";
    if (!format.QualityOptions.empty()) out.ExtOptions += format.QualityOptions + "\n";
  }
  return true;
}

// The sound of a format of today; none when it lists no audio codec (GIF).
// "Original" sample rate and channels keep the source's; a lossless codec
// takes no bit rate.
bool FillTodayAudio(const TSplitJob& job, TOutputOptions& out, std::string& message) {
  const TSplitSettings& settings = job.Settings;
  if (settings.AudioEncoder.empty()) {
    out.DisableAudio = true;
    return true;
  }
  out.AudioCodec = settings.AudioEncoder;
  if (!Usable(settings.AudioBitrate.Problem, message)) return false;
  if (settings.AudioBitrate.BitsPerSecond > 0) out.AudioBitrate = settings.AudioBitrate.BitsPerSecond;
  if (!Usable(settings.SampleRate.Problem, message)) return false;
  if (settings.SampleRate.Hz > 0) out.AudioSampleRate = settings.SampleRate.Hz;
  if (settings.Channels == TChannels::Mono) out.AudioChannels = 1;
  if (settings.Channels == TChannels::Stereo) out.AudioChannels = 2;
  out.AudioVolume = GetVolume(settings.Volume);
  if (out.AudioVolume == 0) out.DisableAudio = true;
  return true;
}

bool FillAudioOptions(const TSplitJob& job, TOutputOptions& out, std::string& message) {
  const TSplitSettings& settings = job.Settings;
  out.AudioCodec = settings.AudioEncoder;
  if (!Usable(settings.AudioBitrate.Problem, message)) return false;
  out.AudioBitrate = settings.AudioBitrate.BitsPerSecond;
  if (!Usable(settings.SampleRate.Problem, message)) return false;
  out.AudioSampleRate = settings.SampleRate.Hz;

  out.AudioChannels = settings.Channels == TChannels::Mono ? 1 : 2;
  const std::string container = LowerCase(job.ContainerName);
  if (container == "3gp" || container == "3g2" || container == "amr") out.AudioChannels = 1;

  out.AudioVolume = GetVolume(settings.Volume);
  if (out.AudioVolume == 0) out.DisableAudio = true;
  return true;
}

// Where the output starts and how long it runs, from the marks (ms) and,
// for marks set from the player, their exact times.
// At another frame rate than the source's the segment's pictures end on the
// output's picture grid, not at the end mark; the sound is cut where they end,
// so that both end together: the segment becomes a whole number of output
// pictures.
void RoundToOutputPictures(const TSplitJob& job, TOutputOptions& out) {
  if (out.DisableVideo || out.RecordingTime <= 0) return;
  const double output_rate = ParseDecimal(out.FrameRate).value_or(0);
  const double source_rate = job.SourceFrameRate;
  if (output_rate <= 0 || source_rate <= 0 ||
      std::fabs(output_rate - source_rate) <= source_rate * 0.005) {
    return;
  }
  const int64_t length_us =
      out.RecordingTimeUs > 0 ? out.RecordingTimeUs : out.RecordingTime * int64_t{1000};
  const double pictures = std::max(1.0, std::round(double(length_us) * output_rate / 1e6));
  out.RecordingTimeUs = std::llround(pictures * 1e6 / output_rate);
  out.RecordingTime = int32_t(out.RecordingTimeUs / 1000);
}

void FillTimes(const TSplitJob& job, int32_t start, int32_t end, TOutputOptions& out) {
  out.StartTime = start;
  out.RecordingTime = end - start;
  if (job.StartMark == "0.00" && job.EndMark == "0.00") {
    // No marks: the whole file. No recording time at all, rather than the
    // duration in whole seconds, which would cut off the last fraction of a
    // second; the component still knows the input's duration for progress.
    out.RecordingTime = 0;
  } else if (job.StartExactUs >= 0 || job.EndExactUs >= 0) {
    const int64_t start_us = job.StartExactUs >= 0 ? job.StartExactUs : start * int64_t{1000};
    const int64_t end_us = job.EndExactUs >= 0 ? job.EndExactUs : end * int64_t{1000};
    if (job.StartExactUs > 0) out.StartTimeUs = job.StartExactUs;
    if (end_us > start_us) out.RecordingTimeUs = end_us - start_us;
  }
  RoundToOutputPictures(job, out);
}

}  // namespace

bool BuildSplitPlan(const TSplitJob& job, TSplitPlan& plan, std::string& message) {
  plan = TSplitPlan();
  message.clear();
  TOutputOptions& out = plan.OutputOptions;
  ResetInputOptions(plan.InputOptions);
  ResetOutputOptions(out);
  plan.InputOptions.FileName = job.InputFile;

  int32_t start = 0;
  int32_t end = 0;
  if (!ReadMarks(job, start, end, message)) return false;
  if (IsSmartCopy(job)) {
    // The sound is copied as it is: a changed volume would silently be lost.
    if (job.Settings.Volume != 100) {
      message = "The volume cannot be changed when the sound is copied (\"" +
                std::string(kSameAsSourceFormat) +
                "\").\n\rSet it to 100 or choose another output format.";
      return false;
    }
    out.VideoCodec = "copy";
    out.AudioCodec = "copy";
    // Subtitles go along in the source's own container; one that had to
    // become Matroska might not hold them, so they are left out there.
    if ("." + SmartCopyExtension(job.InputFile) == LowerCase(ExtractFileExt(job.InputFile))) {
      out.SubtitleCodec = "copy";
    } else {
      out.DisableSubtitle = true;
    }
    out.ExtOptions = "smart_copy=1" + SmartReencodeOptions();
    FillTimes(job, start, end, out);
    plan.OutputPath = OutputPathFor(job);
    return true;
  }
  if (Trim(job.ContainerName).empty()) {
    message = "No output format is chosen.\n\rPlease choose one in the output format list.";
    return false;
  }
  const Quality* row = FindPreset(job.FormatText);
  const TTodayFormat* today = row != nullptr ? row->Today.get() : nullptr;
  if (today != nullptr) out.ExtOptions = today->Options;
  if (IsAudioOnlyContainer(job.ContainerName)) {
    out.DisableVideo = true;
  } else if (today != nullptr ? !FillTodayVideo(job, *today, out, message)
                              : !FillVideoOptions(job, out, message)) {
    return false;
  }
  if (today != nullptr ? !FillTodayAudio(job, out, message)
                       : !FillAudioOptions(job, out, message)) {
    return false;
  }
  FillTimes(job, start, end, out);

  plan.OutputPath = OutputPathFor(job);
  return true;
}

namespace {

// The value of `key=` in the option lines, or empty.
std::string OptionValue(const std::string& lines, const std::string& key) {
  std::istringstream in(lines);
  std::string line;
  std::string value;
  while (std::getline(in, line)) {
    line = Trim(line);
    if (line.rfind(key + "=", 0) == 0) value = line.substr(key.size() + 1);
  }
  return value;
}

std::string KbpsText(int32_t bits_per_second) {
  std::ostringstream text;
  text << bits_per_second / 1000.0 << " Kbps";
  return text.str();
}

}  // namespace

std::string FittedSize(const std::string& source_size, const std::string& box) {
  int width = 0, height = 0, box_width = 0, box_height = 0;
  if (std::sscanf(source_size.c_str(), "%dx%d", &width, &height) != 2 || width <= 0 ||
      height <= 0 || std::sscanf(box.c_str(), "%dx%d", &box_width, &box_height) != 2 ||
      box_width <= 0 || box_height <= 0) {
    return box;
  }
  if ((height > width) != (box_height > box_width)) std::swap(box_width, box_height);
  const double scale = std::min({1.0, double(box_width) / width, double(box_height) / height});
  if (scale >= 1.0) return source_size;
  return std::to_string(std::lround(width * scale)) + "x" +
         std::to_string(std::lround(height * scale));
}

std::string ExplainOutput(const TOutputOptions& out, const std::string& source_frame_rate) {
  if (OptionValue(out.ExtOptions, "smart_copy") == "1")
    return "Same as source: copied between key frames, the edges re-encoded";
  std::string video;
  if (!out.DisableVideo) {
    video = VideoCodecDisplayName(out.VideoCodec);
    std::string size = out.FrameSize;
    int width = 0;
    int height = 0;
    if (std::sscanf(size.c_str(), "%dx%d", &width, &height) == 2) {
      width += std::max(0, out.PadLeft) + std::max(0, out.PadRight);
      height += std::max(0, out.PadTop) + std::max(0, out.PadBottom);
      size = std::to_string(width) + "x" + std::to_string(height);
    }
    if (!size.empty()) video += " " + size;
    std::string rate = Trim(out.FrameRate);
    if (rate.empty() && (out.VideoSync == 0 || out.VideoSync == 2)) rate = Trim(source_frame_rate);
    if (!rate.empty()) video += " " + rate + " fps";
    const std::string crf = OptionValue(out.ExtOptions, "crf");
    if (!crf.empty()) {
      video += ", quality " + crf;
    } else if (out.VideoBitrate > 0) {
      video += ", " + KbpsText(out.VideoBitrate);
    }
  }
  std::string audio;
  if (!out.DisableAudio) {
    audio = AudioCodecDisplayName(out.AudioCodec);
    if (out.AudioBitrate > 0 && out.AudioCodec != "flac" && out.AudioCodec.rfind("pcm_", 0) != 0) {
      audio += " " + KbpsText(out.AudioBitrate);
    }
  }
  if (video.empty()) return audio.empty() ? "no pictures, no sound" : audio;
  return audio.empty() ? video + ", no sound" : video + ", " + audio;
}

namespace {

std::string SecondsText(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, seconds >= 0.1 ? "%.1f s" : "%.2f s", seconds);
  return text;
}

}  // namespace

std::string ExplainSmartCut(const TSmartCutForecast& forecast) {
  if (!forecast.WholeReason.empty()) return "re-encodes all: " + forecast.WholeReason;
  const bool head = forecast.HeadSeconds > 0;
  const bool tail = forecast.TailSeconds > 0;
  if (!head && !tail) return "lossless copy";
  std::string text = "re-encodes ";
  if (head) text += SecondsText(forecast.HeadSeconds) + " at the start";
  if (head && tail) text += " and ";
  if (tail) text += SecondsText(forecast.TailSeconds) + " at the end";
  return text;
}

std::string ExplainSegmentCuts(const std::vector<TSmartCutForecast>& forecasts, bool joined) {
  const size_t count = forecasts.size();
  const std::string list = std::to_string(count) + (count == 1 ? " segment" : " segments");
  double seconds = 0;
  size_t whole = 0;
  for (const TSmartCutForecast& forecast : forecasts) {
    seconds += forecast.HeadSeconds + forecast.TailSeconds;
    if (!forecast.WholeReason.empty()) ++whole;
  }
  const std::string prefix = list + (joined ? " joined: " : ": ");
  if (whole > 0) {
    size_t first = 0;
    while (forecasts[first].WholeReason.empty()) ++first;
    const std::string& reason = forecasts[first].WholeReason;
    if (joined) return list + ": cannot be joined without re-encoding them: " + reason;
    if (whole == count) return prefix + "re-encodes all: " + reason;
    return prefix + "segment " + std::to_string(first + 1) + " re-encodes all: " + reason;
  }
  if (seconds <= 0) return prefix + "lossless copy";
  return prefix + "re-encodes " + SecondsText(seconds) + " at their edges";
}

namespace {

// A picture kept on its side with a display matrix, described as players
// show it: a phone clip stored as 360x640 and shown as 640x360 reads 640x360.
TOutputOptions AsShown(const TSplitJob& job, TOutputOptions out) {
  if (out.UprightPictures || !TurnSwapsSides(job.SourceRotation)) return out;
  out.FrameSize = SwappedSize(out.FrameSize);
  std::swap(out.PadLeft, out.PadTop);
  std::swap(out.PadRight, out.PadBottom);
  return out;
}

// The cuts a smart copy makes (start, end µs): the marks', or each segment's
// of a list.
std::vector<std::pair<int64_t, int64_t>> SmartCuts(const TSplitJob& job,
                                                   const TOutputOptions& out) {
  std::vector<std::pair<int64_t, int64_t>> cuts;
  for (const TSegment& segment : job.Segments.Items())
    cuts.emplace_back(std::llround(segment.Start * 1e6), std::llround(segment.End * 1e6));
  if (!cuts.empty()) return cuts;
  const int64_t start = out.StartTimeUs > 0 ? out.StartTimeUs : out.StartTime * int64_t{1000};
  const int64_t length =
      out.RecordingTimeUs > 0 ? out.RecordingTimeUs : out.RecordingTime * int64_t{1000};
  cuts.emplace_back(start, length > 0 ? start + length : INT64_MAX);
  return cuts;
}

}  // namespace

std::string ExplainSplit(const TSplitJob& job, const TSplitPlan& plan,
                         const TForecastCuts& forecast_cuts) {
  const TOutputOptions& out = plan.OutputOptions;
  if (!IsSmartCopy(job) || Trim(job.InputFile).empty())
    return ExplainOutput(AsShown(job, out), WholeRateText(job.SourceFrameRate));
  const std::vector<TSmartCutForecast> forecasts =
      forecast_cuts(job.InputFile, plan.OutputPath, SmartCuts(job, out));
  for (const TSmartCutForecast& forecast : forecasts)
    if (!forecast.Error.empty()) return ExplainOutput(out, WholeRateText(job.SourceFrameRate));
  if (!job.Segments.Empty()) return ExplainSegmentCuts(forecasts, job.JoinSegments);
  return ExplainSmartCut(forecasts.front());
}

}  // namespace kelvane
