#include "cli/CliOptions.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "app/MarkTime.h"
#include "app/TextUtils.h"

namespace kelvane::cli {
namespace {

// Options that take a value, and where the value goes.
using TValueField = std::optional<std::string> TCliOptions::*;
const std::map<std::string, TValueField>& ValueOptions() {
  static const std::map<std::string, TValueField> options = {
      {"--start", &TCliOptions::Start},
      {"--end", &TCliOptions::End},
      {"--duration", &TCliOptions::Duration},
      {"--format", &TCliOptions::Format},
      {"--video-codec", &TCliOptions::VideoCodec},
      {"--video-bitrate", &TCliOptions::VideoBitrate},
      {"--size", &TCliOptions::Size},
      {"--frame-rate", &TCliOptions::FrameRate},
      {"--audio-codec", &TCliOptions::AudioCodec},
      {"--audio-bitrate", &TCliOptions::AudioBitrate},
      {"--sample-rate", &TCliOptions::SampleRate},
      {"--channels", &TCliOptions::Channels},
      {"--video-quality", &TCliOptions::VideoQuality},
      {"--audio-quality", &TCliOptions::AudioQuality},
      {"--letterbox", &TCliOptions::Letterbox},
      {"--volume", &TCliOptions::Volume},
      {"--output-dir", &TCliOptions::OutputDir},
      {"--segments", &TCliOptions::SegmentsFile},
  };
  return options;
}

bool EqualsIgnoringCase(const std::string& a, const std::string& b) {
  return LowerCase(a) == LowerCase(b);
}

// The options without a value: true when `arg` is one, which is then set.
bool SetFlag(const std::string& arg, TCliOptions& options) {
  if (arg == "-h" || arg == "--help") {
    options.Help = true;
  } else if (arg == "--list-formats") {
    options.ListFormats = true;
  } else if (arg == "--json") {
    options.Json = true;
  } else if (arg == "--overwrite") {
    options.Overwrite = true;
  } else if (arg == "-v" || arg == "--verbose") {
    options.Verbose = true;
  } else if (arg == "--no-check") {
    options.NoCheck = true;
  } else if (arg == "--smart-copy") {
    options.SmartCopy = true;
  } else if (arg == "--join") {
    options.Join = true;
  } else {
    return false;
  }
  return true;
}

// An option with a value, `arg` one of them.
void SetValue(const std::string& arg, const std::string& value, TCliOptions& options) {
  if (arg == "--probe") {
    options.ProbeFile = value;
  } else if (arg == "--segment") {
    options.Segments.push_back(value);
  } else if (arg == "--list-entries") {
    options.ListEntries = value;
  } else {
    options.*(ValueOptions().at(arg)) = value;
  }
}

// Why the options cannot go together, or "".
std::string CombinationError(const TCliOptions& options) {
  if (options.End && options.Duration) return "--end and --duration cannot both be given";
  const bool segments = !options.Segments.empty() || options.SegmentsFile;
  if (segments && (options.Start || options.End || options.Duration)) {
    return "--segment and --segments cannot be given with --start, --end or --duration";
  }
  if (!options.Segments.empty() && options.SegmentsFile) {
    return "--segment and --segments cannot both be given";
  }
  if (options.Join && !segments) {
    return "--join needs the segments to join (--segment or --segments)";
  }
  if (!options.Help && !options.ListFormats && options.ProbeFile.empty() &&
      options.ListEntries.empty() && options.InputFile.empty()) {
    return "no input file given (see --help)";
  }
  return "";
}

}  // namespace

bool ParseCommandLine(const std::vector<std::string>& args, TCliOptions& options,
                      std::string& error) {
  bool only_files = false;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    if (only_files || arg.empty() || arg[0] != '-' || arg == "-") {
      if (!options.InputFile.empty()) {
        error = "only one input file can be split at a time ('" + options.InputFile +
                "' and '" + arg + "' given)";
        return false;
      }
      options.InputFile = arg;
      continue;
    }
    if (arg == "--") {
      only_files = true;
      continue;
    }
    std::string value;
    bool has_inline_value = false;
    if (size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
      has_inline_value = true;
    }
    if (SetFlag(arg, options)) continue;
    if (arg == "--probe" || arg == "--segment" || arg == "--list-entries" || ValueOptions().count(arg) != 0) {
      if (!has_inline_value) {
        if (i + 1 >= args.size()) {
          error = "option " + arg + " needs a value";
          return false;
        }
        value = args[++i];
      }
      SetValue(arg, value, options);
    } else {
      error = "unknown option '" + arg + "' (see --help)";
      return false;
    }
  }
  error = CombinationError(options);
  return error.empty();
}

std::string UsageText() {
  return "Usage: kelvane-split [options] INPUT\n"
         "Cuts the segment between --start and --end out of INPUT into a new file.\n"
         "\n"
         "  --start TIME           start mark (default 0); TIME is seconds (83.46),\n"
         "                         m:ss (1:23.46) or h:mm:ss (0:01:23.46)\n"
         "  --end TIME             end mark (default: the end of the file); an end past\n"
         "                         the end of the file splits to its end\n"
         "  --duration TIME        the segment's length, instead of --end\n"
         "  --segment START,END[,LABEL]\n"
         "                         a segment to split instead of --start and --end;\n"
         "                         repeat it for several, each written as a file of its\n"
         "                         own named after INPUT and its label or number\n"
         "  --segments FILE        the segments from FILE, one \"start,end,label\" a line\n"
         "  --join                 write the segments as one file, in their order\n"
         "  --format NAME          output format, as --list-formats shows it\n"
         "                         (default: H.264 MP4 - Plays Everywhere (*.mp4))\n"
         "  --list-formats         print the output formats with their group headers\n"
         "  --list-entries OPTION  print what OPTION (format, video-codec, size, ...)\n"
         "                         accepts, for the chosen format\n"
         "  --video-codec TEXT     entries of the settings lists, as the chosen format\n"
         "  --video-bitrate TEXT   offers them (an unknown entry is answered with the\n"
         "  --size TEXT            valid ones)\n"
         "  --frame-rate TEXT\n"
         "  --audio-codec TEXT\n"
         "  --audio-bitrate TEXT\n"
         "  --sample-rate TEXT\n"
         "  --channels TEXT\n"
         "  --video-quality TEXT   Highest, Higher, Normal, Lower or Lowest\n"
         "  --audio-quality TEXT\n"
         "  --letterbox yes|no     keep the picture's shape with black bars (default yes)\n"
         "  --volume PERCENT       output volume, 0 to 200 (default 100; 0 drops the audio)\n"
         "  --output-dir DIR       folder for the new file (default: the input's folder)\n"
         "  --overwrite            replace a file of the same name instead of adding -1, -2 ...\n"
         "  --probe FILE           print the source facts of FILE and stop\n"
         "  --json                 one JSON object per progress report and one with the result\n"
         "  --no-check             do not check the new file against INPUT afterwards\n"
         "  --smart-copy           keep INPUT's codecs and container: copy what lies between\n"
         "                         key frames, re-encode only the edges (H.264, VP9, AV1,\n"
         "                         MPEG-2, MPEG-4 Part 2; H.265 in MP4, MPEG-TS and, made by\n"
         "                         x265, Matroska); the same as --format \"Same as Source -\n"
         "                         Lossless (*.*)\"\n"
         "  -v, --verbose          also print the engine's and the media libraries' log lines\n"
         "  -h, --help             this text\n"
         "\n"
         "After the split the new file is checked against INPUT: its first picture, its\n"
         "length in frames and where its sound begins and ends; a mismatch is a warning.\n"
         "An input without pictures can be split into an audio-only format.\n"
         "\n"
         "Exit status: 0 the segment was written (every segment's file, for several;\n"
         "whatever the check found), 1 the split failed, 2 the command line was wrong,\n"
         "130 the split was stopped (Ctrl-C; the files written so far are kept).\n";
}

std::string BadMarkMessage(const std::string& what, const std::string& text) {
  return "the " + what + " must be " + MarkForms() + ", not '" + text + "'";
}

int MatchEntry(const std::vector<std::string>& entries, const std::string& wanted) {
  const std::string want = Trim(wanted);
  if (want.empty()) return -1;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (entries[i] == want) return static_cast<int>(i);
  }
  auto unique = [&](auto matches) {
    int found = -1;
    for (size_t i = 0; i < entries.size(); ++i) {
      if (!matches(entries[i])) continue;
      if (found >= 0) return -2;
      found = static_cast<int>(i);
    }
    return found;
  };
  int found = unique([&](const std::string& e) { return EqualsIgnoringCase(Trim(e), want); });
  if (found >= 0) return found;
  found = unique([&](const std::string& e) {
    const std::string entry = LowerCase(Trim(e));
    return entry.rfind(LowerCase(want), 0) == 0;
  });
  if (found >= 0) return found;
  found = unique([&](const std::string& e) { return NumberPart(e) == want; });
  return found >= 0 ? found : -1;
}

}  // namespace kelvane::cli
