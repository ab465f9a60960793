// Seeking an input to the key frame at or before a time, back to its first
// packet, and further back while a reader finds the landing late, in an MPEG-4
// file and a transport stream (key frames every second).
#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "binding/KeyFrameSeek.h"
#include "binding/UnicodeProtocol.h"
#include "tests/common/MediaAssertions.h"

namespace kelvane::test {
namespace {

struct TPacketSeen {
  int64_t Us = AV_NOPTS_VALUE;  // start time included
  bool Key = false;
  int64_t Position = -1;
};

class KeyFrameSeekTest : public TMediaTest {
 protected:
  // A 6-second file of `preset`, opened; its video stream in `video_`.
  AVFormatContext* Open(const char* preset, const char* name) {
    const std::string path = MakeFixture(temp_, preset, name, [](auto& r) {
      r.Seconds = 6.0;
      r.Width = 160;
      r.Height = 120;
    });
    EXPECT_GE(OpenInputContext(ToLibraryFileName(path), nullptr, nullptr, input_), 0);
    std::lock_guard<std::mutex> lock(CodecLock());
    EXPECT_GE(avformat.avformat_find_stream_info(input_.Get(), nullptr), 0);
    video_ = avformat.av_find_best_stream(input_.Get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    EXPECT_GE(video_, 0);
    return input_.Get();
  }

  // The next video packet, or with `key` the next key frame.
  TPacketSeen NextVideo(bool key = false) {
    AVFormatContext* ic = input_.Get();
    AVPacketPtr packet(avcodec.av_packet_alloc());
    while (avformat.av_read_frame(ic, packet.get()) >= 0) {
      TPacketSeen seen{AV_NOPTS_VALUE, (packet->flags & AV_PKT_FLAG_KEY) != 0, packet->pos};
      const int64_t time = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
      if (time != AV_NOPTS_VALUE)
        seen.Us = avutil.av_rescale_q(time, ic->streams[video_]->time_base, AV_TIME_BASE_Q);
      const bool wanted = packet->stream_index == video_ && (seen.Key || !key);
      avcodec.av_packet_unref(packet.get());
      if (wanted) return seen;
    }
    return {};
  }

  TInputContext input_;
  int video_ = -1;
};

TEST_F(KeyFrameSeekTest, AnMpeg4FileLandsOnTheKeyFrameBeforeTheTimeAndReturnsToItsStart) {
  AVFormatContext* ic = Open("mp4-h264-aac", "in.mp4");
  EXPECT_FALSE(SeekLandsLate(ic));
  const TPacketSeen first = NextVideo();
  const int64_t at = InputOrigin(ic) + 2'300'000;
  // By the demuxer's choice of stream, and by the video stream's own time base.
  for (int stream : {-1, video_}) {
    const int64_t point =
        stream < 0 ? at : avutil.av_rescale_q(at, AV_TIME_BASE_Q, ic->streams[video_]->time_base);
    ASSERT_GE(SeekKeyFrame(ic, point, stream), 0);
    const TPacketSeen landed = NextVideo();
    EXPECT_TRUE(landed.Key);
    EXPECT_LE(landed.Us, at);
    EXPECT_GT(landed.Us, at - 1'000'000);
  }
  ASSERT_GE(SeekToBeginning(ic), 0);
  const TPacketSeen again = NextVideo();
  EXPECT_EQ(again.Us, first.Us);
  EXPECT_EQ(again.Position, first.Position);
}

TEST_F(KeyFrameSeekTest, ATransportStreamStepsBackUntilAKeyFrameLiesBeforeTheTime) {
  AVFormatContext* ic = Open("ts-h264-aac", "in.ts");
  EXPECT_TRUE(SeekLandsLate(ic));
  const TPacketSeen first = NextVideo();
  const int64_t origin = InputOrigin(ic);
  const int64_t at = origin + 3'300'000;
  const TSeekLeads leads{500'000, 0, 64'000'000};
  std::vector<int64_t> tried;
  int64_t key_us = AV_NOPTS_VALUE;
  const TSteppedSeek seek = SeekSteppingBack(ic, at, origin, leads, -1, [&](int64_t lead) {
    tried.push_back(lead);
    key_us = NextVideo(true).Us;
    return key_us != AV_NOPTS_VALUE && key_us <= at ? slEarly : slLate;
  });
  ASSERT_EQ(seek.Outcome, TSteppedSeek::soLanded);
  EXPECT_LE(key_us, at);
  EXPECT_GT(key_us, at - 2 * seek.Lead - 1'000'000);
  EXPECT_EQ(tried.front(), 500'000);
  EXPECT_EQ(tried.back(), seek.Lead);

  // A reader that never finds what it needs: the leads double until the next
  // would reach the file's start (0.5, 1, 2 s before 3.3 s), or stop at the last.
  tried.clear();
  auto late = [&](int64_t lead) {
    tried.push_back(lead);
    return slLate;
  };
  EXPECT_EQ(SeekSteppingBack(ic, at, origin, leads, video_, late).Outcome,
            TSteppedSeek::soNoneEarly);
  EXPECT_EQ(tried, (std::vector<int64_t>{500'000, 1'000'000, 2'000'000}));
  tried.clear();
  SeekSteppingBack(ic, at, origin, {500'000, 0, 1'000'000}, -1, late);
  EXPECT_EQ(tried, (std::vector<int64_t>{500'000, 1'000'000}));
  // Nothing to seek before a time within the first lead of the start.
  tried.clear();
  EXPECT_EQ(SeekSteppingBack(ic, origin + 400'000, origin, leads, -1, late).Outcome,
            TSteppedSeek::soNoneEarly);
  EXPECT_TRUE(tried.empty());
  EXPECT_EQ(SeekSteppingBack(ic, at, origin, leads, -1, [](int64_t) { return slUnusable; })
                .Outcome,
            TSteppedSeek::soUnusable);

  // Its beginning is its first byte.
  ASSERT_GE(SeekToBeginning(ic), 0);
  const TPacketSeen again = NextVideo();
  EXPECT_EQ(again.Us, first.Us);
  EXPECT_EQ(again.Position, first.Position);
}

TEST(SeekLeads, GoBackFromTheFirstToTheLeastThenTwiceAsFar) {
  const TSeekLeads player{0, 1'000'000, 8'000'000};
  EXPECT_EQ(player.Lead(0), 0);
  EXPECT_EQ(player.Lead(1), 1'000'000);
  EXPECT_EQ(player.Lead(4), 8'000'000);
  const TSeekLeads frame{40'000, 1'000'000};
  EXPECT_EQ(frame.Lead(1), 1'000'000);
  EXPECT_EQ(frame.Lead(2), 2'000'000);
  EXPECT_EQ(TSeekLeads({600'000, 500'000}).Lead(1), 1'200'000);
}

// The picture a reader ends up with for a target, from pictures decoded in
// order after a seek: the first at or after it, or the one covering it.
int64_t PictureFor(const std::vector<int64_t>& pictures, int64_t target, TTargetRule rule) {
  int64_t held = AV_NOPTS_VALUE;
  for (int64_t at : pictures) {
    if (!BeforeTarget(at, target, rule))
      return rule == trCovering && held != AV_NOPTS_VALUE ? held : at;
    if (rule == trCovering) held = at;
  }
  return held;
}

TEST(TargetRule, TheSplitStartsFromTheTargetThePlayerShowsThePictureCoveringIt) {
  const std::vector<int64_t> pictures{0, 40, 80, 120};
  // On a picture's time both take that picture.
  EXPECT_EQ(PictureFor(pictures, 80, trFirstAtOrAfter), 80);
  EXPECT_EQ(PictureFor(pictures, 80, trCovering), 80);
  // Between two pictures: the next one, or the one still on screen.
  EXPECT_EQ(PictureFor(pictures, 100, trFirstAtOrAfter), 120);
  EXPECT_EQ(PictureFor(pictures, 100, trCovering), 80);
  // Past the last one the screen keeps showing it.
  EXPECT_EQ(PictureFor(pictures, 500, trCovering), 120);
  // A seek that landed past the target: the first picture is the one there is.
  EXPECT_TRUE(LandedPastTarget(40, 20));
  EXPECT_FALSE(LandedPastTarget(20, 20));
  EXPECT_EQ(PictureFor({40, 80}, 20, trCovering), 40);
  // Untimed pictures never stand for the target.
  EXPECT_TRUE(BeforeTarget(AV_NOPTS_VALUE, 0, trFirstAtOrAfter));
  EXPECT_FALSE(LandedPastTarget(AV_NOPTS_VALUE, 0));
}

}  // namespace
}  // namespace kelvane::test
