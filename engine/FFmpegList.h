// TFFmpegList: the component's list of tasks.
//
// The list owns its tasks. Every operation takes the list's lock, acts and
// unlocks; the cached count is refreshed after every add, delete and clear and
// read without the lock. A task's Index always equals its position.
//
// Threads: the main thread adds, deletes and clears; the terminate handling
// on worker threads reads tasks (to start the next one). Deleting or clearing
// stops each task and waits for its worker first, outside the lock, so that a
// worker finishing meanwhile can still read the list.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace kelvane {

class TFFmpeg;

class TFFmpegList {
 public:
  TFFmpegList() = default;
  ~TFFmpegList();
  TFFmpegList(const TFFmpegList&) = delete;
  TFFmpegList& operator=(const TFFmpegList&) = delete;

  // The task at `index`; raises std::out_of_range ("List index out of bounds (%d)").
  TFFmpeg* Get(int32_t index);
  int32_t Count() const { return count_.load(); }
  // Appends the task (taking ownership), writes its Index and returns it.
  int32_t Add(std::unique_ptr<TFFmpeg> task);
  // Stops and frees the task at `index`, renumbering the tasks after it.
  void Delete(int32_t index);
  // Stops and frees every task in order.
  void Clear();
  // Runs `action` on every task in order, under the list's lock.
  void ForEach(const std::function<void(TFFmpeg&)>& action);

 private:
  // Stops a task that is about to go and waits for its worker (not under the lock).
  static void StopForDelete(TFFmpeg& task);

  mutable std::recursive_mutex mutex_;
  // Guarded by mutex_.
  std::vector<std::unique_ptr<TFFmpeg>> tasks_;
  std::atomic<int32_t> count_{0};
};

}  // namespace kelvane
