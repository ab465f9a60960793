#include "tests/common/DamagedMedia.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>

namespace kelvane::test {
namespace {

void Truncate(std::string& bytes, int percent) { bytes.resize(bytes.size() * percent / 100); }

// XORs `count` bytes of the second half with random values.
void Flip(std::string& bytes, unsigned seed, int count) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<size_t> where(bytes.size() / 2, bytes.size() - 1);
  std::uniform_int_distribution<int> value(1, 255);
  for (int i = 0; i < count; ++i) bytes[where(random)] ^= static_cast<char>(value(random));
}

}  // namespace

const TDamage kDamages[10] = {
    {"trunc10", kErrorOrShorter, [](std::string& b) { Truncate(b, 10); }},
    {"trunc50", kErrorOrShorter, [](std::string& b) { Truncate(b, 50); }},
    {"trunc90", kErrorOrShorter, [](std::string& b) { Truncate(b, 90); }},
    {"zeroed", kErrorOrShorter,
     [](std::string& b) {
       const size_t run = b.size() * 8 / 100;
       std::fill_n(b.begin() + static_cast<std::ptrdiff_t>(b.size() / 2 - run / 2), run, '\0');
     }},
    {"flipped", kErrorOrShorter, [](std::string& b) { Flip(b, 20091, 200); }},
    {"flipped2", kErrorOrShorter, [](std::string& b) { Flip(b, 4242, 2000); }},
    {"header", kErrorOrShorter,
     [](std::string& b) {
       const size_t run = std::max<size_t>(64, b.size() * 12 / 100);
       std::fill_n(b.begin(), std::min(run, b.size()), '\xA5');
     }},
    {"garbage", kFinishes,
     [](std::string& b) {
       std::mt19937 random(777);
       for (int i = 0; i < 65536; ++i) b.push_back(static_cast<char>(random() & 0xff));
     }},
    {"empty", kOpenFails, [](std::string& b) { b.clear(); }},
    {"directory", kOpenFails, [](std::string&) {}, true},
};

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace kelvane::test
