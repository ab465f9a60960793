// The damaged inputs of the robustness tests (engine and player): each turns
// a clean media file's bytes into damaged ones, and says what a user must see.
//
//   name          damage                                         user sees
//   ------------  ---------------------------------------------  -------------------------------
//   trunc10       cut to 10% of its size                         error, or a shorter readable file
//   trunc50       cut to 50% of its size                         error, or a shorter readable file
//   trunc90       cut to 90% of its size                         error, or a shorter readable file
//   zeroed        8% of the bytes around the middle set to 0     error, or a readable file
//   flipped       200 bytes of the second half XORed with        error, or a readable file
//                 random values (fixed seed)
//   flipped2      the same with 2000 bytes and another seed      error, or a readable file
//   header        the first 12% (at least 64 bytes) overwritten  error, or a readable file
//                 with 0xA5
//   garbage       64 KiB of random bytes appended (fixed seed)   a readable file, input's length
//   empty         a zero-length file                             refused when opened
//   directory     a folder where the file should be              refused when opened
#pragma once

#include <string>

namespace kelvane::test {

enum TExpect {
  kErrorOrShorter,  // a clear error, or what is readable of the input
  kFinishes,        // the whole input
  kOpenFails,       // refused when opened, with a message
};

struct TDamage {
  const char* Name;
  TExpect Expect;
  // Turns the clean bytes into the damaged ones.
  void (*Apply)(std::string& bytes);
  bool Directory = false;  // instead of a file, a folder of that name
};

extern const TDamage kDamages[10];

std::string ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const std::string& bytes);

}  // namespace kelvane::test
