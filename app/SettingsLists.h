// Filling the settings lists from a preset row.
//
// The seven list columns of a `Quality` row are written in a small language:
//   ""                      the column gives no choices of its own
//   "640x480ONLY"           the only choice
//   "1200default"           a value to select in a fallback list
//   "h263default-mpeg4"     items separated by "-", the one marked "default"
//                           (the word and what follows it removed) selected
//   "mpeg4"                 a single value
// Values are matched against entries as case-sensitive substrings. Each column
// has its own routine because each reads the forms a little differently (the
// frame-rate and sample-rate routines keep only the last item of a "-" list,
// the codec routines keep a single text unchanged, ...).
//
// Pure functions over list models; main thread, like the lists.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "app/ListModel.h"
#include "app/Quality.h"

namespace kelvane {

// The fixed fallback lists, in the order they are shown.
const std::vector<std::string>& FixedVideoBitrates();  // 13 entries, "192 Kbps" ...
const std::vector<std::string>& FixedSizes();          // 23 entries, "Original Size" ...
const std::vector<std::string>& FixedFrameRates();     // 7 entries, "Auto" ...
const std::vector<std::string>& FixedSampleRates();    // 8 entries, "96000 Hz" ...
const std::vector<std::string>& QualityLevels();       // "Highest" ... "Lowest"

// Each fills `list` from the row's column and selects the entry the column marks as its default.
void FillVideoCodecs(const Quality& row, TListModel& list);
void FillSizes(const Quality& row, TListModel& list);
void FillVideoBitrates(const Quality& row, TListModel& list);
void FillFrameRates(const Quality& row, TListModel& list);
void FillAudioCodecs(const Quality& row, TListModel& list);
void FillAudioBitrates(const Quality& row, TListModel& list);
void FillSampleRates(const Quality& row, TListModel& list);

// A list written out (today's formats): its entries, the default selected.
void FillChoices(const TChoices& choices, TListModel& list);

// The two quality lists stand for the row's five bitrate levels (0 Highest
// ... 4 Lowest). The entry of a bitrate list for `level`: the one that shows
// that level's bitrate; in a list of other values (the fixed fallback list)
// the entry at the level's index, or the last one. -1 for an empty list or a
// negative level.
int BitrateEntryOfLevel(const std::array<std::string, 5>& levels, const TListModel& list,
                        int level);
// The level of a bitrate list's `entry`: the first level whose bitrate it
// shows, otherwise its index, at most the last level. -1 for a negative entry.
int LevelOfBitrateEntry(const std::array<std::string, 5>& levels, const TListModel& list,
                        int entry);

// Audio-only containers: "mp3", "mp2", "wma", "m4a", "amr", "wav", "ac3",
// "ogg", "ra", "au", "aac", and today's "opus" and "flac", in any case.
bool IsAudioOnlyContainer(const std::string& container);

// Containers that always get one audio channel: "3GP", "3G2" and "AMR".
bool IsMonoContainer(const std::string& container);

}  // namespace kelvane
