// Helpers for the player's tests: the libraries loaded, a recorder of what a
// player reports, and waiting on the main thread (which keeps running the
// player's position events meanwhile).
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <vector>

#include "player/FFPlayer.h"
#include "player/RecordingDisplay.h"
#include "tests/common/MediaAssertions.h"

namespace kelvane::test {

using namespace std::chrono_literals;

// Loads the player's libraries (and the engine's, for the fixtures).
class TPlayerTest : public TMediaTest {
 protected:
  void SetUp() override;
};

// Waits on the main thread until `done` holds; false after `limit`.
bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = 5000ms);

// Stops with wait and checks that it took no more than about a second.
void ExpectQuickStop(TCustomPlayer& player);

// Keeps what a player reports. Connect before Open; outlives the player or is
// disconnected by the player's destruction.
class TPlayerRecorder {
 public:
  explicit TPlayerRecorder(TCustomPlayer& player);

  std::vector<int64_t> Positions() const;
  int64_t LastPosition() const;  // -1 before the first
  std::vector<TPlayState> States() const;
  int Count(TPlayState state) const;

  // From OnFileOpen.
  int64_t Duration = -2;
  int32_t FrameWidth = 0;
  int32_t FrameHeight = 0;

 private:
  mutable std::mutex mutex_;
  // Guarded by mutex_.
  std::vector<int64_t> positions_;
  std::vector<TPlayState> states_;
};

// The index the fixture pattern in `bitmap` carries (-1 when unreadable).
int FrameIndexOf(const TBitmap& bitmap);

}  // namespace kelvane::test
