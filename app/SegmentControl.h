// The window's segment list (the window model's Segments) as the user works
// it: Add Segment takes the marks as a new segment; selecting one makes its
// times the marks and shows its last and first pictures in the marks'
// thumbnails (the preview stays paused at its first); Update Segment writes
// edited marks back; remove, move up and down, rename, invert (the parts
// between the segments); the list saved to and loaded from a CSV file; and
// each file's list kept with it (TSegmentStore), so opening the file again
// brings it back. Every change that would make the list one a split refuses
// (reversed or overlapping segments, past the end of the file) is refused
// with the list's own message. Toolkit-free: the Qt window forwards clicks
// and keys here and mirrors the texts.
//
// Ownership: refers to the window model, the preview control and the message
// sink, which outlive it. Threads: main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "app/MainWindowModel.h"
#include "app/MessageSink.h"
#include "app/PreviewControl.h"
#include "app/SegmentStore.h"
#include "app/SettingsStore.h"

namespace kelvane {

class TSegmentControl {
 public:
  // The two ways a list is written, as the window offers them.
  static constexpr const char* kOneFilePerSegment = "One file per segment";
  static constexpr const char* kOneJoinedFile = "One joined file";

  TSegmentControl(TMainWindowModel& model, TPreviewControl& preview, TMessageSink& messages);

  const TSegmentList& List() const { return model_.Segments; }
  // The open file the segments are of.
  const std::string& FileName() const { return model_.EditInputFilename; }
  bool Join() const { return model_.JoinSegments; }
  // The selected segment; -1 when none is.
  int Selected() const;
  // Add Segment (Insert): the start and end marks as a new last segment,
  // which becomes the selected one. False, saying why, without an end mark,
  // with an end not after the start, or when the list would be refused.
  bool AddSegment();
  // Selects segment `index` (-1: none). A segment's times become the marks
  // (exact), and the preview shows its pictures.
  void Select(int index);
  // The marks differ from the selected segment's times (Update Segment has
  // something to write).
  bool CanUpdate() const;
  // Update Segment: the marks become the selected segment's times.
  bool UpdateSegment();
  // The selected segment goes; none is selected then.
  void RemoveSegment();
  // The selected segment one place up (-1) or down (+1); it stays selected.
  void MoveSegment(int delta);
  // The selected segment's label (spaces around it dropped).
  void RenameSegment(const std::string& label);
  // The parts between the segments (and before the first and after the last)
  // become the list. False, saying why, without the file's length or when
  // nothing lies between.
  bool InvertSegments();
  // File > Load Segments / Save Segments: the list as "start,end,label" per
  // line. A file that cannot be read or written, a line that does not read
  // (named by its number) and a list a split would refuse are said; the list
  // stays as it was then.
  bool LoadSegments(const std::string& path);
  bool SaveSegments(const std::string& path);
  // One joined file (true) or one file per segment: the model's JoinSegments.
  void SetJoin(bool join);

  // Segment `index` as the list shows it, two lines: its number, label and
  // length, then its times, as people read them
  // ("2  Goal  (0:00:06.960)\n0:01:05.040 - 0:01:12.000").
  std::string SegmentText(size_t index) const;
  // The segments' times (µs), for the time line.
  std::vector<std::pair<int64_t, int64_t>> Parts() const;
  // Seconds of a segment's time in µs.
  static int64_t Microseconds(double seconds);

  // The list goes with the file `path` (before another file opens, and as
  // the window closes); and the list kept for `path` comes back (after a
  // file opened; none when it has none).
  void Remember(const std::string& path);
  void Recall(const std::string& path);
  // The kept lists and the output choice in the stored settings; only the
  // lists of `paths` (the recent files) are stored.
  void Load(TSettingsStore& store);
  void Save(TSettingsStore& store, const std::vector<std::string>& paths) const;
  const TSegmentStore& Kept() const { return kept_; }

  // The marks' thumbnails show the first and last pictures of segment
  // `index` now (it was added, updated or selected): a view keeps them.
  std::function<void(size_t index)> OnPictures;

 private:
  // The marks as a segment with `label`; false, saying why, when they make none.
  bool SegmentFromMarks(const std::string& label, TSegment& segment) const;
  // `list` becomes the model's when the split would take it; else its message
  // is shown and false returned.
  bool Accept(const TSegmentList& list);
  // The file's length in seconds; 0 when it is not known.
  double FileLength() const;

  TMainWindowModel& model_;
  TPreviewControl& preview_;
  TMessageSink& messages_;
  TSegmentStore kept_;
  int selected_ = -1;
};

}  // namespace kelvane
