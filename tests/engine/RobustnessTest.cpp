// Damaged inputs and hostile output places: a split through the component
// never crashes, never hangs, never touches its input, and ends either with a
// clear error or with a readable output no longer than the input.
//
// How each input is damaged, and what the user must see: tests/common/DamagedMedia.h
// (a refused input is an error at AddTask).
//
// The clean sources are 2 s clips at 160x120 in nine containers (kSources).
// Each damaged input is converted whole into one output format (MP4, AVI,
// MPEG-PS, FLV in turn), cut from 0.5 s to 1.5 s into the next, and copied
// without re-encoding into Matroska. A run that does not end is caught by a
// watchdog, which aborts the program and so fails the test.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "tests/common/DamagedMedia.h"
#include "tests/common/Watchdog.h"
#include "tests/engine/RunTestSupport.h"

namespace kelvane::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// ---- the clean sources ----

struct TSource {
  const char* Name;    // test name part
  const char* Preset;  // fixture preset
  const char* File;
  bool MoovFirst = false;  // MP4 with its index in front (as for streaming)
  bool Video = true;       // false: audio only
  // Raw H.264 carries no time stamps at all; Matroska refuses such packets
  // when copied (a clear error), so the copy run is left out for it.
  bool Timed = true;
  // A damaged stream header can claim any frame rate (0.075 fps was seen), and
  // the output then follows it; left out of the random damage.
  bool RandomDamage = true;
};

constexpr TSource kSources[] = {
    {"Mp4", "mp4-h264-aac", "src.mp4"},
    {"Mp4Fast", "mp4-h264-aac", "srcfast.mp4", true},
    {"Ts", "ts-h264-aac", "src.ts"},
    {"Avi", "avi-mpeg4-mp3", "src.avi"},
    {"Mpeg", "mpeg-mpeg2-mp2", "src.mpg"},
    {"Mkv", "mkv-h264-vorbis", "src.mkv"},
    {"H264", "h264-raw", "src.h264", false, true, false, false},  // no duration, no seeking
    {"Mp3", "mp3-audio", "src.mp3", false, false},
    {"Wav", "wav-pcm", "src.wav", false, false},
};
constexpr double kSourceSeconds = 2.0;

// The clean files, made once per program (2 s, 160x120).
const std::string& SourceFile(const TSource& source) {
  static TTempDir* folder = new TTempDir();  // lives until the program ends
  static std::map<std::string, std::string> made;
  auto found = made.find(source.File);
  if (found != made.end()) return found->second;
  std::string path = MakeFixture(*folder, source.Preset, source.File, [](auto& r) {
    r.Seconds = kSourceSeconds;
    r.Width = 160;
    r.Height = 120;
  });
  if (source.MoovFirst) {
    // The index moved in front of the media data, so that a cut file still opens.
    const std::string fast = folder->File(std::string("fast_") + source.File);
    TRecordingConverter converter;
    TOutputOptions options = SplitOptions(0, 0, "copy", "copy");
    options.ExtOptions = "movflags=faststart";
    EXPECT_EQ(converter.AddTask(path), 0) << converter.LastError();
    EXPECT_TRUE(converter.SetOutput(0, fast, &options)) << converter.LastError();
    converter.Start(0);
    const std::string head = ReadBytes(fast).substr(0, 64);
    EXPECT_NE(head.find("moov"), std::string::npos) << "the index is not in front";
    path = fast;
  }
  return made.emplace(source.File, path).first->second;
}

// ---- the outputs ----

struct TOutput {
  const char* File;
  const char* Video;
  const char* Audio;
};

constexpr TOutput kOutputs[] = {
    {"out.mp4", "mpeg4", "aac"},
    {"out.avi", "mpeg4", "libmp3lame"},
    {"out.mpg", "mpeg2video", "mp2"},
    {"out.flv", "flv", "libmp3lame"},
};

constexpr TOutput kCopy = {"copy.mkv", "copy", "copy"};

// ---- one split, checked ----

struct TCase {
  int Source;
  int Damage;
};

std::string CaseName(const TCase& c) {
  return std::string(kSources[c.Source].Name) + "_" + kDamages[c.Damage].Name;
}

// What the run showed the user.
struct TOutcome {
  bool AddTaskFailed = false;
  bool Failed = false;  // AddTask, SetOutput or the run reported an error
  std::string Message;
};

// Runs one split of `input` into `output` asynchronously, as the application
// does, and checks that the end is reported exactly once and clearly.
TOutcome RunSplit(const std::string& input, const std::string& output, const TOutput& format,
                  int32_t start_ms = 0, int32_t duration_ms = 0) {
  TOutcome outcome;
  TRecordingConverter converter;
  const int32_t index = converter.AddTask(input);
  if (index < 0) {
    outcome.AddTaskFailed = outcome.Failed = true;
    outcome.Message = converter.LastError();
    EXPECT_FALSE(outcome.Message.empty()) << "AddTask failed without a message";
    return outcome;
  }
  TOutputOptions options = SplitOptions(start_ms, duration_ms, format.Video, format.Audio);
  if (!converter.SetOutput(index, output, &options)) {
    outcome.Failed = true;
    outcome.Message = converter.LastError();
    EXPECT_FALSE(outcome.Message.empty()) << "SetOutput failed without a message";
    return outcome;
  }
  converter.Start(1);
  if (!converter.WaitAllDone(30s)) {
    ADD_FAILURE() << "the split did not end within 30 s";
    return outcome;  // stopping it is left to the converter (and the watchdog)
  }
  auto ends = converter.Terminates();
  EXPECT_EQ(ends.size(), 2u);
  if (ends.empty()) return outcome;
  const TTerminateRecord& end = ends.front();
  EXPECT_EQ(end.Index, 0);
  if (end.Exception) {
    outcome.Failed = true;
    outcome.Message = end.Message;
    EXPECT_FALSE(end.Message.empty()) << "a failed run without a message";
  } else {
    EXPECT_TRUE(end.Finished) << "the run neither finished nor failed: " << end.Message;
  }
  return outcome;
}

// A finished output must open, hold video (audio for an audio-only source),
// and last no longer than asked (`seconds`); `full_length`: and as long.
void ExpectReadableOutput(const std::string& path, double seconds, bool full_length,
                          bool video = true) {
  ASSERT_TRUE(fs::exists(path)) << "finished without an output file";
  fixtures::TMediaFacts facts;
  std::string error;
  ASSERT_TRUE(fixtures::ReadMediaFacts(path, facts, &error)) << "unreadable output: " << error;
  ASSERT_FALSE(facts.Streams.empty()) << "an output without streams";
  if (facts.DurationUs > 0) {
    EXPECT_LE(facts.DurationUs, seconds * 1e6 + 600000);
  }
  if (!video) {
    fixtures::TAudioFacts audio;
    ASSERT_TRUE(fixtures::DecodeAudio(path, audio, &error)) << "undecodable output: " << error;
    ASSERT_GT(audio.SampleRate, 0);
    const double played = static_cast<double>(audio.Samples) / audio.SampleRate;
    EXPECT_LE(played, seconds + 0.6);
    if (full_length) {
      EXPECT_GE(played, seconds - 0.2);
    }
    return;
  }
  // Damage to a stream's parameters may leave only the other stream usable.
  if (facts.CountOf(AVMEDIA_TYPE_VIDEO) == 0 && !full_length) return;
  std::vector<fixtures::TDecodedFrame> frames;
  ASSERT_TRUE(fixtures::DecodeVideoFrames(path, frames, &error)) << "undecodable output: " << error;
  const int expected_frames = static_cast<int>(seconds * 25);
  // A damaged time stamp must not turn into a long run of repeated pictures
  // (a damaged frame rate may double each picture, no more).
  EXPECT_LE(static_cast<int>(frames.size()), 2 * expected_frames + 3);
  if (full_length) {
    EXPECT_GE(static_cast<int>(frames.size()), expected_frames - 3);
  }
}

class RobustnessTest : public TMediaTest, public testing::WithParamInterface<TCase> {};

TEST_P(RobustnessTest, DamagedInputEndsClearlyAndStaysUntouched) {
  const TCase& c = GetParam();
  const TSource& source = kSources[c.Source];
  const TDamage& damage = kDamages[c.Damage];
  const std::string input = temp_.File(std::string("in_") + source.File);
  if (damage.Directory) {
    fs::create_directory(input);
  } else {
    std::string bytes = ReadBytes(SourceFile(source));
    ASSERT_FALSE(bytes.empty());
    damage.Apply(bytes);
    WriteBytes(input, bytes);
  }
  const std::string before = damage.Directory ? std::string() : ReadBytes(input);

  TWatchdog watchdog(90s, CaseName(c));
  // The whole file into one format, a cut (which seeks) into the next, and the
  // damaged packets copied as they are into Matroska.
  for (int k = 0; k < (source.Timed ? 3 : 2); ++k) {
    const TOutput& format = k < 2 ? kOutputs[(c.Source + c.Damage + k) % 4] : kCopy;
    SCOPED_TRACE(format.File);
    const std::string output = temp_.File(format.File);
    const double seconds = k == 1 ? 1.0 : kSourceSeconds;
    TOutcome outcome = k == 1 ? RunSplit(input, output, format, 500, 1000)
                              : RunSplit(input, output, format);
    switch (damage.Expect) {
      case kOpenFails:
        EXPECT_TRUE(outcome.AddTaskFailed) << "the input was accepted";
        break;
      case kFinishes:
        EXPECT_FALSE(outcome.Failed) << outcome.Message;
        if (!outcome.Failed) ExpectReadableOutput(output, seconds, true, source.Video);
        break;
      case kErrorOrShorter:
        if (!outcome.Failed) ExpectReadableOutput(output, seconds, false, source.Video);
        break;
    }
    if (!damage.Directory) {
      EXPECT_TRUE(ReadBytes(input) == before) << "the input file changed";
    } else {
      EXPECT_TRUE(fs::is_directory(input));
    }
  }
}

std::vector<TCase> AllCases() {
  std::vector<TCase> cases;
  for (int d = 0; d < static_cast<int>(std::size(kDamages)); ++d) {
    // Empty files and folders look alike whatever they were meant to hold.
    const int sources =
        kDamages[d].Expect == kOpenFails ? 1 : static_cast<int>(std::size(kSources));
    for (int s = 0; s < sources; ++s) cases.push_back({s, d});
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Damaged, RobustnessTest, testing::ValuesIn(AllCases()),
                         [](const testing::TestParamInfo<TCase>& info) {
                           return CaseName(info.param);
                         });

// ---- many seeds ----

// Random damage with many seeds: each run flips 1 to 64 bytes anywhere after
// the first 2% of a clean file (so that most inputs still open), converts the
// whole file or a cut of it, and must end clearly with the input unchanged.
std::string RandomlyDamaged(const std::string& clean, unsigned seed) {
  std::string bytes = clean;
  std::mt19937 random(seed * 7919);
  std::uniform_int_distribution<size_t> where(clean.size() / 50, clean.size() - 1);
  std::uniform_int_distribution<int> value(1, 255);
  const int count = 1 + static_cast<int>(random() % 64);
  for (int i = 0; i < count; ++i) bytes[where(random)] ^= static_cast<char>(value(random));
  return bytes;
}

using DamagedRunTest = TMediaTest;

class RandomDamageTest : public TMediaTest, public testing::WithParamInterface<int> {};

TEST_P(RandomDamageTest, EveryRunEndsClearly) {
  const TSource& source = kSources[GetParam()];
  const std::string clean = ReadBytes(SourceFile(source));
  ASSERT_FALSE(clean.empty());
  // KELVANE_DAMAGE_SEEDS=n runs a longer sweep by hand.
  const char* wanted = std::getenv("KELVANE_DAMAGE_SEEDS");
  const unsigned seeds =
      wanted != nullptr && std::atoi(wanted) > 0 ? static_cast<unsigned>(std::atoi(wanted)) : 24;
  TWatchdog watchdog(std::chrono::seconds(120 + 10 * seeds),
                     std::string("random damage of ") + source.Name);
  for (unsigned seed = 1; seed <= seeds; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const std::string bytes = RandomlyDamaged(clean, seed);
    const std::string input = temp_.File(std::string("seed_") + source.File);
    WriteBytes(input, bytes);
    const TOutput& format = kOutputs[seed % 4];
    const std::string output = temp_.File(std::to_string(seed) + format.File);
    // Odd seeds cut from 0.5 s (a seek into the damage), even ones convert it all.
    const bool cut = seed % 2 == 1;
    TOutcome outcome = cut ? RunSplit(input, output, format, 500, 1000)
                           : RunSplit(input, output, format);
    if (!outcome.Failed) {
      ExpectReadableOutput(output, cut ? 1.0 : kSourceSeconds, false, source.Video);
    }
    EXPECT_TRUE(ReadBytes(input) == bytes) << "the input file changed";
  }
}

std::vector<int> RandomDamageSources() {
  std::vector<int> sources;
  for (int s = 0; s < static_cast<int>(std::size(kSources)); ++s)
    if (kSources[s].RandomDamage) sources.push_back(s);
  return sources;
}

// Seed 205 damages the transport stream's timing so that the container rate
// reads 375 pictures a second against an average of 25: the output kept that
// rate and repeated every picture fifteen times.
TEST_F(DamagedRunTest, DamagedContainerFrameRateDoesNotMultiplyPictures) {
  const std::string input = temp_.File("rate.ts");
  WriteBytes(input, RandomlyDamaged(ReadBytes(SourceFile(kSources[2])), 205));
  for (const TOutput& format : {kOutputs[1], kOutputs[0]}) {
    SCOPED_TRACE(format.File);
    const std::string output = temp_.File(format.File);
    TWatchdog watchdog(60s, "damaged frame rate");
    TOutcome outcome = RunSplit(input, output, format, 500, 1000);
    if (!outcome.Failed) ExpectReadableOutput(output, 1.0, false);
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomDamageTest, testing::ValuesIn(RandomDamageSources()),
                         [](const testing::TestParamInfo<int>& info) {
                           return std::string(kSources[info.param].Name);
                         });

// ---- hostile output places ----

using OutputPlaceTest = TMediaTest;

// Splits the clean MP4 to `output`; returns the terminate records (or the
// SetOutput error as a failed record).
TOutcome SplitCleanTo(const std::string& input, const std::string& output) {
  TWatchdog watchdog(60s, "split to " + output);
  return RunSplit(input, output, kOutputs[0]);
}

TEST_F(OutputPlaceTest, ReadOnlyFolderGivesAClearError) {
  const fs::path folder = temp_.Path() / "locked";
  fs::create_directory(folder);
  fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);
  // The superuser writes anywhere but into /proc, which refuses new files to everyone.
  const fs::path target =
      access(folder.c_str(), W_OK) == 0 ? fs::path("/proc/kelvane-out.mp4") : folder / "out.mp4";
  TOutcome outcome = SplitCleanTo(SourceFile(kSources[0]), target.string());
  fs::permissions(folder, fs::perms::owner_all);
  EXPECT_TRUE(outcome.Failed);
  EXPECT_FALSE(outcome.AddTaskFailed);
  EXPECT_NE(outcome.Message.find("out.mp4"), std::string::npos) << outcome.Message;
  EXPECT_FALSE(fs::exists(target));
}

TEST_F(OutputPlaceTest, OutputThatIsAFolderGivesAClearErrorAndKeepsTheFolder) {
  const fs::path folder = temp_.Path() / "out.mp4";
  fs::create_directory(folder);
  WriteBytes((folder / "keep.txt").string(), "keep");
  TOutcome outcome = SplitCleanTo(SourceFile(kSources[0]), folder.string());
  EXPECT_TRUE(outcome.Failed);
  EXPECT_FALSE(outcome.AddTaskFailed);
  EXPECT_TRUE(fs::is_directory(folder));
  EXPECT_EQ(ReadBytes((folder / "keep.txt").string()), "keep");
}

// The same file by another name: a symbolic link, a hard link, a longer path.
TEST_F(OutputPlaceTest, OutputThatIsTheInputIsRefusedAndTheInputKept) {
  const std::string input = temp_.File("in.mp4");
  WriteBytes(input, ReadBytes(SourceFile(kSources[0])));
  const std::string before = ReadBytes(input);
  const fs::path link = temp_.Path() / "link.mp4";
  fs::create_symlink(input, link);
  const fs::path hard = temp_.Path() / "hard.mp4";
  fs::create_hard_link(input, hard);
  const std::string dotted = (temp_.Path() / "." / "in.mp4").string();
  for (const std::string& output : {link.string(), hard.string(), dotted, input}) {
    SCOPED_TRACE(output);
    TOutcome outcome = SplitCleanTo(input, output);
    EXPECT_TRUE(outcome.Failed);
    EXPECT_FALSE(outcome.AddTaskFailed);
    EXPECT_TRUE(ReadBytes(input) == before) << "the input was overwritten";
  }
  // Reading through the link and writing to the real name is the same file too.
  TOutcome outcome = SplitCleanTo(link.string(), input);
  EXPECT_TRUE(outcome.Failed);
  EXPECT_TRUE(ReadBytes(input) == before) << "the input was overwritten";
}

// A disk that fills up while the output is written.
TEST_F(OutputPlaceTest, FullDiskEndsWithAnError) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  TRecordingConverter converter;
  TWatchdog watchdog(60s, "split to /dev/full");
  ASSERT_EQ(converter.AddTask(SourceFile(kSources[0])), 0) << converter.LastError();
  TOutputOptions options = SplitOptions(0, 0, "mpeg4", "aac");
  options.FileFormat = "mpegts";  // writes as it goes (MP4 would seek back)
  if (!converter.SetOutput(0, "/dev/full", &options)) {
    EXPECT_FALSE(converter.LastError().empty());
    return;
  }
  converter.Start(1);
  ASSERT_TRUE(converter.WaitAllDone(30s));
  auto ends = converter.Terminates();
  ASSERT_FALSE(ends.empty());
  EXPECT_TRUE(ends[0].Exception) << "a write failure reported as success";
  EXPECT_FALSE(ends[0].Message.empty());
  struct stat info {};
  ASSERT_EQ(stat("/dev/full", &info), 0);
  EXPECT_TRUE(S_ISCHR(info.st_mode));
}

// A start time past the end of the input leaves nothing to write: the user
// gets an error rather than "finished" and no file (or a file without streams).
TEST_F(OutputPlaceTest, RangePastTheEndOfTheInputIsAnError) {
  for (const TOutput& format : kOutputs) {
    SCOPED_TRACE(format.File);
    const std::string output = temp_.File(format.File);
    TWatchdog watchdog(60s, "range past the end");
    TOutcome outcome = RunSplit(SourceFile(kSources[0]), output, format, 5000, 1000);
    EXPECT_TRUE(outcome.Failed);
    EXPECT_NE(outcome.Message.find("Nothing was written"), std::string::npos) << outcome.Message;
  }
}

// Pictures of an MPEG program stream come partly without a presentation time;
// copied as they are, Matroska and NUT refused them after a few packets.
TEST_F(OutputPlaceTest, StreamCopyOfAProgramStreamKeepsEveryPicture) {
  for (const char* file : {"copy.mkv", "copy.nut"}) {
    SCOPED_TRACE(file);
    const std::string output = temp_.File(file);
    TWatchdog watchdog(60s, "copy of a program stream");
    TOutcome outcome = RunSplit(SourceFile(kSources[4]), output, {file, "copy", "copy"});
    ASSERT_FALSE(outcome.Failed) << outcome.Message;
    EXPECT_TRUE(FrameIndicesRun(output, 0, 50));
  }
}

// Moves the presentation time of the `nth` MPEG video packet that carries one
// `seconds` ahead (a decoding time, if any, stays); false if there is none.
bool MovePresentationTime(std::string& bytes, int nth, int seconds) {
  const std::string start("\0\0\1\xE0", 4);
  for (size_t at = bytes.find(start); at != std::string::npos; at = bytes.find(start, at + 4)) {
    auto byte = [&](size_t i) { return i < bytes.size() ? static_cast<uint8_t>(bytes[i]) : 0; };
    size_t p = at + 6;
    if ((byte(p) & 0xC0) == 0x80) {  // MPEG-2 header: flags, length, then the times
      if ((byte(p + 1) & 0x80) == 0) continue;
      p += 3;
    } else {  // MPEG-1 header: stuffing, buffer size, then the times
      while (byte(p) == 0xFF) ++p;
      if ((byte(p) & 0xC0) == 0x40) p += 2;
      if ((byte(p) & 0xE0) != 0x20) continue;
    }
    if (p + 5 > bytes.size() || --nth > 0) continue;
    int64_t pts = (int64_t(byte(p) >> 1 & 7) << 30) | (int64_t(byte(p + 1)) << 22) |
                  (int64_t(byte(p + 2) >> 1) << 15) | (int64_t(byte(p + 3)) << 7) |
                  (byte(p + 4) >> 1);
    pts += int64_t(seconds) * 90000;
    bytes[p] = static_cast<char>((byte(p) & 0xF1) | ((pts >> 29) & 0x0E));
    bytes[p + 1] = static_cast<char>(pts >> 22);
    bytes[p + 2] = static_cast<char>(((pts >> 14) & 0xFE) | 1);
    bytes[p + 3] = static_cast<char>(pts >> 7);
    bytes[p + 4] = static_cast<char>(((pts << 1) & 0xFE) | 1);
    return true;
  }
  return false;
}

// One picture's presentation time 30 s off its decoding time: the output keeps
// the input's length instead of a 30 s gap (filled with repeated pictures in
// formats of a constant frame rate).
TEST_F(OutputPlaceTest, DamagedPresentationTimeDoesNotStretchTheOutput) {
  std::string bytes = ReadBytes(SourceFile(kSources[4]));
  ASSERT_TRUE(MovePresentationTime(bytes, 5, 30));
  const std::string input = temp_.File("jump.mpg");
  WriteBytes(input, bytes);
  for (const TOutput& format : {kOutputs[2], kOutputs[1], kOutputs[3], kCopy}) {
    SCOPED_TRACE(format.File);
    const std::string output = temp_.File(format.File);
    TWatchdog watchdog(60s, "presentation time 30 s off");
    TOutcome outcome = RunSplit(input, output, format);
    ASSERT_FALSE(outcome.Failed) << outcome.Message;
    ExpectReadableOutput(output, kSourceSeconds, true);
  }
}

// ---- several damaged tasks, previews, stopping ----


// Damaged inputs of every container in one component, two converting at a
// time, with preview pictures on: every task ends clearly and exactly once,
// and every preview picture is whole.
TEST_F(DamagedRunTest, SeveralDamagedTasksAtOnceWithPreviews) {
  TRecordingConverter converter;
  converter.SetPreviewBitmap(true);
  int previews = 0;  // main thread only
  converter.OnPreviewBitmap = [&](int32_t, TBitmap* bitmap, int32_t, int64_t) {
    std::lock_guard<std::mutex> lock(bitmap->Lock);
    EXPECT_GT(bitmap->Width, 0);
    EXPECT_GE(bitmap->Pixels.size(), static_cast<size_t>(bitmap->Stride) * bitmap->Height);
    ++previews;
  };
  TWatchdog watchdog(120s, "several damaged tasks");
  std::vector<std::pair<std::string, std::string>> inputs;  // path, bytes
  for (const TSource& source : kSources) {
    for (int d : {1, 4, 5}) {  // trunc50, flipped, flipped2
      std::string bytes = ReadBytes(SourceFile(source));
      kDamages[d].Apply(bytes);
      const std::string input = temp_.File(std::string(kDamages[d].Name) + "_" + source.File);
      WriteBytes(input, bytes);
      inputs.emplace_back(input, bytes);
      const int32_t index = converter.AddTask(input);
      if (index < 0) {
        EXPECT_FALSE(converter.LastError().empty());
        continue;
      }
      const TOutput& format = kOutputs[index % 4];
      TOutputOptions options = SplitOptions(0, 0, format.Video, format.Audio);
      const std::string output = temp_.File(std::to_string(index) + format.File);
      EXPECT_TRUE(converter.SetOutput(index, output, &options)) << converter.LastError();
    }
  }
  const int32_t tasks = converter.TaskCount();
  ASSERT_GT(tasks, 10);
  converter.Start(2);
  ASSERT_TRUE(converter.WaitAllDone(90s));
  auto ends = converter.Terminates();
  ASSERT_EQ(ends.size(), static_cast<size_t>(tasks) + 1);
  std::vector<int> seen(tasks, 0);
  for (const TTerminateRecord& end : ends) {
    if (end.Index < 0) continue;
    ASSERT_LT(end.Index, tasks);
    ++seen[end.Index];
    if (end.Exception) {
      EXPECT_FALSE(end.Message.empty()) << "task " << end.Index;
    } else {
      EXPECT_TRUE(end.Finished) << "task " << end.Index << ": " << end.Message;
    }
  }
  for (int32_t i = 0; i < tasks; ++i) EXPECT_EQ(seen[i], 1) << "task " << i;
  EXPECT_EQ(ends.back().Index, -1);
  for (const auto& [path, bytes] : inputs) EXPECT_TRUE(ReadBytes(path) == bytes) << path;
}

// Stopping a conversion of a damaged input returns promptly and reports the
// task as stopped, not finished.
TEST_F(DamagedRunTest, StopDuringADamagedInput) {
  std::string bytes = ReadBytes(RunMedia().Long);
  // The media data only (its index sits at the end): the file still opens.
  std::mt19937 random(99);
  std::uniform_int_distribution<size_t> where(bytes.size() / 10, bytes.size() * 6 / 10);
  for (int i = 0; i < 3000; ++i) bytes[where(random)] ^= static_cast<char>(1 + random() % 255);
  const std::string input = temp_.File("long.mp4");
  WriteBytes(input, bytes);
  TRecordingConverter converter;
  converter.SetProgressInterval(100);
  TWatchdog watchdog(120s, "stop during a damaged input");
  ASSERT_EQ(converter.AddTask(input), 0) << converter.LastError();
  TOutputOptions options = SplitOptions(0, 0);
  ASSERT_TRUE(converter.SetOutput(0, temp_.File("out.mp4"), &options)) << converter.LastError();
  converter.Start(1);
  ASSERT_TRUE(converter.WaitProgress(2, 60s));
  converter.Stop(true);
  ASSERT_TRUE(converter.WaitAllDone(30s));
  auto ends = converter.Terminates();
  ASSERT_EQ(ends.size(), 2u);
  EXPECT_FALSE(ends[0].Finished);
  EXPECT_FALSE(ends[0].Exception) << ends[0].Message;
  EXPECT_TRUE(ReadBytes(input) == bytes);
}

// Found by fuzzing: raw H.264 whose damaged time stamps, kept as they are,
// put the position 84 million seconds in; the progress report's milliseconds
// overflowed.
TEST_F(DamagedRunTest, PositionPastTheProgressRangeIsReportedAsTheLargest) {
  const std::string input = temp_.File("far.h264");
  static const char kBytes[] =
      "\x00\x00\x00\x01\x67\x64\x00\x0a\xac\xd9\x44\x7b\x01\xee\xff\xff\xfc\x00\x10\x00\x00\x03\x03\x32"
      "\x20\xf1\xd9\x48\xb7\x96\x2c\xd8\x20\xd9\x23\x45\x9f\x8b\x2b\x01\x10\x00\x00\x00\x00\x03\x03\x20"
      "\xf1\x22\x59\x60\x00\x00\x00\x01\x68\xef\x86\xf2\xfe\x00\x00\x01\x65\x88\x82\x00\x1d\xff\xe4\x4d"
      "\x50\x62\x48\xb7\x96\x2c\xd8\x20\xd9\x23\x45\x9f\x8a\x2b\x01\x10\x00\x00\x00\x00\x03\x03\x20\xf1"
      "\x22\x59\x60\x00\x00\x00\x01\x68\xef\x86\xf2\xfe\x00\x00\x01\x65\x88\x82\x00\x1d\xff\xe4\x4d\x50"
      "\x51\x96\xfd\x79\x5e\xe2\xdf\xe0";
  WriteBytes(input, std::string(kBytes, sizeof kBytes - 1));
  TRecordingConverter converter;
  TWatchdog watchdog(60s, "far time stamps");
  ASSERT_EQ(converter.AddTask(input), 0) << converter.LastError();
  TOutputOptions options = SplitOptions(0, 1000, "copy", "copy");
  options.CopyTimestamps = true;
  ASSERT_TRUE(converter.SetOutput(0, temp_.File("far.mpg"), &options)) << converter.LastError();
  converter.Start(1);
  ASSERT_TRUE(converter.WaitAllDone(30s));
  for (const TProgressInfo& report : converter.Progress()) EXPECT_GE(report.CurrentDuration, 0);
}

// ---- places that are no files ----

// Output places that cannot take a file: each gives a clear error at SetOutput.
TEST_F(OutputPlaceTest, UnusableOutputNamesGiveAClearError) {
  const std::string long_name(5000, 'x');
  for (const std::string& output : {temp_.File("missing/out.mp4"), temp_.File("out.unknownext"),
                                    temp_.File(long_name + ".mp4")}) {
    SCOPED_TRACE(output.substr(0, 80));
    TOutcome outcome = SplitCleanTo(SourceFile(kSources[0]), output);
    EXPECT_TRUE(outcome.Failed);
    EXPECT_FALSE(outcome.AddTaskFailed);
  }
}

// A named pipe nobody writes to, as input, and nobody reads from, as output:
// opening either would wait for the other end for ever.
TEST_F(OutputPlaceTest, NamedPipesDoNotHang) {
  const std::string pipe = temp_.File("pipe.mp4");
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  TWatchdog watchdog(30s, "named pipe");
  {
    TRecordingConverter converter;
    EXPECT_EQ(converter.AddTask(pipe), -1);
    EXPECT_FALSE(converter.LastError().empty());
  }
  TOutcome outcome = SplitCleanTo(SourceFile(kSources[0]), pipe);
  EXPECT_TRUE(outcome.Failed);
}

// Devices that never end (nothing but zeros, random bytes) as input.
TEST_F(OutputPlaceTest, EndlessDevicesAsInputEndClearly) {
  for (const char* device : {"/dev/zero", "/dev/urandom"}) {
    SCOPED_TRACE(device);
    if (access(device, R_OK) != 0) continue;
    TWatchdog watchdog(60s, std::string("input ") + device);
    TOutcome outcome = RunSplit(device, temp_.File("out.mp4"), kOutputs[0]);
    EXPECT_TRUE(outcome.Failed);
  }
}

// Two transport streams joined byte for byte, as a capture across a change of
// programme: the picture size, the sample rate and the channel count change in
// the middle. The split either fails clearly or holds both parts' pictures
// (at one size when converted), no longer than the two together.
TEST_F(DamagedRunTest, FormatChangeInTheMiddleOfATransportStream) {
  const std::string first = MakeFixture(temp_, "ts-h264-aac", "a.ts", [](auto& r) {
    r.Seconds = 2.0;
    r.Width = 160;
    r.Height = 120;
  });
  const std::string second = MakeFixture(temp_, "ts-h264-aac", "b.ts", [](auto& r) {
    r.Seconds = 2.0;
    r.Width = 320;
    r.Height = 240;
    r.SampleRate = 48000;
    r.Channels = 1;
    r.FirstFrameIndex = 50;
  });
  const std::string input = temp_.File("joined.ts");
  WriteBytes(input, ReadBytes(first) + ReadBytes(second));
  const std::string before = ReadBytes(input);
  for (const TOutput& format : {kOutputs[0], kOutputs[1], kOutputs[2], kOutputs[3], kCopy}) {
    SCOPED_TRACE(format.File);
    const std::string output = temp_.File(format.File);
    TWatchdog watchdog(60s, "format change");
    TOutcome outcome = RunSplit(input, output, format);
    if (outcome.Failed) {
      EXPECT_FALSE(outcome.Message.empty());
      continue;
    }
    ExpectReadableOutput(output, 2 * kSourceSeconds, false);
    std::vector<fixtures::TDecodedFrame> frames;
    ASSERT_TRUE(fixtures::DecodeVideoFrames(output, frames));
    ASSERT_FALSE(frames.empty());
    // Both parts: the pictures of the first (0..49) and of the second (50..99).
    EXPECT_GE(frames.size(), 95u) << DescribeIndices(DecodedIndices(output));
    if (std::string(format.Video) == "copy") continue;  // a copy keeps both sizes
    // Both parts' sound, resampled to one rate and channel count.
    fixtures::TAudioFacts audio;
    std::string error;
    ASSERT_TRUE(fixtures::DecodeAudio(output, audio, &error)) << error;
    EXPECT_NEAR(static_cast<double>(audio.Samples) / audio.SampleRate, 2 * kSourceSeconds, 0.3);
    for (const auto& frame : frames) {
      EXPECT_EQ(frame.Width, frames.front().Width);
      EXPECT_EQ(frame.Height, frames.front().Height);
    }
  }
  EXPECT_TRUE(ReadBytes(input) == before);
}

// The input is cut short by another program while it is being read: the run
// ends on its own, clearly, without a crash.
TEST_F(DamagedRunTest, InputCutShortWhileReading) {
  const std::string input = temp_.File("shrinking.mp4");
  const std::string bytes = ReadBytes(RunMedia().Long);
  WriteBytes(input, bytes);
  TRecordingConverter converter;
  converter.SetProgressInterval(100);
  TWatchdog watchdog(120s, "input cut short while reading");
  ASSERT_EQ(converter.AddTask(input), 0) << converter.LastError();
  TOutputOptions options = SplitOptions(0, 0);
  const std::string output = temp_.File("out.mp4");
  ASSERT_TRUE(converter.SetOutput(0, output, &options)) << converter.LastError();
  converter.Start(1);
  ASSERT_TRUE(converter.WaitProgress(1, 60s));
  ASSERT_EQ(truncate(input.c_str(), static_cast<off_t>(bytes.size() / 3)), 0);
  ASSERT_TRUE(converter.WaitAllDone(60s));
  auto ends = converter.Terminates();
  ASSERT_EQ(ends.size(), 2u);
  if (ends[0].Exception) {
    EXPECT_FALSE(ends[0].Message.empty());
  } else {
    EXPECT_TRUE(ends[0].Finished);
    fixtures::TMediaFacts facts;
    std::string error;
    EXPECT_TRUE(fixtures::ReadMediaFacts(output, facts, &error)) << error;
  }
}

}  // namespace
}  // namespace kelvane::test
