// The output presets: one `Quality` row per entry the format list can name,
// in one table that is also the format list's order.
//
// A row decides the output container (and so the file extension), the group
// of the format list it is shown in, and the settings lists it fills. The
// classic rows carry their lists as texts in the small list language of
// SettingsLists.h; today's formats carry theirs written out (`TTodayFormat`:
// entries, defaults, the constant quality of each level and the encoder's
// own options). The table is fixed at build time and read-only; any thread
// may read it.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kelvane {

// A settings list written out: its entries in order and the one chosen at first.
struct TChoices {
  std::vector<std::string> Entries;
  std::string Default;
};

// What a format of today fills its lists with and how it encodes. Sizes are
// boxes the picture is fitted into with its own shape (a portrait source
// fits the box turned), never enlarged; "Auto" frame rate keeps the source's
// pictures at their own times; "Auto (quality)" bit rate means constant
// quality from the level chosen in the quality list; "Original" sample rate
// and channels keep the source's.
struct TTodayFormat {
  TChoices VideoCodecs, VideoBitrates, Sizes, FrameRates;
  TChoices AudioCodecs, AudioBitrates, SampleRates, Channels;
  // The encoder's constant quality (CRF) for the levels Highest .. Lowest;
  // all 0 for a format without quality levels.
  std::array<int, 5> Crf{};
  // Option lines of every split to this format (encoder and muxer options).
  std::string Options;
  // Further option lines when the quality, not a bit rate, rules.
  std::string QualityOptions;
  std::string VideoTag;      // "hvc1", or empty
  std::string VideoFilters;  // after sizing, e.g. a GIF's own palette
  // "Same as Source": the source's codecs and container are kept (a smart
  // copy); every settings list shows kSameAsSource and cannot be changed.
  bool SameAsSource = false;
};

// The one entry of every settings list of the "Same as Source" format.
extern const char kSameAsSource[];
// The name of that format: "Same as Source - Lossless (*.*)".
extern const char kSameAsSourceFormat[];

// The format list's group captions, as the list shows them.
extern const char kTodayFormats[];
extern const char kGeneralFormats[];
extern const char kAppleFormats[];
extern const char kMiscellaneousFormats[];

struct Quality {
  // The caption of the format list group the row is shown in; empty for the
  // classic rows the list never offers.
  std::string Group;
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
  // The classic row's 0-based position in PresetTable; -1 for today's
  // formats. Nothing reads it.
  int32_t RowNumber = 0;
  // Today's formats only: their lists and encoding.
  std::shared_ptr<const TTodayFormat> Today;
};

inline constexpr int PresetCount = 82;

// Every row in the format list's order: the groups as the list shows them,
// then the classic rows it does not offer.
const std::vector<Quality>& FormatTable();

// The 82 classic rows in their own order (RowNumber).
const std::vector<Quality>& PresetTable();

// The first row whose name equals `text` trimmed (exact, case-sensitive), or
// null when none does.
const Quality* FindPreset(const std::string& text);

// The format list's entries, group captions and spacer lines included, in
// order: each group's caption between spacer lines, then its rows.
std::vector<std::string> FormatList();

// The format list as it was before today's formats came, group captions and
// spacer lines included. A settings file that stored the chosen format as a
// position in the list means a position in this list, whatever the list
// shows today.
const std::vector<std::string>& OriginalFormatList();

// The format a new user starts with: "H.264 MP4 - Plays Everywhere (*.mp4)".
const char* DefaultFormat();

}  // namespace kelvane
