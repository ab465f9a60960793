#include "cli/SplitCommand.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <atomic>
#include <cinttypes>
#include <memory>
#include <optional>

#include "app/MainWindowModel.h"
#include "app/MessageSink.h"
#include "app/SegmentList.h"
#include "app/SplitSession.h"
#include "app/Quality.h"
#include "app/SettingsLists.h"
#include "app/SplitJob.h"
#include "app/TextUtils.h"
#include "binding/FFmpegLogger.h"
#include "binding/FileUtils.h"
#include "binding/MainThread.h"
#include "cli/ProgressReporter.h"
#include "probe/AVProbe.h"

namespace kelvane::cli {
namespace {

std::atomic<bool> interrupted{false};
std::atomic<bool> suspend_requested{false};

extern "C" void OnInterrupt(int) {
  interrupted = true;
}
extern "C" void OnSuspend(int) {
  suspend_requested = true;
}

// Ctrl-C and Ctrl-Z only raise flags; the main loop acts on them.
class TSignalScope {
 public:
  TSignalScope() {
    interrupted = false;
    suspend_requested = false;
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &old_int_);
    sigaction(SIGTERM, &action, &old_term_);
    action.sa_handler = OnSuspend;
    sigaction(SIGTSTP, &action, &old_tstp_);
  }
  ~TSignalScope() {
    sigaction(SIGINT, &old_int_, nullptr);
    sigaction(SIGTERM, &old_term_, nullptr);
    sigaction(SIGTSTP, &old_tstp_, nullptr);
  }

 private:
  struct sigaction old_int_ {}, old_term_ {}, old_tstp_ {};
};

// The window's message boxes, printed; questions are never asked here.
class TConsoleSink : public TMessageSink {
 public:
  explicit TConsoleSink(TProgressReporter& reporter) : reporter_(reporter) {}
  void ShowMessage(const std::string& caption, const std::string& text) override {
    ++count_;
    reporter_.Message(caption, text);
  }
  void ShowError(const std::string& caption, const std::string& text) override {
    ShowMessage(caption, text);
  }
  bool Confirm(const std::string&, const std::string&) override { return true; }
  std::optional<std::string> ChooseFolder(const std::string&) override { return std::nullopt; }
  int Count() const { return count_; }

 private:
  TProgressReporter& reporter_;
  int count_ = 0;
};

void PrintError(FILE* err, const std::string& text) {
  fprintf(err, "kelvane-split: %s\n", PlainMessage(text).c_str());
}

std::string JoinEntries(const TListModel& list) {
  std::string text;
  for (const std::string& item : list.Items()) {
    const std::string entry = Trim(item);
    if (entry.empty()) continue;
    text += "\n  " + entry;
  }
  return text;
}

// Selects the entry `wanted` names in `list`; false with a message listing the
// valid entries.
bool SelectEntry(TListModel& list, const std::string& what, const std::string& wanted,
                 FILE* err) {
  const int index = MatchEntry(list.Items(), wanted);
  if (index < 0) {
    if (list.Count() == 0) {
      PrintError(err, "the chosen format has no " + what + " to choose from");
    } else {
      PrintError(err, "unknown " + what + " '" + wanted + "'; valid entries:" + JoinEntries(list));
    }
    return false;
  }
  list.Select(index);
  return true;
}

std::string DescribeStreams(TAVProbe& probe) {
  std::string text;
  for (const TStreamSummary& stream : probe.StreamSummaries()) {
    std::string part;
    if (stream.Kind == TStreamSummary::TKind::Video) {
      part = "video: " + stream.CodecName + " " + std::to_string(stream.Width) + "x" +
             std::to_string(stream.Height);
    } else if (stream.Kind == TStreamSummary::TKind::Audio) {
      part = "audio: " + stream.CodecName + " " + std::to_string(stream.SampleRate) + " Hz " +
             std::to_string(stream.Channels) + " ch";
    } else {
      continue;
    }
    text += (text.empty() ? "" : ", ") + part;
  }
  return text;
}

int PrintProbe(TMainWindowModel& model, const std::string& file, FILE* out, FILE* err) {
  TAVProbe& probe = model.Converter().Probe();
  if (!probe.LoadFile(file, "")) {
    PrintError(err, probe.LastErrMsg().empty() ? file + ": cannot be opened" : probe.LastErrMsg());
    return kExitFailed;
  }
  const TFileStreamInfo info = probe.GetFileStreamInfo();
  fprintf(out, "file:      %s\n", file.c_str());
  fprintf(out, "container: %s\n", probe.ContainerName().c_str());
  if (info.Duration >= 0) {
    fprintf(out, "duration:  %.2f s\n", static_cast<double>(info.Duration) / 1e6);
  }
  fprintf(out, "streams:   %d (video %d, audio %d, subtitle %d)\n", probe.StreamCount(),
          probe.VideoStreamCount(), probe.AudioStreamCount(), probe.SubtitleStreamCount());
  if (probe.VideoStreamCount() > 0) {
    const TVideoStreamInfo video = probe.GetVideoStreamInfo();
    fprintf(out, "video:     %s, %dx%d", video.CodecName.c_str(), video.Width, video.Height);
    if (video.FrameRateNum > 0 && video.FrameRateDen > 0) {
      fprintf(out, ", %.3f fps", static_cast<double>(video.FrameRateNum) / video.FrameRateDen);
    }
    if (video.Rotation > 0) fprintf(out, ", shown turned %d degrees clockwise", video.Rotation);
    fputc('\n', out);
  }
  fprintf(out, "summary:   %s\n", DescribeStreams(probe).c_str());
  // The facts the window keeps for a split.
  if (probe.VideoStreamCount() > 0 && model.AddVideoFile(file)) {
    fprintf(out, "SourceSize=%s SourceFrameRate=%s SourceDuration=%s\n", model.SourceSize.c_str(),
            model.SourceFrameRate.c_str(), model.SourceDuration.c_str());
  }
  return kExitSuccess;
}

// The process stops on Ctrl-Z only after the task is paused, and the task
// resumes once the process is continued.
void SuspendWhilePaused(TSplitSession& session, TProgressReporter& reporter) {
  session.Pause();
  reporter.PauseBegan();
  signal(SIGTSTP, SIG_DFL);
  raise(SIGTSTP);
  // Continued.
  struct sigaction action {};
  action.sa_handler = OnSuspend;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTSTP, &action, nullptr);
  reporter.PauseEnded();
  session.Resume();
}

// The opened input. An input without pictures may go to an audio-only
// format only, which the window does not offer for it.
struct TInput {
  bool AudioOnly = false;
  int64_t DurationUs = -1;  // -1 unknown
};

// Opens the input the window's way; returns an exit status, or -1 to go on.
int OpenInput(TMainWindowModel& model, const std::string& file, TConsoleSink& sink, FILE* err,
              TInput& input) {
  if (!FileExists(file)) {
    PrintError(err, file + ": no such file");
    return kExitFailed;
  }
  TAVProbe& probe = model.Converter().Probe();
  if (probe.LoadFile(file, "")) {
    input.DurationUs = probe.GetFileStreamInfo().Duration;
    input.AudioOnly = probe.VideoStreamCount() == 0 && probe.AudioStreamCount() > 0;
  }
  if (input.AudioOnly) {
    model.EditInputFilename = file;
    model.SourceDuration = std::to_string(input.DurationUs < 0 ? 0 : input.DurationUs / 1000000);
    return -1;
  }
  const int messages_before = sink.Count();
  if (!model.AddVideoFile(file)) {
    if (sink.Count() == messages_before) {
      const std::string why = probe.LastErrMsg();
      PrintError(err, why.empty() ? file + ": not a media file Kelvane can read" : why);
    }
    return kExitFailed;
  }
  return -1;
}

// The format and the settings lists as the command line names them; returns
// an exit status, or -1 to go on.
int ChooseSettings(TMainWindowModel& model, const TCliOptions& options, const TInput& input,
                   FILE* err) {
  // The format first: it refills every settings list.
  // Without one, the format a new user of the window starts with: the most widely playable.
  const std::string wanted = options.Format ? *options.Format : std::string(DefaultFormat());
  const int index = MatchEntry(model.ComboOutputFormat.Items(), wanted);
  if (index < 0 || FindPreset(model.ComboOutputFormat.Item(index)) == nullptr) {
    std::string valid;
    for (const std::string& entry : model.ComboOutputFormat.Items()) {
      if (FindPreset(entry) != nullptr) valid += "\n  " + entry;
    }
    PrintError(err, "unknown format '" + wanted + "'; valid formats:" + valid);
    return kExitUsage;
  }
  model.ComboOutputFormat.Select(index);
  model.ComboOutputFormatChange();
  if (input.AudioOnly && !model.IsAudioOnly()) {
    std::string valid;
    for (const std::string& entry : model.ComboOutputFormat.Items()) {
      const Quality* row = FindPreset(entry);
      if (row != nullptr && IsAudioOnlyContainer(row->Container)) valid += "\n  " + entry;
    }
    PrintError(err, options.InputFile +
                        " has no pictures; name an audio-only format with --format:" + valid);
    return kExitUsage;
  }
  // Quality levels set the bitrate lists; an explicit bitrate is chosen after them.
  if (options.VideoQuality) {
    if (!SelectEntry(model.ComboVideoQuality, "video quality", *options.VideoQuality, err)) {
      return kExitUsage;
    }
    model.ComboVideoQualityChange(model.ComboVideoQuality);
  }
  if (options.AudioQuality) {
    if (!SelectEntry(model.ComboAudioQuality, "audio quality", *options.AudioQuality, err)) {
      return kExitUsage;
    }
    model.ComboVideoQualityChange(model.ComboAudioQuality);
  }
  struct TListChoice {
    const std::optional<std::string>& wanted;
    TListModel& list;
    const char* what;
  };
  const TListChoice choices[] = {
      {options.VideoCodec, model.ComboVideoCodec, "video codec"},
      {options.VideoBitrate, model.ComboVideoBitrate, "video bitrate"},
      {options.FrameRate, model.ComboVideoFramerate, "frame rate"},
      {options.AudioCodec, model.ComboAudioCodec, "audio codec"},
      {options.AudioBitrate, model.ComboAudioBitrate, "audio bitrate"},
      {options.SampleRate, model.ComboSamplingRate, "sample rate"},
      {options.Channels, model.ComboAudioChannels, "channel setting"},
  };
  for (const TListChoice& choice : choices) {
    if (choice.wanted && !SelectEntry(choice.list, choice.what, *choice.wanted, err)) {
      return kExitUsage;
    }
  }
  if (options.Size) {
    if (!SelectEntry(model.ComboVideoSize, "size", *options.Size, err)) return kExitUsage;
    model.ComboVideoSizeChange(model.ComboVideoSize);
  }
  if (options.Letterbox) {
    const std::string value = LowerCase(Trim(*options.Letterbox));
    if (value == "yes" || value == "on" || value == "1") {
      model.ComboLetterBox.Select(1);
    } else if (value == "no" || value == "off" || value == "0") {
      model.ComboLetterBox.Select(0);
    } else if (!SelectEntry(model.ComboLetterBox, "letterbox setting", *options.Letterbox, err)) {
      return kExitUsage;
    }
  }
  return -1;
}

// --list-entries: what an option that names a list entry accepts, one a line,
// for the format the command line names; the formats themselves without their
// group headers.
int PrintListEntries(TMainWindowModel& model, const TCliOptions& options, FILE* out, FILE* err) {
  static const std::pair<const char*, TListModel TMainWindowModel::*> kLists[] = {
      {"format", &TMainWindowModel::ComboOutputFormat},
      {"video-codec", &TMainWindowModel::ComboVideoCodec},
      {"video-bitrate", &TMainWindowModel::ComboVideoBitrate},
      {"size", &TMainWindowModel::ComboVideoSize},
      {"frame-rate", &TMainWindowModel::ComboVideoFramerate},
      {"audio-codec", &TMainWindowModel::ComboAudioCodec},
      {"audio-bitrate", &TMainWindowModel::ComboAudioBitrate},
      {"sample-rate", &TMainWindowModel::ComboSamplingRate},
      {"channels", &TMainWindowModel::ComboAudioChannels},
      {"video-quality", &TMainWindowModel::ComboVideoQuality},
      {"audio-quality", &TMainWindowModel::ComboAudioQuality},
      {"letterbox", &TMainWindowModel::ComboLetterBox},
  };
  std::string name = options.ListEntries;
  if (name.rfind("--", 0) == 0) name.erase(0, 2);
  const auto* found = std::find_if(std::begin(kLists), std::end(kLists),
                                   [&](const auto& list) { return name == list.first; });
  if (found == std::end(kLists)) {
    std::string valid;
    for (const auto& list : kLists) valid += std::string("\n  ") + list.first;
    PrintError(err, "--list-entries knows no list '" + options.ListEntries + "'; valid lists:" +
                        valid);
    return kExitUsage;
  }
  if (const int status = ChooseSettings(model, options, TInput{}, err); status >= 0) return status;
  for (const std::string& item : (model.*(found->second)).Items()) {
    const std::string entry = Trim(item);
    // The format list's group headers and gaps are no formats.
    if (entry.empty() || (name == "format" && FindPreset(item) == nullptr)) continue;
    fprintf(out, "%s\n", entry.c_str());
  }
  return kExitSuccess;
}

// The marks of the job from --start, --end and --duration; returns an exit
// status, or -1 to go on. An end past the end of the input is moved to it.
int SetMarks(TSplitJob& job, const TCliOptions& options, const TInput& input,
             TProgressReporter& reporter, FILE* err) {
  std::optional<int64_t> start = 0, end = 0;
  struct TTyped {
    const std::optional<std::string>& text;
    std::optional<int64_t>& value;
    const char* what;
  };
  std::optional<int64_t> duration;
  for (const TTyped& typed : {TTyped{options.Start, start, "start"},
                              TTyped{options.End, end, "end"},
                              TTyped{options.Duration, duration, "duration"}}) {
    if (!typed.text) continue;
    typed.value = MarkHundredths(*typed.text);
    if (!typed.value) {
      PrintError(err, BadMarkMessage(typed.what, *typed.text));
      return kExitUsage;
    }
  }
  if (duration) end = *start + *duration;
  const bool to_the_end = !options.End && !options.Duration;
  const int64_t length = input.DurationUs < 0 ? -1 : (input.DurationUs + 9999) / 10000;
  if (length >= 0 && *start >= length && *start > 0) {
    PrintError(err, "the start " + MarkFromHundredths(*start) + " lies past the end of " +
                        options.InputFile + " (" + MarkFromHundredths(length) + " s)");
    return kExitUsage;
  }
  if (to_the_end && *start > 0 && length >= 0) end = length;
  if (!to_the_end && length >= 0 && *end > length) {
    reporter.Message("Information", "The end " + MarkFromHundredths(*end) +
                                        " lies past the end of the file; the split ends at its "
                                        "end, " + MarkFromHundredths(length) + ".");
    end = length;
  }
  if (!to_the_end && *end < *start) {
    reporter.Message("Information", EndBeforeStartMessage());
    return kExitUsage;
  }
  job.StartMark = MarkFromHundredths(*start);
  job.EndMark = MarkFromHundredths(*end);
  return -1;
}

// The segments of --segment or --segments, checked against each other and
// the input's length; returns an exit status, or -1 to go on.
int SetSegments(TSplitJob& job, const TCliOptions& options, const TInput& input, FILE* err) {
  TSegmentList list;
  std::string error;
  if (options.SegmentsFile) {
    std::ifstream file(*options.SegmentsFile, std::ios::binary);
    if (!file) {
      PrintError(err, *options.SegmentsFile + ": the segment list cannot be read");
      return kExitUsage;
    }
    std::ostringstream text;
    text << file.rdbuf();
    if (!TSegmentList::ReadCsv(text.str(), list, error)) {
      PrintError(err, *options.SegmentsFile + ": " + error);
      return kExitUsage;
    }
  }
  for (const std::string& value : options.Segments) {
    TSegment segment;
    if (!TSegmentList::ReadSegment(value, segment, error)) {
      PrintError(err, "--segment " + value + ": " + error);
      return kExitUsage;
    }
    list.Add(segment);
  }
  error = list.Validate(input.DurationUs > 0 ? static_cast<double>(input.DurationUs) / 1e6 : 0);
  if (!error.empty()) {
    PrintError(err, error);
    return kExitUsage;
  }
  job.Segments = list;
  job.JoinSegments = options.Join;
  return -1;
}

// Runs the started split to its end, with Ctrl-C and Ctrl-Z. Each press is
// taken once: the first Ctrl-C stops the split (its file is still finished),
// one during the check of a finished split stops the check; Ctrl-Z pauses
// whenever the split runs.
void FollowSplit(TSplitSession& session, TProgressReporter& reporter) {
  bool stop_sent = false;
  int progress_seen = 0;
  auto flush_progress = [&] {
    if (session.ProgressCount() == progress_seen) return;
    progress_seen = session.ProgressCount();
    reporter.Progress(session.LastProgress());
  };
  while (session.Running()) {
    WaitOnMainThread(
        [&] {
          return !session.Running() || session.ProgressCount() != progress_seen || interrupted ||
                 suspend_requested;
        },
        std::chrono::milliseconds(250));
    flush_progress();
    if (interrupted.exchange(false) && session.Running()) {
      if (session.Checking()) {
        reporter.Message("Information",
                         "Stopping the check: the new file is kept as it is, unchecked.");
        session.Stop();
      } else if (!stop_sent) {
        stop_sent = true;
        reporter.Message("Information", "Stopping: the file written so far is being finished.");
        session.Stop();
      }
    }
    if (suspend_requested.exchange(false) && session.Running()) {
      SuspendWhilePaused(session, reporter);
    }
  }
  // The component's last end events may still be on their way.
  session.WaitForEnd(std::chrono::milliseconds(5000));
  flush_progress();
}

TSplitResult MakeResult(const TSplitEnd& ending, TAVProbe& probe) {
  TSplitResult result;
  result.OutputPath = ending.OutputPath;
  result.FramesWritten = ending.FramesWritten;
  result.Check = ending.Check;
  result.Method = ending.Method;
  result.MethodReason = ending.MethodReason;
  result.CopiedPictures = ending.CopiedPictures;
  result.EncodedPictures = ending.EncodedPictures;
  switch (ending.Outcome) {
    case TSplitOutcome::Failed:
      result.Outcome = "failed";
      result.Message = ending.Reason;
      break;
    case TSplitOutcome::Stopped:
      result.Outcome = "stopped";
      result.Message = "Stopped by the user.";
      break;
    case TSplitOutcome::Finished:
      result.Outcome = "finished";
      result.Message = "Splitting job completed!";
      break;
  }
  if (!result.OutputPath.empty() && FileExists(result.OutputPath) &&
      probe.LoadFile(result.OutputPath, "")) {
    const TFileStreamInfo info = probe.GetFileStreamInfo();
    if (info.Duration >= 0) result.OutputDurationMs = info.Duration / 1000;
    result.Streams = DescribeStreams(probe);
    probe.CloseFile();
  }
  return result;
}

void PrintLogLines(TProgressReporter& reporter) {
  GetLogger().OnLog = [&reporter](const void*, uint32_t, TLogLevel log_level,
                                  const std::string& message) {
    const size_t level = static_cast<size_t>(log_level);
    std::string text = message;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    reporter.LogLine(level < kLogLevelNames.size() ? kLogLevelNames[level] : "log", text);
  };
}

// The split itself, once the model is set up: returns the exit status.
int Split(TMainWindowModel& model, TConsoleSink& sink, const TCliOptions& options,
          const TInput& input, TProgressReporter& reporter, FILE* err) {
  if (options.Volume) {
    const std::optional<long long> value = ParseInteger(*options.Volume);
    if (!value || *value < 0 || *value > 200) {
      PrintError(err, "the volume must be a whole number from 0 to 200, not '" + *options.Volume +
                          "'");
      return kExitUsage;
    }
    model.SpinVolume = static_cast<int32_t>(*value);
  }
  // What the window's lists and volume now say, with the marks and folder of
  // the command line.
  TSplitJob job = model.MakeSplitJob();
  const bool list = !options.Segments.empty() || options.SegmentsFile;
  if (const int status = list ? SetSegments(job, options, input, err)
                              : SetMarks(job, options, input, reporter, err);
      status >= 0) {
    return status;
  }
  // The folder: the input's own unless one is named.
  std::string folder = options.OutputDir ? *options.OutputDir
                                         : ExtractFilePath(ExpandFileName(options.InputFile));
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  job.OutputFolder = folder;
  job.Overwrite = options.Overwrite;
  job.SmartCopy = options.SmartCopy;

  {
    // What the file will be, from the same plan the split runs.
    TSplitPlan plan;
    std::string ignored;
    if (BuildSplitPlan(job, plan, ignored)) {
      reporter.Explained(ExplainSplit(job, plan));
    }
  }
  TSignalScope signals;
  TSplitSession& session = model.Session();
  session.CheckOutput = !options.NoCheck;
  std::string refusal;
  if (!session.Start(job, refusal)) {
    sink.ShowMessage("Information", refusal);
    // The component's reason, when it has one.
    if (!model.Converter().LastError().empty()) PrintError(err, model.Converter().LastError());
    return kExitFailed;
  }
  reporter.Started(options.InputFile, session.OutputPath());
  FollowSplit(session, reporter);

  const TSplitEnd& ending = *session.LastEnd();
  if (ending.Outcome == TSplitOutcome::Finished) reporter.Completed(session.LastProgress());
  if (ending.SegmentCount > 0) {
    // One result per segment begun, in list order.
    for (size_t i = 0; i < ending.Files.size(); ++i) {
      TSplitResult result = MakeResult(ending.Files[i], model.Converter().Probe());
      result.Segment = static_cast<int32_t>(i + 1);
      result.SegmentCount = ending.SegmentCount;
      reporter.Finished(result);
    }
    if (ending.Files.empty()) reporter.Finished(MakeResult(ending, model.Converter().Probe()));
  } else {
    reporter.Finished(MakeResult(ending, model.Converter().Probe()));
  }
  switch (ending.Outcome) {
    case TSplitOutcome::Finished: return kExitSuccess;
    case TSplitOutcome::Stopped: return kExitInterrupted;
    default: return kExitFailed;
  }
}

}  // namespace

int RunSplitCommand(const TCliOptions& options, FILE* out, FILE* err) {
  if (options.Help) {
    fputs(UsageText().c_str(), out);
    return kExitSuccess;
  }
  TProgressReporter::TMode mode = options.Json ? TProgressReporter::TMode::Json
                                  : isatty(fileno(err)) ? TProgressReporter::TMode::Terminal
                                                        : TProgressReporter::TMode::Lines;
  TProgressReporter reporter(mode, out, err);
  // Log lines reach the main thread while it pumps; the handler goes before the reporter.
  struct TLogScope {
    ~TLogScope() { GetLogger().OnLog = nullptr; }
  } log_scope;
  if (options.Verbose) PrintLogLines(reporter);
  TConsoleSink sink(reporter);
  TMainWindowModel model(sink);
  model.FormCreate(ProgramFolder());
  if (!model.Converter().LibrariesLoaded()) return kExitFailed;  // the model said why

  if (options.ListFormats) {
    for (const std::string& entry : model.ComboOutputFormat.Items()) {
      fprintf(out, "%s\n", entry.c_str());
    }
    return kExitSuccess;
  }
  if (!options.ListEntries.empty()) return PrintListEntries(model, options, out, err);
  if (!options.ProbeFile.empty()) return PrintProbe(model, options.ProbeFile, out, err);

  TInput input;
  if (const int status = OpenInput(model, options.InputFile, sink, err, input); status >= 0) {
    return status;
  }
  if (const int status = ChooseSettings(model, options, input, err); status >= 0) return status;
  return Split(model, sink, options, input, reporter, err);
}

}  // namespace kelvane::cli
