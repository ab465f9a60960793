// A split that starts in the middle of its input seeks to a key frame before
// the start instead of decoding everything before it, and writes what
// decoding from the beginning ("seek_ahead=0") writes: the same pictures, the
// same number of samples, the same start times. Inputs that cannot seek by
// stored times (a pipe, a raw stream, MP3) are read from their beginning.
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <thread>

#include "binding/FFmpegLogger.h"
#include "tests/engine/RunTestSupport.h"

namespace kelvane::test {
namespace {

// What a user sees of an output.
struct TSeen {
  std::vector<int> Indices;  // of the pictures, in order
  int64_t Samples = 0;
  int64_t VideoStartUs = -1;
  int64_t AudioStartUs = -1;
};

TSeen Seen(const std::string& path, bool video) {
  TSeen seen;
  if (video) seen.Indices = DecodedIndices(path);
  const fixtures::TMediaFacts facts = ReadFactsOrFail(path);
  fixtures::TAudioFacts audio;
  std::string error;
  if (facts.CountOf(AVMEDIA_TYPE_AUDIO) > 0) {
    EXPECT_TRUE(fixtures::DecodeAudio(path, audio, &error)) << error;
  }
  seen.Samples = audio.Samples;
  if (const auto* video_facts = facts.FirstOf(AVMEDIA_TYPE_VIDEO))
    seen.VideoStartUs = video_facts->StartTimeUs;
  if (const auto* audio_facts = facts.FirstOf(AVMEDIA_TYPE_AUDIO))
    seen.AudioStartUs = audio_facts->StartTimeUs;
  return seen;
}

class SeekAheadTest : public TMediaTest {
 protected:
  // Splits 2.98 s to 4.18 s of `input` into `output` (MPEG-4 and AAC, or AAC
  // alone); returns what the run logged about seeking its input.
  std::string Split(const std::string& input, const std::string& output, bool video,
                    bool seek_ahead = true) {
    const TLogLevel level = GetLogger().LogLevel();
    GetLogger().SetLogLevel(llVerbose);
    std::string said;
    GetLogger().OnLog = [&said](const void*, uint32_t, TLogLevel, const std::string& text) {
      if (text.rfind("Input #0: ", 0) == 0) said += text;
    };
    TRecordingConverter converter;
    EXPECT_EQ(converter.AddTask(input), 0) << converter.LastError();
    TOutputOptions options = SplitOptions(2980, 1200, video ? "mpeg4" : "", "aac");
    options.DisableVideo = !video;
    if (!seek_ahead) options.ExtOptions = "seek_ahead=0";
    EXPECT_TRUE(converter.SetOutput(0, output, &options)) << converter.LastError();
    EXPECT_EQ(RunTasksSynchronously(converter), "");
    PumpMessages();
    GetLogger().OnLog = nullptr;
    GetLogger().SetLogLevel(level);
    return said;
  }
};

struct TSeekCase {
  const char* Preset;
  const char* File;
  bool Lands;  // false: read from the beginning
  // The outputs are the same bytes. Not so for MPEG audio: its decoder carries
  // its rounding from frame to frame, so after a seek a sample may differ in
  // its last bit, and the encoder codes the sound a little differently.
  bool SameBytes = true;
};

std::string Bytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

class SeekAheadFormatTest : public SeekAheadTest, public testing::WithParamInterface<TSeekCase> {};

TEST_P(SeekAheadFormatTest, WritesWhatDecodingFromTheBeginningWrites) {
  const TSeekCase& c = GetParam();
  const std::string input = MakeFixture(temp_, c.Preset, c.File, [](auto& r) {
    r.Seconds = 6.0;
    r.Width = 160;
    r.Height = 120;
  });
  const bool video = ReadFactsOrFail(input).CountOf(AVMEDIA_TYPE_VIDEO) > 0;
  const std::string ext = video ? ".mp4" : ".m4a";
  const std::string said = Split(input, temp_.File("ahead" + ext), video);
  EXPECT_EQ(said.find("landed") != std::string::npos, c.Lands) << said;
  Split(input, temp_.File("plain" + ext), video, false);

  const TSeen ahead = Seen(temp_.File("ahead" + ext), video);
  const TSeen plain = Seen(temp_.File("plain" + ext), video);
  if (video) {
    EXPECT_EQ(DescribeIndices(ahead.Indices), DescribeIndices(plain.Indices));
    ASSERT_FALSE(plain.Indices.empty());
    // 2.98 s is picture 75; containers that delay the video a little move it.
    EXPECT_NEAR(plain.Indices.front(), 75, 2);
    EXPECT_EQ(ahead.VideoStartUs, plain.VideoStartUs);
  }
  EXPECT_EQ(ahead.Samples, plain.Samples);
  EXPECT_EQ(ahead.AudioStartUs, plain.AudioStartUs);
  if (c.SameBytes) {
    EXPECT_TRUE(Bytes(temp_.File("ahead" + ext)) == Bytes(temp_.File("plain" + ext)));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, SeekAheadFormatTest,
    testing::Values(TSeekCase{"mp4-h264-aac", "in.mp4", true},
                    TSeekCase{"mkv-h264-vorbis", "in.mkv", true},
                    TSeekCase{"avi-mpeg4-mp3", "in.avi", true},
                    TSeekCase{"ts-h264-aac", "in.ts", true},
                    TSeekCase{"mpeg-mpeg2-mp2", "in.mpg", true, false},
                    TSeekCase{"flv-h264-aac", "in.flv", true},
                    TSeekCase{"ogg-theora-vorbis", "in.ogg", true},
                    TSeekCase{"webm-vp8-opus", "in.webm", true},
                    TSeekCase{"h264-raw", "in.h264", false},
                    TSeekCase{"m4a-aac", "in.m4a", true},
                    TSeekCase{"mp3-audio", "in.mp3", false}),
    [](const testing::TestParamInfo<TSeekCase>& info) {
      std::string name = info.param.File;
      return name.substr(name.find('.') + 1);
    });

// Two recordings joined byte for byte: the second one's times start again
// from the beginning. A seek by time could land in either part, so the split
// reads from the beginning and the run joins the parts' times as always.
TEST_F(SeekAheadTest, TimesThatRunBackwardsAreReadFromTheBeginning) {
  std::string bytes;
  for (int part = 0; part < 2; ++part) {
    bytes += Bytes(MakeFixture(temp_, "ts-h264-aac", "part" + std::to_string(part) + ".ts",
                               [part](auto& r) {
                                 r.Seconds = 3.0;
                                 r.Width = 160;
                                 r.Height = 120;
                                 r.FirstFrameIndex = 75 * part;
                               }));
  }
  const std::string input = temp_.File("joined.ts");
  std::ofstream(input, std::ios::binary) << bytes;
  const std::string said = Split(input, temp_.File("ahead.mp4"), true);
  EXPECT_NE(said.find("do not run forward"), std::string::npos) << said;
  Split(input, temp_.File("plain.mp4"), true, false);
  EXPECT_TRUE(Bytes(temp_.File("ahead.mp4")) == Bytes(temp_.File("plain.mp4")));
  EXPECT_NEAR(DecodedIndices(temp_.File("ahead.mp4")).front(), 75, 1);  // the second part
}

// A pipe cannot seek: the split reads it from the beginning and writes what
// the seeking split of the same file writes.
TEST_F(SeekAheadTest, APipeIsReadFromTheBeginning) {
  const std::string input = MakeFixture(temp_, "ts-h264-aac", "in.ts", [](auto& r) {
    r.Seconds = 6.0;
    r.Width = 160;
    r.Height = 120;
  });
  const std::string bytes = Bytes(input);
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  // A reader that gives up early must not end the test program.
  auto* previous = signal(SIGPIPE, SIG_IGN);
  std::thread writer([&] {
    for (size_t at = 0; at < bytes.size();) {
      const ssize_t written = write(ends[1], bytes.data() + at, bytes.size() - at);
      if (written <= 0) break;
      at += static_cast<size_t>(written);
    }
    close(ends[1]);
  });
  const std::string said =
      Split("pipe:" + std::to_string(ends[0]), temp_.File("piped.mp4"), true);
  close(ends[0]);
  writer.join();
  signal(SIGPIPE, previous);
  EXPECT_EQ(said.find("landed"), std::string::npos) << said;

  Split(input, temp_.File("sought.mp4"), true);
  EXPECT_TRUE(Bytes(temp_.File("piped.mp4")) == Bytes(temp_.File("sought.mp4")));
}

}  // namespace
}  // namespace kelvane::test
