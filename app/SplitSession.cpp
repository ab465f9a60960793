#include "app/SplitSession.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <utility>

#include "app/MarkTime.h"
#include "app/OutputName.h"
#include "app/TextUtils.h"
#include "binding/FFmpegLogger.h"
#include "binding/FileUtils.h"
#include "binding/MainThread.h"
#include "engine/EncoderLimits.h"
#include "engine/FFmpeg.h"

namespace kelvane {
namespace {

const char kRunning[] = "A splitting job is already running.";
const char kCannotSplit[] = "This file cannot be splitted!";
const char kCannotSetOutput[] = "This file cannot be splitted!\n\rPlease send the file to Orvath.";
const char kCannotStart[] = "The splitting job could not be started.\n\r";
const char kUnknownFailure[] = "An unknown error occurred.";

using TWeakSession = TWeakOwner<TSplitSession>;

// What a segment's file is named after: its label, with characters a file
// name cannot hold replaced, or "segment N".
std::string SegmentFileLabel(const TSegment& segment, size_t index) {
  std::string label = Trim(segment.Label);
  for (char& c : label) {
    if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 32) c = '_';
  }
  if (label.empty() || label == "." || label == "..") label = "segment " + std::to_string(index + 1);
  return label;
}

// What the check needs to know of a split.
TSplitCheckRequest CheckRequestFor(const TSplitJob& job, const TSplitPlan& plan) {
  const TOutputOptions& out = plan.OutputOptions;
  TSplitCheckRequest request;
  request.SourceFile = job.InputFile;
  // The exact times of marks set from the picture, when there are any.
  request.StartUs = out.StartTimeUs > 0 ? out.StartTimeUs : int64_t(std::max(out.StartTime, 0)) * 1000;
  request.EndUs = out.RecordingTimeUs > 0 ? request.StartUs + out.RecordingTimeUs
                  : out.RecordingTime > 0 ? request.StartUs + int64_t(out.RecordingTime) * 1000
                                          : -1;
  request.PadTop = std::max(out.PadTop, 0);
  request.PadBottom = std::max(out.PadBottom, 0);
  request.PadLeft = std::max(out.PadLeft, 0);
  request.PadRight = std::max(out.PadRight, 0);
  return request;
}

// The job of segment `i` of a list, written to a file of its own.
TSplitJob SegmentJob(const TSplitJob& job, const TSegment& segment, size_t i) {
  TSplitJob one = job;
  one.Segments.Clear();
  one.JoinSegments = false;
  one.NameSuffix = " - " + SegmentFileLabel(segment, i);
  const int64_t start = std::llround(segment.Start * 1e6);
  const int64_t end = std::llround(segment.End * 1e6);
  // The panels' texts the marks would show; the exact times decide.
  one.StartMark = MarkFromHundredths(start / 10000);
  one.EndMark = MarkFromHundredths(std::max<int64_t>((end + 9999) / 10000, 1));
  one.StartExactUs = start;
  one.EndExactUs = end;
  return one;
}

// Joined segments: the input is opened once for each, sought to its start,
// and gives the length of its segment to the output. The options of segment `k`.
TInputOptions JoinPart(const TSplitPlan& plan, const TSplitJob& job, size_t k) {
  TInputOptions in = plan.InputOptions;
  const TSegment& segment = job.Segments.Items()[k];
  in.StartTimeUs = std::llround(segment.Start * 1e6);
  in.JoinLengthUs = std::llround(segment.End * 1e6) - in.StartTimeUs;
  in.JoinTitle = segment.Label.empty() ? "Segment " + std::to_string(k + 1) : segment.Label;
  return in;
}

// The joined file is checked part by part against its segments: one request
// for each, `whole` with the part's times in the input and in the output.
std::vector<TSplitCheckRequest> PartRequests(const TSplitCheckRequest& whole,
                                             const TSegmentList& segments) {
  std::vector<TSplitCheckRequest> requests;
  int64_t at = 0;
  for (const TSegment& segment : segments.Items()) {
    TSplitCheckRequest request = whole;
    request.StartUs = std::llround(segment.Start * 1e6);
    request.EndUs = std::llround(segment.End * 1e6);
    request.OutputStartUs = at;
    at += request.EndUs - request.StartUs;
    request.OutputEndUs = at;
    requests.push_back(request);
  }
  return requests;
}

}  // namespace

TSplitSession::TSplitSession(TFFConverter& converter)
    : converter_(converter), owner_(this) {
  Connect(generation_);
}

TSplitSession::~TSplitSession() {
  // Reports still queued for the main thread find the session gone.
  owner_.Cut();
  if (running_ && !checking_) {
    // The window closes during a split: the task stops, and its finished
    // file keeps, as a stopped split's does.
    converter_.Stop(true);
    SettleOutput(TSplitOutcome::Stopped);
  }
  DecideCheck(std::string());
  if (check_stop_) *check_stop_ = true;
  if (check_thread_.joinable()) check_thread_.join();
}

void TSplitSession::Log(const std::string& text) { GetLogger().Log(this, llInfo, text); }

void TSplitSession::Connect(uint64_t generation) {
  TWeakSession weak = owner_.Weak();
  converter_.OnProgress = [weak, generation](const TProgressInfo& info) {
    const TSplitProgress progress{info.FrameNumber,         info.FPS,         info.CurrentDuration,
                                  info.TotalOutputDuration, info.CurrentSize, info.BitRate};
    PostToMainThread([weak, generation, progress] {
      if (TSplitSession* self = weak.Get()) self->Progressed(generation, progress);
    });
  };
  converter_.OnTerminate = [weak, generation, temporary = temporary_path_](
                               int32_t index, bool finished, bool exception,
                               const std::string& message) {
    // The written file's data goes to the disk here, on the engine's thread,
    // so that the main thread's rename (which syncs again) does not wait for it.
    if (index >= 0 && !exception && !temporary.empty()) SyncOutputData(temporary);
    PostToMainThread([weak, generation, index, finished, exception, message] {
      if (TSplitSession* self = weak.Get()) {
        self->Terminated(generation, index, finished, exception, message);
      }
    });
  };
}

bool TSplitSession::Start(const TSplitJob& job, std::string& message) {
  thread_.Check();
  message.clear();
  if (running_) {
    message = kRunning;
    return false;
  }
  list_jobs_.clear();
  list_lengths_.clear();
  list_ends_.clear();
  list_next_ = 0;
  list_stopped_ = false;
  join_lengths_.clear();
  if (job.Segments.Empty()) return StartOne(job, message);
  if (Trim(job.InputFile).empty()) {
    message = NoInputMessage();
    return false;
  }
  message = job.Segments.Validate(job.SourceDurationUs > 0 ? job.SourceDurationUs / 1e6 : 0);
  if (!message.empty()) return false;
  const std::vector<TSegment>& segments = job.Segments.Items();
  if (job.JoinSegments) {
    // One run: the input once per segment, each from its start for its
    // length, into one file.
    TSplitJob joined = job;
    joined.StartMark = joined.EndMark = "0.00";
    joined.StartExactUs = joined.EndExactUs = -1;
    joined.NameSuffix = " - joined";
    for (const TSegment& segment : segments) {
      join_lengths_.push_back(static_cast<int32_t>(
          (std::llround(segment.End * 1e6) - std::llround(segment.Start * 1e6)) / 1000));
    }
    list_jobs_.push_back(std::move(joined));
    list_next_ = 1;
    if (!StartOne(list_jobs_[0], message)) {
      list_jobs_.clear();
      join_lengths_.clear();
      return false;
    }
    return true;
  }
  for (size_t i = 0; i < segments.size(); ++i) {
    const TSplitJob& one = list_jobs_.emplace_back(SegmentJob(job, segments[i], i));
    list_lengths_.push_back(static_cast<int32_t>((one.EndExactUs - one.StartExactUs) / 1000));
  }
  list_next_ = 1;
  if (!StartOne(list_jobs_[0], message)) {
    list_jobs_.clear();
    return false;
  }
  return true;
}

bool TSplitSession::StartOne(const TSplitJob& job, std::string& message) {
  message.clear();
  if (running_) {
    message = kRunning;
    return false;
  }
  // Whatever is still on its way from an earlier run is not this run's.
  ++generation_;
  if (Trim(job.InputFile).empty()) {
    message = NoInputMessage();
    return false;
  }
  message = OutputFolderProblem(job.OutputFolder);
  if (!message.empty()) return false;

  Log("Split job:\n" + job.Describe());
  TSplitPlan plan;
  if (!BuildSplitPlan(job, plan, message)) return false;
  FitAudioSampleRate(plan);
  Log("Output file: " + plan.OutputPath);
  const bool join = job.JoinSegments && !job.Segments.Empty();
  const int32_t index = AddTask(job, plan, join, message);
  return index >= 0 && SetUpOutput(job, plan, index, message) &&
         Launch(job, plan, join, message);
}

void TSplitSession::FitAudioSampleRate(TSplitPlan& plan) {
  TOutputOptions& out = plan.OutputOptions;
  // An "Original" rate is the source's, which the engine keeps.
  if (out.DisableAudio || out.AudioSampleRate <= 0) return;
  const int32_t rate =
      NearestSupportedSampleRate(out.AudioCodec, plan.OutputPath, out.AudioSampleRate);
  if (rate == out.AudioSampleRate) return;
  Log("The audio encoder cannot take " + std::to_string(out.AudioSampleRate) + " Hz; using " +
      std::to_string(rate) + " Hz");
  out.AudioSampleRate = rate;
}

int32_t TSplitSession::AddTask(const TSplitJob& job, TSplitPlan& plan, bool join,
                               std::string& message) {
  converter_.ClearTasks();
  const TInputOptions first = join ? JoinPart(plan, job, 0) : plan.InputOptions;
  const int32_t index = converter_.AddTask(job.InputFile, &first);
  bool opened = index >= 0;
  for (size_t k = 1; join && opened && k < job.Segments.Count(); ++k) {
    const TInputOptions next = JoinPart(plan, job, k);
    TFFmpeg* task = converter_.Task(index);
    opened = task->SetUpInput(job.InputFile, &next);
    if (!opened) Log(task->LastError);
  }
  if (!opened) {
    Log(converter_.LastError());
    if (index >= 0) converter_.RemoveTask(index);
    message = kCannotSplit;
    return -1;
  }
  if (join) plan.OutputOptions.Join = true;
  return index;
}

bool TSplitSession::SetUpOutput(const TSplitJob& job, TSplitPlan& plan, int32_t index,
                                std::string& message) {
  // Splits killed outright left their unfinished files behind.
  for (const std::string& leftover : RemoveLeftoverOutputs(ExtractFilePath(plan.OutputPath))) {
    Log("Removed the unfinished file of an earlier split: " + leftover);
  }
  output_path_ = plan.OutputPath;
  temporary_path_ = TemporaryOutputName(plan.OutputPath);
  overwrite_ = job.Overwrite;
  if (converter_.SetOutput(index, temporary_path_, &plan.OutputOptions)) return true;
  Log(converter_.LastError());
  converter_.RemoveTask(index);
  SettleOutput(TSplitOutcome::Failed);
  message = kCannotSetOutput;
  return false;
}

bool TSplitSession::Launch(const TSplitJob& job, const TSplitPlan& plan, bool join,
                           std::string& message) {
  check_request_ = CheckRequestFor(job, plan);
  part_requests_.clear();
  if (join) part_requests_ = PartRequests(check_request_, job.Segments);
  if (list_next_ <= 1) {
    // A list's reports count on over its segments.
    progress_count_ = 0;
    last_progress_ = TSplitProgress();
  }
  stop_requested_ = false;
  // No worker runs now (ClearTasks waited for them): the handlers can change.
  Connect(generation_);
  running_ = true;
  try {
    converter_.Start(1);
    if (CheckOutput) StartCheck(!plan.OutputOptions.DisableVideo);
  } catch (const std::exception& error) {
    running_ = false;
    ++generation_;
    converter_.Stop(true);
    converter_.ClearTasks();
    SettleOutput(TSplitOutcome::Failed);
    message = kCannotStart + std::string(error.what());
    return false;
  }
  return true;
}

void TSplitSession::Pause() {
  thread_.Check();
  if (running_) converter_.Pause();
}

void TSplitSession::Resume() {
  thread_.Check();
  if (running_) converter_.Resume();
}

void TSplitSession::Stop() {
  thread_.Check();
  if (!running_) return;
  // A list stops as a whole: no segment after this one begins.
  list_stopped_ = true;
  if (next_pending_) return;  // between segments: the next one does not begin
  if (checking_) {
    // The file is finished and has its name; only the check is cut short.
    // Its thread notices soon and its late result finds the split ended.
    if (check_stop_) *check_stop_ = true;
    TSplitEnd end = checked_end_;
    end.Check = TSplitCheck{};
    end.Check->Problem = kCheckStopped;
    Log("The check of " + end.OutputPath + " was stopped");
    Ended(end);
    return;
  }
  stop_requested_ = true;
  converter_.Stop(true);
}

bool TSplitSession::WaitForEnd(std::chrono::milliseconds timeout) {
  thread_.Check();
  return WaitOnMainThread([this] { return !running_ && converter_.TerminateEventsDone(); },
                          timeout);
}

void TSplitSession::Progressed(uint64_t generation, const TSplitProgress& reported) {
  if (generation != generation_) return;
  ++progress_count_;
  TSplitProgress progress = reported;
  if (!list_jobs_.empty() && join_lengths_.empty()) {
    // The list's time: the segments before this one whole, this one so far.
    const size_t current = list_next_ - 1;
    int64_t done = 0, total = 0;
    for (size_t i = 0; i < list_lengths_.size(); ++i) {
      if (i < current) done += list_lengths_[i];
      total += list_lengths_[i];
    }
    done += std::clamp(progress.CurrentDuration, 0, list_lengths_[current]);
    progress.CurrentDuration = static_cast<int32_t>(std::min<int64_t>(done, INT32_MAX));
    progress.TotalOutputDuration = static_cast<int32_t>(std::min<int64_t>(total, INT32_MAX));
    progress.Segment = static_cast<int32_t>(list_next_);
    progress.SegmentCount = static_cast<int32_t>(list_jobs_.size());
  }
  if (!join_lengths_.empty()) {
    // One run through every part: the part the position lies in.
    int64_t end = 0, total = 0;
    progress.Segment = 0;
    for (size_t i = 0; i < join_lengths_.size(); ++i) {
      end += join_lengths_[i];
      if (progress.Segment == 0 && progress.CurrentDuration < end) {
        progress.Segment = static_cast<int32_t>(i + 1);
      }
    }
    total = end;
    if (progress.Segment == 0) progress.Segment = static_cast<int32_t>(join_lengths_.size());
    progress.SegmentCount = static_cast<int32_t>(join_lengths_.size());
    progress.TotalOutputDuration = static_cast<int32_t>(std::min<int64_t>(total, INT32_MAX));
  }
  last_progress_ = progress;
  if (OnProgress) OnProgress(progress);
}

void TSplitSession::Terminated(uint64_t generation, int32_t index, bool finished, bool exception,
                               const std::string& message) {
  // The task's own report comes first; the all-tasks-done one after it finds
  // the split already ended.
  if (generation != generation_ || !running_ || checking_) return;
  TSplitEnd end;
  end.FramesWritten = std::max(0, last_progress_.FrameNumber);
  if (index >= 0) {
    if (const TFFmpeg* task = converter_.Task(index)) {
      end.Method = task->CutReport.Method;
      end.MethodReason = task->CutReport.Reason;
      end.CopiedPictures = task->CutReport.CopiedPictures;
      end.EncodedPictures = task->CutReport.EncodedPictures;
    }
  }
  if (exception) {
    end.Outcome = TSplitOutcome::Failed;
    end.Reason = message.empty() ? std::string(kUnknownFailure) : message;
  } else if (stop_requested_ || !finished || index < 0) {
    end.Outcome = TSplitOutcome::Stopped;
  }
  end.OutputPath = SettleOutput(end.Outcome);
  if (!end.OutputPath.empty()) output_path_ = end.OutputPath;
  if (end.Outcome == TSplitOutcome::Finished && check_run_ && !end.OutputPath.empty()) {
    checking_ = true;
    checked_end_ = end;
    DecideCheck(end.OutputPath, end.Method.empty() ? -1 : end.CopiedPictures);
    return;
  }
  DecideCheck(std::string());
  Ended(end);
}

std::string TSplitSession::SettleOutput(TSplitOutcome outcome) {
  const std::string temporary = std::exchange(temporary_path_, std::string());
  // Nothing written: the engine removes a file it left empty.
  if (temporary.empty() || !FileExists(temporary)) return std::string();
  if (outcome == TSplitOutcome::Failed) {
    std::remove(temporary.c_str());
    return std::string();
  }
  std::string error;
  const std::string name = CommitOutputName(temporary, output_path_, overwrite_, error);
  if (name.empty()) {
    Log("The new file keeps the name " + temporary + ": " + error);
    return temporary;
  }
  if (name != output_path_) Log("Another file took the name meanwhile; the new file is " + name);
  return name;
}

void TSplitSession::StartCheck(bool pictures) {
  if (check_thread_.joinable()) check_thread_.join();
  auto run = std::make_shared<TCheckRun>();
  check_run_ = run;
  auto stop = std::make_shared<std::atomic<bool>>(false);
  check_stop_ = stop;
  TWeakSession weak = owner_.Weak();
  check_thread_ = std::thread([run, stop, weak, generation = generation_, pictures,
                               request = check_request_, parts = part_requests_]() mutable {
    request.Stop = stop.get();
    for (TSplitCheckRequest& part : parts) part.Stop = stop.get();
    // Whatever goes wrong here (memory running out, a library's surprise)
    // becomes a check that could not be done, not the end of the program;
    // the thread still waits for the split's end, which waits for its report.
    std::string failure;
    auto note = [&failure](const char* what) {
      if (failure.empty()) failure = std::string("the check could not run: ") + what;
    };
    TSourcePictures source;
    std::vector<TSourcePictures> part_sources(parts.size());
    try {
      if (pictures && parts.empty()) source = ReadSourcePictures(request);
      for (size_t i = 0; pictures && i < parts.size(); ++i) {
        part_sources[i] = ReadSourcePictures(parts[i]);
      }
    } catch (const std::exception& error) {
      note(error.what());
    } catch (...) {
      note("an unknown error occurred");
    }
    {
      std::unique_lock<std::mutex> lock(run->lock);
      run->decided_changed.wait(lock, [&run] { return run->decided; });
      if (run->output.empty()) return;
      request.OutputFile = run->output;
      request.CopiedPictures = run->copied;
      for (TSplitCheckRequest& part : parts) part.OutputFile = run->output;
    }
    TSplitCheck check;
    try {
      if (failure.empty() && parts.empty()) check = CheckSplit(request, source);
      if (failure.empty() && !parts.empty()) {
        check = CheckJoined(parts, part_sources);
        ProveJoinedCopies(parts, request.CopiedPictures, check);
      }
    } catch (const std::exception& error) {
      note(error.what());
    } catch (...) {
      note("an unknown error occurred");
    }
    if (!failure.empty()) {
      check = TSplitCheck{};
      check.Problem = failure;
    }
    PostToMainThread([weak, generation, check] {
      if (TSplitSession* self = weak.Get()) self->CheckDone(generation, check);
    });
  });
}

void TSplitSession::DecideCheck(const std::string& output, int64_t copied_pictures) {
  if (!check_run_) return;
  {
    std::lock_guard<std::mutex> lock(check_run_->lock);
    check_run_->decided = true;
    check_run_->output = output;
    check_run_->copied = copied_pictures;
  }
  check_run_->decided_changed.notify_all();
  check_run_.reset();
}

void TSplitSession::CheckDone(uint64_t generation, const TSplitCheck& check) {
  if (generation != generation_ || !checking_) return;
  GetLogger().Log(this, check.Matched() ? llInfo : llWarning, check.StatusText());
  TSplitEnd end = checked_end_;
  end.Check = check;
  Ended(end);
}

void TSplitSession::Ended(const TSplitEnd& end) {
  running_ = false;
  checking_ = false;
  if (!list_jobs_.empty()) return SegmentEnded(end);
  last_end_ = end;
  if (OnEnd) OnEnd(end);
}

void TSplitSession::SegmentEnded(const TSplitEnd& end) {
  list_ends_.push_back(end);
  if (end.Outcome == TSplitOutcome::Finished && !list_stopped_ &&
      list_next_ < list_jobs_.size()) {
    // The next segment starts from the main thread's queue, once the
    // component has delivered this one's end events.
    running_ = true;
    next_pending_ = true;
    TWeakSession weak = owner_.Weak();
    PostToMainThread([weak, generation = generation_] {
      if (TSplitSession* self = weak.Get()) self->NextSegment(generation);
    });
    return;
  }
  FinishList(std::string());
}

void TSplitSession::NextSegment(uint64_t generation) {
  if (generation != generation_ || !running_ || list_jobs_.empty()) return;
  if (!converter_.TerminateEventsDone()) {
    TWeakSession weak = owner_.Weak();
    PostToMainThread([weak, generation] {
      if (TSplitSession* self = weak.Get()) self->NextSegment(generation);
    });
    return;
  }
  running_ = false;
  next_pending_ = false;
  if (list_stopped_) return FinishList(std::string());
  std::string message;
  const size_t index = list_next_++;
  if (!StartOne(list_jobs_[index], message)) FinishList(message);
}

void TSplitSession::FinishList(const std::string& failure) {
  running_ = false;
  checking_ = false;
  const int32_t count = static_cast<int32_t>(join_lengths_.empty() ? list_jobs_.size()
                                                                     : join_lengths_.size());
  TSplitEnd total = list_ends_.empty() ? TSplitEnd() : list_ends_.back();
  total.SegmentCount = count;
  if (!failure.empty()) {
    TSplitEnd failed;
    failed.Outcome = TSplitOutcome::Failed;
    failed.Reason = failure;
    list_ends_.push_back(failed);
    total = failed;
    total.SegmentCount = count;
  }
  // Finished only when every segment's file was written; a failure says why.
  bool all = list_ends_.size() == list_jobs_.size();
  for (const TSplitEnd& end : list_ends_) {
    if (end.Outcome == TSplitOutcome::Failed) {
      total.Outcome = TSplitOutcome::Failed;
      total.Reason = end.Reason;
    }
    if (end.Outcome != TSplitOutcome::Finished) all = false;
  }
  if (total.Outcome != TSplitOutcome::Failed) {
    total.Outcome = all ? TSplitOutcome::Finished : TSplitOutcome::Stopped;
  }
  total.Files = std::move(list_ends_);
  list_ends_.clear();
  list_jobs_.clear();
  list_lengths_.clear();
  join_lengths_.clear();
  last_end_ = total;
  if (OnEnd) OnEnd(total);
}

}  // namespace kelvane