// The segment lists kept with the files they were made on, so that opening a
// file again brings its list back; stored as one value ("RecentSegments"),
// one line per segment: the file's path, a tab, and the segment as a line of
// the list's CSV form ("/videos/match.mp4<TAB>12.48,95.2,First half"). A line
// that does not read is skipped, so a damaged value loses only its own lines.
// Only the recent files' lists are stored.
//
// Ownership: plain values. Threads: main thread only.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "app/SegmentList.h"
#include "app/SettingsStore.h"

namespace kelvane {

class TSegmentStore {
 public:
  // The list kept for `path`; empty when there is none.
  TSegmentList Find(const std::string& path) const;
  // Keeps `list` for `path` (an empty list: forgets the file's).
  void Keep(const std::string& path, const TSegmentList& list);
  size_t FileCount() const { return lists_.size(); }

  void Load(TSettingsStore& store);
  // Stores the lists of `paths` only (the recent files).
  bool Save(TSettingsStore& store, const std::vector<std::string>& paths) const;
  std::string Encode(const std::vector<std::string>& paths) const;
  void Decode(const std::string& text);

 private:
  std::map<std::string, TSegmentList> lists_;
};

}  // namespace kelvane
