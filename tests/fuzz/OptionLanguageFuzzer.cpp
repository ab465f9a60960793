// Fuzz target "options": the option language on a task over a small generated
// clip. An input holds up to three parts, separated by zero bytes:
//   1. the input's option lines (AddTask applies their general group),
//   2. the output's option lines (SetOutput applies all three groups at their
//      places: the general lines, the presets, then new streams),
//   3. one direct SetOption call, "name=value", where the value may hold line
//      feeds and further "=" signs.
// The task is set up and freed; it does not run (the split targets do that).
// Lines naming a frame-hook plug-in are left out: the plug-in is loaded as a
// library, and an input must not load whatever library it names.
#include "engine/FFConverter.h"
#include "engine/FFmpeg.h"
#include "engine/FFmpegException.h"
#include "engine/OptionValues.h"
#include "tests/fuzz/FuzzSupport.h"
#include "tools/fixtures/FixtureGenerator.h"

namespace {

using namespace kelvane;

std::string clip;

bool NamesPlugin(const std::string& line) {
  return Trim(line.substr(0, line.find('='))) == "vhook";
}

std::string WithoutPlugins(const std::string& text) {
  std::string kept;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    if (!NamesPlugin(line)) kept += line;
    if (end < text.size()) kept += text[end];
    start = end + 1;
  }
  return kept;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::StartFuzzing();
  fixtures::TFixtureRecipe recipe;
  fixtures::FixturePreset("mp4-h264-aac", recipe);
  clip = fuzz::ScratchFile("clip.mp4");
  std::string error;
  if (!fixtures::GenerateFixture(fuzz::SmallClip(recipe), clip, &error)) {
    fprintf(stderr, "options fuzzer: %s\n", error.c_str());
    std::exit(2);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::TFuzzInput input(data, size);
  TInputOptions in;
  in.ExtOptions = WithoutPlugins(input.TextUpTo('\0'));
  TOutputOptions out;
  out.ExtOptions = WithoutPlugins(input.TextUpTo('\0'));
  const std::string direct = input.TextUpTo('\0');
  {
    TFFConverter converter;
    if (converter.AddTask(clip, &in) == 0 &&
        converter.SetOutput(0, fuzz::ScratchFile("out.mkv"), &out)) {
      const std::string name = direct.substr(0, direct.find('='));
      const std::string value = name.size() < direct.size() ? direct.substr(name.size() + 1) : "";
      if (!NamesPlugin(name)) {
        try {
          converter.Task(0)->SetOption(name, value);
        } catch (const FFmpegException&) {
          // A refused option is an answer, not a finding.
        }
      }
    }
  }
  fuzz::RestoreProcessState();
  return 0;
}
