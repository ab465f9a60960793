// TTaskRunHost: a conversion task (TCustomFFmpeg) as its run sees it
// (engine/core/RunHost.h). Made by the task for one run, on the stack of the
// thread that runs it; refers to the task, which outlives it.
//
// Threads: the task's worker (or the caller of a synchronous run).
#pragma once

#include <memory>

#include "engine/core/RunHost.h"

namespace kelvane {

class TCustomFFmpeg;

class TTaskRunHost : public TRunHost {
 public:
  explicit TTaskRunHost(TCustomFFmpeg& task) : task_(task) {}

  TRunRecords Records() override;
  const void* LogSender() const override;
  bool StopRequested() const override;
  void WaitWhilePaused() override;
  void SetFinished(bool finished) override;
  TPictureWatchers PictureWatchers() const override;
  std::unique_ptr<TVideoHost> MakeVideoHost(TTranscoder& run) override;
  bool HasProgressHandler() const override;
  void Progress(const TRunProgress& progress) override;

 private:
  TCustomFFmpeg& task_;
};

}  // namespace kelvane
