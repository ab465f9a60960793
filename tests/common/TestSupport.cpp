#include "tests/common/TestSupport.h"

#include <unistd.h>

#include <atomic>
#include <random>

#include "binding/FFmpegLoader.h"

namespace kelvane::test {

TTempDir::TTempDir() {
  static std::atomic<int> counter{0};
  std::random_device random;
  auto base = std::filesystem::temp_directory_path();
  for (;;) {
    auto candidate = base / ("kelvane-test-" + std::to_string(getpid()) + "-" +
                             std::to_string(counter++) + "-" + std::to_string(random() % 100000));
    if (std::filesystem::create_directory(candidate)) {
      path_ = candidate;
      return;
    }
  }
}

TTempDir::~TTempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void LoadEngineLibrariesOrFail() {
  TFFmpegLoader& loader = GetLoader();
  if (loader.LibrariesLoaded(EngineLibraries)) return;
  ASSERT_TRUE(loader.LoadLibraries(EngineLibraries)) << loader.LastError();
}

}  // namespace kelvane::test
