#include "engine/TaskRunHost.h"

#include "engine/FFmpeg.h"
#include "engine/VideoTaskHost.h"

namespace kelvane {

TRunRecords TTaskRunHost::Records() {
  TRunRecords records{task_.Settings, task_.InputFiles, task_.OutputFiles, task_.StreamMaps,
                      task_.MetaDataMaps};
  records.Verbosity = task_.Verbosity;
  records.ProgressInterval = task_.ProgressInterval;
  records.PreviewInterval = task_.PreviewInterval;
  records.SameQuality = task_.Pending.same_quality;
  records.CutReport = &task_.CutReport;
  return records;
}

const void* TTaskRunHost::LogSender() const { return &task_; }

bool TTaskRunHost::StopRequested() const { return task_.StopRequested.load(); }

void TTaskRunHost::WaitWhilePaused() { task_.WaitWhilePaused(); }

void TTaskRunHost::SetFinished(bool finished) { task_.Finished.store(finished); }

TPictureWatchers TTaskRunHost::PictureWatchers() const {
  TPictureWatchers watchers;
  watchers.CustomHook = static_cast<bool>(task_.CustomHookSlot);
  watchers.FrameHooks = task_.FrameHooksActive;
  watchers.Previews = task_.PreviewFlags != 0;
  return watchers;
}

std::unique_ptr<TVideoHost> TTaskRunHost::MakeVideoHost(TTranscoder& run) {
  return std::make_unique<TVideoTaskHost>(task_, run);
}

bool TTaskRunHost::HasProgressHandler() const { return static_cast<bool>(task_.ProgressSlot); }

void TTaskRunHost::Progress(const TRunProgress& run) {
  TProgressInfo progress;
  static_cast<TRunProgress&>(progress) = run;
  progress.TotalOutputDuration = task_.TotalOutputDuration.load();
  task_.ProgressSlot(task_, progress);
}

}  // namespace kelvane
