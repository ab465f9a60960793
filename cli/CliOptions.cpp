#include "cli/CliOptions.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "app/TextUtils.h"

namespace kelvane::cli {
namespace {

// Options that take a value, and where the value goes.
using TValueField = std::optional<std::string> TCliOptions::*;
const std::map<std::string, TValueField>& ValueOptions() {
  static const std::map<std::string, TValueField> options = {
      {"--start", &TCliOptions::Start},
      {"--end", &TCliOptions::End},
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
  };
  return options;
}

bool EqualsIgnoringCase(const std::string& a, const std::string& b) {
  return LowerCase(a) == LowerCase(b);
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
    } else if (arg == "--probe" || ValueOptions().count(arg) != 0) {
      if (!has_inline_value) {
        if (i + 1 >= args.size()) {
          error = "option " + arg + " needs a value";
          return false;
        }
        value = args[++i];
      }
      if (arg == "--probe") {
        options.ProbeFile = value;
      } else {
        options.*(ValueOptions().at(arg)) = value;
      }
    } else {
      error = "unknown option '" + arg + "' (see --help)";
      return false;
    }
  }
  if (!options.Help && !options.ListFormats && options.ProbeFile.empty() &&
      options.InputFile.empty()) {
    error = "no input file given (see --help)";
    return false;
  }
  return true;
}

std::string UsageText() {
  return "Usage: kelvane-split [options] INPUT\n"
         "Cuts the segment between --start and --end out of INPUT into a new file.\n"
         "\n"
         "  --start SECONDS        start mark (default 0)\n"
         "  --end SECONDS          end mark (default: start and end 0 split the whole file)\n"
         "  --format NAME          output format, as --list-formats shows it\n"
         "                         (default: MP4 - MPEG4 Video (*.mp4))\n"
         "  --list-formats         print the output formats with their group headers\n"
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
         "  -v, --verbose          also print the engine's and the media libraries' log lines\n"
         "  -h, --help             this text\n"
         "\n"
         "Exit status: 0 the segment was written, 1 the split failed or was stopped,\n"
         "2 the command line was wrong.\n";
}

std::optional<std::string> MarkText(const std::string& seconds) {
  const std::string text = Trim(seconds);
  if (text.empty()) return std::nullopt;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c)) && c != '.') return std::nullopt;
  }
  if (text.find('.') != text.rfind('.')) return std::nullopt;
  // Whole seconds and at most two decimals, without a detour through a double,
  // so that "0.46" stays exactly 0.46.
  const size_t dot = text.find('.');
  std::string whole = dot == std::string::npos ? text : text.substr(0, dot);
  std::string fraction = dot == std::string::npos ? "" : text.substr(dot + 1);
  if (whole.empty()) whole = "0";
  if (whole.size() > 7) return std::nullopt;  // beyond 32-bit milliseconds
  fraction = (fraction + "00").substr(0, 2);
  while (whole.size() > 1 && whole[0] == '0') whole.erase(0, 1);
  return whole + "." + fraction;
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
