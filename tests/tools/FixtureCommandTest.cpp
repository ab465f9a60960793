#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "tests/common/MediaAssertions.h"
#include "tests/common/TestSupport.h"

namespace kelvane {
namespace {

using test::TMediaTest;

const std::string kCommand = std::string(KELVANE_BINARY_DIR) + "/tools/kelvane-fixtures";

// Runs the command with `arguments`; returns its exit status and its output.
int RunCommand(const std::string& arguments, std::string* output = nullptr) {
  FILE* pipe = popen((kCommand + " " + arguments + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[512];
  std::string text;
  while (fgets(buffer, sizeof buffer, pipe) != nullptr) text += buffer;
  int status = pclose(pipe);
  if (output) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class FixtureCommand : public TMediaTest {
 protected:
  void SetUp() override {
    TMediaTest::SetUp();
    if (!std::filesystem::exists(kCommand)) GTEST_SKIP() << "not built: " << kCommand;
  }
};

TEST_F(FixtureCommand, WritesTheSampleClipOfTheDemo) {
  const std::string out = temp_.File("sample clip.mp4");
  std::string output;
  ASSERT_EQ(
      RunCommand("--preset mp4-h264-aac --seconds 4 --size 240x136 --first-index 7 '" + out + "'",
                 &output),
      0)
      << output;
  EXPECT_TRUE(test::HasStreams(out, 1, 1));
  const fixtures::TMediaFacts facts = test::ReadFactsOrFail(out);
  EXPECT_NEAR(facts.DurationUs, 4000000, 120000);
  EXPECT_EQ(facts.FirstOf(AVMEDIA_TYPE_VIDEO)->Width, 240);
  EXPECT_EQ(facts.FirstOf(AVMEDIA_TYPE_VIDEO)->Height, 136);
  EXPECT_TRUE(test::FrameIndicesRun(out, 7, 100));
}

TEST_F(FixtureCommand, ListsPresetsAndRefusesBadArguments) {
  std::string output;
  ASSERT_EQ(RunCommand("--list", &output), 0);
  EXPECT_NE(output.find("mp4-h264-aac\n"), std::string::npos);
  EXPECT_NE(output.find("mpeg-mpeg2-mp2\n"), std::string::npos);
  EXPECT_EQ(RunCommand("--preset nothing-like-it " + temp_.File("x.mp4"), &output), 2);
  EXPECT_NE(output.find("unknown preset"), std::string::npos);
  EXPECT_EQ(RunCommand("--seconds -3 " + temp_.File("x.mp4")), 2);
  EXPECT_EQ(RunCommand("--size 12 " + temp_.File("x.mp4")), 2);
  EXPECT_EQ(RunCommand("", &output), 2);
  EXPECT_EQ(RunCommand(temp_.File("no-folder/x.mp4"), &output), 1);
  EXPECT_NE(output.find("no-folder/x.mp4"), std::string::npos) << output;
  EXPECT_FALSE(std::filesystem::exists(temp_.File("x.mp4")));
}

TEST_F(FixtureCommand, ChoosesContainerCodecsAndPixelShape) {
  const std::string out = temp_.File("dvd.mkv");
  std::string output;
  ASSERT_EQ(RunCommand("--container matroska --video mpeg2video --audio none --size 720x576 "
                       "--aspect 64:45 --subtitles --seconds 1 " +
                           out,
                       &output),
            0)
      << output;
  const fixtures::TMediaFacts facts = test::ReadFactsOrFail(out);
  EXPECT_EQ(facts.CountOf(AVMEDIA_TYPE_AUDIO), 0);
  EXPECT_EQ(facts.CountOf(AVMEDIA_TYPE_SUBTITLE), 1);
  ASSERT_EQ(facts.CountOf(AVMEDIA_TYPE_VIDEO), 1);
  EXPECT_EQ(facts.FirstOf(AVMEDIA_TYPE_VIDEO)->CodecName, "mpeg2video");
  EXPECT_EQ(av_cmp_q(facts.FirstOf(AVMEDIA_TYPE_VIDEO)->SampleAspect, AVRational{64, 45}), 0);
}

using MediaAssertionsOnFiles = TMediaTest;

TEST_F(MediaAssertionsOnFiles, FrameIndicesRunChecksStartLengthAndGaps) {
  const std::string path = test::MakeFixture(temp_, "mp4-h264", "run.mp4", [](auto& recipe) {
    recipe.Seconds = 1.0;
    recipe.FirstFrameIndex = 50;
  });
  EXPECT_TRUE(test::FrameIndicesRun(path, 50, 25));
  EXPECT_TRUE(test::FrameIndicesRun(path, 52, 27, 2));
  EXPECT_FALSE(test::FrameIndicesRun(path, 53, 25, 2));
  EXPECT_FALSE(test::FrameIndicesRun(path, 50, 22, 2));
}

}  // namespace
}  // namespace kelvane
