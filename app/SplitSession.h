// One split at a time over the conversion component: the API both front ends
// drive. Start turns a TSplitJob into the one task and runs it on a worker;
// Pause, Resume and Stop (which waits for the worker) control it; progress
// reaches the main thread as TSplitProgress, and the end is reported exactly
// once per started split as a TSplitEnd saying how it went.
//
// The task writes under a temporary name in the output folder; a split that
// finished or was stopped gives its file the final name, one that failed
// removes it, so the folder is left as it was; the files of splits killed
// outright are removed when the next split into that folder starts. A
// finished split's file is then checked against the source (SplitCheck.h)
// before the end is reported, unless CheckOutput is off: a thread of the
// split's own reads the source's pictures while the split runs and, once the
// split has finished, reads the new file.
//
// Ownership: the session uses a component it does not own (the window model's,
// which must outlive it) and is the only one to set the component's OnProgress
// and OnTerminate.
//
// Threads: every member is called on the main thread, and OnProgress / OnEnd
// run there. The check runs on its own thread, which hands its result to the
// main thread (a failure of any kind as a check that could not be done) and is
// joined before the next split and by the destructor, which first tells it to
// stop. The component raises its events on worker threads; the handlers only
// post them to the main thread (the end's handler first sends the file's data
// to the disk) and never wait for it, because the main thread waits for the
// worker in Stop. The handlers are replaced before every run, so an event of
// an earlier task (a task removed before it ran, the all-tasks-done report of
// the last run) arrives through an old handler and is dropped. Events posted
// after the session is gone are dropped too.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/SplitJob.h"
#include "binding/ThreadOwner.h"
#include "binding/WeakOwner.h"
#include "engine/FFConverter.h"
#include "engine/SplitCheck.h"

namespace kelvane {

// One progress report of the running split. For a segment list the
// durations are the whole list's (the segments written before count whole),
// so the percentage they make is the list's; the rest is the segment's.
struct TSplitProgress {
  int32_t FrameNumber = 0;
  int32_t FPS = 0;
  int32_t CurrentDuration = 0;      // ms written so far
  int32_t TotalOutputDuration = 0;  // ms expected; 0 or less when unknown
  int64_t CurrentSize = 0;          // bytes
  float BitRate = 0;                // kbit/s
  // A segment list: the segment being written (from 1) of how many; 0 and 0
  // for a split of the marks.
  int32_t Segment = 0;
  int32_t SegmentCount = 0;
};

enum class TSplitOutcome { Finished, Stopped, Failed };

// How a split ended.
struct TSplitEnd {
  TSplitOutcome Outcome = TSplitOutcome::Finished;
  std::string Reason;  // the task's failure, empty unless Failed
  std::string OutputPath;  // the file's final name; empty when none was written
  int32_t FramesWritten = 0;  // as the last progress report said
  // A smart copy's video: "copy", "smart" or "re-encode" (with the reason),
  // and how many pictures were copied and re-encoded; empty otherwise.
  std::string Method;
  std::string MethodReason;
  int64_t CopiedPictures = 0;
  int64_t EncodedPictures = 0;
  // The check of a finished split's file; nothing when it was not checked.
  std::optional<TSplitCheck> Check;
  // A segment list: one end per segment begun, in list order, each with its
  // own file and check; the fields above are the last one's, except Outcome
  // (Finished only when every segment's file was written) and Reason.
  std::vector<TSplitEnd> Files;
  int32_t SegmentCount = 0;  // segments in the list; 0 for a split of the marks
};

class TSplitSession {
 public:
  explicit TSplitSession(TFFConverter& converter);
  ~TSplitSession();
  TSplitSession(const TSplitSession&) = delete;
  TSplitSession& operator=(const TSplitSession&) = delete;

  // Builds the task for `job` and starts it. False with the message for the
  // user when the job cannot be used or the task cannot be made or started;
  // no task of it remains then and no end will be reported. A job with
  // segments runs them one after the other, one file each (named after the
  // input with the segment's label or number), each checked as it ends; the
  // list ends once, after its last segment or the first that did not finish.
  // With JoinSegments the segments go into one file in list order, made in
  // one run of the component (the input opened once per segment), with a
  // chapter at each join; its check compares every part with its segment.
  // A list that Validate refuses is refused with its message.
  bool Start(const TSplitJob& job, std::string& message);
  // Suspends and continues the running task.
  void Pause();
  void Resume();
  // Asks the task to stop and waits for its worker; the output is still
  // finished. The end report follows as for any other end. During the check
  // of a finished split, stops the check instead: the end is reported at once,
  // the file unchecked.
  void Stop();

  // Started and its end not yet reported.
  bool Running() const { return running_; }
  // The task has ended and its file is being checked.
  bool Checking() const { return checking_; }
  // Check every finished split's file against its source (on by default).
  bool CheckOutput = true;
  // The output of the split that runs or ran last.
  const std::string& OutputPath() const { return output_path_; }
  // Progress reports of the current split so far, and the latest of them.
  int ProgressCount() const { return progress_count_; }
  const TSplitProgress& LastProgress() const { return last_progress_; }
  // The end of the last split that ended; nothing before the first.
  const std::optional<TSplitEnd>& LastEnd() const { return last_end_; }

  // Waits on the main thread (serving its queue) until the split has ended and
  // every end event of the component has been delivered. False on timeout.
  bool WaitForEnd(std::chrono::milliseconds timeout);

  // Main thread: a progress report of the current split; its end (once).
  std::function<void(const TSplitProgress&)> OnProgress;
  std::function<void(const TSplitEnd&)> OnEnd;

 private:
  // Starts one split of the marks (a list's segment or the only one).
  bool StartOne(const TSplitJob& job, std::string& message);
  // StartOne's steps: the audio rate the encoder can take; the task with its
  // input (once per part when joined; -1 when it cannot be opened); the
  // output it writes under a temporary name; the run and its check started.
  void FitAudioSampleRate(TSplitPlan& plan);
  int32_t AddTask(const TSplitJob& job, TSplitPlan& plan, bool join, std::string& message);
  bool SetUpOutput(const TSplitJob& job, TSplitPlan& plan, int32_t index, std::string& message);
  bool Launch(const TSplitJob& job, const TSplitPlan& plan, bool join, std::string& message);
  // A list's segment ended: the next one starts, or the list ends.
  void SegmentEnded(const TSplitEnd& end);
  void NextSegment(uint64_t generation);
  // Reports the list's one end (with `failure` when a segment could not start).
  void FinishList(const std::string& failure);
  // Points the component's events at run `generation`.
  void Connect(uint64_t generation);
  void Progressed(uint64_t generation, const TSplitProgress& progress);
  void Terminated(uint64_t generation, int32_t index, bool finished, bool exception,
                  const std::string& message);
  // Gives the written file its final name (finished or stopped) or removes it
  // (failed); returns the name it has now, empty when there is none.
  std::string SettleOutput(TSplitOutcome outcome);
  // Starts the check's thread as the split starts; tells it which file to
  // check once the split has ended (none: it ends without checking).
  void StartCheck(bool pictures);
  // `copied_pictures`: a smart copy's, for the check to prove; -1 otherwise.
  void DecideCheck(const std::string& output, int64_t copied_pictures = -1);
  void CheckDone(uint64_t generation, const TSplitCheck& check);
  void Ended(const TSplitEnd& end);
  void Log(const std::string& text);

  TFFConverter& converter_;
  // Each Start is a new run; events carry the run they were raised for.
  uint64_t generation_ = 0;
  bool running_ = false;
  bool checking_ = false;
  bool stop_requested_ = false;
  std::string output_path_;     // the final name
  std::string temporary_path_;  // the name the task writes under
  bool overwrite_ = false;
  TSplitCheckRequest check_request_;
  // What the check's thread waits for after reading the source.
  struct TCheckRun {
    std::mutex lock;
    std::condition_variable decided_changed;
    // Guarded by lock.
    bool decided = false;
    std::string output;  // the finished file; empty: no check
    int64_t copied = -1;  // a smart copy's copied pictures, which the check proves
  };
  std::shared_ptr<TCheckRun> check_run_;
  // Set to end the check early; shared with its thread.
  std::shared_ptr<std::atomic<bool>> check_stop_;
  std::thread check_thread_;
  TSplitEnd checked_end_;  // the end reported once the check is done
  int progress_count_ = 0;
  TSplitProgress last_progress_;
  std::optional<TSplitEnd> last_end_;
  // The segment list being run: one job per segment, the next to run, their
  // lengths (ms) and the ends so far.
  std::vector<TSplitJob> list_jobs_;
  size_t list_next_ = 0;
  std::vector<int32_t> list_lengths_;
  std::vector<TSplitEnd> list_ends_;
  bool list_stopped_ = false;
  bool next_pending_ = false;
  // Joined segments, one run: the parts' lengths (ms); empty otherwise.
  std::vector<int32_t> join_lengths_;
  // The joined file's check, one request per part.
  std::vector<TSplitCheckRequest> part_requests_;  // a segment ended and the next is about to start
  // Lets effects posted by worker threads see whether the session still exists.
  TOwnerLink<TSplitSession> owner_;
  TThreadOwner thread_;  // the main thread, which calls every member
};

}  // namespace kelvane
