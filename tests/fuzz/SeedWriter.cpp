// kelvane-fuzz-seeds FOLDER: writes the seed corpus of every fuzz target into
// FOLDER/<target>/ and the dictionaries into FOLDER/<target>.dict.
//
// The media seeds are short, tiny clips from the fixture generator (every
// preset, and a few more containers), each with the selector bytes its target
// reads first; the text seeds are the built-in presets and a few option
// texts; the dictionaries hold the option names. Nothing of this lives in the
// repository: scripts/fuzz runs this once per build folder.
#include <clocale>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "binding/MainThread.h"
#include "engine/OptionValues.h"
#include "engine/Presets.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

namespace fs = std::filesystem;
using namespace kelvane;

fs::path folder;

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Write(const std::string& target, const std::string& name, const std::string& bytes) {
  fs::create_directories(folder / target);
  std::ofstream(folder / target / name, std::ios::binary) << bytes;
}

// Containers beyond the generator's presets: container, video, audio encoders.
struct TExtraClip {
  const char* Name;
  const char* Container;
  const char* Video;
  const char* Audio;
  int SampleRate = 22050;
};
constexpr TExtraClip kExtraClips[] = {
    {"flv", "flv", "flv", "libmp3lame"},    {"asf", "asf", "wmv2", "wmav2"},
    {"ogg", "ogg", "", "libvorbis"},        {"mov", "mov", "mpeg4", "pcm_s16le"},
    {"nut", "nut", "mpeg4", "mp2"},         {"3gp", "3gp", "mpeg4", "aac"},
    {"ac3", "ac3", "", "ac3", 48000},       {"mpeg1", "mpeg", "mpeg1video", "mp2"},
    {"aiff", "aiff", "", "pcm_s16be"},
};

// Every clip once, seed-sized.
std::vector<std::pair<std::string, std::string>> MakeClips() {
  std::vector<fixtures::TFixtureRecipe> recipes;
  std::vector<std::string> names;
  for (const std::string& preset : fixtures::FixturePresetNames()) {
    fixtures::TFixtureRecipe recipe;
    fixtures::FixturePreset(preset, recipe);
    recipes.push_back(fuzz::SmallClip(recipe));
    names.push_back(preset);
  }
  for (const TExtraClip& extra : kExtraClips) {
    fixtures::TFixtureRecipe recipe;
    recipe.Container = extra.Container;
    recipe.VideoCodec = extra.Video;
    recipe.AudioCodec = extra.Audio;
    recipes.push_back(fuzz::SmallClip(recipe));
    recipes.back().SampleRate = extra.SampleRate;
    names.push_back(extra.Name);
  }
  std::vector<std::pair<std::string, std::string>> clips;
  const fs::path scratch = folder / "clip.tmp";
  for (size_t i = 0; i < recipes.size(); ++i) {
    fixtures::TFixtureRecipe& recipe = recipes[i];
    recipe.Subtitles = recipe.Container == "matroska" || recipe.Container == "mp4";
    recipe.Metadata["title"] = "Seed " + names[i];
    std::string error;
    if (!fixtures::GenerateFixture(recipe, scratch.string(), &error)) {
      fprintf(stderr, "kelvane-fuzz-seeds: %s left out: %s\n", names[i].c_str(), error.c_str());
      continue;
    }
    clips.emplace_back(names[i], ReadAll(scratch));
  }
  fs::remove(scratch);
  return clips;
}

void WriteMediaSeeds() {
  const auto clips = MakeClips();
  for (size_t i = 0; i < clips.size(); ++i) {
    const auto& [name, bytes] = clips[i];
    // The probe: the libraries recognise the content.
    Write("probe", name, std::string(2, '\0') + bytes);
    // The splits: a spread of the output choices over the clips.
    Write("split-copy", name, std::string(1, char(i * 11 % 32)) + bytes);
    Write("split-encode", name, std::string(1, char(i * 37 % 256)) + bytes);
    Write("player", name, std::string(1, char(i % 16)) + bytes);
  }
}

void WriteTextSeeds() {
  std::string names;
  for (int i = 0; i < OptionNameCount(); ++i) {
    names += "\"" + std::string(OptionName(i)) + "=\"\n";
  }
  for (const char* dictionary : {"options.dict", "presets.dict"}) {
    std::ofstream(folder / dictionary) << names;
  }
  for (const TOptionsPreset& preset : BuiltInPresets) {
    const std::string text = preset.Text;
    // As option lines of the output, and as a preset file behind its name.
    Write("options", preset.Name, std::string("threads=1\0vcodec=libx264\n", 25) + text);
    Write("presets", preset.Name, std::string(1, char(3)) + "normal\n" + text);
  }
  Write("options", "split", std::string("ss=0.5\nthreads=1\0vcodec=mpeg4\ns=64x48\n"
                                        "padtop=4\npadbottom=4\nacodec=mp2\nar=22050\nac=1\n"
                                        "vol=512\nt=1\nnewaudio\n\0map=0:0", 93));
  Write("options", "target", std::string("f=mp4\0target=pal-dvd\naspect=16:9\n"
                                         "vpre=libx264-normal\nmetadata=title=x\0r=30000/1001",
                                         81));
  Write("presets", "target", std::string(1, char(0)) + "ntsc-svcd\nvcodec=mpeg2video\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: kelvane-fuzz-seeds FOLDER\n");
    return 2;
  }
  setlocale(LC_ALL, "");
  SetMainThread();
  folder = argv[1];
  fs::create_directories(folder);
  WriteTextSeeds();
  WriteMediaSeeds();
  return 0;
}
