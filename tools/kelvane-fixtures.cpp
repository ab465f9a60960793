// kelvane-fixtures: writes a synthetic media file whose video frames carry their
// frame index and whose audio is a steady tone (or sharp marks every few frames).
//
//   kelvane-fixtures --preset mp4-h264-aac --seconds 10 out.mp4
//   kelvane-fixtures --list
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "binding/FFmpegLoader.h"
#include "binding/FFmpegLogger.h"
#include "binding/MainThread.h"
#include "tools/fixtures/FixtureGenerator.h"

namespace {

using kelvane::fixtures::TFixtureRecipe;

void Usage(FILE* out) {
  fprintf(out,
          "usage: kelvane-fixtures [options] OUTPUT\n"
          "  --preset NAME      one of --list (default mp4-h264-aac)\n"
          "  --seconds S        duration (default 2)\n"
          "  --size WxH         frame size\n"
          "  --rate N[/D]       frame rate\n"
          "  --gop N            key frame distance in frames\n"
          "  --first-index N    index drawn into the first frame\n"
          "  --sample-rate N    audio sample rate\n"
          "  --channels N       audio channels\n"
          "  --tone HZ          tone frequency (default 440)\n"
          "  --ticks N          a sharp sound mark every N frames instead of the tone\n"
          "  --aspect N:D       pixel shape (sample aspect ratio)\n"
          "  --rotation DEG     stored on its side: the clockwise turn (90, 180, 270) a\n"
          "                     display matrix asks for; --size is the upright size\n"
          "  --container NAME   muxer, e.g. mp4, avi, matroska, mpeg, mpegts\n"
          "  --video CODEC      video encoder; \"none\" for no video\n"
          "  --audio CODEC      audio encoder; \"none\" for no audio\n"
          "  --subtitles        add a text subtitle track\n"
          "  --title TEXT       container title tag\n"
          "  --pix-fmt NAME     picture format for the encoder, e.g. yuv420p10le\n"
          "  --vfr              variable frame rate (the second half at half the rate)\n"
          "  --list             print the preset names\n");
}

bool ParseInt(const char* text, int& value) {
  char* end = nullptr;
  long parsed = strtol(text, &end, 10);
  if (end == text || *end != '\0' || parsed < 0 || parsed > 1000000000) return false;
  value = static_cast<int>(parsed);
  return true;
}

bool ParseDouble(const char* text, double& value) {
  char* end = nullptr;
  value = strtod(text, &end);
  return end != text && *end == '\0' && value > 0;
}

// What the command line asks for; the *_given flags say which of the
// recipe's fields `overrides` sets.
struct TCommandLine {
  std::string preset = "mp4-h264-aac";
  std::string output;
  TFixtureRecipe overrides;
  bool size_given = false, rate_given = false, gop_given = false, first_given = false;
  bool sample_rate_given = false, channels_given = false, ticks_given = false;
  bool rotation_given = false;
  double seconds = 2.0, tone = 440.0;
  std::string title, container, video, audio, pixel_format;
  bool aspect_given = false, subtitles = false, variable_rate = false;
};

// Reads the arguments into `line`. -1 to go on, or the exit status: 0 after
// --help and --list, 2 for a mistake (said on stderr).
// The options that change the preset's recipe (into line.overrides): true when
// `arg` is one; `ok` false when its value is bad. `value` reads the value.
template <typename TValue>
bool ParseRecipeOption(const std::string& arg, TValue value, TCommandLine& line, bool& ok) {
  TFixtureRecipe& overrides = line.overrides;
  if (arg == "--size") {
    const char* text = value();
    ok = sscanf(text, "%dx%d", &overrides.Width, &overrides.Height) == 2 && overrides.Width > 0 &&
         overrides.Height > 0;
    line.size_given = true;
  } else if (arg == "--rate") {
    const char* text = value();
    int num = 0, den = 1;
    int got = sscanf(text, "%d/%d", &num, &den);
    ok = got >= 1 && num > 0 && den > 0;
    overrides.FrameRate = AVRational{num, den};
    line.rate_given = true;
  } else if (arg == "--gop") {
    ok = ParseInt(value(), overrides.GopSize);
    line.gop_given = true;
  } else if (arg == "--first-index") {
    ok = ParseInt(value(), overrides.FirstFrameIndex);
    line.first_given = true;
  } else if (arg == "--sample-rate") {
    ok = ParseInt(value(), overrides.SampleRate) && overrides.SampleRate > 0;
    line.sample_rate_given = true;
  } else if (arg == "--channels") {
    ok = ParseInt(value(), overrides.Channels) && overrides.Channels > 0;
    line.channels_given = true;
  } else if (arg == "--rotation") {
    ok = ParseInt(value(), overrides.Rotation) && overrides.Rotation % 90 == 0 &&
         overrides.Rotation < 360;
    line.rotation_given = true;
  } else if (arg == "--ticks") {
    ok = ParseInt(value(), overrides.TickEveryFrames);
    line.ticks_given = true;
  } else if (arg == "--aspect") {
    int num = 0, den = 0;
    ok = sscanf(value(), "%d:%d", &num, &den) == 2 && num > 0 && den > 0;
    overrides.SampleAspect = AVRational{num, den};
    line.aspect_given = true;
  } else {
    return false;
  }
  return true;
}

// The options that choose what the file holds: the preset, its length, tone,
// container, codecs, title and picture format. True when `arg` is one; `ok`
// false when its value is bad. `value` reads the value.
template <typename TValue>
bool ParseContentOption(const std::string& arg, TValue value, TCommandLine& line, bool& ok) {
  if (arg == "--preset") {
    line.preset = value();
  } else if (arg == "--seconds") {
    ok = ParseDouble(value(), line.seconds);
  } else if (arg == "--tone") {
    ok = ParseDouble(value(), line.tone);
  } else if (arg == "--container") {
    line.container = value();
  } else if (arg == "--video") {
    line.video = value();
  } else if (arg == "--audio") {
    line.audio = value();
  } else if (arg == "--subtitles") {
    line.subtitles = true;
  } else if (arg == "--title") {
    line.title = value();
  } else if (arg == "--pix-fmt") {
    line.pixel_format = value();
  } else if (arg == "--vfr") {
    line.variable_rate = true;
  } else {
    return false;
  }
  return true;
}

int ParseArguments(int argc, char** argv, TCommandLine& line) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) {
        fprintf(stderr, "kelvane-fixtures: %s needs a value\n", arg.c_str());
        exit(2);
      }
      return argv[++i];
    };
    bool ok = true;
    if (arg == "--help" || arg == "-h") {
      Usage(stdout);
      return 0;
    } else if (arg == "--list") {
      for (const std::string& name : kelvane::fixtures::FixturePresetNames()) {
        printf("%s\n", name.c_str());
      }
      return 0;
    } else if (ParseContentOption(arg, value, line, ok) ||
               ParseRecipeOption(arg, value, line, ok)) {
      // read into `line`
    } else if (!arg.empty() && arg[0] == '-') {
      fprintf(stderr, "kelvane-fixtures: unknown option %s\n", arg.c_str());
      Usage(stderr);
      return 2;
    } else if (line.output.empty()) {
      line.output = arg;
    } else {
      fprintf(stderr, "kelvane-fixtures: only one output file, please\n");
      return 2;
    }
    if (!ok) {
      fprintf(stderr, "kelvane-fixtures: bad value for %s\n", arg.c_str());
      return 2;
    }
  }
  if (line.output.empty()) {
    Usage(stderr);
    return 2;
  }
  return -1;
}

// The command line's values over the preset's recipe.
void ApplyCommandLine(const TCommandLine& line, TFixtureRecipe& recipe) {
  const TFixtureRecipe& overrides = line.overrides;
  recipe.Seconds = line.seconds;
  recipe.ToneHz = line.tone;
  if (line.size_given) {
    recipe.Width = overrides.Width;
    recipe.Height = overrides.Height;
  }
  if (line.rate_given) recipe.FrameRate = overrides.FrameRate;
  if (line.gop_given) recipe.GopSize = overrides.GopSize;
  if (line.first_given) recipe.FirstFrameIndex = overrides.FirstFrameIndex;
  if (line.sample_rate_given) recipe.SampleRate = overrides.SampleRate;
  if (line.channels_given) recipe.Channels = overrides.Channels;
  if (line.aspect_given) recipe.SampleAspect = overrides.SampleAspect;
  if (line.ticks_given) recipe.TickEveryFrames = overrides.TickEveryFrames;
  if (line.rotation_given) recipe.Rotation = overrides.Rotation;
  if (!line.container.empty()) recipe.Container = line.container;
  if (!line.video.empty()) recipe.VideoCodec = line.video == "none" ? "" : line.video;
  if (!line.audio.empty()) recipe.AudioCodec = line.audio == "none" ? "" : line.audio;
  recipe.Subtitles = line.subtitles;
  if (!line.title.empty()) recipe.Metadata["title"] = line.title;
  if (!line.pixel_format.empty()) recipe.PixelFormat = line.pixel_format;
  if (line.variable_rate) recipe.VariableFrameRate = true;
}

}  // namespace

int main(int argc, char** argv) {
  setlocale(LC_ALL, "");
  setlocale(LC_NUMERIC, "C");
  kelvane::SetMainThread();
  TCommandLine line;
  if (const int status = ParseArguments(argc, argv, line); status >= 0) return status;

  TFixtureRecipe recipe;
  if (!kelvane::fixtures::FixturePreset(line.preset, recipe)) {
    fprintf(stderr, "kelvane-fixtures: unknown preset %s (see --list)\n", line.preset.c_str());
    return 2;
  }
  ApplyCommandLine(line, recipe);

  kelvane::TFFmpegLoader& loader = kelvane::GetLoader();
  if (!loader.LoadLibraries(kelvane::EngineLibraries)) {
    fprintf(stderr, "kelvane-fixtures: %s\n", loader.LastError().c_str());
    return 1;
  }
  kelvane::GetLogger().SetLogLevel(kelvane::llError);
  kelvane::GetLogger().OnLog = [](const void*, uint32_t, kelvane::TLogLevel,
                                  const std::string& text) {
    fprintf(stderr, "%s\n", text.c_str());
  };
  std::string error;
  bool ok = kelvane::fixtures::GenerateFixture(recipe, line.output, &error);
  kelvane::PumpMessages();
  if (!ok) {
    fprintf(stderr, "kelvane-fixtures: %s\n", error.c_str());
    return 1;
  }
  return 0;
}
