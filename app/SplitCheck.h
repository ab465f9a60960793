// The check after a split: does the new file begin with the source's picture
// at the start mark, hold as many pictures as the marked segment, and have its
// sound where its pictures are?
//
// CheckSplit reads the output's packets (without decoding them) for its
// picture count and the times of its pictures and its sound, decodes its first
// picture, and compares it, shrunk to a small grey picture with the letterbox
// bars left out, with the source's picture at the start mark and the ones
// either side of it; both as they are shown (turned as a display matrix asks),
// so a split that turned the pictures upright compares like one that kept
// the source's matrix. The source is sought to the key frame before the mark and
// decoded from there; its pictures up to the end mark are only counted. That
// half (ReadSourcePictures) needs nothing of the new file and can run while
// the split does; the other half costs a small part of the split's time.
//
// Plain data and a function that reads the two files and nothing else; any
// thread (one call per pair of files at a time). The engine's libraries must
// be loaded.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kelvane {

struct TSplitCheckRequest {
  std::string SourceFile;
  std::string OutputFile;
  int64_t StartUs = 0;  // the start mark, from the source's beginning
  int64_t EndUs = -1;   // the end mark; -1: the end of the source
  // Letterbox bars around the picture in the output (pixels on each side).
  int PadTop = 0, PadBottom = 0, PadLeft = 0, PadRight = 0;
};

struct TSplitCheck {
  bool Done = false;    // false: a file could not be read; Problem says why
  std::string Problem;

  bool HasVideo = false;
  // The output's first picture is one of the source's near the start mark
  // (PictureFound), and which: 0 the one at the mark, +1 the next, -1 the one
  // before it.
  bool PictureFound = false;
  int FrameOffset = 0;
  int64_t Frames = 0;           // pictures in the output
  int64_t ExpectedFrames = -1;  // pictures of the segment at the output's rate; -1 unknown
  bool RateChanged = false;     // the output has another frame rate than the source;
                                // its picture count may then be one off

  bool HasAudio = false;
  // Where the sound begins against the first picture and ends against the end
  // of the last picture (ms, positive: later). Without pictures: against the
  // start and the end of the segment.
  double AudioStartMs = 0;
  double AudioEndMs = 0;
  // How far the sound may lie off: 5 ms, one of its coded frames (containers
  // state its length in whole frames) and, when the frame rate was changed,
  // one picture (the pictures then end within a picture of the segment's end).
  double AudioToleranceMs = 5;

  // Time reading the new file and comparing (what the check adds after the
  // split), and time reading the source (which can run beside the split).
  int64_t CheckMs = 0;
  int64_t SourceMs = 0;

  int64_t DurationErrorFrames() const { return ExpectedFrames < 0 ? 0 : Frames - ExpectedFrames; }
  // Everything as it should be, within the tolerances.
  bool Matched() const;
  // "matched", "off by 1 frame", "off by -1 frame", "not found", "no pictures".
  std::string PictureText() const;
  // One line for the log, the command line's report and the status bar:
  // "matched; 50 frames of 50; sound 0 ms at the start, +2 ms at the end".
  std::string Summary() const;
  // The status bar's text: "Check: " and the summary, or "Warning: the new
  // file does not match its source: " and the summary.
  std::string StatusText() const;
};

// What the check needs of the source: its pictures either side of the start
// mark, shrunk, and the count of its pictures in the segment. It does not
// depend on the new file, so it can be read while the split runs.
struct TSourcePictures {
  bool Read = false;  // false: the source could not be read; Problem says why
  std::string Problem;
  std::vector<uint8_t> Before, At, After;  // empty when there is no such picture
  int64_t Frames = -1;                     // -1: its packets carry no times
  int FrameRateNum = 0, FrameRateDen = 1;
  int64_t ReadMs = 0;
};
TSourcePictures ReadSourcePictures(const TSplitCheckRequest& request);

// Checks the new file against source pictures read before.
TSplitCheck CheckSplit(const TSplitCheckRequest& request, const TSourcePictures& source);
// Reads the source's pictures, then checks the new file against them.
TSplitCheck CheckSplit(const TSplitCheckRequest& request);

}  // namespace kelvane
