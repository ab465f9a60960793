// The files opened last, newest first, each with the marks it had, for the
// File menu's Recent Files; kept in the stored settings as one value
// ("RecentFiles": a line per file, its fields separated by tabs).
//
// Ownership: plain values. Threads: main thread only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/SettingsStore.h"

namespace kelvane {

struct TRecentFile {
  std::string Path;
  // The marks' panel texts and their exact times (µs; -1: none), as the
  // window model keeps them.
  std::string Start = "0.00";
  int64_t ExactStart = -1;
  std::string End = "0.00";
  int64_t ExactEnd = -1;
};

class TRecentFiles {
 public:
  static constexpr size_t kMax = 8;

  const std::vector<TRecentFile>& Items() const { return items_; }
  // `file` goes first; an older entry of the same path goes.
  void Add(const TRecentFile& file);
  // The entry of `path`, when there is one.
  const TRecentFile* Find(const std::string& path) const;
  void Clear() { items_.clear(); }

  void Load(TSettingsStore& store);
  bool Save(TSettingsStore& store) const;
  // The stored form and the way back (lines that do not read are skipped).
  std::string Encode() const;
  void Decode(const std::string& text);

 private:
  std::vector<TRecentFile> items_;
};

}  // namespace kelvane
