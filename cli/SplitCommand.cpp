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
#include "cli/SplitCommandSettings.h"
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
    fprintf(out, "SourceSize=%s SourceFrameRate=%s SourceDuration=%s\n",
            model.SourceSize.Text().c_str(), WholeRateText(model.SourceFrameRate).c_str(),
            model.SourceDuration.c_str());
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

// --volume into the window's volume; false with a message when it is no volume.
bool ChooseVolume(TMainWindowModel& model, const TCliOptions& options, FILE* err) {
  if (!options.Volume) return true;
  const std::optional<long long> value = ParseInteger(*options.Volume);
  if (!value || *value < 0 || *value > 200) {
    PrintError(err, "the volume must be a whole number from 0 to 200, not '" + *options.Volume +
                        "'");
    return false;
  }
  model.SpinVolume = static_cast<int32_t>(*value);
  return true;
}

// Reports how the split ended, one result per segment begun in list order;
// returns the exit status.
int ReportEnding(TMainWindowModel& model, TSplitSession& session, TProgressReporter& reporter) {
  const TSplitEnd& ending = *session.LastEnd();
  if (ending.Outcome == TSplitOutcome::Finished) reporter.Completed(session.LastProgress());
  if (ending.SegmentCount > 0) {
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

// The split itself, once the model is set up: returns the exit status.
int Split(TMainWindowModel& model, TConsoleSink& sink, const TCliOptions& options,
          const TInput& input, TProgressReporter& reporter, FILE* err) {
  if (!ChooseVolume(model, options, err)) return kExitUsage;
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
  return ReportEnding(model, session, reporter);
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
