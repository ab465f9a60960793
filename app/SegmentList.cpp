#include "app/SegmentList.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <optional>

#include "app/MarkTime.h"
#include "app/TextUtils.h"

namespace kelvane {
namespace {

// Segment times are compared to the microsecond, as they are read and written.
int64_t Micro(double seconds) { return static_cast<int64_t>(std::llround(seconds * 1e6)); }

std::string Shown(double seconds) { return ReadableTime(Micro(seconds)); }

// Seconds with up to six decimals, at least two: "12.50", "1.033367".
std::string CsvTime(double seconds) {
  std::string text = FormatFixed(std::max(seconds, 0.0), 6);
  while (text.size() > 3 && text.back() == '0' && text[text.size() - 3] != '.') text.pop_back();
  return text;
}

std::string CsvLabel(const std::string& label) {
  if (label.find_first_of(",\"") == std::string::npos) return label;
  std::string quoted = "\"";
  for (char c : label) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

// One line split at its commas; a field in double quotes may hold commas and
// doubled quotes. Nothing when a quote is not closed.
std::optional<std::vector<std::string>> CsvFields(const std::string& line) {
  std::vector<std::string> fields(1);
  size_t i = 0;
  while (i < line.size()) {
    const char c = line[i];
    if (c == ',') {
      fields.emplace_back();
      ++i;
    } else if (c == '"' && Trim(fields.back()).empty()) {
      fields.back().clear();
      ++i;
      bool closed = false;
      while (i < line.size()) {
        if (line[i] == '"') {
          if (i + 1 < line.size() && line[i + 1] == '"') {
            fields.back() += '"';
            i += 2;
            continue;
          }
          closed = true;
          ++i;
          break;
        }
        fields.back() += line[i++];
      }
      if (!closed) return std::nullopt;
      while (i < line.size() && line[i] != ',') {
        if (!Trim(std::string(1, line[i])).empty()) return std::nullopt;  // text after the quote
        ++i;
      }
    } else {
      fields.back() += c;
      ++i;
    }
  }
  return fields;
}

}  // namespace

void TSegmentList::Add(const TSegment& s) { items_.push_back(s); }

void TSegmentList::Replace(size_t i, const TSegment& s) {
  if (i < items_.size()) items_[i] = s;
}

void TSegmentList::Remove(size_t i) {
  if (i < items_.size()) items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(i));
}

void TSegmentList::Move(size_t from, size_t to) {
  if (from >= items_.size() || to >= items_.size() || from == to) return;
  TSegment moved = std::move(items_[from]);
  items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(from));
  items_.insert(items_.begin() + static_cast<std::ptrdiff_t>(to), std::move(moved));
}

void TSegmentList::Rename(size_t i, const std::string& label) {
  if (i < items_.size()) items_[i].Label = label;
}

void TSegmentList::Clear() { items_.clear(); }

std::string TSegmentList::Name(size_t i) const {
  std::string name = "Segment " + std::to_string(i + 1);
  if (i < items_.size() && !items_[i].Label.empty()) name += " (\"" + items_[i].Label + "\")";
  return name;
}

std::string TSegmentList::Validate(double file_length) const {
  if (items_.empty()) return "The segment list is empty.";
  const bool known = file_length > 0;
  for (size_t i = 0; i < items_.size(); ++i) {
    const TSegment& s = items_[i];
    if (Micro(s.Start) < 0) return Name(i) + " starts before the beginning of the file.";
    if (Micro(s.End) < Micro(s.Start)) {
      return Name(i) + " ends at " + Shown(s.End) + ", before it starts at " + Shown(s.Start) +
             ".";
    }
    if (Micro(s.End) == Micro(s.Start)) {
      return Name(i) + " is empty: it starts and ends at " + Shown(s.Start) + ".";
    }
    if (known && Micro(s.Start) >= Micro(file_length)) {
      return Name(i) + " starts at " + Shown(s.Start) + ", past the end of the file at " +
             Shown(file_length) + ".";
    }
    // The end mark of the last picture may lie a rounding past the file's length.
    if (known && Micro(s.End) > Micro(file_length) + 1000) {
      return Name(i) + " ends at " + Shown(s.End) + ", past the end of the file at " +
             Shown(file_length) + ".";
    }
  }
  // In time order, a segment overlaps another exactly when it starts before
  // the latest end so far; the message names both in list order.
  std::vector<size_t> order(items_.size());
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(), [this](size_t a, size_t b) {
    return Micro(items_[a].Start) < Micro(items_[b].Start);
  });
  size_t latest = order[0];
  for (size_t k = 1; k < order.size(); ++k) {
    const size_t i = order[k];
    if (Micro(items_[i].Start) < Micro(items_[latest].End)) {
      const size_t first = std::min(i, latest), second = std::max(i, latest);
      const TSegment& a = items_[first];
      const TSegment& b = items_[second];
      return Name(second) + " (" + Shown(b.Start) + " to " + Shown(b.End) + ") overlaps " +
             "segment " + std::to_string(first + 1) + " (" + Shown(a.Start) + " to " +
             Shown(a.End) + ").";
    }
    if (Micro(items_[i].End) > Micro(items_[latest].End)) latest = i;
  }
  return std::string();
}

TSegmentList TSegmentList::Inverted(double file_length) const {
  std::vector<TSegment> sorted = items_;
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const TSegment& a, const TSegment& b) { return a.Start < b.Start; });
  TSegmentList parts;
  double from = 0;
  auto part = [&parts](double start, double end) {
    if (Micro(end) - Micro(start) >= 1000) parts.Add(TSegment{start, end, std::string()});
  };
  for (const TSegment& s : sorted) {
    part(from, s.Start);
    from = std::max(from, s.End);
  }
  if (file_length > 0) part(from, file_length);
  return parts;
}

std::string TSegmentList::ToCsv() const {
  std::string text;
  for (const TSegment& s : items_) {
    text += CsvTime(s.Start) + "," + CsvTime(s.End);
    if (!s.Label.empty()) text += "," + CsvLabel(s.Label);
    text += "\n";
  }
  return text;
}

bool TSegmentList::ReadSegment(const std::string& line, TSegment& out, std::string& error) {
  const std::string trimmed = Trim(line);
  const std::optional<std::vector<std::string>> fields = CsvFields(line);
  if (!fields) {
    error = "a quote in \"" + trimmed + "\" is not closed.";
    return false;
  }
  if (fields->size() < 2 || fields->size() > 3) {
    error = "\"" + trimmed + "\" is not \"start,end\" or \"start,end,label\".";
    return false;
  }
  const std::optional<int64_t> start = MarkMicroseconds((*fields)[0]);
  const std::optional<int64_t> end = MarkMicroseconds((*fields)[1]);
  for (int k = 0; k < 2; ++k) {
    if (!(k == 0 ? start : end)) {
      error = std::string(k == 0 ? "the start \"" : "the end \"") + Trim((*fields)[k]) +
              "\" is not a time; write " + MarkForms() + ".";
      return false;
    }
  }
  out = TSegment{static_cast<double>(*start) / 1e6, static_cast<double>(*end) / 1e6,
                 fields->size() == 3 ? Trim((*fields)[2]) : std::string()};
  return true;
}

bool TSegmentList::ReadCsv(const std::string& text, TSegmentList& out, std::string& error) {
  TSegmentList read;
  size_t number = 0;
  size_t begin = 0;
  while (begin < text.size()) {
    size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(begin, end - begin);
    begin = end + 1;
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::string trimmed = Trim(line);
    if (trimmed.empty() || trimmed[0] == '#') continue;
    if (number == 1 && LowerCase(trimmed).rfind("start", 0) == 0) continue;  // a heading
    TSegment segment;
    std::string why;
    if (!ReadSegment(line, segment, why)) {
      error = "Line " + std::to_string(number) + ": " + why;
      return false;
    }
    read.Add(segment);
  }
  out = std::move(read);
  return true;
}

}  // namespace kelvane
