// What a running task hands to the application besides progress and its end:
// preview bitmaps on the main thread, the custom hook, the worker's priority;
// and a joined run over two inputs.
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <thread>

#include "binding/Bitmap.h"
#include "tests/engine/RunTestSupport.h"
#include "tools/fixtures/FrameIndexPattern.h"

namespace kelvane::test {
namespace {

using namespace std::chrono_literals;
using RunEventsTest = TMediaTest;

TEST_F(RunEventsTest, PreviewBitmapsArriveOnTheMainThreadAtMostEvery100ms) {
  struct TPreview {
    std::thread::id Thread;
    int Index;
    int32_t FrameNumber;
  };
  std::vector<TPreview> previews;  // main thread only
  TRecordingConverter converter;
  converter.SetPreviewBitmap(true);
  converter.OnPreviewBitmap = [&](int32_t index, TBitmap* bitmap, int32_t frame_number,
                                  int64_t) {
    EXPECT_EQ(index, 0);
    std::lock_guard<std::mutex> lock(bitmap->Lock);
    previews.push_back({std::this_thread::get_id(),
                        fixtures::ReadFrameIndexBgr24(bitmap->Pixels.data(), bitmap->Width,
                                                      bitmap->Height, bitmap->Stride),
                        frame_number});
  };
  ASSERT_EQ(converter.AddTask(RunMedia().Long), 0) << converter.LastError();
  TOutputOptions options = SplitOptions(0, 20000);
  ASSERT_TRUE(converter.SetOutput(0, temp_.File("out.mp4"), &options));
  const auto started = std::chrono::steady_clock::now();
  converter.Start(1);
  ASSERT_TRUE(converter.WaitAllDone());
  const auto run_time = std::chrono::steady_clock::now() - started;
  ASSERT_TRUE(converter.Terminates()[0].Finished) << converter.Terminates()[0].Message;
  ASSERT_GE(previews.size(), 2u);
  // The worker spaces its previews by at least 100 ms of its own clock. The
  // main thread sees them late by however long the hand-over took, so two
  // arrivals may be closer than that on a busy machine; their number is what
  // the spacing bounds.
  EXPECT_LE(previews.size(), 1u + static_cast<size_t>(run_time / 100ms));
  for (size_t i = 0; i < previews.size(); ++i) {
    EXPECT_EQ(previews[i].Thread, std::this_thread::get_id());
    EXPECT_GE(previews[i].Index, 0) << "preview " << i << " carries no frame";
    if (i > 0) {
      EXPECT_GT(previews[i].FrameNumber, previews[i - 1].FrameNumber);
      EXPECT_GT(previews[i].Index, previews[i - 1].Index);
    }
  }
}

TEST_F(RunEventsTest, CustomHookThatStopsOnTheFirstFrameIsCalledOnce) {
  TRecordingConverter converter;
  int calls = 0;
  converter.OnCustomHook = [&](THookedFrame& frame) {
    ++calls;
    EXPECT_EQ(frame.FrameNumber, 1);
    frame.Update = false;
    frame.StopHook = true;
  };
  ASSERT_EQ(converter.AddTask(RunMedia().Mp4), 0) << converter.LastError();
  TOutputOptions options = SplitOptions(0, 2000);
  options.CustomHook = true;
  ASSERT_TRUE(converter.SetOutput(0, temp_.File("out.mp4"), &options));
  converter.Start(0);
  ASSERT_FALSE(converter.Terminates().empty());
  EXPECT_TRUE(converter.Terminates()[0].Finished) << converter.Terminates()[0].Message;
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(FrameIndicesRun(temp_.File("out.mp4"), 0, 50, 1));
}

TEST_F(RunEventsTest, WorkerRunsAtTheChosenPriority) {
  TRecordingConverter converter;
  converter.ThreadPriority = tpLowest;
  converter.SetProgressInterval(100);
  std::atomic<int> nice_value{-100};
  std::atomic<bool> on_worker{false};
  const auto main_id = std::this_thread::get_id();
  converter.OnProgress = [&](const TProgressInfo&) {
    on_worker = std::this_thread::get_id() != main_id;
    errno = 0;
    nice_value = getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
  };
  ASSERT_EQ(converter.AddTask(RunMedia().Mp4), 0) << converter.LastError();
  TOutputOptions options = SplitOptions(0, 2000);
  ASSERT_TRUE(converter.SetOutput(0, temp_.File("out.mp4"), &options));
  converter.Start(1);
  ASSERT_TRUE(converter.WaitAllDone());
  EXPECT_TRUE(on_worker);
  EXPECT_EQ(nice_value.load(), 10);
}

TEST_F(RunEventsTest, JoinedInputsFollowEachOtherInOneOutput) {
  const std::string first = MakeFixture(temp_, "mp4-h264-aac", "first.mp4", [](auto& r) {
    r.Seconds = 2.0;
  });
  const std::string second = MakeFixture(temp_, "mp4-h264-aac", "second.mp4", [](auto& r) {
    r.Seconds = 2.0;
    r.FirstFrameIndex = 1000;
  });
  TFFmpeg task;
  task.Reset();
  ASSERT_TRUE(task.OpenInput(first)) << task.LastError;
  ASSERT_TRUE(task.OpenInput(second)) << task.LastError;
  task.SetOption("vcodec", "mpeg4");
  task.SetOption("acodec", "aac");
  const std::string out = temp_.File("joined.mp4");
  ASSERT_EQ(task.AddOutput(out, true), 1) << task.LastError;
  EXPECT_EQ(task.TotalOutputDuration.load(), 4000);
  task.Start(false, tpNormal);
  EXPECT_FALSE(task.ErrorOccurred.load()) << task.ErrorMessage;
  EXPECT_TRUE(task.Finished.load());

  const std::vector<int> indices = DecodedIndices(out);
  std::vector<int> expected;
  for (int i = 0; i < 50; ++i) expected.push_back(i);
  for (int i = 0; i < 50; ++i) expected.push_back(1000 + i);
  EXPECT_EQ(indices, expected) << DescribeIndices(indices);
  fixtures::TAudioFacts audio;
  std::string error;
  ASSERT_TRUE(fixtures::DecodeAudio(out, audio, &error)) << error;
  EXPECT_NEAR(static_cast<double>(audio.Samples) / audio.SampleRate, 4.0, 0.1);
}

}  // namespace
}  // namespace kelvane::test
