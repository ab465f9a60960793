// Shared pieces of the run tests: input files made once per program, a
// component whose events are recorded, and a split helper.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "binding/MainThread.h"
#include "engine/FFConverter.h"
#include "engine/FFmpeg.h"
#include "tests/common/MediaAssertions.h"
#include "tests/common/TestSupport.h"

namespace kelvane::test {

// Inputs shared by the run tests (made on first use).
struct TRunMedia {
  std::string Mp4;   // 320x240 H.264 + AAC, 25 fps, 8 s, key frame every 25 frames
  std::string Long;  // 320x240 H.264 + AAC, 25 fps, 60 s (stop and pause tests)
};
const TRunMedia& RunMedia();

struct TTerminateRecord {
  int32_t Index;
  bool Finished;
  bool Exception;
  std::string Message;
};

// A component with its OnTerminate and OnProgress events recorded.
class TRecordingConverter : public TFFConverter {
 public:
  TRecordingConverter();
  ~TRecordingConverter() override;

  std::vector<TTerminateRecord> Terminates() const;
  std::vector<TProgressInfo> Progress() const;
  size_t ProgressCount() const;
  // Waits (serving the main-thread queue) for the all-done report.
  bool WaitAllDone(std::chrono::milliseconds timeout = std::chrono::milliseconds(120000));
  // Waits until at least `count` progress events arrived.
  bool WaitProgress(size_t count, std::chrono::milliseconds timeout);

 private:
  mutable std::mutex mutex_;
  // Guarded by mutex_.
  std::vector<TTerminateRecord> terminates_;
  std::vector<TProgressInfo> progress_;
  std::atomic<bool> all_done_{false};
};

// Output options for a split to MPEG-4 video and `audio` audio, in ms.
TOutputOptions SplitOptions(int32_t start_ms, int32_t duration_ms,
                            const std::string& video = "mpeg4",
                            const std::string& audio = "aac");

// Frame of the first decoded output picture and the output duration in µs.
struct TSplitResult {
  int FirstIndex = -1;
  int Frames = 0;
  int64_t VideoDurationUs = -1;
  int64_t AudioDurationUs = -1;
  int64_t AudioStartUs = -1;
  int64_t VideoStartUs = -1;
};
TSplitResult Inspect(const std::string& path);

// Runs the converter's tasks synchronously (Start(0)) and then clears them.
// The last task's end message: "" when it finished, "stopped" when it was
// stopped without a message, "no end event" when none came.
std::string RunTasksSynchronously(TFFConverter& converter);

}  // namespace kelvane::test
