// The packet loop over inputs whose timestamps jump, and the preview window
// switched off after a run.
#include <filesystem>
#include <fstream>

#include "binding/Previewer.h"
#include "tests/engine/RunTestSupport.h"

namespace kelvane::test {
namespace {

using TranscodeLoopTest = TMediaTest;

// Two transport streams glued together byte by byte: the second one's clock
// starts again where the first one's started, a jump back of two seconds.
std::string GluedTransportStreams(const TTempDir& dir) {
  const std::string first = MakeFixture(dir, "ts-h264-aac", "first.ts", [](auto& r) {
    r.Seconds = 2.0;
  });
  const std::string second = MakeFixture(dir, "ts-h264-aac", "second.ts", [](auto& r) {
    r.Seconds = 2.0;
    r.FirstFrameIndex = 1000;
  });
  const std::string glued = dir.File("glued.ts");
  std::ofstream out(glued, std::ios::binary);
  for (const std::string& part : {first, second}) {
    std::ifstream in(part, std::ios::binary);
    out << in.rdbuf();
  }
  return glued;
}

TEST_F(TranscodeLoopTest, TimestampJumpInATransportStreamIsSmoothedOver) {
  const std::string input = GluedTransportStreams(temp_);
  TRecordingConverter converter;
  ASSERT_EQ(converter.AddTask(input), 0) << converter.LastError();
  TOutputOptions options = SplitOptions(0, 0);
  const std::string out = temp_.File("out.mp4");
  ASSERT_TRUE(converter.SetOutput(0, out, &options)) << converter.LastError();
  converter.Start(0);
  ASSERT_FALSE(converter.Terminates().empty());
  ASSERT_TRUE(converter.Terminates()[0].Finished) << converter.Terminates()[0].Message;
  // Both halves, one after the other: the second is not dropped as "late".
  const std::vector<int> indices = DecodedIndices(out);
  ASSERT_GE(indices.size(), 98u) << DescribeIndices(indices);
  EXPECT_LE(indices.size(), 102u) << DescribeIndices(indices);
  EXPECT_EQ(indices.front(), 0);
  EXPECT_EQ(indices.back(), 1049) << DescribeIndices(indices);
  fixtures::TAudioFacts audio;
  std::string error;
  ASSERT_TRUE(fixtures::DecodeAudio(out, audio, &error)) << error;
  EXPECT_NEAR(static_cast<double>(audio.Samples) / audio.SampleRate, 4.0, 0.15);

  // Copied timestamps are kept as they are: the second half comes "too late"
  // and its pictures do not follow the first half's.
  TRecordingConverter copying;
  ASSERT_EQ(copying.AddTask(input), 0) << copying.LastError();
  options.CopyTimestamps = true;
  const std::string kept = temp_.File("kept.mp4");
  ASSERT_TRUE(copying.SetOutput(0, kept, &options)) << copying.LastError();
  copying.Start(0);
  ASSERT_FALSE(copying.Terminates().empty());
  EXPECT_NE(DecodedIndices(kept), indices);
}

TEST_F(TranscodeLoopTest, SizeAndFrameLimitsEndTheRun) {
  {
    TRecordingConverter converter;
    ASSERT_EQ(converter.AddTask(RunMedia().Long), 0) << converter.LastError();
    TOutputOptions options = SplitOptions(0, 0);
    options.ExtOptions = "fs=100000";
    const std::string out = temp_.File("limited.mp4");
    ASSERT_TRUE(converter.SetOutput(0, out, &options)) << converter.LastError();
    converter.Start(0);
    ASSERT_FALSE(converter.Terminates().empty());
    EXPECT_TRUE(converter.Terminates()[0].Finished) << converter.Terminates()[0].Message;
    const size_t pictures = DecodedIndices(out).size();
    EXPECT_GT(pictures, 0u);
    EXPECT_LT(pictures, 1500u / 2);
    EXPECT_GT(std::filesystem::file_size(out), 100000u);
  }
  {
    TRecordingConverter converter;
    ASSERT_EQ(converter.AddTask(RunMedia().Mp4), 0) << converter.LastError();
    TOutputOptions options = SplitOptions(1000, 0);
    options.ExtOptions = "vframes=10";
    const std::string out = temp_.File("ten.mp4");
    ASSERT_TRUE(converter.SetOutput(0, out, &options)) << converter.LastError();
    converter.Start(0);
    ASSERT_FALSE(converter.Terminates().empty());
    EXPECT_TRUE(converter.Terminates()[0].Finished) << converter.Terminates()[0].Message;
    EXPECT_TRUE(FrameIndicesRun(out, 25, 10));
  }
}

TEST_F(TranscodeLoopTest, SwitchingThePreviewOffClosesTheWindow) {
  TRecordingConverter converter;
  converter.SetPreview(true);
  ASSERT_EQ(converter.AddTask(RunMedia().Mp4), 0) << converter.LastError();
  TOutputOptions options = SplitOptions(0, 2000);
  ASSERT_TRUE(converter.SetOutput(0, temp_.File("out.mp4"), &options));
  converter.Start(0);
  std::shared_ptr<TPreviewer> window = converter.Task(0)->PreviewWindow;
  ASSERT_NE(window, nullptr);
  auto* headless = dynamic_cast<THeadlessPreviewer*>(window.get());
  ASSERT_NE(headless, nullptr);
  EXPECT_GE(headless->ShownCount(), 1);
  converter.SetPreview(false);
  EXPECT_TRUE(window->Closed());
  EXPECT_EQ(converter.Task(0)->PreviewWindow, nullptr);
}

}  // namespace
}  // namespace kelvane::test
