// The output presets: one `Quality` row per entry the format list can name.
//
// A row decides the output container (and so the file extension) and carries
// the texts the settings lists are filled from (see SettingsLists.h for the
// small list language of the last seven text columns). The table is fixed at
// build time and read-only; any thread may read it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace kelvane {

struct Quality {
  std::string Name;       // the text shown in the format list; the row's key
  std::string Container;  // short upper-case container name: "3GP", "MP4", ...
  // kbit/s as text for the levels Highest, Higher, Normal, Lower, Lowest.
  std::array<std::string, 5> VideoBitrates;
  std::array<std::string, 5> AudioBitrates;
  std::string VideoCodecs;   // list texts
  std::string VideoBitrate;
  std::string Sizes;
  std::string FrameRates;
  std::string AudioCodecs;
  std::string AudioBitrate;
  std::string SampleRates;
  int32_t RowNumber = 0;  // the row's 0-based position; nothing reads it
};

inline constexpr int PresetCount = 82;

// All 82 rows in order.
const std::vector<Quality>& PresetTable();

// The first row whose name equals `text` trimmed (exact, case-sensitive), or
// null when none does.
const Quality* FindPreset(const std::string& text);

// The format list's entries as it has always shown them, group captions and
// spacer lines included, in order. A settings file that stored the chosen
// format as a position in the list means a position in this list, whatever
// the list shows today.
const std::vector<std::string>& OriginalFormatList();

}  // namespace kelvane
