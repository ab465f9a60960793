#include "tests/fuzz/FuzzSupport.h"

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "binding/FFmpegLogger.h"
#include "binding/MainThread.h"

namespace kelvane::fuzz {
namespace {

constexpr TLogLevel kLogLevel = llError;

class TScratchFolder {
 public:
  TScratchFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kelvane-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      perror("kelvane fuzz: no scratch folder");
      std::abort();
    }
    path_ = pattern;
  }
  ~TScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

TScratchFolder& Scratch() {
  static TScratchFolder folder;
  return folder;
}

}  // namespace

void StartFuzzing(TLibrarySet set) {
  setlocale(LC_ALL, "");
  SetMainThread();
  TFFmpegLoader& loader = GetLoader();
  if (!loader.LoadLibraries(set)) {
    fprintf(stderr, "kelvane fuzz: the libraries do not load: %s\n", loader.LastError().c_str());
    std::exit(2);
  }
  GetLogger().OnLog = [](const void*, uint32_t, TLogLevel, const std::string&) {};
  RestoreProcessState();
  Scratch();
}

void RestoreProcessState() {
  if (GetLogger().LogLevel() != kLogLevel) GetLogger().SetLogLevel(kLogLevel);
  PumpMessages();  // messages of worker threads wait for the main thread
}

fixtures::TFixtureRecipe SmallClip(fixtures::TFixtureRecipe recipe) {
  recipe.Seconds = 0.4;
  const bool odd = recipe.Width % 2 != 0;
  recipe.Width = odd ? 33 : 64;
  recipe.Height = odd ? 25 : 48;
  recipe.SampleRate = recipe.AudioCodec == "libopus" ? 48000 : 22050;  // Opus takes 48 kHz only
  recipe.Channels = 1;
  recipe.AudioBitRate = 48000;
  return recipe;
}

std::string ScratchFile(const std::string& name) { return Scratch().Path() + "/" + name; }

std::string WriteRest(TFuzzInput& input, const std::string& name) {
  const std::string path = ScratchFile(name);
  return WriteFile(path, input.Rest(), input.RestSize()) ? path : std::string();
}

bool WriteFile(const std::string& path, const void* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
  return static_cast<bool>(out);
}

uint8_t TFuzzInput::Byte() { return position_ < size_ ? data_[position_++] : 0; }

uint16_t TFuzzInput::Word() {
  const uint16_t high = Byte();
  return static_cast<uint16_t>(high << 8 | Byte());
}

std::string TFuzzInput::TextUpTo(char separator) {
  const char* begin = reinterpret_cast<const char*>(data_ + position_);
  size_t length = 0;
  while (position_ + length < size_ && begin[length] != separator) ++length;
  std::string text(begin, length);
  position_ = std::min(size_, position_ + length + 1);
  return text;
}

}  // namespace kelvane::fuzz

// The set-up of targets that need nothing more than StartFuzzing; a target
// with its own LLVMFuzzerInitialize replaces this one.
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int*, char***) {
  kelvane::fuzz::StartFuzzing();
  return 0;
}
