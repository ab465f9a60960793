#include "app/RecentFiles.h"

#include <algorithm>
#include <sstream>

namespace kelvane {
namespace {

const char kKey[] = "RecentFiles";

int64_t ReadTime(const std::string& text) {
  if (text.empty() || text.size() > 18) return -1;
  if (!std::all_of(text.begin() + (text[0] == '-' ? 1 : 0), text.end(),
                   [](unsigned char c) { return c >= '0' && c <= '9'; })) {
    return -1;
  }
  return std::max<int64_t>(-1, std::stoll(text));
}

}  // namespace

void TRecentFiles::Add(const TRecentFile& file) {
  if (file.Path.empty() || file.Path.find_first_of("\t\n") != std::string::npos) return;
  items_.erase(std::remove_if(items_.begin(), items_.end(),
                              [&](const TRecentFile& item) { return item.Path == file.Path; }),
               items_.end());
  items_.insert(items_.begin(), file);
  if (items_.size() > kMax) items_.resize(kMax);
}

const TRecentFile* TRecentFiles::Find(const std::string& path) const {
  for (const TRecentFile& item : items_) {
    if (item.Path == path) return &item;
  }
  return nullptr;
}

std::string TRecentFiles::Encode() const {
  std::string text;
  for (const TRecentFile& item : items_) {
    text += item.Path + "\t" + item.Start + "\t" + std::to_string(item.ExactStart) + "\t" +
            item.End + "\t" + std::to_string(item.ExactEnd) + "\n";
  }
  return text;
}

void TRecentFiles::Decode(const std::string& text) {
  items_.clear();
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line) && items_.size() < kMax) {
    std::vector<std::string> fields;
    std::istringstream parts(line);
    std::string field;
    while (std::getline(parts, field, '\t')) fields.push_back(field);
    if (fields.size() != 5 || fields[0].empty()) continue;
    items_.push_back({fields[0], fields[1], ReadTime(fields[2]), fields[3], ReadTime(fields[4])});
  }
}

void TRecentFiles::Load(TSettingsStore& store) { Decode(store.ReadString(kKey).value_or("")); }

bool TRecentFiles::Save(TSettingsStore& store) const { return store.WriteString(kKey, Encode()); }

}  // namespace kelvane
