// The Qt back-end of the main-thread dispatcher: work posted from any thread
// runs in the Qt event loop, and a main thread that waits for a worker runs it
// at once (Pump) without dispatching anything else, so no click or paint is
// handled in the middle of a wait.
//
// Ownership: one per process, never destroyed (a detached worker may post
// while the program ends); Install creates it. Threads: Post from any thread,
// Pump and Install on the main thread.
#pragma once

#include <QObject>
#include <deque>
#include <functional>
#include <mutex>

#include "app/WindowLinks.h"

namespace kelvane {

class TQtMainThread : public QObject, public TMainThreadBackend {
  Q_OBJECT

 public:
  // Makes the calling thread the main thread and routes its work through Qt.
  static void Install();

  void Post(std::function<void()> work) override;
  void Pump() override;

 private:
  TQtMainThread() = default;

  // The queued wake-up. Called by name, so that Qt makes and frees the queued
  // call inside its own library: a lambda's slot object would be handed from
  // the posting thread to the main thread behind Qt's unwatched locks.
  Q_INVOKABLE void PumpQueued();

  std::mutex mutex_;
  // Guarded by mutex_.
  std::deque<std::function<void()>> queue_;
};

}  // namespace kelvane
