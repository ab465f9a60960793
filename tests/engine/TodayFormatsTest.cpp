// Today's encoders through whole tasks, set as a split sets them (records plus
// option lines): H.264, H.265, AV1 and VP9 with their private options, the
// source's colour description, bit depth, pixel shape, title and variable
// frame rate kept; an animated GIF with a palette of its own; and the audio-only
// outputs. Small pictures and the encoders' fastest settings keep it quick.
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "engine/FFConverter.h"
#include "tests/common/MediaAssertions.h"
#include "tests/common/TestSupport.h"
#include "tests/engine/RunTestSupport.h"

namespace kelvane {
namespace {

using fixtures::TMediaFacts;
using fixtures::TStreamFacts;

// The sources, made once: every one 2 s at 25 fps with a sound mark every 5
// frames from frame 2 on.
struct TSources {
  std::string Hevc10;  // H.265 Main 10, BT.2020 / PQ / limited range
  std::string Bt709;   // H.264, BT.709 / full range, pixels 8:9, titled
  std::string Vfr;     // Matroska H.264, the second second at 12.5 fps
  std::string Audio;   // WAV only
};

const TSources& Sources() {
  static test::TTempDir* folder = new test::TTempDir();  // lives until the program ends
  static TSources sources = [] {
    auto marks = [](fixtures::TFixtureRecipe& r) {
      r.Seconds = 2;
      r.TickEveryFrames = 5;
      r.TickFirstFrame = 2;
    };
    TSources s;
    s.Hevc10 = test::MakeFixture(*folder, "mp4-hevc10-aac", "hevc10.mp4", marks);
    s.Bt709 = test::MakeFixture(*folder, "mp4-h264-bt709", "bt709.mp4", [&](auto& r) {
      marks(r);
      r.SampleAspect = AVRational{8, 9};
      r.Metadata["title"] = "Harbour at dawn";
      r.Metadata["creation_time"] = "2024-05-01T06:30:00.000000Z";
    });
    s.Vfr = test::MakeFixture(*folder, "mkv-h264-vfr", "vfr.mkv", marks);
    s.Audio = test::MakeFixture(*folder, "wav-pcm", "tone.wav", [&](auto& r) {
      marks(r);
      r.SampleRate = 48000;
    });
    return s;
  }();
  return sources;
}

struct TFormatCase {
  const char* Name;
  const std::string TSources::*Source;
  const char* File;
  const char* Video;
  const char* Audio;
  const char* Tag;
  const char* Lines;  // option lines, as the format list sets them
  const char* Format;  // a name of the demuxer that reads it back
  const char* VideoName;
  const char* AudioName;
  const char* PixelFormat;
  int VideoSync = -1;
};

std::ostream& operator<<(std::ostream& out, const TFormatCase& c) { return out << c.Name; }

class TodayFormatsTest : public test::TMediaTest,
                         public testing::WithParamInterface<TFormatCase> {
 protected:
  // Splits 0.40 s .. 1.40 s of `input` (pictures 10 .. 34).
  std::string Split(const std::string& input, TOutputOptions options, const std::string& out) {
    TFFConverter converter;
    if (converter.AddTask(input) < 0) return converter.LastError();
    options.StartTime = 400;
    options.RecordingTime = 1000;
    if (!converter.SetOutput(0, out, &options)) return "SetOutput: " + converter.LastError();
    return test::RunTasksSynchronously(converter);
  }
};

// A picture source's colour description and pixel shape on the output.
void ExpectSameColour(const TStreamFacts& in, const TStreamFacts& out) {
  EXPECT_EQ(out.ColorPrimaries, in.ColorPrimaries);
  EXPECT_EQ(out.ColorTransfer, in.ColorTransfer);
  EXPECT_EQ(out.ColorSpace, in.ColorSpace);
  EXPECT_EQ(out.ColorRange, in.ColorRange);
  auto square_if_unknown = [](AVRational r) { return r.num > 0 ? r : AVRational{1, 1}; };
  EXPECT_EQ(av_cmp_q(square_if_unknown(out.SampleAspect), square_if_unknown(in.SampleAspect)), 0)
      << out.SampleAspect.num << ":" << out.SampleAspect.den;
}

TEST_P(TodayFormatsTest, KeepsPicturesSoundColourDepthAndTitle) {
  const TFormatCase& c = GetParam();
  const std::string input = Sources().*c.Source;
  TOutputOptions options;
  options.VideoCodec = c.Video;
  options.AudioCodec = c.Audio;
  options.VideoTag = c.Tag;
  options.VideoSync = c.VideoSync;
  options.ExtOptions = c.Lines;
  const std::string out = temp_.File(c.File);
  ASSERT_EQ(Split(input, options, out), "");

  const TMediaFacts source = test::ReadFactsOrFail(input);
  const TMediaFacts facts = test::ReadFactsOrFail(out);
  EXPECT_NE(facts.FormatName.find(c.Format), std::string::npos) << facts.FormatName;
  ASSERT_TRUE(test::HasStreams(out, 1, 1));
  const TStreamFacts& in_video = *source.FirstOf(AVMEDIA_TYPE_VIDEO);
  const TStreamFacts& video = *facts.FirstOf(AVMEDIA_TYPE_VIDEO);
  EXPECT_EQ(video.CodecName, c.VideoName);
  EXPECT_EQ(facts.FirstOf(AVMEDIA_TYPE_AUDIO)->CodecName, c.AudioName);
  EXPECT_EQ(video.Width, in_video.Width);
  EXPECT_EQ(video.Height, in_video.Height);
  EXPECT_EQ(video.PixelFormat, c.PixelFormat);
  ExpectSameColour(in_video, video);
  if (*c.Tag) {
    EXPECT_EQ(video.CodecTag, c.Tag);
  }
  for (const char* key : {"title", "creation_time"}) {
    if (source.Metadata.count(key)) {
      EXPECT_EQ(facts.Metadata.count(key) ? facts.Metadata.at(key) : "", source.Metadata.at(key))
          << key;
    }
  }

  if (c.Source == &TSources::Vfr) {
    // The source's own times, not a fixed rate: pictures 8 .. 24 one period
    // apart (Matroska starts the source's pictures 2 periods late), then
    // 25 .. 28 two periods apart.
    std::vector<fixtures::TDecodedFrame> frames;
    std::string error;
    ASSERT_TRUE(fixtures::DecodeVideoFrames(out, frames, &error)) << error;
    std::set<int64_t> steps;
    for (size_t i = 1; i < frames.size(); ++i) steps.insert(frames[i].PtsUs - frames[i - 1].PtsUs);
    EXPECT_EQ(steps, (std::set<int64_t>{40000, 80000}));
    EXPECT_TRUE(test::FrameIndicesRun(out, 8, 21));
    return;
  }
  EXPECT_TRUE(test::FrameIndicesRun(out, 10, 25));
  test::TMarkOffsets marks;
  ASSERT_TRUE(test::MeasureMarkOffsets(out, 5, 2, 40000, marks));
  EXPECT_EQ(marks.OffsetsUs.size(), 5u);
  // (Matroska stores Opus's priming as the track's codec delay, which the
  // reader takes off every time: the sound is in place there too.)
  EXPECT_LE(std::llabs(marks.First()), 5000) << "first mark";
  EXPECT_LE(std::llabs(marks.Last()), 5000) << "last mark";
}

INSTANTIATE_TEST_SUITE_P(
    Encoders, TodayFormatsTest,
    testing::Values(
        TFormatCase{"H264Mp4", &TSources::Bt709, "h264.mp4", "libx264", "aac", "",
                    "preset=ultrafast\ncrf=22\nprofile=high\npix_fmt=yuv420p\n"
                    "movflags=+faststart\nmap_meta_data=0:0",
                    "mp4", "h264", "aac", "yuvj420p"},
        TFormatCase{"H264FromTenBits", &TSources::Hevc10, "h264-8.mp4", "libx264", "aac", "",
                    "preset=ultrafast\ncrf=22\nprofile=high\npix_fmt=yuv420p", "mp4", "h264",
                    "aac", "yuv420p"},
        TFormatCase{"H265Mp4", &TSources::Hevc10, "h265.mp4", "libx265", "aac", "hvc1",
                    "preset=ultrafast\ncrf=24\nx265-params=log-level=error\n"
                    "movflags=+faststart",
                    "mp4", "hevc", "aac", "yuv420p10le"},
        TFormatCase{"Av1Mkv", &TSources::Hevc10, "av1.mkv", "libsvtav1", "libopus", "",
                    "preset=12\ncrf=32", "matroska", "av1", "opus", "yuv420p10le"},
        TFormatCase{"Vp9Webm", &TSources::Hevc10, "vp9.webm", "libvpx-vp9", "libopus", "",
                    "deadline=good\ncpu-used=8\ncrf=32\nb=0\npix_fmt=yuv420p",
                    "matroska", "vp9", "opus", "yuv420p"},
        TFormatCase{"H264MkvVariableRate", &TSources::Vfr, "vfr.mkv", "libx264", "aac", "",
                    "preset=ultrafast\ncrf=22\nprofile=high\npix_fmt=yuv420p", "matroska",
                    "h264", "aac", "yuv420p", 2},
        TFormatCase{"H264Mp4VariableRate", &TSources::Vfr, "vfr.mp4", "libx264", "aac", "",
                    "preset=ultrafast\ncrf=22\npix_fmt=yuv420p", "mp4", "h264", "aac",
                    "yuv420p", 2}),
    [](const testing::TestParamInfo<TFormatCase>& info) { return std::string(info.param.Name); });

// "+faststart" moves the index in front of the pictures; the profile is High.
TEST_F(TodayFormatsTest, H264OptionsReachTheEncoderAndTheMuxer) {
  TOutputOptions options;
  options.VideoCodec = "libx264";
  options.AudioCodec = "aac";
  options.ExtOptions = "preset=fast\ncrf=22\nprofile=high\nmovflags=+faststart";
  const std::string out = temp_.File("fast.mp4");
  ASSERT_EQ(Split(Sources().Bt709, options, out), "");
  std::ifstream file(out, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  ASSERT_NE(bytes.find("moov"), std::string::npos);
  EXPECT_LT(bytes.find("moov"), bytes.find("mdat"));
  const TMediaFacts facts = test::ReadFactsOrFail(out);
  EXPECT_EQ(facts.FirstOf(AVMEDIA_TYPE_VIDEO)->Profile, FF_PROFILE_H264_HIGH);

  // High profile takes 8 bits only: a 10-bit source needs "pix_fmt=yuv420p" too.
  EXPECT_NE(Split(Sources().Hevc10, options, temp_.File("ten-bits.mp4")), "");
  options.ExtOptions = "preset=warp-speed";
  EXPECT_NE(Split(Sources().Bt709, options, temp_.File("refused.mp4")), "");
}

// A short animated GIF: 15 pictures a second, at most 480 wide, its own
// palette, no sound.
TEST_F(TodayFormatsTest, GifHasAPaletteOfItsOwnAndNoSound) {
  const std::string input = test::MakeFixture(temp_, "mp4-h264-aac", "wide.mp4", [](auto& r) {
    r.Seconds = 2;
    r.Width = 640;
    r.Height = 360;
  });
  TOutputOptions options;
  options.VideoCodec = "gif";
  options.DisableAudio = true;
  options.FrameRate = "15";
  options.ExtOptions = "pix_fmt=pal8";
  options.VideoFilters =
      "scale=w='min(480,iw)':h=-2,split[a][b];[a]palettegen[p];[b][p]paletteuse";
  const std::string out = temp_.File("clip.gif");
  ASSERT_EQ(Split(input, options, out), "");
  const TMediaFacts facts = test::ReadFactsOrFail(out);
  ASSERT_TRUE(test::HasStreams(out, 1, 0));
  const TStreamFacts& video = *facts.FirstOf(AVMEDIA_TYPE_VIDEO);
  EXPECT_EQ(video.Width, 480);
  EXPECT_EQ(video.Height, 270);
  EXPECT_EQ(video.PixelFormat, "bgra");  // the GIF reader's pictures from the palette
  // Pictures 10 .. 34 at 25 fps become 15 (or 16, the last one rounded in),
  // every one from its own moment.
  const std::vector<int> indices = test::DecodedIndices(out);
  ASSERT_NEAR(double(indices.size()), 15.0, 1.0) << test::DescribeIndices(indices);
  EXPECT_EQ(indices.front(), 10);
  for (size_t i = 1; i < indices.size(); ++i) {
    EXPECT_GT(indices[i], indices[i - 1]) << test::DescribeIndices(indices);
  }
}

// Sound alone, from a picture source and from a sound-only one.
TEST_F(TodayFormatsTest, AudioOnlyOutputs) {
  struct TAudioCase {
    const char* File;
    const char* Codec;
    const char* Format;
    const char* Name;
    int Rate;
  };
  const TAudioCase cases[] = {
      {"a.mp3", "libmp3lame", "mp3", "mp3", 48000}, {"a.m4a", "aac", "mp4", "aac", 48000},
      {"a.opus", "libopus", "ogg", "opus", 48000},  {"a.flac", "flac", "flac", "flac", 48000},
      {"a.wav", "pcm_s16le", "wav", "pcm_s16le", 48000}};
  for (const std::string& input : {Sources().Bt709, Sources().Audio}) {
    for (const TAudioCase& c : cases) {
      SCOPED_TRACE(input + " -> " + c.File);
      TOutputOptions options;
      options.DisableVideo = true;
      options.AudioCodec = c.Codec;
      options.AudioBitrate = 128000;
      const std::string out = temp_.File(c.File);
      ASSERT_EQ(Split(input, options, out), "");
      const TMediaFacts facts = test::ReadFactsOrFail(out);
      EXPECT_NE(facts.FormatName.find(c.Format), std::string::npos) << facts.FormatName;
      ASSERT_TRUE(test::HasStreams(out, 0, 1));
      EXPECT_EQ(facts.FirstOf(AVMEDIA_TYPE_AUDIO)->CodecName, c.Name);
      fixtures::TAudioFacts audio;
      std::string error;
      ASSERT_TRUE(fixtures::DecodeAudio(out, audio, &error)) << error;
      EXPECT_EQ(audio.SampleRate, c.Rate);
      EXPECT_NEAR(double(audio.Samples) / audio.SampleRate, 1.0, 0.03);
      test::TMarkOffsets marks;
      ASSERT_TRUE(test::MeasureMarkOffsets(out, 5, 2, 40000, marks));
      EXPECT_EQ(marks.OffsetsUs.size(), 5u);
      // The sound starts where the file does: an MP3's after the encoder's
      // priming, which its LAME header tells the reader to skip.
      EXPECT_LE(std::llabs(marks.First() - std::max<int64_t>(0, facts.StartTimeUs)), 5000)
          << "first mark";
    }
  }
}

}  // namespace
}  // namespace kelvane
