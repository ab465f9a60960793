// The player's helper threads:
//   TPlayThread   runs one playback context's event loop; raises psPlay when
//                 it starts and psStop when the loop has ended
//   TStopThread   ends a playback: asks the event loop to quit and gives it
//                 about a second, then ends the context itself
//   TPauseThread  gives the reader about a second to take a pending seek
//                 before the playback pauses
// The main thread waits for the stop and pause threads with RunAndWait, which
// keeps draining the main-thread queue, so a play thread waiting in
// OnPosition can finish meanwhile.
//
// Ownership: whoever starts a thread object owns it; the destructor joins.
// Threads: Start, RunAndWait and Join on the owner's thread; Finished anywhere.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace kelvane {

class TCustomPlayer;
class TPlaybackContext;

class TPlayerThread {
 public:
  TPlayerThread() = default;
  virtual ~TPlayerThread();
  TPlayerThread(const TPlayerThread&) = delete;
  TPlayerThread& operator=(const TPlayerThread&) = delete;

  void Start();
  // Starts the thread and returns once it has finished.
  void RunAndWait();
  bool Finished() const { return finished_.load(); }
  // Waits until the thread has finished or `timeout` passed; true when finished.
  bool WaitFinished(std::chrono::milliseconds timeout);
  void Join();

 protected:
  virtual void Execute() = 0;

 private:
  std::thread thread_;
  std::atomic<bool> finished_{false};
  std::mutex finished_mutex_;
  std::condition_variable finished_cond_;
};

class TPlayThread : public TPlayerThread {
 public:
  TPlayThread(TCustomPlayer& player, std::shared_ptr<TPlaybackContext> context)
      : player_(player), context_(std::move(context)) {}

 protected:
  void Execute() override;

 private:
  TCustomPlayer& player_;
  std::shared_ptr<TPlaybackContext> context_;
};

class TStopThread : public TPlayerThread {
 public:
  TStopThread(std::shared_ptr<TPlaybackContext> context, std::shared_ptr<TPlayThread> play)
      : context_(std::move(context)), play_(std::move(play)) {}

 protected:
  void Execute() override;

 private:
  std::shared_ptr<TPlaybackContext> context_;
  std::shared_ptr<TPlayThread> play_;
};

class TPauseThread : public TPlayerThread {
 public:
  explicit TPauseThread(std::shared_ptr<TPlaybackContext> context)
      : context_(std::move(context)) {}

 protected:
  void Execute() override;

 private:
  std::shared_ptr<TPlaybackContext> context_;
};

}  // namespace kelvane
