// The run's set-up as a user sees it: the message a refused combination of
// options ends the task with, and the filter graph between decoder and encoder.
#include <filesystem>

#include "tests/engine/RunTestSupport.h"

namespace kelvane::test {
namespace {

struct TRefusedCase {
  const char* Name;
  const char* Lines;        // option lines of the output
  const char* VideoCodec;
  const char* AudioCodec;
  const char* VideoFilters;
  int32_t CropTop;
  bool PreviewBitmap;
  const char* Message;      // "%s" stands for the test's folder
};

class TranscodeRefusedTest : public TMediaTest,
                             public testing::WithParamInterface<TRefusedCase> {};

TEST_P(TranscodeRefusedTest, EndsTheTaskWithTheMessage) {
  const TRefusedCase& c = GetParam();
  TRecordingConverter converter;
  converter.SetPreviewBitmap(c.PreviewBitmap);
  ASSERT_EQ(converter.AddTask(RunMedia().Mp4), 0) << converter.LastError();
  TOutputOptions options = SplitOptions(0, 1000, c.VideoCodec, c.AudioCodec);
  std::string lines = c.Lines;
  const std::string folder = temp_.Path().string();
  for (size_t at; (at = lines.find("%s")) != std::string::npos;) lines.replace(at, 2, folder);
  options.ExtOptions = lines;
  options.VideoFilters = c.VideoFilters;
  if (c.CropTop >= 0) options.CropTop = c.CropTop;
  const std::string out = temp_.File("out.mp4");
  ASSERT_TRUE(converter.SetOutput(0, out, &options)) << converter.LastError();
  converter.Start(0);
  auto ends = converter.Terminates();
  ASSERT_EQ(ends.size(), 2u);
  EXPECT_FALSE(ends[0].Finished);
  EXPECT_TRUE(ends[0].Exception);
  std::string expected = c.Message;
  for (size_t at; (at = expected.find("%s")) != std::string::npos;) expected.replace(at, 2, folder);
  EXPECT_EQ(ends[0].Message, expected);
  // Nothing was written: the empty output file is gone.
  EXPECT_FALSE(std::filesystem::exists(out));
}

INSTANTIATE_TEST_SUITE_P(
    Transcode, TranscodeRefusedTest,
    testing::Values(
        TRefusedCase{"MapCount", "map=0.0", "mpeg4", "aac", "", -1, false,
                     "Number of stream maps must match number of output streams"},
        TRefusedCase{"MapStream", "map=0.0\nmap=0.7", "mpeg4", "aac", "", -1, false,
                     "Could not find input stream #0.7"},
        TRefusedCase{"MapSync", "map=0.0\nmap=0.1:3.0", "mpeg4", "aac", "", -1, false,
                     "Could not find sync stream #3.0"},
        TRefusedCase{"MapType", "map=0.1\nmap=0.0", "mpeg4", "aac", "", -1, false,
                     "Codec type mismatch for mapping #0.1 (Audio) -> #0.0 (Video)"},
        TRefusedCase{"AudioCopyVolume", "vol=300", "mpeg4", "copy", "", -1, false,
                     "-acodec copy and -vol are incompatible (frames are not decoded)"},
        TRefusedCase{"VideoCopyPreview", "", "copy", "aac", "", -1, true,
                     "-vcodec copy and PostHooks are incompatible (frames are not decoded)"},
        TRefusedCase{"PassTwoWithoutLog", "pass=2\npasslogfile=%s/stats", "mpeg4", "aac", "", -1,
                     false, "Cannot read log file %s/stats-0.log for pass-2 encoding"}),
    [](const testing::TestParamInfo<TRefusedCase>& info) { return info.param.Name; });

using TranscodeSetupTest = TMediaTest;

TEST_F(TranscodeSetupTest, FilterGraphScalesToTheFrameSize) {
  TRecordingConverter converter;
  ASSERT_EQ(converter.AddTask(RunMedia().Mp4), 0) << converter.LastError();
  TOutputOptions options = SplitOptions(1000, 2000);
  options.VideoFilters = "null";
  options.FrameSize = "160x120";
  const std::string out = temp_.File("filtered.mp4");
  ASSERT_TRUE(converter.SetOutput(0, out, &options)) << converter.LastError();
  converter.Start(0);
  auto ends = converter.Terminates();
  ASSERT_FALSE(ends.empty());
  ASSERT_TRUE(ends[0].Finished) << ends[0].Message;
  fixtures::TMediaFacts facts = ReadFactsOrFail(out);
  const fixtures::TStreamFacts* video = facts.FirstOf(AVMEDIA_TYPE_VIDEO);
  ASSERT_NE(video, nullptr);
  EXPECT_EQ(video->Width, 160);
  EXPECT_EQ(video->Height, 120);
  EXPECT_TRUE(FrameIndicesRun(out, 25, 50, 1));
}

TEST_F(TranscodeSetupTest, PassOneWritesTheLogThatPassTwoReads) {
  const std::string prefix = temp_.File("stats");
  for (int pass = 1; pass <= 2; ++pass) {
    TRecordingConverter converter;
    ASSERT_EQ(converter.AddTask(RunMedia().Mp4), 0) << converter.LastError();
    TOutputOptions options = SplitOptions(0, 2000);
    options.ExtOptions = "pass=" + std::to_string(pass) + "\npasslogfile=" + prefix;
    const std::string out = temp_.File("pass" + std::to_string(pass) + ".mp4");
    ASSERT_TRUE(converter.SetOutput(0, out, &options)) << converter.LastError();
    converter.Start(0);
    auto ends = converter.Terminates();
    ASSERT_FALSE(ends.empty());
    ASSERT_TRUE(ends[0].Finished) << "pass " << pass << ": " << ends[0].Message;
    EXPECT_GT(std::filesystem::file_size(prefix + "-0.log"), 0u);
  }
  EXPECT_TRUE(FrameIndicesRun(temp_.File("pass2.mp4"), 0, 50, 1));
}

}  // namespace
}  // namespace kelvane::test
