// A list of segments of one file to split in one go: each a start and an end
// (seconds, the exact picture times the marks hold) and a label. The window
// keeps one beside its marks (TMainWindowModel::Segments) and kelvane-split
// builds one from --segment and --segments; a split of a non-empty list writes
// one file per segment or one file of the segments joined in list order.
//
// Plain data with its checks and its file form ("start,end,label" per line).
// Toolkit-free; the window's list lives on the main thread, a copy may go to
// any thread.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace kelvane {

struct TSegment {
  double Start = 0;  // s, where the segment's first picture begins
  double End = 0;    // s, where its last picture ends
  std::string Label;
};

class TSegmentList {
 public:
  const std::vector<TSegment>& Items() const { return items_; }
  bool Empty() const { return items_.empty(); }
  size_t Count() const { return items_.size(); }

  // Index arguments out of range leave the list as it is.
  void Add(const TSegment& s);
  void Replace(size_t i, const TSegment& s);
  void Remove(size_t i);
  // The segment at `from` goes to position `to`; those between shift by one.
  void Move(size_t from, size_t to);
  void Rename(size_t i, const std::string& label);
  void Clear();

  // "" when the list can be split: every segment has a length, lies within
  // the file (`file_length` s, to the millisecond; not checked when it is 0
  // or less) and overlaps
  // no other. Otherwise one message naming the first segment at fault by its
  // number and label: "Segment 2 (\"Intro\") ends at 0:00:03.000, before it
  // starts at 0:00:05.000." An empty list is refused too.
  std::string Validate(double file_length) const;

  // The parts of the file between the segments (and before the first and
  // after the last, up to `file_length`), in time order: splitting them drops
  // what the list marks. Parts shorter than a millisecond are left out.
  TSegmentList Inverted(double file_length) const;

  // The list as a file: "start,end,label" per line, the times in seconds with
  // up to six decimals; a label holding a comma or a quote is quoted
  // ("a ""b"", c").
  std::string ToCsv() const;
  // Reads that form: times in any form MarkMicroseconds reads (83.46, 1:23.46,
  // 0:01:23.46), the label optional. Empty lines, lines starting with "#" and
  // a first line "start,end,label" are skipped. False, with `error` naming
  // the first bad line by its number ("Line 3: the end \"1:75\" is not a
  // time..."), and `out` untouched. The segments are not checked against
  // each other; Validate does that.
  static bool ReadCsv(const std::string& text, TSegmentList& out, std::string& error);
  // One such line ("1:02.5,1:10,Intro"); false with `error` saying what is
  // wrong with it (without a line number).
  static bool ReadSegment(const std::string& line, TSegment& out, std::string& error);

  // The segment's name in messages: "Segment 2" or "Segment 2 (\"Intro\")";
  // `i` counts from 0.
  std::string Name(size_t i) const;

 private:
  std::vector<TSegment> items_;
};

}  // namespace kelvane
