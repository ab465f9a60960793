// Damaged files (the engine's robustness inputs) open or are refused with a
// message, play, seek and stop without a crash or a hang; Stop with wait
// returns within a second in every state; many short playbacks in a row
// leave nothing behind.
#include <random>

#include "tests/common/DamagedMedia.h"
#include "tests/common/Watchdog.h"
#include "tests/player/PlayerTestSupport.h"

namespace kelvane::test {
namespace {

struct TSource {
  const char* Preset;
  const char* File;
};

constexpr TSource kSources[] = {
    {"mp4-h264-aac", "src.mp4"}, {"ts-h264-aac", "src.ts"},   {"avi-mpeg4-mp3", "src.avi"},
    {"mkv-h264-vorbis", "src.mkv"}, {"mpeg-mpeg2-mp2", "src.mpg"}, {"mp3-audio", "src.mp3"},
};

TEST_F(TPlayerTest, DamagedFilesPlaySeekAndStopOrAreRefused) {
  TWatchdog watchdog(120s, "damaged files in the player");
  TRecordingDisplay display(160, 120);
  TFFPlayer player;
  for (const TSource& source : kSources) {
    const std::string clean = ReadBytes(MakeFixture(temp_, source.Preset, source.File, [](auto& r) {
      r.Seconds = 2;
      r.Width = 160;
      r.Height = 120;
    }));
    for (const TDamage& damage : kDamages) {
      SCOPED_TRACE(std::string(damage.Name) + "_" + source.File);
      const std::string input = temp_.File(std::string(damage.Name) + "_" + source.File);
      if (damage.Directory) {
        std::filesystem::create_directory(input);
      } else {
        std::string bytes = clean;
        damage.Apply(bytes);
        WriteBytes(input, bytes);
      }
      if (!player.Open(input, &display)) {
        EXPECT_NE(damage.Expect, kFinishes);
        EXPECT_FALSE(player.LastErrMsg().empty());
        continue;
      }
      EXPECT_NE(damage.Expect, kOpenFails);
      WaitFor([&] { return player.Position() > 100000; }, 150ms);
      player.Seek(1000000);
      WaitFor([] { return false; }, 50ms);
      player.TogglePause();
      ExpectQuickStop(player);
    }
  }
}

TEST_F(TPlayerTest, ManyPlaybacksInARowStopQuicklyInEveryState) {
  TWatchdog watchdog(120s, "200 playbacks");
  const std::string clips[] = {MakeFixture(temp_, "mp4-h264-aac", "a.mp4"),
                               MakeFixture(temp_, "ts-h264-aac", "b.ts")};
  TRecordingDisplay display(160, 120);
  TFFPlayer player;
  TPlayerRecorder recorder(player);
  std::mt19937 random(5);
  for (int cycle = 0; cycle < 200; ++cycle) {
    SCOPED_TRACE(cycle);
    ASSERT_TRUE(player.Open(clips[cycle % 2], &display)) << player.LastErrMsg();
    // A second seek before the first is taken would be ignored: one per cycle.
    player.Seek(cycle % 4 == 3 ? 2000000 : random() % 2000000);
    switch (cycle % 4) {
      case 0:  // stopped while the seek may still be pending
        break;
      case 1:
        player.Pause();
        break;
      case 2:  // stopped while playing
        WaitFor([&] { return player.ShownFrame().PTS >= 0; }, 500ms);
        break;
      case 3: {  // stopped at the end
        const int ends = recorder.Count(psEnd);
        EXPECT_TRUE(WaitFor([&] { return recorder.Count(psEnd) > ends; }, 1000ms));
        break;
      }
    }
    ExpectQuickStop(player);
  }
  EXPECT_EQ(recorder.Count(psPlay), 200);
  EXPECT_EQ(recorder.Count(psStop), 200);
}

}  // namespace
}  // namespace kelvane::test
