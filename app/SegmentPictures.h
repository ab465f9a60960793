// TSegmentPictures reads the first and last pictures of segments of a file
// on a thread of its own, for a list that was loaded (from a CSV file or the
// stored settings) rather than built from the marks, whose rows would
// otherwise stay without pictures until each is selected. A segment's first
// picture is the one shown at its start, its last the one before its end, as
// selecting it shows them.
//
// Ownership: owns its thread and the file it reads. Threads: Start, Cancel
// and the destructor on the main thread; `done` runs on the main thread (once
// per segment read, not after Cancel).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "binding/Bitmap.h"

namespace kelvane {

class TSegmentPictures {
 public:
  using TPart = std::pair<int64_t, int64_t>;  // start, end (µs from the file's start)
  using TDone = std::function<void(TPart part, std::shared_ptr<const TBitmap> first,
                                   std::shared_ptr<const TBitmap> last)>;

  TSegmentPictures() = default;
  ~TSegmentPictures();
  TSegmentPictures(const TSegmentPictures&) = delete;
  TSegmentPictures& operator=(const TSegmentPictures&) = delete;

  // Cancels a reading that runs and reads `parts` of `file` (UTF-8). A part
  // whose pictures cannot be read is left out. The libraries must be loaded.
  void Start(const std::string& file, std::vector<TPart> parts, TDone done);
  // Ends the reading and waits for its thread.
  void Cancel();

 private:
  std::thread thread_;
  std::shared_ptr<std::atomic<bool>> cancel_;
};

}  // namespace kelvane
