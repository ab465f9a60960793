// The task slots the component fills at set-up, seen through a real run:
// progress, preview bitmaps, the custom and before hooks, and the end.
#include <atomic>
#include <thread>

#include "binding/MainThread.h"
#include "engine/FFConverter.h"
#include "tests/engine/SetupTestMedia.h"

namespace kelvane::test {
namespace {

class ComponentEventsTest : public TMediaTest {
 protected:
  // Adds the 640x480 input with an mpeg4 output of the first `milliseconds`.
  void AddShortTask(TOutputOptions options, int32_t milliseconds) {
    const int32_t index = converter_.AddTask(SetupMedia().Video640);
    ASSERT_EQ(index, converter_.TaskCount() - 1) << converter_.LastError();
    options.VideoCodec = "mpeg4";
    options.AudioCodec = "mp2";
    options.FrameSize = "320x240";
    options.RecordingTime = milliseconds;
    ASSERT_TRUE(converter_.SetOutput(index,
                                     temp_.File("out" + std::to_string(converter_.TaskCount()) +
                                                ".mp4"),
                                     &options))
        << converter_.LastError();
  }

  TFFConverter converter_;
};

TEST_F(ComponentEventsTest, ProgressCarriesTheExpectedDurationAndTheEndFollows) {
  converter_.SetProgressInterval(100);
  std::vector<int32_t> totals;
  std::vector<int32_t> frames;
  std::vector<std::pair<int32_t, bool>> ends;
  converter_.OnProgress = [&](const TProgressInfo& progress) {
    EXPECT_EQ(progress.Index, 0);
    totals.push_back(progress.TotalOutputDuration);
    frames.push_back(progress.FrameNumber);
  };
  converter_.OnTerminate = [&](int32_t index, bool finished, bool exception,
                               const std::string& message) {
    EXPECT_FALSE(exception) << message;
    ends.emplace_back(index, finished);
  };
  AddShortTask(TOutputOptions(), 1000);
  converter_.Start(0);  // synchronous: everything has happened when it returns
  ASSERT_FALSE(totals.empty());
  for (int32_t total : totals) EXPECT_EQ(total, 1000);
  EXPECT_GT(frames.back(), 0);
  ASSERT_EQ(ends.size(), 2u);
  EXPECT_EQ(ends[0], std::make_pair(0, true));
  EXPECT_EQ(ends[1], std::make_pair(-1, true));
}

TEST_F(ComponentEventsTest, PreviewBitmapsArriveOnTheMainThreadWithTheTaskIndex) {
  converter_.SetPreviewBitmap(true);
  std::atomic<int> previews{0};
  std::atomic<bool> done{false};
  const std::thread::id main_thread = std::this_thread::get_id();
  converter_.OnTerminate = [&](int32_t index, bool, bool exception, const std::string& message) {
    EXPECT_FALSE(exception) << message;
    if (index == -1) done = true;
    NotifyMainThread();
  };
  AddShortTask(TOutputOptions(), 200);
  AddShortTask(TOutputOptions(), 1000);
  converter_.RemoveTask(0);  // the remaining task is renumbered to 0
  ASSERT_EQ(converter_.TaskCount(), 1);
  converter_.OnPreviewBitmap = [&](int32_t index, TBitmap* bitmap, int32_t, int64_t) {
    EXPECT_EQ(std::this_thread::get_id(), main_thread);
    EXPECT_EQ(index, 0);
    ASSERT_NE(bitmap, nullptr);
    ++previews;
  };
  converter_.Start(1);
  ASSERT_TRUE(WaitOnMainThread([&] { return done.load(); }, std::chrono::seconds(120)));
  EXPECT_GT(previews.load(), 0);
}

TEST_F(ComponentEventsTest, CustomHookStopsWhenAskedAndBeforeHookIsNotConnectedWithIt) {
  int custom_calls = 0;
  int before_calls = 0;
  converter_.OnCustomHook = [&](THookedFrame& frame) {
    EXPECT_EQ(frame.Index, 0);
    EXPECT_NE(frame.Bitmap, nullptr);
    EXPECT_EQ(frame.FrameNumber, 1);
    ++custom_calls;
    frame.StopHook = true;
  };
  converter_.OnBeforeHook = [&](int32_t, int64_t, THookAction&) { ++before_calls; };
  TOutputOptions options;
  options.CustomHook = true;
  options.BeforeHook = true;
  AddShortTask(options, 500);
  EXPECT_TRUE(converter_.Task(0)->CustomHookSlot != nullptr);
  EXPECT_TRUE(converter_.Task(0)->BeforeHookSlot == nullptr);
  converter_.Start(0);
  EXPECT_EQ(custom_calls, 1);
  EXPECT_EQ(before_calls, 0);
}

TEST_F(ComponentEventsTest, ClearingDuringARunStopsTheRunningTaskAndStartsNoOther) {
  std::mutex mutex;
  std::vector<int32_t> ended;
  converter_.OnTerminate = [&](int32_t index, bool finished, bool, const std::string&) {
    std::lock_guard<std::mutex> lock(mutex);
    ended.push_back(index);
    EXPECT_FALSE(finished && index >= 0);
  };
  for (int i = 0; i < 3; ++i) AddShortTask(TOutputOptions(), 2000);
  converter_.Start(1);
  converter_.ClearTasks();
  EXPECT_EQ(converter_.TaskCount(), 0);
  // Let any event thread finish before looking.
  WaitOnMainThread([] { return false; }, std::chrono::milliseconds(300));
  std::lock_guard<std::mutex> lock(mutex);
  for (int32_t index : ended) EXPECT_EQ(index, 0);  // only the running one reports
}

}  // namespace
}  // namespace kelvane::test
