// The command line of kelvane-split: what the user asked for, parsed and
// checked for form only. Whether a named list entry exists is decided later
// against the window model's lists, which know the valid entries.
//
// Plain data and a pure parser; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/MarkTime.h"

namespace kelvane::cli {

struct TCliOptions {
  bool Help = false;
  bool ListFormats = false;
  bool Json = false;
  bool Overwrite = false;
  bool Verbose = false;  // print the engine's and the libraries' log lines
  bool NoCheck = false;  // do not check the new file against the input
  bool SmartCopy = false;  // keep the source's codecs: copy inside the marks, re-encode the edges
  std::string ProbeFile;  // --probe FILE: print the source facts and stop
  std::string ListEntries;  // --list-entries OPTION: print what OPTION accepts and stop
  std::string InputFile;
  std::optional<std::string> Start;  // times as typed (MarkHundredths, app/MarkTime.h)
  std::optional<std::string> End;
  std::optional<std::string> Duration;  // instead of End
  std::optional<std::string> Format;
  std::optional<std::string> VideoCodec;
  std::optional<std::string> VideoBitrate;
  std::optional<std::string> Size;
  std::optional<std::string> FrameRate;
  std::optional<std::string> AudioCodec;
  std::optional<std::string> AudioBitrate;
  std::optional<std::string> SampleRate;
  std::optional<std::string> Channels;
  std::optional<std::string> VideoQuality;
  std::optional<std::string> AudioQuality;
  std::optional<std::string> Letterbox;
  std::optional<std::string> Volume;
  std::optional<std::string> OutputDir;
  // --segment START,END[,LABEL] (repeatable) or --segments FILE: several
  // segments instead of --start and --end; --join writes them as one file.
  std::vector<std::string> Segments;
  std::optional<std::string> SegmentsFile;
  bool Join = false;
};

// Parses argv[1..]. False with a message in `error` for an unknown option, a
// missing value, a missing input file, both --end and --duration, segments
// with marks, both --segment and --segments, or --join without segments.
bool ParseCommandLine(const std::vector<std::string>& args, TCliOptions& options,
                      std::string& error);

// The usage text printed by --help.
std::string UsageText();

// The message for a time that MarkText refuses; `what` is "start", "end" or
// "duration".
std::string BadMarkMessage(const std::string& what, const std::string& text);

// Picks the entry `wanted` names among `entries`: the entry equal to it, else
// the one equal ignoring case, else the only one it begins (ignoring case), else
// the only one whose number part ("1200" of "1200 Kbps") equals it. -1 when none
// or several match.
int MatchEntry(const std::vector<std::string>& entries, const std::string& wanted);

}  // namespace kelvane::cli
