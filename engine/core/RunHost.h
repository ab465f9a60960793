// What a run (TTranscoder, engine/core/Transcoder.h) needs of the task it runs
// for, and nothing more: the records the task's set-up built, the few settings
// that live on the task itself, its stop and pause control, its progress
// callback, and the video path's view of its hooks and previews.
//
// The engine implements TRunHost over its task (engine/TaskRunHost.h); the core
// sees no engine type. TRunRecords refers to the task's records, which outlive
// the run.
//
// Threads: the run calls the host on the task's worker thread (or the caller's
// in a synchronous run). StopRequested may change under it at any time; the
// rest is fixed while the run lasts.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/core/RunProgress.h"
#include "engine/core/TaskRecords.h"

namespace kelvane {

class TTranscoder;
class TVideoHost;

// The task's records a run works on. The run reads them; it updates the input
// files' timestamp offsets (discontinuities and join-mode file changes) and
// opens and closes the codec contexts they own.
struct TRunRecords {
  TRunSettings& Settings;
  std::vector<std::unique_ptr<TInputFile>>& InputFiles;
  std::vector<std::unique_ptr<TOutputFile>>& OutputFiles;
  const std::vector<TStreamMapEntry>& StreamMaps;
  const std::vector<TMetaDataMap>& MetaDataMaps;
  int32_t Verbosity = 1;
  int64_t ProgressInterval = 500000;  // µs between progress reports
  int64_t PreviewInterval = 100000;   // µs between preview pictures
  bool SameQuality = false;           // encode at the decoded pictures' quality
  TCutReport* CutReport = nullptr;    // filled by a smart copy
};

// Who looks at the decoded pictures: the run must then decode every one of
// them from the beginning, and a copied video stream is refused.
struct TPictureWatchers {
  bool CustomHook = false;  // the application's custom-hook callback
  bool FrameHooks = false;  // the task's frame-hook plug-ins
  bool Previews = false;    // a preview window or preview bitmaps
};

class TRunHost {
 public:
  virtual ~TRunHost() = default;

  virtual TRunRecords Records() = 0;
  // The sender of the run's log lines (the task).
  virtual const void* LogSender() const = 0;

  virtual bool StopRequested() const = 0;
  // The run's safe point: blocks while the task is paused.
  virtual void WaitWhilePaused() = 0;
  // Set at the end of a run: finished unless stopped.
  virtual void SetFinished(bool finished) = 0;

  virtual TPictureWatchers PictureWatchers() const = 0;
  // The video path's view of the task during `run`.
  virtual std::unique_ptr<TVideoHost> MakeVideoHost(TTranscoder& run) = 0;

  // Progress reports go to the application's callback when it has one, else
  // to the log.
  virtual bool HasProgressHandler() const = 0;
  virtual void Progress(const TRunProgress& progress) = 0;
};

}  // namespace kelvane
