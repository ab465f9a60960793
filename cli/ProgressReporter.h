// What kelvane-split shows while a split runs and when it ends: a one-line
// display redrawn in place on a terminal, plain lines when the output is not a
// terminal, or one JSON object per line for scripts.
//
// Time spent paused (the process stopped with Ctrl-Z) is not counted in the
// elapsed time or the estimate of the time left.
//
// Threads: main thread only; the split command hands it the component's
// reports there.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "app/SplitSession.h"
#include "app/TextUtils.h"

namespace kelvane::cli {

using TProgressValues = TSplitProgress;

struct TSplitResult {
  std::string Outcome;  // "finished", "stopped" or "failed"
  std::string Message;  // what the window would have said, or the failure
  std::string OutputPath;
  int64_t OutputDurationMs = -1;  // of the written file; -1 when unknown
  int32_t FramesWritten = 0;
  std::string Streams;            // "video: mpeg4 640x480, audio: aac 44100 Hz 2 ch"
  std::optional<TSplitCheck> Check;  // the check of a finished split's file
  // --smart-copy: "copy", "smart" or "re-encode", why everything was
  // re-encoded, and the pictures copied and re-encoded.
  std::string Method;
  std::string MethodReason;
  int64_t CopiedPictures = 0;
  int64_t EncodedPictures = 0;
  // One of several segments: its number (from 1) and how many; 0 and 0 else.
  int32_t Segment = 0;
  int32_t SegmentCount = 0;
};

class TProgressReporter {
 public:
  enum class TMode { Terminal, Lines, Json };
  TProgressReporter(TMode mode, FILE* out, FILE* err);

  void Started(const std::string& input, const std::string& output);
  // The one line of what the file will be, before the split starts.
  void Explained(const std::string& line);
  void Progress(const TProgressValues& values);
  void PauseBegan();
  void PauseEnded();
  // A message box the window would have shown.
  void Message(const std::string& caption, const std::string& text);
  // A log line of the engine or the libraries (--verbose).
  void LogLine(const std::string& level, const std::string& text);
  // The split finished: the display reaches 100% (the expected length was an
  // estimate; a finished split has written all of it).
  void Completed(TProgressValues last);
  // The result; a check that found a mismatch is also printed as a warning.
  void Finished(const TSplitResult& result);
  // The check as the members of a JSON object, "null" when there is none.
  static std::string CheckJson(const std::optional<TSplitCheck>& check);

  // Milliseconds spent running, without pauses.
  int64_t ElapsedMs() const;

  // The display line for a report after `elapsed_ms`: percent, frames,
  // elapsed and estimated time left (when the total is known).
  static std::string FormatLine(const TProgressValues& values, int64_t elapsed_ms);
  // "1:02:03" or "02:03".
  static std::string FormatClock(int64_t milliseconds);
  static std::string JsonString(const std::string& text);

 private:
  void EndTerminalLine();

  TMode mode_;
  FILE* out_;
  FILE* err_;
  std::chrono::steady_clock::time_point started_;
  std::chrono::steady_clock::duration paused_total_{};
  std::chrono::steady_clock::time_point pause_began_;
  bool paused_ = false;
  bool line_open_ = false;
};

}  // namespace kelvane::cli
