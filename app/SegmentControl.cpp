#include "app/SegmentControl.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>

#include "app/MarkTime.h"
#include "app/TextUtils.h"

namespace kelvane {
namespace {

const char kCaption[] = "Segments";
const char kJoinKey[] = "SegmentOutput";

}  // namespace

TSegmentControl::TSegmentControl(TMainWindowModel& model, TPreviewControl& preview,
                                 TMessageSink& messages)
    : model_(model), preview_(preview), messages_(messages) {}

int64_t TSegmentControl::Microseconds(double seconds) {
  return static_cast<int64_t>(std::llround(seconds * 1000000.0));
}

int TSegmentControl::Selected() const {
  return selected_ >= 0 && static_cast<size_t>(selected_) < model_.Segments.Count() ? selected_
                                                                                      : -1;
}

double TSegmentControl::FileLength() const {
  int64_t length = model_.SourceDurationUs;
  if (length <= 0) length = preview_.TrackBarMax;
  return length > 0 ? static_cast<double>(length) / 1000000.0 : 0.0;
}

bool TSegmentControl::SegmentFromMarks(const std::string& label, TSegment& segment) const {
  const int64_t start = std::max<int64_t>(preview_.MarkPosition(0), 0);
  const int64_t end = preview_.MarkPosition(1);
  if (end < 0) {
    messages_.ShowMessage(kCaption,
                          "There is no end mark: mark the segment's start and end first.");
    return false;
  }
  if (end <= start) {
    messages_.ShowMessage(
        kCaption, "The end mark " + model_.EndMarkText + " does not lie after the start mark " +
                      model_.StartMarkText + ": a segment needs both, the end after the start.");
    return false;
  }
  segment.Start = static_cast<double>(start) / 1000000.0;
  segment.End = static_cast<double>(end) / 1000000.0;
  segment.Label = label;
  return true;
}

bool TSegmentControl::Accept(const TSegmentList& list) {
  const std::string problem = list.Validate(FileLength());
  if (!problem.empty()) {
    messages_.ShowMessage(kCaption, problem);
    return false;
  }
  model_.Segments = list;
  return true;
}

bool TSegmentControl::AddSegment() {
  if (model_.Splitting) return false;
  TSegment segment;
  if (!SegmentFromMarks("", segment)) return false;
  TSegmentList list = model_.Segments;
  list.Add(segment);
  if (!Accept(list)) return false;
  selected_ = static_cast<int>(list.Count()) - 1;
  if (OnPictures) OnPictures(static_cast<size_t>(selected_));
  model_.Changed();
  return true;
}

void TSegmentControl::Select(int index) {
  if (model_.Splitting) return;
  if (index < 0 || static_cast<size_t>(index) >= model_.Segments.Count()) {
    selected_ = -1;
    model_.Changed();
    return;
  }
  selected_ = index;
  const TSegment& segment = model_.Segments.Items()[static_cast<size_t>(index)];
  const int64_t start = Microseconds(segment.Start);
  const int64_t end = Microseconds(segment.End);
  model_.SetMarkAt(1, start);
  model_.SetMarkAt(2, end);
  // The end's thumbnail is the segment's last picture (the one before its
  // end); the preview then waits at its first.
  preview_.ShowMarkPicture(TEditedMark::End, std::max<int64_t>(end - 1, start));
  preview_.ShowMarkPicture(TEditedMark::Start, start);
  if (OnPictures && Selected() == index) OnPictures(static_cast<size_t>(index));
  model_.Changed();
}

bool TSegmentControl::CanUpdate() const {
  const int selected = Selected();
  if (selected < 0) return false;
  const TSegment& segment = model_.Segments.Items()[static_cast<size_t>(selected)];
  return std::max<int64_t>(preview_.MarkPosition(0), 0) != Microseconds(segment.Start) ||
         preview_.MarkPosition(1) != Microseconds(segment.End);
}

bool TSegmentControl::UpdateSegment() {
  const int selected = Selected();
  if (model_.Splitting || selected < 0) return false;
  const size_t index = static_cast<size_t>(selected);
  TSegment segment;
  if (!SegmentFromMarks(model_.Segments.Items()[index].Label, segment)) return false;
  TSegmentList list = model_.Segments;
  list.Replace(index, segment);
  if (!Accept(list)) return false;
  if (OnPictures) OnPictures(index);
  model_.Changed();
  return true;
}

void TSegmentControl::RemoveSegment() {
  const int selected = Selected();
  if (model_.Splitting || selected < 0) return;
  model_.Segments.Remove(static_cast<size_t>(selected));
  selected_ = -1;
  model_.Changed();
}

void TSegmentControl::MoveSegment(int delta) {
  const int selected = Selected();
  const int to = selected + delta;
  if (model_.Splitting || selected < 0 || to < 0 ||
      static_cast<size_t>(to) >= model_.Segments.Count()) {
    return;
  }
  model_.Segments.Move(static_cast<size_t>(selected), static_cast<size_t>(to));
  selected_ = to;
  model_.Changed();
}

void TSegmentControl::RenameSegment(const std::string& label) {
  const int selected = Selected();
  if (model_.Splitting || selected < 0) return;
  // One line: the label is a field of a CSV line.
  std::string line = label;
  for (char& c : line) {
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  }
  model_.Segments.Rename(static_cast<size_t>(selected), Trim(line));
  model_.Changed();
}

bool TSegmentControl::InvertSegments() {
  if (model_.Splitting) return false;
  const double length = FileLength();
  if (length <= 0) {
    messages_.ShowMessage(kCaption,
                          "The parts between the segments need the file's length: open the "
                          "file first.");
    return false;
  }
  if (model_.Segments.Empty()) {
    messages_.ShowMessage(kCaption, "There are no segments to invert.");
    return false;
  }
  const TSegmentList inverted = model_.Segments.Inverted(length);
  if (inverted.Empty()) {
    messages_.ShowMessage(kCaption, "Nothing lies between the segments: they cover the whole file.");
    return false;
  }
  if (!Accept(inverted)) return false;
  selected_ = -1;
  model_.Changed();
  return true;
}

bool TSegmentControl::LoadSegments(const std::string& path) {
  if (model_.Splitting) return false;
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  if (in) text << in.rdbuf();
  if (!in || in.bad()) {
    messages_.ShowMessage(kCaption, "The segments cannot be read from " + path + ":\n\r" +
                                        std::strerror(errno));
    return false;
  }
  TSegmentList list;
  std::string error;
  if (!TSegmentList::ReadCsv(text.str(), list, error)) {
    messages_.ShowMessage(kCaption, "The segments in " + path + " cannot be read:\n\r" + error);
    return false;
  }
  if (list.Empty()) {
    messages_.ShowMessage(kCaption, path + " holds no segments.");
    return false;
  }
  if (!Accept(list)) return false;
  selected_ = -1;
  model_.Changed();
  return true;
}

bool TSegmentControl::SaveSegments(const std::string& path) {
  if (model_.Segments.Empty()) {
    messages_.ShowMessage(kCaption, "There are no segments to save.");
    return false;
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (out) out << model_.Segments.ToCsv();
  if (out) out.close();
  if (!out) {
    messages_.ShowMessage(kCaption, "The segments cannot be written to " + path + ":\n\r" +
                                        std::strerror(errno));
    return false;
  }
  return true;
}

void TSegmentControl::SetJoin(bool join) {
  if (model_.Splitting || model_.JoinSegments == join) return;
  model_.JoinSegments = join;
  model_.Changed();
}

std::string TSegmentControl::SegmentText(size_t index) const {
  if (index >= model_.Segments.Count()) return {};
  const TSegment& segment = model_.Segments.Items()[index];
  const int64_t start = Microseconds(segment.Start);
  const int64_t end = Microseconds(segment.End);
  std::string text = std::to_string(index + 1);
  if (!segment.Label.empty()) text += "  " + segment.Label;
  return text + "  (" + ReadableTime(end - start) + ")\n" + ReadableTime(start) + " - " +
         ReadableTime(end);
}

std::vector<std::pair<int64_t, int64_t>> TSegmentControl::Parts() const {
  std::vector<std::pair<int64_t, int64_t>> parts;
  for (const TSegment& segment : model_.Segments.Items()) {
    parts.emplace_back(Microseconds(segment.Start), Microseconds(segment.End));
  }
  return parts;
}

void TSegmentControl::Remember(const std::string& path) { kept_.Keep(path, model_.Segments); }

void TSegmentControl::Recall(const std::string& path) {
  if (model_.Splitting) return;  // the running list stays as it is
  model_.Segments = kept_.Find(path);
  selected_ = -1;
  model_.Changed();
}

void TSegmentControl::Load(TSettingsStore& store) {
  kept_.Load(store);
  model_.JoinSegments = store.ReadString(kJoinKey).value_or("") == kOneJoinedFile;
  model_.Changed();
}

void TSegmentControl::Save(TSettingsStore& store, const std::vector<std::string>& paths) const {
  if (!kept_.Save(store, paths)) return;
  store.WriteString(kJoinKey, model_.JoinSegments ? kOneJoinedFile : kOneFilePerSegment);
}

}  // namespace kelvane
