// The component's properties and task list operations.
#include "engine/FFConverter.h"
#include "tests/engine/SetupTestMedia.h"

namespace kelvane::test {
namespace {

using ComponentSetupTest = TMediaTest;

TEST_F(ComponentSetupTest, PropertiesAndDefaults) {
  TFFConverter converter;
  EXPECT_EQ(converter.Version(), "2.5");
  EXPECT_EQ(converter.ProgressInterval(), 500);
  EXPECT_EQ(converter.ThreadPriority, tpNormal);
  EXPECT_FALSE(converter.Preview());
  EXPECT_FALSE(converter.PreviewBitmap());
  converter.SetProgressInterval(50);
  EXPECT_EQ(converter.ProgressInterval(), 100);
  converter.SetProgressInterval(100);
  EXPECT_EQ(converter.ProgressInterval(), 100);
  converter.SetProgressInterval(101);
  EXPECT_EQ(converter.ProgressInterval(), 101);
  converter.About = "anything";
  EXPECT_EQ(converter.About, "anything");
  EXPECT_TRUE(converter.LibrariesLoaded());
  EXPECT_TRUE(converter.LoadLibraries(temp_.Path().string()));  // falls back to the system search
}

TEST_F(ComponentSetupTest, PreviewSwitchesReachEveryTaskAndLaterOnes) {
  TFFConverter converter;
  ASSERT_EQ(converter.AddTask(SetupMedia().Video640), 0);
  converter.SetPreviewBitmap(true);
  EXPECT_EQ(converter.Task(0)->PreviewFlags, 2);
  ASSERT_EQ(converter.AddTask(SetupMedia().Video640), 1);
  EXPECT_EQ(converter.Task(1)->PreviewFlags, 2);
  converter.SetPreviewBitmap(false);
  EXPECT_EQ(converter.Task(0)->PreviewFlags, 0);
  EXPECT_EQ(converter.Task(1)->PreviewFlags, 0);
}

TEST_F(ComponentSetupTest, RemovingATaskRenumbersTheOthers) {
  TFFConverter converter;
  for (int i = 0; i < 3; ++i) ASSERT_EQ(converter.AddTask(SetupMedia().Video640), i);
  TFFmpeg* second = converter.Task(1);
  TFFmpeg* third = converter.Task(2);
  converter.RemoveTask(0);
  ASSERT_EQ(converter.TaskCount(), 2);
  EXPECT_EQ(converter.Task(0), second);
  EXPECT_EQ(converter.Task(1), third);
  EXPECT_EQ(second->Index, 0);
  EXPECT_EQ(third->Index, 1);
}

TEST_F(ComponentSetupTest, IndexOutOfRangeRaisesAndChangesNothing) {
  TFFConverter converter;
  ASSERT_EQ(converter.AddTask(SetupMedia().Video640), 0);
  EXPECT_THROW(converter.SetOutput(1, temp_.File("out.mp4")), std::out_of_range);
  EXPECT_THROW(converter.RemoveTask(-1), std::out_of_range);
  EXPECT_EQ(converter.TaskCount(), 1);
}

TEST_F(ComponentSetupTest, TaskKeepsCopiesOfItsRecords) {
  TFFConverter converter;
  TInputOptions input;
  input.ExtOptions = "v=0";
  ASSERT_EQ(converter.AddTask(SetupMedia().Video640, &input), 0);
  input.ExtOptions = "changed";
  EXPECT_EQ(converter.Task(0)->InputOptions.ExtOptions, "v=0");
  EXPECT_EQ(converter.Task(0)->InputOptions.FileName, SetupMedia().Video640);
  TOutputOptions output;
  output.VideoCodec = "mpeg4";
  const std::string file = temp_.File("out.mp4");
  ASSERT_TRUE(converter.SetOutput(0, file, &output));
  output.VideoCodec = "changed";
  EXPECT_EQ(converter.Task(0)->OutputOptions.VideoCodec, "mpeg4");
  EXPECT_EQ(converter.Task(0)->OutputOptions.FileName, file);
}

}  // namespace
}  // namespace kelvane::test
