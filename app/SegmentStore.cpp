#include "app/SegmentStore.h"

#include <sstream>

namespace kelvane {
namespace {

const char kKey[] = "RecentSegments";

}  // namespace

TSegmentList TSegmentStore::Find(const std::string& path) const {
  const auto found = lists_.find(path);
  return found == lists_.end() ? TSegmentList() : found->second;
}

void TSegmentStore::Keep(const std::string& path, const TSegmentList& list) {
  if (path.empty() || path.find_first_of("\t\n\r") != std::string::npos) return;
  if (list.Empty()) {
    lists_.erase(path);
  } else {
    lists_[path] = list;
  }
}

std::string TSegmentStore::Encode(const std::vector<std::string>& paths) const {
  std::string text;
  for (const std::string& path : paths) {
    const auto found = lists_.find(path);
    if (found == lists_.end()) continue;
    std::istringstream lines(found->second.ToCsv());
    std::string line;
    while (std::getline(lines, line)) {
      if (!line.empty()) text += path + "\t" + line + "\n";
    }
  }
  return text;
}

void TSegmentStore::Decode(const std::string& text) {
  lists_.clear();
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t tab = line.find('\t');
    if (tab == 0 || tab == std::string::npos) continue;
    TSegmentList one;
    std::string error;
    if (!TSegmentList::ReadCsv(line.substr(tab + 1), one, error) || one.Count() != 1) continue;
    lists_[line.substr(0, tab)].Add(one.Items().front());
  }
}

void TSegmentStore::Load(TSettingsStore& store) { Decode(store.ReadString(kKey).value_or("")); }

bool TSegmentStore::Save(TSettingsStore& store, const std::vector<std::string>& paths) const {
  return store.WriteString(kKey, Encode(paths));
}

}  // namespace kelvane
