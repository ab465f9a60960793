// The check after every finished split: a cut on or between frame times of
// any usual source container is found to match its source, a file cut one
// frame late is found one frame off, and a failed split leaves the output
// folder as it was while a stopped one keeps its file under the final name;
// stopping the check, and the leftovers of splits killed outright.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>

#include "app/MainWindowModel.h"
#include "app/OutputName.h"
#include "binding/FileUtils.h"
#include "binding/MainThread.h"
#include "engine/SplitCheck.h"
#include "tests/app/RecordingSink.h"
#include "tests/common/MediaAssertions.h"

namespace kelvane::test {
namespace {

using namespace std::chrono_literals;

struct TSource {
  const char* Preset;
  const char* File;
};

class TSplitCheckTest : public TMediaTest {
 protected:
  void SetUp() override {
    TMediaTest::SetUp();
    model_.FormCreate(KELVANE_BINARY_DIR);
  }

  std::string Source(const TSource& source, double seconds = 4) {
    return MakeFixture(temp_, source.Preset, source.File,
                       [seconds](fixtures::TFixtureRecipe& r) { r.Seconds = seconds; });
  }

  // The job of a split of `input` between the marks into an MP4 in out_.
  TSplitJob Job(const std::string& input, const std::string& start, const std::string& end) {
    EXPECT_TRUE(model_.AddVideoFile(input));
    model_.ComboOutputFormat.Select(model_.ComboOutputFormat.IndexOf("MP4 - MPEG4 Video (*.mp4)"));
    model_.ComboOutputFormatChange();
    TSplitJob job = model_.MakeSplitJob();
    job.StartMark = start;
    job.EndMark = end;
    job.OutputFolder = out_.Path().string();
    return job;
  }

  // Runs the split to its end; the end report.
  TSplitEnd Split(const std::string& input, const std::string& start, const std::string& end) {
    const TSplitJob job = Job(input, start, end);
    std::string message;
    TSplitSession& session = model_.Session();
    EXPECT_TRUE(session.Start(job, message)) << message;
    EXPECT_TRUE(session.WaitForEnd(120s));
    return session.LastEnd() ? *session.LastEnd() : TSplitEnd{};
  }

  std::vector<std::string> Folder() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(out_.Path())) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  TRecordingSink sink_;
  TMainWindowModel model_{sink_};
  TTempDir out_;
};

class TSourceCheckTest : public TSplitCheckTest, public testing::WithParamInterface<TSource> {};

TEST_P(TSourceCheckTest, CutsOnAndBetweenFrameTimesMatchTheirSource) {
  const std::string input = Source(GetParam());
  for (const auto& [start, end] : {std::pair{"1.00", "3.00"}, std::pair{"1.01", "2.53"}}) {
    const TSplitEnd ending = Split(input, start, end);
    ASSERT_EQ(ending.Outcome, TSplitOutcome::Finished) << ending.Reason;
    ASSERT_TRUE(ending.Check.has_value());
    const TSplitCheck& check = *ending.Check;
    EXPECT_TRUE(check.Matched()) << start << ": " << check.Summary();
    EXPECT_EQ(check.PictureText(), "matched") << start;
    EXPECT_EQ(check.Frames, start == std::string("1.00") ? 50 : 38) << start;
    EXPECT_EQ(check.DurationErrorFrames(), 0) << start;
    EXPECT_TRUE(check.HasAudio);
    EXPECT_LT(check.CheckMs, 5000);
  }
}

INSTANTIATE_TEST_SUITE_P(Containers, TSourceCheckTest,
                         testing::Values(TSource{"mp4-h264-aac", "in.mp4"},
                                         TSource{"avi-mpeg4-mp3", "in.avi"},
                                         TSource{"ts-h264-aac", "in.ts"},
                                         TSource{"mpeg-mpeg2-mp2", "in.mpg"},
                                         TSource{"mkv-h264-vorbis", "in.mkv"}),
                         [](const auto& info) {
                           const std::string file = info.param.File;
                           return file.substr(file.find('.') + 1);
                         });

TEST_F(TSplitCheckTest, AFileCutOneFrameLateIsOneFrameOff) {
  const std::string input = Source({"mp4-h264-aac", "in.mp4"});
  const TSplitEnd late = Split(input, "1.04", "3.00");
  ASSERT_EQ(late.Outcome, TSplitOutcome::Finished) << late.Reason;
  TSplitCheckRequest request;
  request.SourceFile = input;
  request.OutputFile = late.OutputPath;
  request.StartUs = 1000000;
  request.EndUs = 3000000;
  const TSplitCheck check = CheckSplit(request);
  EXPECT_TRUE(check.Done) << check.Problem;
  EXPECT_EQ(check.PictureText(), "off by 1 frame");
  EXPECT_EQ(check.DurationErrorFrames(), -1);
  EXPECT_FALSE(check.Matched());
  EXPECT_NE(check.Summary().find("off by 1 frame; 49 frames of 50 (-1)"), std::string::npos)
      << check.Summary();
  // The warning names only what did not match.
  EXPECT_EQ(check.StatusText().rfind("Warning: the new file does not match its source: first "
                                     "picture off by 1 frame; sound -40 ms at the end", 0), 0u)
      << check.StatusText();
  EXPECT_EQ(check.StatusText().find("matched"), std::string::npos) << check.StatusText();
}

// A file whose sound is 40 ms behind its pictures, checked against the same
// clip in step. (Its sound's priming now plays, from 17 ms on: the edit list
// that hid it starts at 0.)
TEST_F(TSplitCheckTest, SoundOutOfStepIsNoMatch) {
  const std::string input = Source({"mp4-h264-aac", "in.mp4"}, 2);
  const std::string shifted =
      MakeFixture(temp_, "mp4-h264-aac", "shifted.mp4", [](fixtures::TFixtureRecipe& r) {
        r.Seconds = 2;
        r.AudioShiftSeconds = 0.04;
      });
  TSplitCheckRequest request;
  request.SourceFile = input;
  request.OutputFile = shifted;
  const TSplitCheck check = CheckSplit(request);
  EXPECT_TRUE(check.Done) << check.Problem;
  EXPECT_EQ(check.PictureText(), "matched");
  EXPECT_GT(check.AudioStartMs, 5) << check.Summary();
  EXPECT_FALSE(check.Matched()) << check.Summary();
}

TEST_F(TSplitCheckTest, AFailedSplitLeavesTheFolderAsItWas) {
  const std::string input = Source({"avi-mpeg4-mp3", "in.avi"});
  // Damaged: the second half of the file is gone, though its header still
  // promises all of it; nothing lies where the marks are.
  std::filesystem::resize_file(input, std::filesystem::file_size(input) / 2);
  const TSplitEnd damaged = Split(input, "3.00", "4.00");
  EXPECT_EQ(damaged.Outcome, TSplitOutcome::Failed);
  EXPECT_NE(damaged.Reason.find("Nothing was written"), std::string::npos) << damaged.Reason;
  EXPECT_EQ(Folder(), std::vector<std::string>{});

  // A full disk: writing stops with an error after 20 kB.
  const std::string whole = Source({"mp4-h264-aac", "whole.mp4"});
  struct rlimit saved {};
  getrlimit(RLIMIT_FSIZE, &saved);
  struct rlimit small = saved;
  small.rlim_cur = 20000;
  auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  setrlimit(RLIMIT_FSIZE, &small);
  const TSplitEnd full = Split(whole, "0.00", "4.00");
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, old_handler);
  EXPECT_EQ(full.Outcome, TSplitOutcome::Failed);
  EXPECT_NE(full.Reason.find("write"), std::string::npos) << full.Reason;
  EXPECT_EQ(Folder(), std::vector<std::string>{});
}

TEST_F(TSplitCheckTest, AStoppedSplitKeepsItsFileUnderTheFinalName) {
  const std::string input = Source({"mp4-h264-aac", "in.mp4"}, 30);
  const TSplitJob job = Job(input, "0.00", "0.00");
  std::string message;
  TSplitSession& session = model_.Session();
  ASSERT_TRUE(session.Start(job, message)) << message;
  WaitOnMainThread([&] { return session.ProgressCount() > 0; }, 60s);
  session.Stop();
  ASSERT_TRUE(session.WaitForEnd(60s));
  EXPECT_EQ(session.LastEnd()->Outcome, TSplitOutcome::Stopped);
  EXPECT_FALSE(session.LastEnd()->Check.has_value());
  EXPECT_EQ(Folder(), std::vector<std::string>{"in.mp4"});
  EXPECT_EQ(session.LastEnd()->OutputPath, out_.File("in.mp4"));
}

// Ctrl-C or Stop during the check after a finished split ends the split at
// once, the file kept under its name and reported unchecked; a check asked to
// stop before it reads anything says so.
TEST_F(TSplitCheckTest, StoppingDuringTheCheckKeepsTheFileUnchecked) {
  const std::string input = Source({"mp4-h264-aac", "in.mp4"});
  TSplitSession& session = model_.Session();
  bool caught = false;
  for (int attempt = 0; attempt < 3 && !caught; ++attempt) {
    std::string message;
    ASSERT_TRUE(session.Start(Job(input, "0.00", "3.00"), message)) << message;
    WaitOnMainThread([&] { return session.Checking() || !session.Running(); }, 120s);
    caught = session.Checking();
    if (caught) session.Stop();
    // Ended at once when caught; otherwise the check was quicker than we were.
    ASSERT_TRUE(session.WaitForEnd(60s));
  }
  ASSERT_TRUE(caught);
  const TSplitEnd& end = *session.LastEnd();
  EXPECT_EQ(end.Outcome, TSplitOutcome::Finished);
  ASSERT_TRUE(end.Check.has_value());
  EXPECT_FALSE(end.Check->Done);
  EXPECT_EQ(end.Check->Problem, kCheckStopped);
  EXPECT_EQ(end.Check->StatusText(), "Warning: the new file could not be checked: the check was "
                                     "stopped");
  EXPECT_EQ(Folder(), std::vector<std::string>{"in.mp4"});

  std::atomic<bool> stop{true};
  TSplitCheckRequest request;
  request.SourceFile = input;
  request.OutputFile = end.OutputPath;
  request.Stop = &stop;
  const TSplitCheck stopped = CheckSplit(request);
  EXPECT_FALSE(stopped.Done);
  EXPECT_EQ(stopped.Problem, kCheckStopped);
}

// A split killed outright leaves its hidden file; the next split into that
// folder removes such files of processes gone from this machine, and nothing
// else.
TEST_F(TSplitCheckTest, TheNextSplitRemovesLeftoversOfKilledSplits) {
  const std::string own = ExtractFileName(TemporaryOutputName(out_.File("clip.mp4")));
  const std::string machine = own.substr(own.find('@') + 1, own.size() - own.find('@') - 5);
  const pid_t gone = fork();
  if (gone == 0) _exit(0);
  waitpid(gone, nullptr, 0);
  const std::string dead = std::to_string(gone), alive = std::to_string(getpid());
  const std::vector<std::string> leftovers = {".old.part-" + dead + "@" + machine + ".mp4",
                                              ".old.part-" + dead + "@" + machine + "-2.mkv",
                                              ".raw.part-" + dead + "@" + machine};
  const std::vector<std::string> kept = {
      ".live.part-" + alive + "@" + machine + ".mp4",    // its process runs
      ".far.part-" + dead + "@another_pc.mp4",          // another machine's
      ".old.part-" + dead + ".mp4",                     // not our form
      "old.part-" + dead + "@" + machine + ".mp4",      // not hidden
      ".old.part-" + dead + "@" + machine + ".mp4.bak",  // another program's copy
      ".old.part-x" + dead + "@" + machine + ".mp4",
  };
  for (const auto& names : {leftovers, kept}) {
    for (const std::string& name : names) std::ofstream(out_.File(name)) << "unfinished";
  }
  std::filesystem::create_directory(out_.File(".dir.part-" + dead + "@" + machine));

  const TSplitEnd ending = Split(Source({"mp4-h264-aac", "in.mp4"}), "0.00", "1.00");
  ASSERT_EQ(ending.Outcome, TSplitOutcome::Finished) << ending.Reason;
  std::vector<std::string> expected = kept;
  expected.push_back(".dir.part-" + dead + "@" + machine);
  expected.push_back("in.mp4");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(Folder(), expected);
  EXPECT_TRUE(RemoveLeftoverOutputs(out_.Path().string()).empty());
}

}  // namespace
}  // namespace kelvane::test
