// What every fuzz target shares: the process set up once (main thread, locale,
// the engine's libraries, a quiet logger), a scratch folder for the files an
// input becomes, and a reader that takes selector bytes off the front of an
// input.
//
// Each target runs one input at a time on the thread that called
// LLVMFuzzerInitialize, which becomes the program's main thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "binding/FFmpegLoader.h"
#include "tools/fixtures/FixtureGenerator.h"

namespace kelvane::fuzz {

// Called once from LLVMFuzzerInitialize (the support's own, unless a target
// has another): the calling thread becomes the main thread, the libraries of
// `set` are loaded (the process ends with a message when they cannot be), and
// messages go to a handler that drops them, with the libraries' own output
// limited to errors so that damaged input does not drown the run in text.
void StartFuzzing(TLibrarySet set = EngineLibraries);

// Puts back what an input may have changed for the whole process (the log
// level, which the option "loglevel" sets).
void RestoreProcessState();

// `recipe` made seed-sized: 0.4 s at 64x48 (33x25 when its size is odd), with
// 22.05 kHz mono sound (48 kHz for Opus), so that a clip is a few kilobytes.
fixtures::TFixtureRecipe SmallClip(fixtures::TFixtureRecipe recipe);

// A folder of this process's own, removed when the process ends normally.
std::string ScratchFile(const std::string& name);

// Writes `size` bytes to `path` (created or truncated); false on failure.
bool WriteFile(const std::string& path, const void* data, size_t size);

// The input, read from the front; reading past its end gives zeros and "".
class TFuzzInput {
 public:
  TFuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t Byte();
  uint16_t Word();  // two bytes, the first one high
  // The text up to the next `separator` (not included, and skipped), or the rest.
  std::string TextUpTo(char separator);
  const uint8_t* Rest() const { return data_ + position_; }
  size_t RestSize() const { return size_ - position_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
};

// Writes what is left of `input` to the scratch file `name`; its path, or ""
// when it cannot be written.
std::string WriteRest(TFuzzInput& input, const std::string& name);

}  // namespace kelvane::fuzz
