#include "gui/QtMainThread.h"

#include <QCoreApplication>

namespace kelvane {

void TQtMainThread::Install() {
  static TQtMainThread* backend = new TQtMainThread;
  SetMainThread();
  SetMainThreadBackend(backend);
}

void TQtMainThread::Post(std::function<void()> work) {
  bool first;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    first = queue_.empty();
    queue_.push_back(std::move(work));
  }
  // One queued call drains everything posted until it runs.
  if (first) QMetaObject::invokeMethod(this, "PumpQueued", Qt::QueuedConnection);
}

void TQtMainThread::PumpQueued() { Pump(); }

void TQtMainThread::Pump() {
  for (;;) {
    std::function<void()> work;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (queue_.empty()) return;
      work = std::move(queue_.front());
      queue_.pop_front();
    }
    work();
  }
}

}  // namespace kelvane
