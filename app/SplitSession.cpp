#include "app/SplitSession.h"

#include <algorithm>
#include <exception>

#include "app/EncoderLimits.h"
#include "app/TextUtils.h"
#include "binding/FFmpegLogger.h"
#include "binding/MainThread.h"

namespace kelvane {
namespace {

const char kRunning[] = "A splitting job is already running.";
const char kCannotSplit[] = "This file cannot be splitted!";
const char kCannotSetOutput[] = "This file cannot be splitted!\n\rPlease send the file to Orvath.";
const char kCannotStart[] = "The splitting job could not be started.\n\r";
const char kUnknownFailure[] = "An unknown error occurred.";

using TWeakSession = std::weak_ptr<TSplitSession*>;

}  // namespace

TSplitSession::TSplitSession(TFFConverter& converter)
    : converter_(converter), self_(std::make_shared<TSplitSession*>(this)) {
  Connect(generation_);
}

TSplitSession::~TSplitSession() {
  // Reports still queued for the main thread find the session gone.
  self_.reset();
}

void TSplitSession::Log(const std::string& text) { GetLogger().Log(this, llInfo, text); }

void TSplitSession::Connect(uint64_t generation) {
  TWeakSession weak = self_;
  converter_.OnProgress = [weak, generation](int32_t, int32_t AFrameNumber, int32_t AFPS,
                                             int32_t ACurrentDuration, float, float ABitRate,
                                             int64_t ACurrentSize, int32_t ATotalOutputDuration) {
    const TSplitProgress progress{AFrameNumber, AFPS,         ACurrentDuration,
                                  ATotalOutputDuration, ACurrentSize, ABitRate};
    PostToMainThread([weak, generation, progress] {
      if (auto self = weak.lock()) (*self)->Progressed(generation, progress);
    });
  };
  converter_.OnTerminate = [weak, generation](int32_t AIndex, bool AFinished, bool AException,
                                              const std::string& AMessage) {
    PostToMainThread([weak, generation, AIndex, AFinished, AException, AMessage] {
      if (auto self = weak.lock()) {
        (*self)->Terminated(generation, AIndex, AFinished, AException, AMessage);
      }
    });
  };
}

bool TSplitSession::Start(const TSplitJob& job, std::string& message) {
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
  TOutputOptions& out = plan.OutputOptions;
  if (!out.DisableAudio) {
    const int32_t rate =
        NearestSupportedSampleRate(out.AudioCodec, plan.OutputPath, out.AudioSampleRate);
    if (rate != out.AudioSampleRate) {
      Log("The audio encoder cannot take " + std::to_string(out.AudioSampleRate) + " Hz; using " +
          std::to_string(rate) + " Hz");
      out.AudioSampleRate = rate;
    }
  }
  Log("Output file: " + plan.OutputPath);

  converter_.ClearTasks();
  const int32_t index = converter_.AddTask(job.InputFile, &plan.InputOptions);
  if (index < 0) {
    Log(converter_.LastError());
    message = kCannotSplit;
    return false;
  }
  if (!converter_.SetOutput(index, plan.OutputPath, &plan.OutputOptions)) {
    Log(converter_.LastError());
    converter_.RemoveTask(index);
    message = kCannotSetOutput;
    return false;
  }
  output_path_ = plan.OutputPath;
  progress_count_ = 0;
  last_progress_ = TSplitProgress();
  stop_requested_ = false;
  // No worker runs now (ClearTasks waited for them): the handlers can change.
  Connect(generation_);
  running_ = true;
  try {
    converter_.Start(1);
  } catch (const std::exception& error) {
    running_ = false;
    ++generation_;
    converter_.Stop(true);
    converter_.ClearTasks();
    message = kCannotStart + std::string(error.what());
    return false;
  }
  return true;
}

void TSplitSession::Pause() {
  if (running_) converter_.Pause();
}

void TSplitSession::Resume() {
  if (running_) converter_.Resume();
}

void TSplitSession::Stop() {
  if (!running_) return;
  stop_requested_ = true;
  converter_.Stop(true);
}

bool TSplitSession::WaitForEnd(std::chrono::milliseconds timeout) {
  return WaitOnMainThread([this] { return !running_ && converter_.TerminateEventsDone(); },
                          timeout);
}

void TSplitSession::Progressed(uint64_t generation, const TSplitProgress& progress) {
  if (generation != generation_) return;
  ++progress_count_;
  last_progress_ = progress;
  if (OnProgress) OnProgress(progress);
}

void TSplitSession::Terminated(uint64_t generation, int32_t index, bool finished, bool exception,
                               const std::string& message) {
  // The task's own report comes first; the all-tasks-done one after it finds
  // the split already ended.
  if (generation != generation_ || !running_) return;
  running_ = false;
  TSplitEnd end;
  end.OutputPath = output_path_;
  end.FramesWritten = std::max(0, last_progress_.FrameNumber);
  if (exception) {
    end.Outcome = TSplitOutcome::Failed;
    end.Reason = message.empty() ? std::string(kUnknownFailure) : message;
  } else if (stop_requested_ || !finished || index < 0) {
    end.Outcome = TSplitOutcome::Stopped;
  }
  last_end_ = end;
  if (OnEnd) OnEnd(end);
}

}  // namespace kelvane
