#include "engine/VideoTaskHost.h"

#include "binding/FrameHook.h"
#include "binding/Previewer.h"
#include "engine/ConvertThreads.h"
#include "engine/FFmpeg.h"
#include "engine/core/Transcoder.h"

namespace kelvane {

namespace {

std::mutex& FactoryLock() {
  static std::mutex lock;
  return lock;
}

TPreviewerFactory& Factory() {
  static TPreviewerFactory factory;
  return factory;
}

std::shared_ptr<TPreviewer> MakePreviewer() {
  TPreviewerFactory factory;
  {
    std::lock_guard<std::mutex> lock(FactoryLock());
    factory = Factory();
  }
  if (factory) return factory();
  return std::make_shared<THeadlessPreviewer>();
}

}  // namespace

void SetPreviewerFactory(TPreviewerFactory factory) {
  std::lock_guard<std::mutex> lock(FactoryLock());
  Factory() = std::move(factory);
}

TVideoTaskHost::TVideoTaskHost(TCustomFFmpeg& task, TTranscoder& run) : task_(task), run_(run) {
  for (const THookRange& range : task.HookRanges) ranges_.push_back({range.Start, range.End});
}

const void* TVideoTaskHost::LogSender() const { return &task_; }

bool TVideoTaskHost::StopRequested() const { return task_.StopRequested.load(); }

AVFormatContext* TVideoTaskHost::OutputContext(const TOutputStreamState& ost) const {
  return run_.OutputContext(ost);
}

bool TVideoTaskHost::HasBeforeHook() const { return static_cast<bool>(task_.BeforeHookSlot); }

void TVideoTaskHost::BeforeHook(int64_t pts, THookAction& action) {
  task_.BeforeHookSlot(task_, pts, action);
}

bool TVideoTaskHost::HasCustomHook() const { return static_cast<bool>(task_.CustomHookSlot); }

void TVideoTaskHost::CustomHook(THookPicture& picture) {
  THookedFrame frame;
  static_cast<THookPicture&>(frame) = picture;
  // What the handler wrote counts even when it throws afterwards.
  try {
    task_.CustomHookSlot(task_, frame);
  } catch (...) {
    picture.Update = frame.Update;
    picture.StopHook = frame.StopHook;
    throw;
  }
  picture.Update = frame.Update;
  picture.StopHook = frame.StopHook;
}

void TVideoTaskHost::ClearCustomHook() { task_.CustomHookSlot = nullptr; }

bool TVideoTaskHost::HasPreviewBitmap() const {
  return static_cast<bool>(task_.PreviewBitmapSlot);
}

void TVideoTaskHost::PreviewBitmap(const TPreviewPicture& picture) {
  task_.PreviewBitmapSlot(task_, picture.Bitmap, picture.FrameNumber, picture.PTS);
}

bool& TVideoTaskHost::FrameHooksActive() { return task_.FrameHooksActive; }

THookAction& TVideoTaskHost::HookAction() { return task_.HookAction; }

int& TVideoTaskHost::HookRangeIndex() { return task_.HookRangeIndex; }

void TVideoTaskHost::ProcessFrameHooks(AVFrame* picture, int64_t pts) {
  kelvane::ProcessFrameHooks(task_.FrameHooks, picture->data, picture->linesize, picture->format,
                             picture->width, picture->height, pts);
}

std::mutex& TVideoTaskHost::PreviewMutex() { return PreviewLock(); }

uint8_t TVideoTaskHost::PreviewFlagsLocked() const { return task_.PreviewFlags; }

void TVideoTaskHost::StorePreviewFlagsLocked(uint8_t flags) {
  task_.StorePreviewFlagsLocked(flags);
}

bool TVideoTaskHost::ShowPreview(const TPreviewPicture& picture) {
  if (!task_.PreviewWindow) task_.PreviewWindow = MakePreviewer();
  return task_.PreviewWindow->ShowPreview(*picture.Bitmap, picture.FrameNumber, picture.PTS);
}

}  // namespace kelvane
