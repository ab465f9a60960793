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

namespace kelvane::cli {

struct TCliOptions {
  bool Help = false;
  bool ListFormats = false;
  bool Json = false;
  bool Overwrite = false;
  bool Verbose = false;  // print the engine's and the libraries' log lines
  bool NoCheck = false;  // do not check the new file against the input
  std::string ProbeFile;  // --probe FILE: print the source facts and stop
  std::string ListEntries;  // --list-entries OPTION: print what OPTION accepts and stop
  std::string InputFile;
  std::optional<std::string> Start;  // times as typed (MarkHundredths)
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
};

// Parses argv[1..]. False with a message in `error` for an unknown option, a
// missing value, a missing input file or both --end and --duration.
bool ParseCommandLine(const std::vector<std::string>& args, TCliOptions& options,
                      std::string& error);

// The usage text printed by --help.
std::string UsageText();

// A time typed on the command line, in hundredths of a second: seconds
// ("83.46"), minutes and seconds ("1:23.46") or hours, minutes and seconds
// ("0:01:23.46"), decimals after the second ignored. Nothing for another form
// ("1:75", "-3", "1e3") or a time beyond 32-bit milliseconds.
std::optional<int64_t> MarkHundredths(const std::string& text);

// Hundredths as the window shows a mark: seconds with "." and two decimals.
std::string MarkFromHundredths(int64_t hundredths);

// A mark typed on the command line as the window shows it ("1:23.5" becomes
// "83.50"); nothing when MarkHundredths refuses it.
std::optional<std::string> MarkText(const std::string& text);

// The message for a time that MarkText refuses; `what` is "start", "end" or
// "duration".
std::string BadMarkMessage(const std::string& what, const std::string& text);

// Picks the entry `wanted` names among `entries`: the entry equal to it, else
// the one equal ignoring case, else the only one it begins (ignoring case), else
// the only one whose number part ("1200" of "1200 Kbps") equals it. -1 when none
// or several match.
int MatchEntry(const std::vector<std::string>& entries, const std::string& wanted);

}  // namespace kelvane::cli
