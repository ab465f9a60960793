// Task control through the component: threaded and synchronous starts, the
// order of the end events, stopping, pausing, and runs that fail.
#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/engine/RunTestSupport.h"

namespace kelvane::test {
namespace {

using namespace std::chrono_literals;
using ControlTest = TMediaTest;

int AddSplit(TRecordingConverter& converter, const std::string& input, const std::string& out,
             int32_t start_ms, int32_t duration_ms) {
  int index = converter.AddTask(input);
  EXPECT_GE(index, 0) << converter.LastError();
  TOutputOptions options = SplitOptions(start_ms, duration_ms);
  EXPECT_TRUE(converter.SetOutput(index, out, &options)) << converter.LastError();
  return index;
}

TEST_F(ControlTest, ThreeTasksOneAtATimeEndInOrderThenAllDone) {
  TRecordingConverter converter;
  std::atomic<int> running{0};
  std::atomic<int> most{0};
  for (int i = 0; i < 3; ++i)
    AddSplit(converter, RunMedia().Mp4, temp_.File("out" + std::to_string(i) + ".mp4"), 0, 1000);
  // Count the workers converting at once through the tasks' running flags.
  std::atomic<bool> watching{true};
  std::thread watcher([&] {
    while (watching) {
      int now = 0;
      for (int i = 0; i < 3; ++i) {
        TFFmpeg* task = converter.Task(i);
        now += task->Running && !task->Terminated ? 1 : 0;
      }
      running = now;
      if (now > most) most = now;
      std::this_thread::sleep_for(1ms);
    }
  });
  converter.Start(1);
  ASSERT_TRUE(converter.WaitAllDone());
  watching = false;
  watcher.join();
  auto ends = converter.Terminates();
  ASSERT_EQ(ends.size(), 4u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(ends[i].Index, i);
    EXPECT_TRUE(ends[i].Finished) << ends[i].Message;
    EXPECT_FALSE(ends[i].Exception);
  }
  EXPECT_EQ(ends[3].Index, -1);
  EXPECT_TRUE(ends[3].Finished);
  EXPECT_FALSE(ends[3].Exception);
  EXPECT_LE(most.load(), 1);
  for (int i = 0; i < 3; ++i)
    EXPECT_TRUE(FrameIndicesRun(temp_.File("out" + std::to_string(i) + ".mp4"), 0, 25, 1));

  // Started again, a list of terminated tasks does nothing and reports nothing.
  converter.Start(1);
  std::this_thread::sleep_for(200ms);
  PumpMessages();
  EXPECT_EQ(converter.Terminates().size(), 4u);
}

TEST_F(ControlTest, SynchronousStartRunsEverythingOnTheCallingThread) {
  TRecordingConverter converter;
  std::vector<std::thread::id> threads;
  converter.OnTerminate = [&](int32_t, bool, bool, const std::string&) {
    threads.push_back(std::this_thread::get_id());
  };
  AddSplit(converter, RunMedia().Mp4, temp_.File("a.mp4"), 0, 500);
  AddSplit(converter, RunMedia().Mp4, temp_.File("b.mp4"), 0, 500);
  converter.Start(0);
  ASSERT_EQ(threads.size(), 3u);
  for (auto id : threads) EXPECT_EQ(id, std::this_thread::get_id());
  EXPECT_TRUE(std::filesystem::exists(temp_.File("b.mp4")));
}

TEST_F(ControlTest, StopWithWaitEndsALongRunPromptlyWithAPlayableFile) {
  TRecordingConverter converter;
  converter.SetProgressInterval(100);
  const std::string out = temp_.File("long.mp4");
  AddSplit(converter, RunMedia().Long, out, 0, 0);
  AddSplit(converter, RunMedia().Mp4, temp_.File("never.mp4"), 0, 1000);
  converter.Start(1);
  ASSERT_TRUE(converter.WaitProgress(2, 60s));
  const auto before = std::chrono::steady_clock::now();
  converter.Stop(true);
  const auto took = std::chrono::steady_clock::now() - before;
  EXPECT_LT(took, 5s);
  ASSERT_TRUE(converter.WaitAllDone(10s));
  auto ends = converter.Terminates();
  ASSERT_EQ(ends.size(), 3u);
  EXPECT_EQ(ends[0].Index, 0);
  EXPECT_FALSE(ends[0].Finished);
  EXPECT_FALSE(ends[0].Exception) << ends[0].Message;
  // The task that never started still reports its end, then all done.
  EXPECT_EQ(ends[1].Index, 1);
  EXPECT_FALSE(ends[1].Finished);
  EXPECT_FALSE(ends[1].Exception);
  EXPECT_EQ(ends[2].Index, -1);
  // The stopped output is finished with its trailer: it reads back in full.
  const std::vector<int> indices = DecodedIndices(out);
  ASSERT_GT(indices.size(), 2u);
  EXPECT_LT(indices.size(), 1500u);
  EXPECT_EQ(indices.front(), 0);
  EXPECT_TRUE(FrameIndicesRun(out, 0, static_cast<int>(indices.size())));
}

TEST_F(ControlTest, PauseHoldsProgressUntilResume) {
  TRecordingConverter converter;
  converter.SetProgressInterval(100);
  AddSplit(converter, RunMedia().Long, temp_.File("long.mp4"), 0, 0);
  converter.Start(1);
  ASSERT_TRUE(converter.WaitProgress(2, 60s));
  converter.Pause();
  // A report being delivered when the pause came may still arrive.
  std::this_thread::sleep_for(300ms);
  const size_t held = converter.ProgressCount();
  std::this_thread::sleep_for(1000ms);
  EXPECT_EQ(converter.ProgressCount(), held);
  EXPECT_TRUE(converter.Task(0)->Paused());
  converter.Resume();
  EXPECT_TRUE(converter.WaitProgress(held + 2, 30s));
  // Stop on a paused run lets the worker go first, so it does not hang.
  converter.Pause();
  converter.Stop(true);
  ASSERT_TRUE(converter.WaitAllDone(10s));
  auto ends = converter.Terminates();
  ASSERT_EQ(ends.size(), 2u);
  EXPECT_FALSE(ends[0].Finished);
  EXPECT_FALSE(ends[0].Exception);
}

TEST_F(ControlTest, StopBeforeStartReportsEveryTaskThenAllDone) {
  TRecordingConverter converter;
  AddSplit(converter, RunMedia().Mp4, temp_.File("a.mp4"), 0, 500);
  AddSplit(converter, RunMedia().Mp4, temp_.File("b.mp4"), 0, 500);
  converter.Stop(true);
  auto ends = converter.Terminates();
  ASSERT_EQ(ends.size(), 3u);
  EXPECT_EQ(ends[0].Index, 0);
  EXPECT_EQ(ends[1].Index, 1);
  EXPECT_EQ(ends[2].Index, -1);
  for (int i = 0; i < 2; ++i) {
    EXPECT_FALSE(ends[i].Finished);
    EXPECT_FALSE(ends[i].Exception);
  }
  // Stopping again changes nothing.
  converter.Stop(true);
  EXPECT_EQ(converter.Terminates().size(), 3u);
}

TEST_F(ControlTest, TaskWithoutOutputEndsAtOnceWithTheReason) {
  TRecordingConverter converter;
  ASSERT_EQ(converter.AddTask(RunMedia().Mp4), 0);
  converter.Start(1);
  ASSERT_TRUE(converter.WaitAllDone(10s));
  auto ends = converter.Terminates();
  ASSERT_EQ(ends.size(), 2u);
  EXPECT_FALSE(ends[0].Finished);
  EXPECT_TRUE(ends[0].Exception);
  EXPECT_EQ(ends[0].Message, "At least one output file must be specified");
  EXPECT_EQ(ends[1].Index, -1);
}

// Copies `source` into `path`, then spoils it: cut to `keep` of its size, or
// overwrite a stretch in the middle with noise.
void Spoil(const std::string& source, const std::string& path, double keep, bool noise) {
  std::filesystem::copy_file(source, path, std::filesystem::copy_options::overwrite_existing);
  const auto size = std::filesystem::file_size(path);
  if (keep < 1.0) std::filesystem::resize_file(path, static_cast<uintmax_t>(size * keep));
  if (noise) {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(size / 2));
    uint32_t state = 7;
    for (int i = 0; i < 20000; ++i) {
      state = state * 1664525u + 1013904223u;
      file.put(static_cast<char>(state >> 24));
    }
  }
}

TEST_F(ControlTest, DamagedInputsEndWithAnErrorOrAShorterOutput) {
  // A program stream can be cut anywhere and still be read up to the cut.
  const std::string ps = MakeFixture(temp_, "mpeg-mpeg2-mp2", "in.mpg",
                                     [](auto& r) { r.Seconds = 4.0; });
  const std::string truncated = temp_.File("truncated.mpg");
  const std::string noisy = temp_.File("noisy.mpg");
  const std::string noisy_mp4 = temp_.File("noisy.mp4");
  Spoil(ps, truncated, 0.5, false);
  Spoil(ps, noisy, 1.0, true);
  Spoil(RunMedia().Mp4, noisy_mp4, 1.0, true);

  for (const std::string& input : {truncated, noisy, noisy_mp4}) {
    SCOPED_TRACE(input);
    TRecordingConverter converter;
    const std::string out = temp_.File("out.mp4");
    std::filesystem::remove(out);
    int index = converter.AddTask(input);
    if (index < 0) {
      EXPECT_FALSE(converter.LastError().empty());
      continue;
    }
    TOutputOptions options = SplitOptions(0, 0);
    ASSERT_TRUE(converter.SetOutput(index, out, &options)) << converter.LastError();
    converter.Start(1);
    ASSERT_TRUE(converter.WaitAllDone(60s)) << "the run did not end";
    auto ends = converter.Terminates();
    ASSERT_EQ(ends.size(), 2u);
    if (ends[0].Exception) {
      EXPECT_FALSE(ends[0].Message.empty());
    } else {
      EXPECT_TRUE(ends[0].Finished);
      const size_t pictures = DecodedIndices(out).size();
      EXPECT_GT(pictures, 0u);
      // The truncated stream gives about its first half.
      if (input == truncated) {
        EXPECT_LT(pictures, 100u);
      }
    }
  }
}

TEST_F(ControlTest, UnwritableOutputFailsWithAClearMessage) {
  TRecordingConverter converter;
  ASSERT_EQ(converter.AddTask(RunMedia().Mp4), 0);
  TOutputOptions options = SplitOptions(0, 1000);
  const std::string out = temp_.File("no-such-folder/out.mp4");
  if (converter.SetOutput(0, out, &options)) {
    converter.Start(0);
    auto ends = converter.Terminates();
    ASSERT_FALSE(ends.empty());
    EXPECT_TRUE(ends[0].Exception);
    EXPECT_NE(ends[0].Message.find("out.mp4"), std::string::npos) << ends[0].Message;
  } else {
    EXPECT_NE(converter.LastError().find("out.mp4"), std::string::npos) << converter.LastError();
    converter.Start(0);
    auto ends = converter.Terminates();
    ASSERT_EQ(ends.size(), 2u);
    EXPECT_TRUE(ends[0].Exception);
    EXPECT_EQ(ends[0].Message, "At least one output file must be specified");
  }
}

}  // namespace
}  // namespace kelvane::test
