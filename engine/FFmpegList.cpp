#include "engine/FFmpegList.h"

#include <stdexcept>

#include "engine/FFmpeg.h"
#include "engine/core/FFmpegException.h"

namespace kelvane {

TFFmpegList::~TFFmpegList() { Clear(); }

TFFmpeg* TFFmpegList::Get(int32_t index) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (index < 0 || index >= int32_t(tasks_.size())) {
    throw std::out_of_range(FormatText("List index out of bounds (%d)", index));
  }
  return tasks_[index].get();
}

int32_t TFFmpegList::Add(std::unique_ptr<TFFmpeg> task) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  int32_t index = int32_t(tasks_.size());
  task->Index = index;
  tasks_.push_back(std::move(task));
  count_ = int32_t(tasks_.size());
  return index;
}

void TFFmpegList::StopForDelete(TFFmpeg& task) {
  // A task that never started goes quietly: it belongs to no run, and an end
  // event for it would announce a conversion that never happened.
  if (!task.Running && !task.Terminated && task.WorkerGone()) return;
  // A running task is asked to stop (its end still produces its terminate
  // event); for a finished one this waits until its worker has let go of it.
  task.Stop(true);
}

void TFFmpegList::Delete(int32_t index) {
  TFFmpeg* task = Get(index);
  StopForDelete(*task);
  std::unique_ptr<TFFmpeg> gone;
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    // The task may have moved while the list was unlocked.
    auto it = tasks_.begin();
    while (it != tasks_.end() && it->get() != task) ++it;
    if (it == tasks_.end()) return;
    gone = std::move(*it);
    tasks_.erase(it);
    for (size_t i = 0; i < tasks_.size(); ++i) tasks_[i]->Index = int32_t(i);
    count_ = int32_t(tasks_.size());
  }
}

void TFFmpegList::Clear() {
  std::vector<TFFmpeg*> snapshot;
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    for (auto& task : tasks_) snapshot.push_back(task.get());
  }
  for (TFFmpeg* task : snapshot) StopForDelete(*task);
  std::vector<std::unique_ptr<TFFmpeg>> gone;
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    gone.swap(tasks_);
    count_ = 0;
  }
  // Freed in order, outside the lock.
  for (auto& task : gone) task.reset();
}

void TFFmpegList::ForEach(const std::function<void(TFFmpeg&)>& action) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  for (auto& task : tasks_) action(*task);
}

}  // namespace kelvane
