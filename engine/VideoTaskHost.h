// TVideoTaskHost: the video path's view of its task (TCustomFFmpeg) during a
// run: the callback slots, the hook state, the frame-hook chain, the preview
// flags under PreviewLock and the task's preview window.
//
// Ownership: made for a run's video path by the task's run host
// (TaskRunHost.h); refers to the task and the run, which outlive it. The
// preview window belongs to the task.
//
// Threads: the task's worker only (the preview window hands its work to the
// main thread itself).
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/core/VideoPath.h"

namespace kelvane {

class TCustomFFmpeg;
class TPreviewer;
class TTranscoder;

// Makes the preview window of a task (bit 0 of the preview flags). By default a
// headless previewer; a window toolkit installs its own maker. Main thread,
// before tasks start.
using TPreviewerFactory = std::function<std::shared_ptr<TPreviewer>()>;
void SetPreviewerFactory(TPreviewerFactory factory);

class TVideoTaskHost : public TVideoHost {
 public:
  TVideoTaskHost(TCustomFFmpeg& task, TTranscoder& run);

  const void* LogSender() const override;
  bool StopRequested() const override;
  AVFormatContext* OutputContext(const TOutputStreamState& ost) const override;

  bool HasBeforeHook() const override;
  void BeforeHook(int64_t pts, THookAction& action) override;
  bool HasCustomHook() const override;
  void CustomHook(THookPicture& picture) override;
  void ClearCustomHook() override;
  bool HasPreviewBitmap() const override;
  void PreviewBitmap(const TPreviewPicture& picture) override;

  bool& FrameHooksActive() override;
  THookAction& HookAction() override;
  const std::vector<TVideoHookRange>& HookRanges() const override { return ranges_; }
  int& HookRangeIndex() override;
  void ProcessFrameHooks(AVFrame* picture, int64_t pts) override;

  std::mutex& PreviewMutex() override;
  uint8_t PreviewFlagsLocked() const override;
  void StorePreviewFlagsLocked(uint8_t flags) override;
  bool ShowPreview(const TPreviewPicture& picture) override;

 private:
  TCustomFFmpeg& task_;
  TTranscoder& run_;
  std::vector<TVideoHookRange> ranges_;
};

}  // namespace kelvane
