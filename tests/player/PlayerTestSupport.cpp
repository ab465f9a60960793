#include "tests/player/PlayerTestSupport.h"

#include <algorithm>

#include "binding/MainThread.h"
#include "tools/fixtures/FrameIndexPattern.h"

namespace kelvane::test {

void TPlayerTest::SetUp() {
  TMediaTest::SetUp();
  TFFmpegLoader& loader = GetLoader();
  ASSERT_TRUE(loader.LoadLibraries(PlayerLibraries)) << loader.LastError();
}

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  return WaitOnMainThread(done, limit);
}

void ExpectQuickStop(TCustomPlayer& player) {
  const auto start = std::chrono::steady_clock::now();
  player.Stop(true);
  // The stop gives the play thread one second; ending the playback after that
  // takes a little more on a machine busy with other tests.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
  EXPECT_FALSE(player.Active());
}

TPlayerRecorder::TPlayerRecorder(TCustomPlayer& player) {
  player.OnFileOpen = [this](TFileOpenInfo& opened) {
    Duration = opened.Duration;
    FrameWidth = opened.FrameWidth;
    FrameHeight = opened.FrameHeight;
  };
  player.OnPosition = [this](int64_t pts) {
    std::lock_guard<std::mutex> lock(mutex_);
    positions_.push_back(pts);
  };
  player.OnState = [this](TPlayState state) {
    std::lock_guard<std::mutex> lock(mutex_);
    states_.push_back(state);
  };
}

std::vector<int64_t> TPlayerRecorder::Positions() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return positions_;
}

int64_t TPlayerRecorder::LastPosition() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return positions_.empty() ? -1 : positions_.back();
}

std::vector<TPlayState> TPlayerRecorder::States() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return states_;
}

int TPlayerRecorder::Count(TPlayState state) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(std::count(states_.begin(), states_.end(), state));
}

int FrameIndexOf(const TBitmap& bitmap) {
  std::lock_guard<std::mutex> lock(bitmap.Lock);
  if (bitmap.Width == 0 || bitmap.Height == 0) return -1;
  return fixtures::ReadFrameIndexBgr24(bitmap.Pixels.data(), bitmap.Width, bitmap.Height,
                                       bitmap.Stride);
}

}  // namespace kelvane::test
