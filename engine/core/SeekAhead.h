// Moving an input to a key frame shortly before a split's start, so that what
// lies before the start is neither read nor decoded.
//
// A split that starts late in its input would otherwise decode everything
// before the start mark only to drop it. TSeekAhead seeks the input to a point
// a little before the start, reads on until every stream it checks has shown
// where it now begins (video from its first key frame), and seeks earlier when
// a stream begins too late: transport and program streams land after the
// wanted key frame, and sound needs a little decoding before the start to come
// out exactly as it would after decoding from the beginning (the seeks are
// binding/KeyFrameSeek.h's SeekSteppingBack, the landing read here). The packets read
// for the check are kept for the run, which decodes them first and drops what
// lies before the start as always. Where no safe landing is found (an input
// without seeking, timestamps that are missing or run backwards, a format whose
// times are only estimated) the input reads from its beginning, as if nothing
// had been tried.
//
// Ownership: borrows the input's format context for the call to Seek; owns
// the packets it read until the run takes them.
// Threads: the task's worker (the run), like the rest of the run.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "binding/AVPtr.h"
#include "binding/KeyFrameSeek.h"

namespace kelvane {

class TSeekAhead {
 public:
  // `start`: the split's start on the file's own time line (µs, the scale of
  // the context's start_time). `streams`: the indices of the audio and video
  // streams the run takes from the file; their landing is checked.
  TSeekAhead(AVFormatContext* input, int64_t start, std::vector<int> streams);

  // True when the input now stands before the start with Packets() read from
  // there; false when it reads from its beginning.
  bool Seek();

  // The packets read while checking the landing, in file order (video before
  // its first key frame left out).
  std::deque<AVPacketPtr>& Packets() { return packets_; }

  // What was done, for the log: "landed at 12.480 s" or why not.
  const std::string& Report() const { return report_; }

  // Whether the input's format stores the times of its packets so that a
  // landing can be judged by them, and the input can seek at all.
  static bool Seekable(const AVFormatContext* input);

 private:
  TSeekLanding ReadLanding();
  bool TimesRunForward();
  int64_t FirstTimeAt(int64_t position);
  void Rewind();
  int Read(AVPacket* packet);
  int StreamSlot(int index) const;

  AVFormatContext* input_;
  int64_t start_;
  std::vector<int> streams_;
  std::deque<AVPacketPtr> packets_;
  bool moved_ = false;  // the read position was changed
  std::string report_;
};

}  // namespace kelvane
