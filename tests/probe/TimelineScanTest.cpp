// The time line's scan of real files: key frames where the encoder put them,
// pictures and sound peaks over the whole file, files with one kind of stream,
// a file that cannot be read, and cancelling a scan half way.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>

#include "probe/TimelineScan.h"
#include "tests/common/TestSupport.h"
#include "tools/fixtures/FixtureGenerator.h"

namespace kelvane {
namespace {

using namespace std::chrono_literals;

class TimelineScanTest : public test::TMediaTest {
 protected:
  std::string Clip(const std::string& name, double seconds, int gop, bool video, bool audio,
                   int rotation = 0) {
    fixtures::TFixtureRecipe recipe;
    recipe.Seconds = seconds;
    recipe.Rotation = rotation;
    recipe.GopSize = gop;
    if (!video) recipe.VideoCodec.clear();
    if (!audio) recipe.AudioCodec.clear();
    const std::string path = temp_.File(name);
    std::string error;
    EXPECT_TRUE(fixtures::GenerateFixture(recipe, path, &error)) << error;
    return path;
  }
  static TTimelineFacts ScanToEnd(TTimelineScan& scan, const std::string& file) {
    scan.Start(file, 30);
    const auto until = std::chrono::steady_clock::now() + 20s;
    while (!scan.Facts().Done && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(5ms);
    }
    return scan.Facts();
  }
};

TEST_F(TimelineScanTest, FindsKeyFramesPicturesAndSoundOfEachKindOfFile) {
  TTimelineScan scan;
  // 25 fps, a key frame every 50 pictures: at 0, 2, 4 s.
  TTimelineFacts facts = ScanToEnd(scan, Clip("both.mp4", 6.0, 50, true, true));
  ASSERT_TRUE(facts.Done);
  EXPECT_EQ(facts.Error, "");
  EXPECT_TRUE(facts.HasVideo && facts.HasAudio);
  EXPECT_NEAR(double(facts.Duration), 6e6, 1e5);
  EXPECT_EQ(facts.KeyFrames, (std::vector<int64_t>{0, 2000000, 4000000}));
  ASSERT_EQ(facts.Thumbnails.size(), 3u);
  for (const TTimelineThumbnail& thumbnail : facts.Thumbnails) {
    EXPECT_EQ(thumbnail.Picture->Height, 30);
    EXPECT_EQ(thumbnail.Picture->Width, 40);  // 320x240 at 30 pixels high
  }
  EXPECT_EQ(facts.Thumbnails[1].Time, 2000000);
  // Peaks cover the whole sound, and it is not silent.
  EXPECT_GE(int64_t(facts.Peaks.size()) * facts.PeakSpan, 5900000);
  EXPECT_GT(*std::max_element(facts.Peaks.begin(), facts.Peaks.end()), 10);
  const TScanCost cost = scan.Cost();
  EXPECT_GT(cost.WallMicroseconds, 0);
  EXPECT_GT(cost.CpuMicroseconds, 0);

  facts = ScanToEnd(scan, Clip("sound.m4a", 2.0, 25, false, true));
  EXPECT_FALSE(facts.HasVideo);
  EXPECT_TRUE(facts.KeyFrames.empty() && facts.Thumbnails.empty());
  EXPECT_FALSE(facts.Peaks.empty());

  // A phone clip stored on its side: the strip shows it upright, as the preview does.
  facts = ScanToEnd(scan, Clip("pictures.mp4", 2.0, 25, true, false, 90));
  EXPECT_FALSE(facts.HasAudio);
  EXPECT_EQ(facts.KeyFrames, (std::vector<int64_t>{0, 1000000}));
  EXPECT_TRUE(facts.Peaks.empty());
  ASSERT_FALSE(facts.Thumbnails.empty());
  EXPECT_EQ(facts.Thumbnails[0].Picture->Width, 40);
  EXPECT_EQ(facts.Thumbnails[0].Picture->Height, 30);

  // Not a media file: done at once, saying why.
  const std::string text = temp_.File("notes.mp4");
  std::ofstream(text) << "not a video";
  facts = ScanToEnd(scan, text);
  EXPECT_TRUE(facts.Done);
  EXPECT_NE(facts.Error.find("notes.mp4"), std::string::npos) << facts.Error;
  scan.Clear();
  EXPECT_EQ(scan.File(), "");
  EXPECT_FALSE(scan.Facts().Done);
}

TEST_F(TimelineScanTest, CancellingStopsAtOnceAndKeepsWhatWasFound) {
  const std::string file = Clip("long.mp4", 20.0, 25, true, true);
  TTimelineScan scan;
  int progress = 0;
  scan.OnProgress = [&progress] { ++progress; };
  scan.Start(file, 30);
  const auto began = std::chrono::steady_clock::now();
  scan.Cancel();
  EXPECT_LT(std::chrono::steady_clock::now() - began, 500ms);
  const TTimelineFacts facts = scan.Facts();
  EXPECT_FALSE(facts.Done);
  EXPECT_LT(facts.KeyFrames.size(), 20u);
  EXPECT_GE(progress, 1);
  EXPECT_EQ(facts.Error, "");
  // Starting again reads the file to its end.
  EXPECT_EQ(ScanToEnd(scan, file).KeyFrames.size(), 20u);
}

}  // namespace
}  // namespace kelvane
