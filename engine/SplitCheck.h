// The check after a split: does the new file begin with the source's picture
// at the start mark and end with its last picture before the end mark, hold
// as many pictures as the marked segment, and have its sound where its
// pictures are?
//
// CheckSplit reads the output's packets (without decoding them) for its
// picture count and the times of its pictures and its sound, decodes its first
// picture, its last (from the last key picture on) and its first sound, and
// compares the pictures, shrunk to small grey pictures with the letterbox
// bars left out, with the source's pictures at the marks and the ones either
// side of them; both as they are shown (turned as a display matrix asks), so a
// split that turned the pictures upright compares like one that kept the
// source's matrix. The source is sought to the key frame before each mark and
// decoded from there; its pictures up to the end mark are only counted. That
// half (ReadSourcePictures) needs nothing of the new file and can run while
// the split does; the other half costs a small part of the split's time.
//
// Plain data and a function that reads the two files and nothing else; any
// thread (one call per pair of files at a time), which another thread may ask
// to stop through the request. The engine's libraries must be loaded.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace kelvane {

struct TSplitCheckRequest {
  std::string SourceFile;
  std::string OutputFile;
  int64_t StartUs = 0;  // the start mark, from the source's beginning
  int64_t EndUs = -1;   // the end mark; -1: the end of the source
  // The part of the output that holds this segment (µs of the output's
  // time; a joined file's part), or 0 and -1: the whole output.
  int64_t OutputStartUs = 0;
  int64_t OutputEndUs = -1;
  // Letterbox bars around the picture in the output (pixels on each side).
  int PadTop = 0, PadBottom = 0, PadLeft = 0, PadRight = 0;
  // A smart copy: how many pictures it copied (-1: none was made). The check
  // then compares the new file's packets with the source's (ProveCopiedPackets).
  int64_t CopiedPictures = -1;
  // When given and set (from any thread), the reading ends early and the
  // check is not done, its Problem being kCheckStopped.
  const std::atomic<bool>* Stop = nullptr;
};

inline constexpr char kCheckStopped[] = "the check was stopped";

struct TSplitCheck {
  bool Done = false;    // false: a file could not be read; Problem says why
  std::string Problem;

  bool HasVideo = false;
  // The output's first picture is one of the source's near the start mark
  // (PictureFound), and which: 0 the one at the mark, +1 the next, -1 the one
  // before it.
  bool PictureFound = false;
  int FrameOffset = 0;
  // Likewise the output's last picture against the source's last picture
  // before the end mark (compared when there is an end mark and the frame
  // rate was kept).
  bool LastPictureCompared = false;
  bool LastPictureFound = false;
  int LastFrameOffset = 0;
  int64_t Frames = 0;           // pictures in the output
  int64_t ExpectedFrames = -1;  // pictures of the segment at the output's rate; -1 unknown
  bool RateChanged = false;     // the output has another frame rate than the source

  bool HasAudio = false;
  // Where the sound begins against the first picture (the first samples the
  // decoder gives, its priming left out) and ends against the end of the
  // segment's pictures at the output's rate (ms, positive: later). The end is
  // measured to the sound's last coded frame, whose padding containers cannot
  // tell from sound: 0 when the pictures end within that frame. Without
  // pictures: against the start and the length of the segment.
  double AudioStartMs = 0;
  double AudioEndMs = 0;
  // How far the sound may lie off at either end.
  double AudioToleranceMs = 5;

  // A smart copy: the pictures it copied, and how many of the new file's
  // packets are the source's byte for byte; -1 for other splits.
  int64_t CopiedPictures = -1;
  int64_t IdenticalPictures = -1;

  // Time reading the new file and comparing (what the check adds after the
  // split), and time reading the source (which can run beside the split).
  int64_t CheckMs = 0;
  int64_t SourceMs = 0;

  // A joined file: the check of each part against its segment (JoinedCheck);
  // the counts above are their sums, and each part's mismatches are named
  // after its segment.
  std::vector<TSplitCheck> Parts;
  // A part of a joined file: why its container cannot hold it exactly, said
  // after its mismatches; empty when it can.
  std::string Why;

  int64_t DurationErrorFrames() const { return ExpectedFrames < 0 ? 0 : Frames - ExpectedFrames; }
  // What lies outside the tolerances, one text each ("first picture off by 1
  // frame", "49 frames of 50 (-1)", "sound -43 ms at the start"); empty when
  // everything matched or the check was not done.
  std::vector<std::string> Mismatches() const;
  // Done, and everything as it should be: the first (and last) picture the
  // source's, the picture count within one picture, the sound within 5 ms at
  // both ends.
  bool Matched() const;
  // "matched", "off by 1 frame", "off by -1 frame", "not found", "no pictures";
  // "last picture off by 1 frame" (or "not found") when only the last one
  // differs, added after ", " when both do.
  std::string PictureText() const;
  // One line for the log, the command line's report and the status bar:
  // "matched; 50 frames of 50; sound 0 ms at the start, +2 ms at the end".
  std::string Summary() const;
  // The status bar's text: "Check: " and the summary, or "Warning: the new
  // file does not match its source: " and only what did not match.
  std::string StatusText() const;
};

// What the check needs of the source: its pictures either side of the start
// mark, shrunk, and the count of its pictures in the segment. It does not
// depend on the new file, so it can be read while the split runs.
struct TSourcePictures {
  bool Read = false;  // false: the source could not be read; Problem says why
  std::string Problem;
  std::vector<uint8_t> Before, At, After;  // empty when there is no such picture
  // The last picture before the end mark and its neighbours (empty without
  // an end mark).
  std::vector<uint8_t> LastBefore, LastAt, LastAfter;
  int64_t Frames = -1;                     // -1: its packets carry no times
  // When the last picture before the end mark begins (µs, the file's own
  // times); -1 when unknown. A variable frame rate: the segment's pictures do
  // not come one frame length apart.
  int64_t LastPictureUs = -1;
  // How long after the start mark the first picture from it on begins (µs):
  // a mark between two pictures.
  int64_t FirstPictureLeadUs = 0;
  bool VariableRate = false;
  int FrameRateNum = 0, FrameRateDen = 1;
  int64_t ReadMs = 0;
};
TSourcePictures ReadSourcePictures(const TSplitCheckRequest& request);

// Checks the new file against source pictures read before.
TSplitCheck CheckSplit(const TSplitCheckRequest& request, const TSourcePictures& source);
// One check of a joined file from the checks of its parts (in order): done
// when all were, its pictures and sound as they are at every join.
TSplitCheck JoinedCheck(const std::vector<TSplitCheck>& parts);
// Checks each part of a joined file (the requests' output times as the parts
// were joined) against its source pictures, on the file's own time line, and
// gathers them with JoinedCheck.
TSplitCheck CheckJoined(std::vector<TSplitCheckRequest> parts,
                        const std::vector<TSourcePictures>& sources);

// A joined smart copy that copied `copied` pictures: how many of the joined
// file's pictures are those of the source's segments byte for byte, into the
// joined check (a check that was not done stays so).
void ProveJoinedCopies(const std::vector<TSplitCheckRequest>& parts, int64_t copied,
                       TSplitCheck& joined);

// Reads the source's pictures, then checks the new file against them.
TSplitCheck CheckSplit(const TSplitCheckRequest& request);

}  // namespace kelvane
