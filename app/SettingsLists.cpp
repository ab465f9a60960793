#include "app/SettingsLists.h"

#include <algorithm>

#include "app/TextUtils.h"

namespace kelvane {
namespace {

const char kDefault[] = "default";
const char kOnly[] = "ONLY";

// The text before the first `marker`; the whole text when there is none.
std::string Before(const std::string& text, const char* marker) {
  return text.substr(0, text.find(marker));
}

struct TItems {
  std::vector<std::string> items;
  int selected = 0;  // the item that carried "default"; 0 when none did
};

// Splits a "-" list; "default" and anything after it are cut from an item,
// and the last item that carried it is the one to select.
TItems SplitItems(const std::string& text) {
  TItems result;
  size_t start = 0;
  for (;;) {
    const size_t dash = text.find('-', start);
    std::string item = text.substr(start, dash == std::string::npos ? std::string::npos
                                                                    : dash - start);
    const size_t mark = item.find(kDefault);
    if (mark != std::string::npos) {
      item.erase(mark);
      result.selected = static_cast<int>(result.items.size());
    }
    result.items.push_back(item);
    if (dash == std::string::npos) break;
    start = dash + 1;
  }
  return result;
}

void AddAll(TListModel& list, const std::vector<std::string>& items) {
  for (const std::string& item : items) list.Add(item);
}

std::string WithUnit(const std::string& value, const char* contains, const char* unit) {
  return Contains(value, contains) ? value : value + unit;
}

// The selection rule of a single "default" value in a fixed list: the last
// entry (trimmed) that contains the value.
int LastContaining(const TListModel& list, const std::string& value) {
  int selected = 0;
  for (int i = 0; i < list.Count(); ++i) {
    if (Contains(Trim(list.Item(i)), value)) selected = i;
  }
  return selected;
}

int FirstContaining(const TListModel& list, const std::string& value) {
  for (int i = 0; i < list.Count(); ++i) {
    if (Contains(list.Item(i), value)) return i;
  }
  return 0;
}

// Codec columns: a "-" list is split; any other text is one entry as it stands.
void FillCodecs(const std::string& text, TListModel& list) {
  list.Clear();
  if (text.find('-') == std::string::npos) {
    list.Add(text);
    list.Select(0);
    return;
  }
  TItems items = SplitItems(text);
  AddAll(list, items.items);
  list.Select(items.selected);
}

// Bitrate columns: the row's five levels as "<n> Kbps", a level equal to the
// one before it left out, so that entry i stands for quality level i.
void AddLevels(const std::array<std::string, 5>& levels, TListModel& list) {
  std::string previous;
  bool first = true;
  for (const std::string& level : levels) {
    const std::string entry = level + " Kbps";
    if (!first && entry == previous) continue;
    list.Add(entry);
    previous = entry;
    first = false;
  }
}

void FillBitrates(const std::string& text, const std::array<std::string, 5>& levels,
                  const std::vector<std::string>* fallback, TListModel& list) {
  list.Clear();
  if (text.empty()) {
    if (fallback != nullptr) {
      AddAll(list, *fallback);
    } else {
      AddLevels(levels, list);
    }
    list.Select(0);
    return;
  }
  if (text.find('-') == std::string::npos && !Contains(text, kDefault) && Contains(text, kOnly)) {
    list.Add(WithUnit(Before(text, kOnly), "Kbps", " Kbps"));
    list.Select(0);
    return;
  }
  if (text.find('-') != std::string::npos) {
    // No preset writes a bitrate list; read it like any other "-" list.
    TItems items = SplitItems(text);
    for (const std::string& item : items.items) list.Add(WithUnit(item, "Kbps", " Kbps"));
    list.Select(items.selected);
    return;
  }
  AddLevels(levels, list);
  list.Select(FirstContaining(list, Before(text, kDefault)));
}

// Frame-rate and sample-rate columns: a fixed list with a "default" value, one
// "ONLY" value, or a "-" list of which only the last item is kept.
void FillRates(const std::string& text, const std::vector<std::string>& fixed,
               const char* contains, const char* unit, TListModel& list) {
  list.Clear();
  if (text.empty()) {
    AddAll(list, fixed);
    list.Select(0);
    return;
  }
  const bool is_list = text.find('-') != std::string::npos;
  if (!is_list && Contains(text, kDefault)) {
    AddAll(list, fixed);
    list.Select(LastContaining(list, Before(text, kDefault)));
    return;
  }
  if (Contains(text, kOnly)) {
    list.Add(WithUnit(Before(text, kOnly), contains, unit));
    list.Select(0);
    return;
  }
  // A "-" list, or a single value read as a list of one item.
  TItems items = SplitItems(text);
  list.Add(WithUnit(items.items.back(), contains, unit));
  list.Select(0);
}

}  // namespace

const std::vector<std::string>& FixedVideoBitrates() {
  static const std::vector<std::string> list = {
      "192 Kbps", "200 Kbps",  "256 Kbps",  "384 Kbps",  "512 Kbps",  "640 Kbps", "768 Kbps",
      "1000 Kbps", "1200 Kbps", "1500 Kbps", "1600 Kbps", "2000 Kbps", "2500 Kbps"};
  return list;
}

const std::vector<std::string>& FixedSizes() {
  static const std::vector<std::string> list = {
      "Original Size",  "720x576",       "720x480", "704x576 (4CIF)", "640x480",
      "640x352",        "624x352",       "480x576", "480x480",        "480x360",
      "480x272",        "352x288 (CIF)", "352x240", "320x240 (VGA)",  "320x200",
      "240x180",        "220x176",       "208x176", "192x144",        "176x144 (QCIF)",
      "176x120",        "160x120 (QVGA)", "128x96 (SQCIF)"};
  return list;
}

const std::vector<std::string>& FixedFrameRates() {
  static const std::vector<std::string> list = {"Auto",      "30.0 fps",   "29.97 fps",
                                                "25.0 fps",  "23.975 fps", "15.0 fps",
                                                "14.985 fps"};
  return list;
}

const std::vector<std::string>& FixedSampleRates() {
  static const std::vector<std::string> list = {"96000 Hz", "54000 Hz", "48000 Hz",
                                                "44100 Hz", "32000 Hz", "22050 Hz",
                                                "16000 Hz", "8000 Hz"};
  return list;
}

const std::vector<std::string>& QualityLevels() {
  static const std::vector<std::string> list = {"Highest", "Higher", "Normal", "Lower",
                                                "Lowest"};
  return list;
}

void FillVideoCodecs(const Quality& row, TListModel& list) { FillCodecs(row.VideoCodecs, list); }

void FillAudioCodecs(const Quality& row, TListModel& list) { FillCodecs(row.AudioCodecs, list); }

void FillSizes(const Quality& row, TListModel& list) {
  list.Clear();
  const std::string& text = row.Sizes;
  if (text.empty()) {
    AddAll(list, FixedSizes());
    list.Select(0);
    return;
  }
  if (text.find('-') == std::string::npos && Contains(text, kDefault)) {
    AddAll(list, FixedSizes());
    list.Select(LastContaining(list, Before(text, kDefault)));
    return;
  }
  if (Contains(text, kOnly)) {
    list.Add(Before(text, kOnly));
    list.Select(0);
    return;
  }
  TItems items = SplitItems(text);
  AddAll(list, items.items);
  list.Select(items.selected);
}

void FillVideoBitrates(const Quality& row, TListModel& list) {
  FillBitrates(row.VideoBitrate, row.VideoBitrates, &FixedVideoBitrates(), list);
}

void FillAudioBitrates(const Quality& row, TListModel& list) {
  FillBitrates(row.AudioBitrate, row.AudioBitrates, nullptr, list);
}

void FillFrameRates(const Quality& row, TListModel& list) {
  FillRates(row.FrameRates, FixedFrameRates(), "fps", " fps", list);
}

void FillSampleRates(const Quality& row, TListModel& list) {
  FillRates(row.SampleRates, FixedSampleRates(), " Hz", " Hz", list);
}

void FillChoices(const TChoices& choices, TListModel& list) {
  list.Clear();
  AddAll(list, choices.Entries);
  list.Select(std::max(0, list.IndexOf(choices.Default)));
}

int BitrateEntryOfLevel(const std::array<std::string, 5>& levels, const TListModel& list,
                        int level) {
  if (level < 0 || list.Count() == 0) return -1;
  if (level < static_cast<int>(levels.size())) {
    const int shown = list.IndexOf(levels[level] + " Kbps");
    if (shown >= 0) return shown;
  }
  return std::min(level, list.Count() - 1);
}

int LevelOfBitrateEntry(const std::array<std::string, 5>& levels, const TListModel& list,
                        int entry) {
  if (entry < 0 || entry >= list.Count()) return -1;
  for (size_t level = 0; level < levels.size(); ++level) {
    if (levels[level] + " Kbps" == list.Item(entry)) return static_cast<int>(level);
  }
  return std::min(entry, static_cast<int>(levels.size()) - 1);
}

bool IsAudioOnlyContainer(const std::string& container) {
  static const char* const kAudioOnly[] = {"mp3", "mp2", "wma", "m4a", "amr", "wav",
                                           "ac3", "ogg", "ra",  "au",  "aac", "opus", "flac"};
  const std::string lower = LowerCase(container);
  for (const char* name : kAudioOnly) {
    if (lower == name) return true;
  }
  return false;
}

bool IsMonoContainer(const std::string& container) {
  return container == "3GP" || container == "3G2" || container == "AMR";
}

}  // namespace kelvane
