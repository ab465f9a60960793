// kelvane-split run as a user runs it: a separate process, its exit status and
// what it prints, and the file it leaves.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "tests/common/TestSupport.h"
#include "tools/fixtures/FixtureGenerator.h"
#include "tools/fixtures/MediaFacts.h"

namespace kelvane {
namespace {

struct TRun {
  int status = -1;
  std::string out;
  std::string err;
};

std::string ReadAll(const std::string& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

class SplitCommandTest : public test::TMediaTest {
 protected:
  pid_t Spawn(const std::vector<std::string>& args) {
    pid_t pid = fork();
    if (pid == 0) {
      int out = open(temp_.File("stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int err = open(temp_.File("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(out, 1);
      dup2(err, 2);
      std::vector<char*> argv;
      std::string exe = KELVANE_SPLIT_EXE;
      argv.push_back(exe.data());
      std::vector<std::string> copy = args;
      for (std::string& arg : copy) argv.push_back(arg.data());
      argv.push_back(nullptr);
      execv(exe.c_str(), argv.data());
      _exit(127);
    }
    return pid;
  }

  TRun Finish(pid_t pid) {
    TRun run;
    int status = 0;
    waitpid(pid, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.out = ReadAll(temp_.File("stdout"));
    run.err = ReadAll(temp_.File("stderr"));
    return run;
  }

  TRun Run(const std::vector<std::string>& args) { return Finish(Spawn(args)); }

  std::string MakeClip(const std::string& preset, double seconds, const std::string& name) {
    fixtures::TFixtureRecipe recipe;
    EXPECT_TRUE(fixtures::FixturePreset(preset, recipe));
    recipe.Seconds = seconds;
    std::string path = temp_.File(name);
    std::string error;
    EXPECT_TRUE(fixtures::GenerateFixture(recipe, path, &error)) << error;
    return path;
  }
};

TEST_F(SplitCommandTest, BadInputIsRefusedWithAReason) {
  TRun missing = Run({temp_.File("nothing.mp4")});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("nothing.mp4: no such file"), std::string::npos) << missing.err;

  std::ofstream(temp_.File("notes.txt")) << "not a film\n";
  TRun text = Run({temp_.File("notes.txt")});
  EXPECT_EQ(text.status, 1);
  EXPECT_NE(text.err.find("notes.txt"), std::string::npos) << text.err;

  // Sound only goes to an audio-only format; the message names them.
  const std::string audio = MakeClip("m4a-aac", 4.0, "song.m4a");
  TRun audio_only = Run({audio});
  EXPECT_EQ(audio_only.status, 2);
  EXPECT_NE(audio_only.err.find("song.m4a has no pictures; name an audio-only format with "
                                "--format:\n  MP3 Audio (*.mp3)\n  AAC Audio (*.m4a)"),
            std::string::npos)
      << audio_only.err;
  EXPECT_NE(audio_only.err.find("\n  BlackBerry AMR Audio (*.amr)"), std::string::npos);
  TRun amr = Run({"--json", "--format", "BlackBerry AMR Audio (*.amr)", "--start", "1",
                  "--duration", "2", audio});
  EXPECT_EQ(amr.status, 0) << amr.out << amr.err;
  EXPECT_NE(amr.out.find("\"streams\":\"audio: amr_nb 8000 Hz 1 ch\",\"check\":{\"matched\":true,"
                         "\"picture\":\"no pictures\""),
            std::string::npos)
      << amr.out;
  // Today's sound-only formats take it as it is: Opus at its own 48000 Hz.
  TRun opus = Run({"--json", "--format", "Opus Audio (*.opus)", "--start", "1", "--duration", "2",
                   audio});
  EXPECT_EQ(opus.status, 0) << opus.out << opus.err;
  EXPECT_NE(opus.out.find("{\"event\":\"plan\",\"text\":\"Opus 128 Kbps\"}"), std::string::npos)
      << opus.out;
  EXPECT_NE(opus.out.find("\"streams\":\"audio: opus 48000 Hz 2 ch\",\"check\":{\"matched\":true,"),
            std::string::npos)
      << opus.out;
}

// The format list with today's formats first, and the lists of one of them.
TEST_F(SplitCommandTest, ListsShowTodaysFormats) {
  TRun formats = Run({"--list-formats"});
  ASSERT_EQ(formats.status, 0) << formats.err;
  EXPECT_EQ(formats.out.rfind("            ----- Today's Formats -----\n     \n"
                              "Same as Source - Lossless (*.*)\n"
                              "H.264 MP4 - Plays Everywhere (*.mp4)\n",
                              0),
            0u)
      << formats.out;
  EXPECT_LT(formats.out.find("Animated GIF (*.gif)\n     \n"),
            formats.out.find("            ----- General Video Formats -----"));
  TRun sizes = Run({"--format", "AV1 MKV - Smallest Files (*.mkv)", "--list-entries", "size"});
  ASSERT_EQ(sizes.status, 0) << sizes.err;
  EXPECT_EQ(sizes.out,
            "Original Size\n3840x2160\n2560x1440\n1920x1080\n1280x720\n854x480\n640x360\n");
  TRun rates = Run({"--format", "VP9 WebM - For the Web (*.webm)", "--list-entries",
                    "video-bitrate"});
  EXPECT_EQ(rates.out.rfind("Auto (quality)\n500 Kbps\n", 0), 0u) << rates.out;
}

TEST_F(SplitCommandTest, CommandLineMistakesExitWithTwo) {
  const std::string clip = MakeClip("mp4-h264-aac", 1.0, "clip.mp4");
  TRun reversed = Run({"--start", "0.80", "--end", "0.20", clip});
  EXPECT_EQ(reversed.status, 2);
  EXPECT_NE(reversed.err.find("The end time is smaller than the start time!"), std::string::npos);

  TRun format = Run({"--format", "Betamax", clip});
  EXPECT_EQ(format.status, 2);
  EXPECT_NE(format.err.find("unknown format 'Betamax'; valid formats:"), std::string::npos);
  EXPECT_NE(format.err.find("MP4 - MPEG4 Video (*.mp4)"), std::string::npos);

  TRun codec = Run({"--format", "MP4 - MPEG4 Video (*.mp4)", "--video-codec", "vp9", clip});
  EXPECT_EQ(codec.status, 2);
  EXPECT_NE(codec.err.find("unknown video codec 'vp9'; valid entries:\n  mpeg4\n  h264"),
            std::string::npos) << codec.err;

  TRun volume = Run({"--volume", "300", clip});
  EXPECT_EQ(volume.status, 2);

  for (const char* bad : {"1:75", "-3", "1e3"}) {
    TRun mark = Run({"--start", bad, clip});
    EXPECT_EQ(mark.status, 2) << bad;
    EXPECT_NE(mark.err.find("the start must be seconds (83.46), minutes and seconds (1:23.46) or "
                            "hours, minutes and seconds (0:01:23.46), not '" +
                            std::string(bad) + "'"),
              std::string::npos)
        << mark.err;
  }

  TRun folder = Run({"--output-dir", temp_.File("gone"), clip});
  EXPECT_EQ(folder.status, 1);
  EXPECT_NE(folder.err.find("does not exist or has been deleted!"), std::string::npos)
      << folder.err;
}

TEST_F(SplitCommandTest, JsonRunReportsProgressAndTheWrittenFile) {
  const std::string clip = MakeClip("mp4-h264-aac", 4.0, "clip.mp4");
  std::filesystem::create_directory(temp_.File("out"));
  TRun run = Run({"--json", "--start", "1", "--end", "3", "--format", "MP4 - MPEG4 Video (*.mp4)",
                  "--output-dir", temp_.File("out"), clip});
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("{\"event\":\"plan\",\"text\":\"MPEG-4 "), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("{\"event\":\"start\""), std::string::npos);
  EXPECT_NE(run.out.find("\"event\":\"result\",\"outcome\":\"finished\""), std::string::npos)
      << run.out;
  // The check of the new file, in the fields the README names.
  EXPECT_NE(run.out.find("\"check\":{\"matched\":true,\"picture\":\"matched\",\"frame_offset\":0,"
                         "\"frames\":50,\"expected_frames\":50,\"duration_error_frames\":0,"
                         "\"audio_start_ms\":"),
            std::string::npos)
      << run.out;
  const std::string output = temp_.File("out/clip.mp4");
  EXPECT_NE(run.out.find("\"output\":\"" + output + "\""), std::string::npos) << run.out;
  fixtures::TMediaFacts facts;
  ASSERT_TRUE(fixtures::ReadMediaFacts(output, facts));
  EXPECT_EQ(facts.CountOf(AVMEDIA_TYPE_VIDEO), 1);
  EXPECT_EQ(facts.CountOf(AVMEDIA_TYPE_AUDIO), 1);
  EXPECT_NEAR(facts.DurationUs / 1e6, 2.0, 0.1);
}

// "Same as Source" named like any format: a smart copy in the source's own
// codecs and container, the marks on key frames copying everything.
TEST_F(SplitCommandTest, SameAsSourceCopiesLikeSmartCopy) {
  const std::string clip = MakeClip("mp4-h264-aac", 4.0, "clip.mp4");
  std::filesystem::create_directory(temp_.File("out"));
  TRun run = Run({"--json", "--start", "1", "--end", "3", "--format",
                  "Same as Source - Lossless (*.*)", "--output-dir", temp_.File("out"), clip});
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("{\"event\":\"plan\",\"text\":\"lossless copy\"}"), std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("\"method\":\"copy\",\"method_reason\":\"\",\"copied_pictures\":50,"),
            std::string::npos)
      << run.out;
  // The check proves the copy: every copied picture is the source's packet.
  EXPECT_NE(run.out.find("\"check\":{\"matched\":true,"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find(",\"copied_pictures\":50,\"identical_pictures\":50}"), std::string::npos)
      << run.out;
  fixtures::TMediaFacts facts;
  ASSERT_TRUE(fixtures::ReadMediaFacts(temp_.File("out/clip.mp4"), facts));
  EXPECT_EQ(facts.FirstOf(AVMEDIA_TYPE_VIDEO)->CodecName, "h264");
  EXPECT_EQ(facts.FirstOf(AVMEDIA_TYPE_AUDIO)->CodecName, "aac");

  // Subtitles come along, cut to the segment: of a 1.3 s to 3.1 s cut, the
  // cue of 1 s still showing at the start and those at 2 s and 3 s.
  fixtures::TFixtureRecipe recipe;
  ASSERT_TRUE(fixtures::FixturePreset("mkv-h264-vorbis", recipe));
  recipe.Seconds = 4.0;
  recipe.Subtitles = true;
  const std::string titled = temp_.File("titled.mkv");
  std::string error;
  ASSERT_TRUE(fixtures::GenerateFixture(recipe, titled, &error)) << error;
  run = Run({"--start", "1.3", "--end", "3.1", "--format", "Same as Source - Lossless (*.*)",
             "--output-dir", temp_.File("out"), titled});
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  ASSERT_TRUE(fixtures::ReadMediaFacts(temp_.File("out/titled.mkv"), facts));
  const fixtures::TStreamFacts* subtitles = facts.FirstOf(AVMEDIA_TYPE_SUBTITLE);
  ASSERT_NE(subtitles, nullptr);
  EXPECT_EQ(subtitles->CodecName, "subrip");
  EXPECT_EQ(subtitles->PacketCount, 3);
  // The last cue ends with the cut: the file lasts as long as its pictures.
  EXPECT_NEAR(facts.DurationUs / 1e6, 1.8, 0.05);
}

// Several segments: one file and one result each with --json, the progress
// naming the segment; joined into one file; lists it cannot split refused
// with the segment or the line at fault.
TEST_F(SplitCommandTest, SegmentsAsFilesAndJoined) {
  const std::string clip = MakeClip("mp4-h264-aac", 3.0, "clip.mp4");
  std::filesystem::create_directory(temp_.File("out"));
  TRun files = Run({"--json", "--segment", "0.2,0.8,Intro", "--segment", "1:02.5,1:03", "--output-dir",
                    temp_.File("out"), clip});
  EXPECT_EQ(files.status, 2);
  EXPECT_NE(files.err.find("Segment 2 starts at 0:01:02.500, past the end of the file"),
            std::string::npos) << files.err;

  files = Run({"--json", "--segment", "0.2,0.8,Intro", "--segment", "1.2,2", "--output-dir",
               temp_.File("out"), clip});
  ASSERT_EQ(files.status, 0) << files.out << files.err;
  EXPECT_NE(files.out.find("\"segment\":2,\"segments\":2}"), std::string::npos) << files.out;
  for (const char* name : {"clip - Intro.mp4", "clip - segment 2.mp4"}) {
    EXPECT_NE(files.out.find("\"output\":\"" + temp_.File(std::string("out/") + name) + "\""),
              std::string::npos) << name << files.out;
  }
  EXPECT_NE(files.out.find("{\"event\":\"result\",\"segment\":2,\"segments\":2,\"outcome\":"
                           "\"finished\""),
            std::string::npos) << files.out;

  std::ofstream(temp_.File("list.csv")) << "start,end,label\n0.2,0.8,A\n1.2,2,B\n";
  TRun joined = Run({"--segments", temp_.File("list.csv"), "--join", "--output-dir",
                     temp_.File("out"), clip});
  ASSERT_EQ(joined.status, 0) << joined.out << joined.err;
  EXPECT_NE(joined.out.find("check:    2 segments: pictures matched at every join; 35 frames of 35"),
            std::string::npos) << joined.out;
  fixtures::TMediaFacts facts;
  ASSERT_TRUE(fixtures::ReadMediaFacts(temp_.File("out/clip - joined.mp4"), facts));
  EXPECT_NEAR(facts.DurationUs / 1e6, 1.4, 0.05);

  std::ofstream(temp_.File("bad.csv")) << "0.2,0.8\n\n1.2;2\n";
  TRun bad = Run({"--segments", temp_.File("bad.csv"), clip});
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("bad.csv: Line 3: \"1.2;2\" is not \"start,end\""), std::string::npos)
      << bad.err;
  TRun overlap = Run({"--segment", "0.2,1", "--segment", "0.5,2", clip});
  EXPECT_EQ(overlap.status, 2);
  EXPECT_NE(overlap.err.find("Segment 2 (0:00:00.500 to 0:00:02.000) overlaps segment 1"),
            std::string::npos) << overlap.err;
  TRun mixed = Run({"--segment", "0.2,1", "--start", "1", clip});
  EXPECT_EQ(mixed.status, 2);
  TRun lonely = Run({"--join", clip});
  EXPECT_EQ(lonely.status, 2);

  // Joined in the source's own format (a transport stream here, which
  // carries the parameter sets in the stream): the result says what was
  // copied and what encoded, and the check proves the copies at every join.
  const std::string ts = MakeClip("ts-h264-aac", 3.0, "clip.ts");
  TRun lossless = Run({"--json", "--segment", "0.3,1.1", "--segment", "1.5,2.6", "--join",
                       "--format", "Same as Source - Lossless (*.*)", "--output-dir",
                       temp_.File("out"), ts});
  ASSERT_EQ(lossless.status, 0) << lossless.out << lossless.err;
  EXPECT_NE(lossless.out.find("\"output\":\"" + temp_.File("out/clip - joined.ts") + "\""),
            std::string::npos) << lossless.out;
  EXPECT_NE(lossless.out.find("\"method\":\"smart\""), std::string::npos) << lossless.out;
  EXPECT_NE(lossless.out.find("\"check\":{\"matched\":true,"), std::string::npos)
      << lossless.out;
}

// Segments that begin and end on key frames, the second one's start between
// two pictures, joined: the file's second part begins that much after the
// join, and its sound still plays with its pictures; the check agrees.
TEST_F(SplitCommandTest, SegmentsOnKeyFramesJoined) {
  fixtures::TFixtureRecipe recipe;
  ASSERT_TRUE(fixtures::FixturePreset("mp4-ticks", recipe));
  recipe.Seconds = 4;
  recipe.GopSize = 25;        // key frames at 0, 1, 2 and 3 s
  recipe.TickFirstFrame = 3;  // marks at pictures 33 and 43; 63, 73 and 83
  recipe.TickEveryFrames = 10;
  std::string error;
  ASSERT_TRUE(fixtures::GenerateFixture(recipe, temp_.File("ticks.mp4"), &error)) << error;
  std::filesystem::create_directory(temp_.File("out"));
  TRun joined = Run({"--segment", "1,2", "--segment", "2.5,3.5", "--join", "--output-dir",
                     temp_.File("out"), temp_.File("ticks.mp4")});
  ASSERT_EQ(joined.status, 0) << joined.out << joined.err;
  EXPECT_NE(joined.out.find("check:    2 segments: pictures matched at every join; 50 frames of "
                            "50; sound within 5 ms at every join"),
            std::string::npos) << joined.out;
  const std::string file = temp_.File("out/ticks - joined.mp4");
  std::vector<int64_t> onsets;
  std::vector<fixtures::TDecodedFrame> pictures;
  ASSERT_TRUE(fixtures::DecodeSoundMarks(file, onsets, &error)) << error;
  ASSERT_TRUE(fixtures::DecodeVideoFrames(file, pictures, &error)) << error;
  std::vector<int64_t> marked;
  for (const fixtures::TDecodedFrame& picture : pictures) {
    if (picture.Index % 10 == 3) marked.push_back(picture.PtsUs);
  }
  ASSERT_EQ(onsets.size(), 5u);
  ASSERT_EQ(marked.size(), 5u);
  for (size_t i = 0; i < 5; ++i) EXPECT_NEAR(onsets[i], marked[i], 5000) << i;
}

// Minutes and seconds, a length instead of an end, and an end past the end of
// the file (cut there, with a notice, and the display reaches 100%).
TEST_F(SplitCommandTest, MarksAsPeopleWriteThem) {
  const std::string clip = MakeClip("mp4-h264-aac", 4.0, "clip.mp4");
  std::filesystem::create_directory(temp_.File("out"));
  struct {
    std::vector<std::string> marks;
    double seconds;
  } const cases[] = {{{"--start", "0:01", "--end", "0:00:03.00"}, 2.0},
                     {{"--start", "1.5", "--duration", "0:02"}, 2.0},
                     {{"--start", "1", "--end", "9"}, 3.0}};
  for (const auto& c : cases) {
    std::vector<std::string> args = {"--json", "--overwrite", "--output-dir", temp_.File("out")};
    args.insert(args.end(), c.marks.begin(), c.marks.end());
    args.push_back(clip);
    TRun run = Run(args);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    fixtures::TMediaFacts facts;
    ASSERT_TRUE(fixtures::ReadMediaFacts(temp_.File("out/clip.mp4"), facts));
    EXPECT_NEAR(facts.DurationUs / 1e6, c.seconds, 0.05) << c.marks[1];
    EXPECT_NE(run.out.find("\"percent\":100,"), std::string::npos) << run.out;
  }
  TRun past = Run({"--start", "1", "--end", "9", "--overwrite", clip});
  EXPECT_NE(past.err.find("The end 9.00 lies past the end of the file; the split ends at its "
                          "end, 4.00."),
            std::string::npos)
      << past.err;
  // What the file will be, in the default format, before the split starts.
  EXPECT_LT(past.err.find("Output: H.264 320x240 25 fps, quality 22, AAC 160 Kbps\n"),
            past.err.find("Splitting "))
      << past.err;
}

// Ctrl-Z pauses the split and stops the process until it is continued; Ctrl-C
// then stops the split, and the file written so far is finished.
TEST_F(SplitCommandTest, CtrlZPausesCtrlCStopsAndLeavesAFinishedFile) {
  const std::string clip = MakeClip("mp4-h264-aac", 60.0, "long.mp4");
  std::filesystem::create_directory(temp_.File("out"));
  pid_t pid = Spawn({"--json", "--format", "MP4 - MPEG4 Video (*.mp4)", "--video-bitrate", "2500",
                     "--output-dir", temp_.File("out"), clip});
  // Interrupt once the first progress report is out.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  int status = 0;
  bool exited = false;
  while (ReadAll(temp_.File("stdout")).find("\"event\":\"progress\"") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    if (waitpid(pid, &status, WNOHANG) == pid) {
      exited = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_FALSE(exited) << ReadAll(temp_.File("stdout")) << ReadAll(temp_.File("stderr"));
  kill(pid, SIGTSTP);
  // Stopped once the split is paused; a process group without a terminal
  // (an orphaned one) is not stopped by the system, and goes on at once.
  bool resumed = false;
  while (!resumed && std::chrono::steady_clock::now() < deadline) {
    resumed = ReadAll(temp_.File("stdout")).find("\"event\":\"resumed\"") != std::string::npos;
    if (waitpid(pid, &status, WNOHANG | WUNTRACED) == pid) {
      ASSERT_TRUE(WIFSTOPPED(status)) << ReadAll(temp_.File("stdout"));
      kill(pid, SIGCONT);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const std::string paused = ReadAll(temp_.File("stdout"));
  ASSERT_NE(paused.find("{\"event\":\"paused\"}\n{\"event\":\"resumed\"}"), std::string::npos)
      << paused;
  kill(pid, SIGINT);
  TRun run = Finish(pid);
  EXPECT_EQ(run.status, 130) << run.out << run.err;
  EXPECT_NE(run.out.find("\"outcome\":\"stopped\""), std::string::npos) << run.out;
  fixtures::TMediaFacts facts;
  std::string error;
  ASSERT_TRUE(fixtures::ReadMediaFacts(temp_.File("out/long.mp4"), facts, &error)) << error;
  EXPECT_GT(facts.DurationUs, 0);
  EXPECT_LT(facts.DurationUs, 60000000);
}

// Ctrl-C during the check of a finished split stops the check: the file keeps
// its name and the split counts as written, unchecked. The check takes a
// fraction of a second, so Ctrl-C goes the moment the file has its name, and
// a check that was quicker than that is tried again.
TEST_F(SplitCommandTest, CtrlCDuringTheCheckStopsTheCheck) {
  const std::string clip = MakeClip("mp4-h264-aac", 30.0, "clip.mp4");
  std::filesystem::create_directory(temp_.File("out"));
  const std::string output = temp_.File("out/clip.mp4");
  TRun run;
  for (int attempt = 0; attempt < 3; ++attempt) {
    std::filesystem::remove(output);
    pid_t pid = Spawn({"--json", "--output-dir", temp_.File("out"), clip});
    int status = 0;
    while (!std::filesystem::exists(output) && waitpid(pid, &status, WNOHANG) == 0) {
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    kill(pid, SIGINT);
    run = Finish(pid);
    if (run.out.find("\"problem\":\"the check was stopped\"") != std::string::npos) break;
  }
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("Stopping the check: the new file is kept as it is, unchecked."),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("\"outcome\":\"finished\""), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("\"problem\":\"the check was stopped\""), std::string::npos) << run.out;
  fixtures::TMediaFacts facts;
  ASSERT_TRUE(fixtures::ReadMediaFacts(output, facts));
  EXPECT_NEAR(facts.DurationUs / 1e6, 30.0, 0.1);
}

}  // namespace
}  // namespace kelvane
