// What the time line under the preview draws besides the marks: where the
// file's key frames are, a strip of small pictures taken at key frames, and
// the loudness of the sound along the file. TTimelineScan reads one file for
// them on a thread of its own, at the lowest processor priority, so that the
// preview never waits for it: only key frames are decoded for the pictures
// (at most about kMaxThumbnails of them, spread over the file), the sound is
// decoded for its peaks. What is known so far can be read at any time; it
// grows as the file is read, front to back.
//
//   TTimelineScan scan;
//   scan.OnProgress = [] { PostToMainThread(...repaint...); };
//   scan.Start(file, 48);
//   ... TTimelineFacts facts = scan.Facts(); ...
//   scan.Cancel();   // another file opens: the thread ends within a packet
//
// Ownership: the scan owns its thread and the file it reads; the pictures it
// hands out are shared and stay valid as long as a holder keeps them.
//
// Threads: Start, Cancel and the destructor on one thread (the owner's);
// Facts, Version and Cost from any thread. OnProgress runs on the scan's
// thread (at most every 100 ms and once at the end) and must not wait for the
// owner's thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "binding/Bitmap.h"

namespace kelvane {

struct TTimelineThumbnail {
  int64_t Time = 0;  // µs from the start of the file
  std::shared_ptr<const TBitmap> Picture;
};

struct TTimelineFacts {
  int64_t Duration = -1;  // µs; -1 until known
  // Times of the video's key frames, µs from the start of the file, ascending.
  std::vector<int64_t> KeyFrames;
  std::vector<TTimelineThumbnail> Thumbnails;  // ascending times
  // The sound's loudest sample in each span of PeakSpan µs from the start,
  // 0 (silence) to 255 (full scale).
  std::vector<uint8_t> Peaks;
  int64_t PeakSpan = 0;
  bool HasVideo = false;
  bool HasAudio = false;
  bool Done = false;  // the whole file was read (or it could not be); not after Cancel
  std::string Error;  // why the file could not be read; empty otherwise
  int Version = 0;    // grows with every change
};

// What a finished (or cancelled) scan took.
struct TScanCost {
  int64_t WallMicroseconds = 0;
  int64_t CpuMicroseconds = 0;  // the scan thread's own processor time
};

class TTimelineScan {
 public:
  static constexpr int kMaxThumbnails = 240;

  TTimelineScan() = default;
  ~TTimelineScan();
  TTimelineScan(const TTimelineScan&) = delete;
  TTimelineScan& operator=(const TTimelineScan&) = delete;

  // Cancels a scan that runs and starts reading `file` (UTF-8); pictures are
  // `thumbnail_height` pixels high. The libraries must be loaded.
  void Start(const std::string& file, int thumbnail_height);
  // Ends the scan and waits for its thread; what was found stays readable.
  void Cancel();
  // Forgets what was found (after Cancel: no file).
  void Clear();

  TTimelineFacts Facts() const;
  int Version() const { return version_.load(); }
  TScanCost Cost() const;
  // The file being (or last) read.
  std::string File() const;

  std::function<void()> OnProgress;

 private:
  void Run(std::string file, int thumbnail_height);
  // The scan thread hands what it found so far over.
  void Publish(const TTimelineFacts& facts);

  std::thread thread_;
  std::atomic<bool> cancel_{false};
  std::atomic<int> version_{0};
  mutable std::mutex mutex_;
  // Guarded by mutex_.
  TTimelineFacts facts_;
  TScanCost cost_;
  std::string file_;
};

}  // namespace kelvane
