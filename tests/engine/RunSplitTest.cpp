// Splits through the component: the cut lands on the right frames, lasts as
// long as asked, and keeps audio with video in the usual containers.
#include "tests/engine/RunTestSupport.h"

namespace kelvane::test {
namespace {

using RunSplitTest = TMediaTest;

TEST_F(RunSplitTest, SynchronousSplitStartsAtTheStartFrameAndLastsTheDuration) {
  TRecordingConverter converter;
  const std::string out = temp_.File("cut.mp4");
  ASSERT_EQ(converter.AddTask(RunMedia().Mp4), 0) << converter.LastError();
  TOutputOptions options = SplitOptions(2000, 3000);
  ASSERT_TRUE(converter.SetOutput(0, out, &options)) << converter.LastError();
  converter.Start(0);
  auto ends = converter.Terminates();
  ASSERT_EQ(ends.size(), 2u);
  EXPECT_EQ(ends[0].Index, 0);
  EXPECT_TRUE(ends[0].Finished) << ends[0].Message;
  EXPECT_FALSE(ends[0].Exception) << ends[0].Message;
  EXPECT_EQ(ends[1].Index, -1);
  EXPECT_TRUE(FrameIndicesRun(out, 50, 75, 1));
  TSplitResult result = Inspect(out);
  EXPECT_EQ(result.FirstIndex, 50);
  EXPECT_NEAR(result.VideoDurationUs, 3000000, 40000);
  EXPECT_NEAR(result.AudioDurationUs, 3000000, 60000);
}

// One row per container: the file name's extension picks the format.
struct TContainerCase {
  const char* File;
  const char* Video;
  const char* Audio;
};

class RunContainerTest : public TMediaTest,
                         public testing::WithParamInterface<TContainerCase> {};

TEST_P(RunContainerTest, SplitKeepsAudioWithVideo) {
  const TContainerCase& c = GetParam();
  TRecordingConverter converter;
  const std::string out = temp_.File(c.File);
  ASSERT_EQ(converter.AddTask(RunMedia().Mp4), 0) << converter.LastError();
  TOutputOptions options = SplitOptions(1000, 4000, c.Video, c.Audio);
  ASSERT_TRUE(converter.SetOutput(0, out, &options)) << converter.LastError();
  converter.Start(0);
  auto ends = converter.Terminates();
  ASSERT_FALSE(ends.empty());
  ASSERT_TRUE(ends[0].Finished) << ends[0].Message;
  EXPECT_TRUE(HasStreams(out, 1, 1));
  EXPECT_TRUE(FrameIndicesRun(out, 25, 100, 1));
  TSplitResult result = Inspect(out);
  // Audio and video begin together and last the same, within a frame or two
  // (audio frames are longer than a picture in some of these codecs).
  if (result.AudioStartUs >= 0 && result.VideoStartUs >= 0) {
    EXPECT_NEAR(result.AudioStartUs, result.VideoStartUs, 40000);
  }
  fixtures::TAudioFacts audio;
  std::string error;
  ASSERT_TRUE(fixtures::DecodeAudio(out, audio, &error)) << error;
  EXPECT_NEAR(static_cast<double>(audio.Samples) / audio.SampleRate, 4.0, 0.1);
  EXPECT_NEAR(audio.ToneHz, 440.0, 10.0);
}

// A cut that begins between two pictures begins its sound with its first
// picture (26, at 1.04 s, for a start at 1.01 s) and ends it with the end of
// its last picture, so the sound marks stay on their pictures throughout.
TEST_P(RunContainerTest, ACutBetweenPicturesKeepsTheSoundOnItsPictures) {
  const TContainerCase& c = GetParam();
  const std::string in = MakeFixture(temp_, "mp4-ticks", "marks.mp4",
                                     [](fixtures::TFixtureRecipe& r) {
                                       r.Seconds = 4;
                                       r.TickFirstFrame = 2;
                                     });
  TRecordingConverter converter;
  const std::string out = temp_.File(c.File);
  ASSERT_EQ(converter.AddTask(in), 0) << converter.LastError();
  TOutputOptions options = SplitOptions(1010, 2000, c.Video, c.Audio);
  ASSERT_TRUE(converter.SetOutput(0, out, &options)) << converter.LastError();
  EXPECT_EQ(RunTasksSynchronously(converter), "");
  EXPECT_TRUE(FrameIndicesRun(out, 26, 50));
  TMarkOffsets marks;
  ASSERT_TRUE(MeasureMarkOffsets(out, 5, 2, 40000, marks));
  EXPECT_EQ(marks.OffsetsUs.size(), 10u);
  EXPECT_LE(std::llabs(marks.First()), 5000) << "first mark";
  EXPECT_LE(std::llabs(marks.Last()), 5000) << "last mark";
}

INSTANTIATE_TEST_SUITE_P(
    RunContainers, RunContainerTest,
    testing::Values(TContainerCase{"cut.mp4", "mpeg4", "aac"},
                    TContainerCase{"cut.avi", "mpeg4", "libmp3lame"},
                    TContainerCase{"cut.mpg", "mpeg2video", "mp2"},
                    TContainerCase{"cut.flv", "flv", "libmp3lame"}),
    [](const testing::TestParamInfo<TContainerCase>& info) {
      std::string name = info.param.File;
      return name.substr(name.find('.') + 1);
    });

// The packets of one stream of a file, in file order.
std::vector<std::vector<uint8_t>> VideoPackets(const std::string& path, std::vector<int>* keys) {
  std::vector<std::vector<uint8_t>> packets;
  AVFormatContext* ctx = nullptr;
  if (avformat.avformat_open_input(&ctx, path.c_str(), nullptr, nullptr) < 0) return packets;
  avformat.avformat_find_stream_info(ctx, nullptr);
  int video = avformat.av_find_best_stream(ctx, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  AVPacket* packet = avcodec.av_packet_alloc();
  while (avformat.av_read_frame(ctx, packet) >= 0) {
    if (packet->stream_index == video) {
      packets.emplace_back(packet->data, packet->data + packet->size);
      if (keys != nullptr) keys->push_back((packet->flags & AV_PKT_FLAG_KEY) ? 1 : 0);
    }
    avcodec.av_packet_unref(packet);
  }
  avcodec.av_packet_free(&packet);
  avformat.avformat_close_input(&ctx);
  return packets;
}

TEST_F(RunSplitTest, StreamCopyStartsAtTheKeyFrameWithPacketsUnchanged) {
  TRecordingConverter converter;
  const std::string out = temp_.File("copy.mp4");
  ASSERT_EQ(converter.AddTask(RunMedia().Mp4), 0) << converter.LastError();
  // 2.2 s is frame 55; key frames come every 25 frames, so the copy starts at 75.
  TOutputOptions options = SplitOptions(2200, 3000, "copy", "copy");
  ASSERT_TRUE(converter.SetOutput(0, out, &options)) << converter.LastError();
  converter.Start(0);
  auto ends = converter.Terminates();
  ASSERT_FALSE(ends.empty());
  ASSERT_TRUE(ends[0].Finished) << ends[0].Message;
  TSplitResult result = Inspect(out);
  EXPECT_EQ(result.FirstIndex, 75);

  std::vector<int> source_keys;
  auto source = VideoPackets(RunMedia().Mp4, &source_keys);
  auto copied = VideoPackets(out, nullptr);
  ASSERT_GE(source.size(), 100u);
  ASSERT_FALSE(copied.empty());
  // The copy is a run of the source's packets, beginning with key frame 75's.
  size_t start = 0;
  while (start < source.size() && source[start] != copied[0]) ++start;
  ASSERT_LT(start, source.size()) << "first copied packet is not a source packet";
  EXPECT_EQ(source_keys[start], 1);
  for (size_t i = 0; i < copied.size() && start + i < source.size(); ++i)
    ASSERT_EQ(copied[i], source[start + i]) << "packet " << i;
}

// Copied Opus keeps its place beside the pictures in WebM, whose reader takes
// the track's codec delay off the sound's times and whose muxer writes it.
TEST_F(RunSplitTest, CopiedOpusStaysBesideThePictures) {
  const std::string input = MakeFixture(temp_, "webm-vp8-opus", "in.webm", [](auto& r) {
    r.Seconds = 3.0;
    r.TickEveryFrames = 25;
    r.TickFirstFrame = 5;
  });
  const std::string out = temp_.File("copy.webm");
  TRecordingConverter converter;
  ASSERT_EQ(converter.AddTask(input), 0) << converter.LastError();
  TOutputOptions options = SplitOptions(0, 2500, "copy", "copy");
  ASSERT_TRUE(converter.SetOutput(0, out, &options)) << converter.LastError();
  converter.Start(0);
  TMarkOffsets before, after;
  ASSERT_TRUE(MeasureMarkOffsets(input, 25, 5, 40000, before));
  ASSERT_TRUE(MeasureMarkOffsets(out, 25, 5, 40000, after));
  ASSERT_GE(after.OffsetsUs.size(), 2u);
  EXPECT_LE(std::abs(after.First() - before.First()), 1000);
  EXPECT_LE(std::abs(after.Last() - before.Last()), 1000);
}

TEST_F(RunSplitTest, AudioOnlyOutputAndItsProgressValues) {
  TRecordingConverter converter;
  converter.SetProgressInterval(100);
  const std::string out = temp_.File("cut.m4a");
  ASSERT_EQ(converter.AddTask(RunMedia().Mp4), 0) << converter.LastError();
  TOutputOptions options = SplitOptions(0, 5000, "", "aac");
  options.DisableVideo = true;
  ASSERT_TRUE(converter.SetOutput(0, out, &options)) << converter.LastError();
  converter.Start(0);
  auto ends = converter.Terminates();
  ASSERT_FALSE(ends.empty());
  ASSERT_TRUE(ends[0].Finished) << ends[0].Message;
  EXPECT_TRUE(HasStreams(out, 0, 1));
  auto progress = converter.Progress();
  ASSERT_FALSE(progress.empty());  // at least the final report
  for (const TProgressInfo& p : progress) {
    EXPECT_EQ(p.FrameNumber, -1);
    EXPECT_EQ(p.FPS, -1);
    EXPECT_FLOAT_EQ(p.Quality, -1.0f);
    EXPECT_EQ(p.TotalOutputDuration, 5000);
  }
  const TProgressInfo& last = progress.back();
  EXPECT_NEAR(last.CurrentDuration, 5000, 100);
  EXPECT_GT(last.CurrentSize, 0);
  EXPECT_NEAR(last.BitRate, last.CurrentSize * 8.0 / (last.CurrentDuration / 1000.0) / 1000.0,
              1.0);
}

TEST_F(RunSplitTest, VideoProgressStartsWithTheFirstWrittenFrame) {
  TRecordingConverter converter;
  converter.SetProgressInterval(100);
  const std::string out = temp_.File("cut.mp4");
  ASSERT_EQ(converter.AddTask(RunMedia().Mp4), 0) << converter.LastError();
  TOutputOptions options = SplitOptions(0, 6000);
  ASSERT_TRUE(converter.SetOutput(0, out, &options)) << converter.LastError();
  converter.Start(0);
  auto progress = converter.Progress();
  ASSERT_FALSE(progress.empty());
  int32_t previous = 0;
  for (const TProgressInfo& p : progress) {
    EXPECT_EQ(p.Index, 0);
    EXPECT_GE(p.FrameNumber, 1);  // never before the first picture is written
    EXPECT_GE(p.FrameNumber, previous);
    EXPECT_GE(p.Quality, 0.0f);
    EXPECT_GE(p.FPS, 0);
    EXPECT_EQ(p.TotalOutputDuration, 6000);
    previous = p.FrameNumber;
  }
  EXPECT_EQ(progress.back().FrameNumber, 150);
  EXPECT_GT(progress.back().Quality, 0.0f);  // the encoder's quantiser
  EXPECT_NEAR(progress.back().CurrentDuration, 6000, 80);
}

}  // namespace
}  // namespace kelvane::test
