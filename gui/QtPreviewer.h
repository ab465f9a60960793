// The conversion's floating preview window in Qt: a small tool window that
// stays on top, opens centred with the size of the first picture, shows each
// preview picture at its top-left corner captioned with the picture's time,
// and can be dragged by any point. Once the user closes it the engine is told
// (ShowPreview answers false) and sends no more.
//
// Ownership: the engine's task owns the previewer (through the factory that
// Install sets up); the previewer owns its window, which lives on the main
// thread and is deleted there.
//
// Threads: made and destroyed on the task's worker thread or the main thread;
// the window is only touched on the main thread (ShowStep).
#pragma once

#include <atomic>
#include <memory>

#include "app/WindowLinks.h"

namespace kelvane {

class TPreviewWindow;

class TQtPreviewer : public TPreviewer {
 public:
  ~TQtPreviewer() override;

  // Makes every task's preview window a TQtPreviewer. Main thread.
  static void Install();

 protected:
  void ShowStep(const TBitmap& bitmap, int64_t frame_number, int64_t time) override;

 private:
  // Main thread only (written in ShowStep, read by the destructor after the
  // last ShowPreview returned).
  TPreviewWindow* window_ = nullptr;
  // Set by the window when the user closes it.
  std::shared_ptr<std::atomic<bool>> window_closed_ = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace kelvane
