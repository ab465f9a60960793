// Exact seeking: after Seek(t) the picture shown, the captured frame and the
// reported position are the frame on screen at t (read back from the index
// each fixture frame carries), in four containers; StepFrame moves by exactly
// one frame either way.
#include <random>

#include "tests/player/PlayerTestSupport.h"
#include "tools/fixtures/FrameIndexPattern.h"

namespace kelvane::test {
namespace {

struct TContainer {
  const char* Preset;
  const char* File;
};

class ExactSeekTest : public TPlayerTest, public testing::WithParamInterface<TContainer> {};

// The picture on display after the last command: its position and index, as
// the target received it, as CaptureFrame returns it, and as reported.
void ExpectShown(TFFPlayer& player, TRecordingDisplay& display, TPlayerRecorder& recorder,
                 int64_t pts, int index) {
  const TDisplayFrame frame = display.LastPicture();
  EXPECT_EQ(frame.PTS, pts);
  EXPECT_EQ(fixtures::ReadFrameIndexBgr24(frame.Image->Pixels.data(), frame.Image->Width,
                                          frame.Image->Height, frame.Image->Stride),
            index);
  int64_t position = -2;
  EXPECT_EQ(FrameIndexOf(player.CaptureFrame(position)), index);
  EXPECT_EQ(position, pts);
  EXPECT_EQ(player.ShownFrame().PTS, pts);
  EXPECT_TRUE(WaitFor([&] { return recorder.LastPosition() == pts; }, 1000ms))
      << "reported " << recorder.LastPosition() << ", shown " << pts;
}

TEST_P(ExactSeekTest, ShowsTheFrameAtTheTargetAndStepsByOne) {
  const TContainer& container = GetParam();
  const std::string clip = MakeFixture(temp_, container.Preset, container.File, [](auto& r) {
    r.Seconds = 6;
    r.GopSize = 50;
  });
  std::vector<fixtures::TDecodedFrame> frames;
  ASSERT_TRUE(fixtures::DecodeVideoFrames(clip, frames));
  const int64_t start = ReadFactsOrFail(clip).StartTimeUs;
  ASSERT_GE(start, 0);

  TRecordingDisplay display(320, 240);
  TFFPlayer player;
  TPlayerRecorder recorder(player);
  ASSERT_TRUE(player.Open(clip, &display)) << player.LastErrMsg();
  ASSERT_TRUE(WaitFor([&] { return display.PictureCount() > 0; }));
  player.Pause();

  std::mt19937 random(20090);
  std::uniform_int_distribution<size_t> pick(0, frames.size() - 2);
  for (int seek = 0; seek < 20; ++seek) {
    const size_t k = pick(random);
    const int64_t pts = frames[k].PtsUs - start;
    SCOPED_TRACE(testing::Message() << "seek " << seek << " to frame " << frames[k].Index);
    const int shown = display.PictureCount();
    player.Seek(pts + 15000);  // inside the frame's time on screen
    ASSERT_TRUE(WaitFor([&] { return display.PictureCount() > shown; }));
    ExpectShown(player, display, recorder, pts, frames[k].Index);
    if (seek % 4 != 0) continue;
    ASSERT_TRUE(player.StepFrame(+1));
    ExpectShown(player, display, recorder, frames[k + 1].PtsUs - start, frames[k + 1].Index);
    ASSERT_TRUE(player.StepFrame(-1));
    ExpectShown(player, display, recorder, pts, frames[k].Index);
    EXPECT_EQ(player.ShownFrame().Duration, frames[k + 1].PtsUs - frames[k].PtsUs);
  }
  // Nothing before the first frame.
  player.Seek(0);
  ASSERT_TRUE(WaitFor([&] { return player.ShownFrame().PTS == frames[0].PtsUs - start; }));
  EXPECT_FALSE(player.StepFrame(-1));
}

INSTANTIATE_TEST_SUITE_P(Containers, ExactSeekTest,
                         testing::Values(TContainer{"mp4-h264-aac", "clip.mp4"},
                                         TContainer{"mkv-h264-vorbis", "clip.mkv"},
                                         TContainer{"ts-h264-aac", "clip.ts"},
                                         TContainer{"avi-mpeg4-mp3", "clip.avi"}),
                         [](const testing::TestParamInfo<TContainer>& info) {
                           return std::string(info.param.File).substr(5);
                         });

}  // namespace
}  // namespace kelvane::test
