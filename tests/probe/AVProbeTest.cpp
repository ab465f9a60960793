#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <vector>

#include "binding/AVPtr.h"
#include "binding/FFmpegLogger.h"
#include "probe/AVProbe.h"
#include "tests/common/TestSupport.h"
#include "tools/fixtures/FixtureGenerator.h"

namespace kelvane {
namespace {

using fixtures::TFixtureRecipe;

class AVProbeTest : public test::TMediaTest {
 protected:
  // A two-second fixture from a preset, in the test's folder.
  std::string Fixture(const std::string& preset, const std::string& name,
                      const std::function<void(TFixtureRecipe&)>& adjust = nullptr) {
    TFixtureRecipe recipe;
    EXPECT_TRUE(fixtures::FixturePreset(preset, recipe)) << preset;
    if (adjust) adjust(recipe);
    const std::string path = temp_.File(name);
    std::string error;
    EXPECT_TRUE(fixtures::GenerateFixture(recipe, path, &error)) << error;
    return path;
  }

  static void ExpectClosed(const TAVProbe& probe) {
    EXPECT_EQ(probe.FormatContext(), nullptr);
    EXPECT_EQ(probe.StreamCount(), -1);
    EXPECT_EQ(probe.ProgramCount(), -1);
    EXPECT_EQ(probe.AudioStreamCount(), -1);
    EXPECT_EQ(probe.VideoStreamCount(), -1);
    EXPECT_EQ(probe.SubtitleStreamCount(), -1);
    EXPECT_EQ(probe.FirstAudioStreamIndex(), -1);
    EXPECT_EQ(probe.FirstVideoStreamIndex(), -1);
    EXPECT_EQ(probe.FirstSubtitleStreamIndex(), -1);
  }

  static void ExpectReset(const TVideoStreamInfo& info) {
    EXPECT_EQ(info.CodecName, "");
    EXPECT_EQ(info.Width, -1);
    EXPECT_EQ(info.Height, -1);
    EXPECT_EQ(info.FrameRateNum, -1);
    EXPECT_EQ(info.DurationUs, -1);
    EXPECT_EQ(info.AspectRatio, -1.0f);
  }
};

// Collects what reaches the logger while it lives.
class TLogCapture {
 public:
  TLogCapture() {
    GetLogger().OnLog = [this](const void*, uint32_t, TLogLevel level, const std::string& text) {
      lines_.push_back({level, text});
    };
  }
  ~TLogCapture() { GetLogger().OnLog = nullptr; }
  bool Saw(TLogLevel level, const std::string& text) const {
    for (const auto& [l, t] : lines_) {
      if (l == level && t.find(text) != std::string::npos) return true;
    }
    return false;
  }

 private:
  std::vector<std::pair<TLogLevel, std::string>> lines_;
};

struct TContainerCase {
  const char* preset;
  const char* file;
  int width, height;
  const char* codec_prefix;
  bool stream_duration_known;  // Matroska keeps none per stream
};

void PrintTo(const TContainerCase& c, std::ostream* out) { *out << c.preset; }

class AVProbeContainers : public AVProbeTest, public testing::WithParamInterface<TContainerCase> {};

TEST_P(AVProbeContainers, ReportsStreamsDurationSizeAndFrameRate) {
  const TContainerCase& c = GetParam();
  const std::string path = Fixture(c.preset, c.file);
  TAVProbe probe;
  ASSERT_TRUE(probe.LoadFile(path, "")) << probe.LastErrMsg();
  EXPECT_TRUE(probe.OwnsContext());
  EXPECT_EQ(probe.StreamCount(), 2);
  EXPECT_EQ(probe.VideoStreamCount(), 1);
  EXPECT_EQ(probe.AudioStreamCount(), 1);
  EXPECT_EQ(probe.SubtitleStreamCount(), 0);
  EXPECT_GE(probe.FirstVideoStreamIndex(), 0);
  EXPECT_GE(probe.FirstAudioStreamIndex(), 0);
  EXPECT_NE(probe.FirstVideoStreamIndex(), probe.FirstAudioStreamIndex());
  EXPECT_EQ(probe.FirstSubtitleStreamIndex(), -1);

  const TFileStreamInfo file = probe.GetFileStreamInfo();
  EXPECT_NEAR(file.Duration, 2000000, 120000);
  EXPECT_EQ(file.Duration / 1000000, 1 + (file.Duration >= 2000000));
  EXPECT_GE(file.StartTime, 0);
  EXPECT_GT(file.BitRate, 0);

  const TVideoStreamInfo video = probe.GetVideoStreamInfo();
  EXPECT_EQ(video.Width, c.width);
  EXPECT_EQ(video.Height, c.height);
  EXPECT_EQ(video.FrameRateNum / video.FrameRateDen, 25);
  EXPECT_EQ(video.FrameRateNum % video.FrameRateDen, 0);
  EXPECT_EQ(video.CodecName.rfind(c.codec_prefix, 0), 0u) << video.CodecName;
  EXPECT_EQ(video.PixelFormat, AV_PIX_FMT_YUV420P);
  EXPECT_NEAR(video.AspectRatio, double(c.width) / c.height, 0.01);
  if (c.stream_duration_known) {
    EXPECT_NEAR(video.DurationUs, 2000000, 120000);
    const AVStream* stream = probe.FormatContext()->streams[probe.FirstVideoStreamIndex()];
    EXPECT_EQ(video.DurationUs,
              avutil.av_rescale_q(video.Duration, stream->time_base, AV_TIME_BASE_Q));
  } else {
    EXPECT_EQ(video.Duration, -1);
    EXPECT_EQ(video.DurationUs, -1);
  }
  EXPECT_GE(video.StartTimeUs, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, AVProbeContainers,
    testing::Values(
        TContainerCase{"mp4-h264-aac", "a.mp4", 320, 240, "h264(H.264", true},
        TContainerCase{"avi-mpeg4-mp3", "a.avi", 320, 240, "mpeg4(MPEG-4 part 2)", true},
        TContainerCase{"mpeg-mpeg2-mp2", "a.mpg", 352, 288, "mpeg2video(MPEG-2 video)", true},
        TContainerCase{"mkv-h264-vorbis", "a.mkv", 320, 180, "h264(", false}),
    [](const testing::TestParamInfo<TContainerCase>& info) {
      std::string name = info.param.preset;
      for (char& ch : name) {
        if (ch == '-') ch = '_';
      }
      return name;
    });

TEST_F(AVProbeTest, OddFrameSizeAndNtscRate) {
  const std::string path = Fixture("mkv-ffv1-odd", "odd.mkv", [](TFixtureRecipe& recipe) {
    recipe.FrameRate = AVRational{30000, 1001};
    recipe.Seconds = 1.0;
  });
  TAVProbe probe;
  ASSERT_TRUE(probe.LoadFile(path, "")) << probe.LastErrMsg();
  EXPECT_EQ(probe.StreamCount(), 1);
  EXPECT_EQ(probe.AudioStreamCount(), 0);
  EXPECT_EQ(probe.FirstAudioStreamIndex(), -1);
  const TVideoStreamInfo video = probe.GetVideoStreamInfo();
  EXPECT_EQ(video.Width, 321);
  EXPECT_EQ(video.Height, 241);
  EXPECT_EQ(video.FrameRateNum, 30000);
  EXPECT_EQ(video.FrameRateDen, 1001);
}

TEST_F(AVProbeTest, AspectRatioFollowsThePixelShape) {
  const std::string path = Fixture("mkv-h264-vorbis", "wide.mkv", [](TFixtureRecipe& r) {
    r.Width = 720;
    r.Height = 576;
    r.SampleAspect = AVRational{64, 45};
    r.Seconds = 0.5;
  });
  TAVProbe probe;
  ASSERT_TRUE(probe.LoadFile(path, "")) << probe.LastErrMsg();
  EXPECT_NEAR(probe.GetVideoStreamInfo().AspectRatio, 16.0 / 9.0, 0.001);
}

TEST_F(AVProbeTest, TransportStreamStartsLate) {
  const std::string path = Fixture("ts-h264-aac", "a.ts");
  TAVProbe probe;
  ASSERT_TRUE(probe.LoadFile(path, "")) << probe.LastErrMsg();
  EXPECT_EQ(probe.StreamCount(), 2);
  EXPECT_EQ(probe.ProgramCount(), 1);
  const TFileStreamInfo file = probe.GetFileStreamInfo();
  EXPECT_NEAR(file.StartTime, 1400000, 100000);
  EXPECT_NEAR(file.Duration, 2000000, 120000);
  const TVideoStreamInfo video = probe.GetVideoStreamInfo();
  EXPECT_NEAR(video.StartTimeUs, 1400000, 100000);
  EXPECT_EQ(video.StartTimeUs, video.StartTime * 1000000 / 90000);
}

TEST_F(AVProbeTest, AudioOnlyFileOpensButHasNoVideoStream) {
  const std::string path = Fixture("m4a-aac", "tone.m4a");
  TAVProbe probe;
  ASSERT_TRUE(probe.LoadFile(path, "")) << probe.LastErrMsg();
  EXPECT_EQ(probe.StreamCount(), 1);
  EXPECT_EQ(probe.VideoStreamCount(), 0);
  EXPECT_EQ(probe.AudioStreamCount(), 1);
  EXPECT_EQ(probe.FirstAudioStreamIndex(), 0);
  EXPECT_NEAR(probe.GetFileStreamInfo().Duration, 2000000, 120000);

  TLogCapture log;
  ExpectReset(probe.GetVideoStreamInfo());
  EXPECT_EQ(probe.LastErrMsg(), "no video stream.");
  EXPECT_TRUE(log.Saw(llError, "no video stream."));
}

TEST_F(AVProbeTest, CountsSubtitleStreams) {
  const std::string path =
      Fixture("mkv-h264-vorbis", "subtitled.mkv", [](TFixtureRecipe& r) { r.Subtitles = true; });
  TAVProbe probe;
  ASSERT_TRUE(probe.LoadFile(path, "")) << probe.LastErrMsg();
  EXPECT_EQ(probe.StreamCount(), 3);
  EXPECT_EQ(probe.SubtitleStreamCount(), 1);
  EXPECT_EQ(probe.FirstSubtitleStreamIndex(), 2);
  ExpectReset(probe.GetVideoStreamInfoOf(2));
  EXPECT_EQ(probe.LastErrMsg(), "stream #2 is not video stream.");
  EXPECT_STREQ(CodecTypeName(probe.FormatContext()->streams[2]->codecpar->codec_type), "Subtitle");
}

TEST_F(AVProbeTest, SummarisesEveryStreamForReports) {
  const std::string path =
      Fixture("mkv-h264-vorbis", "summary.mkv", [](TFixtureRecipe& r) { r.Subtitles = true; });
  TAVProbe probe;
  EXPECT_EQ(probe.ContainerName(), "");
  EXPECT_TRUE(probe.StreamSummaries().empty());
  ASSERT_TRUE(probe.LoadFile(path, "")) << probe.LastErrMsg();
  EXPECT_EQ(probe.ContainerName(), "matroska,webm");
  const std::vector<TStreamSummary> streams = probe.StreamSummaries();
  ASSERT_EQ(streams.size(), 3u);
  EXPECT_EQ(streams[0].Kind, TStreamSummary::TKind::Video);
  EXPECT_EQ(streams[0].CodecName, "h264");
  EXPECT_EQ(streams[0].Width, 320);
  EXPECT_EQ(streams[0].Height, 180);
  EXPECT_EQ(streams[1].Kind, TStreamSummary::TKind::Audio);
  EXPECT_EQ(streams[1].CodecName, "vorbis");
  EXPECT_EQ(streams[1].SampleRate, 48000);
  EXPECT_EQ(streams[1].Channels, 2);
  EXPECT_EQ(streams[2].Kind, TStreamSummary::TKind::Subtitle);
  EXPECT_EQ(streams[2].Width, 0);
  probe.CloseFile();
  EXPECT_EQ(probe.ContainerName(), "");
  EXPECT_TRUE(probe.StreamSummaries().empty());
}

TEST_F(AVProbeTest, InvalidAndNonVideoStreamIndices) {
  const std::string path = Fixture("mp4-h264-aac", "a.mp4");
  TAVProbe probe;
  ASSERT_TRUE(probe.LoadFile(path, "")) << probe.LastErrMsg();
  TLogCapture log;
  ExpectReset(probe.GetVideoStreamInfoOf(probe.StreamCount()));
  EXPECT_EQ(probe.LastErrMsg(), "stream index #2 is invalid.");
  EXPECT_TRUE(log.Saw(llError, "stream index #2 is invalid."));
  const int audio = probe.FirstAudioStreamIndex();
  ExpectReset(probe.GetVideoStreamInfoOf(audio));
  EXPECT_EQ(probe.LastErrMsg(), "stream #" + std::to_string(audio) + " is not video stream.");
  // A valid index still works afterwards, and success leaves the message alone.
  EXPECT_EQ(probe.GetVideoStreamInfoOf(probe.FirstVideoStreamIndex()).Width, 320);
  EXPECT_EQ(probe.LastErrMsg(), "stream #" + std::to_string(audio) + " is not video stream.");
}

TEST_F(AVProbeTest, MissingFileFailsWithItsNameAndLeavesTheProbeClosed) {
  const std::string path = temp_.File("not-there.mp4");
  TAVProbe probe;
  EXPECT_FALSE(probe.LoadFile(path, ""));
  EXPECT_EQ(probe.LastErrMsg(), path + ": no such file or directory");
  ExpectClosed(probe);

  TLogCapture log;
  const TFileStreamInfo file = probe.GetFileStreamInfo();
  EXPECT_EQ(file.Duration, -1);
  EXPECT_EQ(file.StartTime, -1);
  EXPECT_EQ(file.BitRate, -1);
  EXPECT_EQ(file.Title, "");
  EXPECT_EQ(probe.LastErrMsg(), "file not loaded.");
  EXPECT_TRUE(log.Saw(llWarning, "file not loaded."));
  ExpectReset(probe.GetVideoStreamInfo());

  // Long names are reported whole.
  std::string deep = temp_.Path().string();
  for (int i = 0; i < 8; ++i) deep += "/" + std::string(200, char('a' + i));
  deep += "/clip.mp4";
  EXPECT_FALSE(probe.LoadFile(deep, ""));
  EXPECT_EQ(probe.LastErrMsg(), deep + ": no such file or directory");
}

TEST_F(AVProbeTest, NonMediaFilesReportAnUnknownFormat) {
  const std::string text = temp_.File("notes.txt");
  std::ofstream(text) << "These are not the frames you are looking for.\n";
  const std::string empty = temp_.File("empty.mp4");
  std::ofstream{empty};
  const std::string noise = temp_.File("noise.avi");
  {
    std::ofstream out(noise, std::ios::binary);
    uint32_t x = 12345;
    for (int i = 0; i < 200000; ++i) {
      x = x * 1664525u + 1013904223u;
      out.put(char(x >> 24));
    }
  }
  TAVProbe probe;
  for (const std::string& path : {text, empty, noise}) {
    EXPECT_FALSE(probe.LoadFile(path, "")) << path;
    EXPECT_EQ(probe.LastErrMsg(), path + ": Unknown format");
    ExpectClosed(probe);
  }
}

TEST_F(AVProbeTest, TruncatedFilesOpenOrFailWithAClearText) {
  const std::string cases[][2] = {{"mp4-h264-aac", "cut.mp4"},
                                  {"avi-mpeg4-mp3", "cut.avi"},
                                  {"mpeg-mpeg2-mp2", "cut.mpg"},
                                  {"mkv-h264-vorbis", "cut.mkv"}};
  for (const auto& [preset, name] : cases) {
    const std::string path = Fixture(preset, name);
    const auto full = std::filesystem::file_size(path);
    for (double keep : {0.5, 0.02}) {
      std::filesystem::resize_file(path, static_cast<uintmax_t>(full * keep));
      TAVProbe probe;
      if (probe.LoadFile(path, "")) {
        EXPECT_GE(probe.StreamCount(), 1) << name;
        // Whatever survived can be asked about.
        probe.GetFileStreamInfo();
        probe.GetVideoStreamInfo();
      } else {
        EXPECT_EQ(probe.LastErrMsg().rfind(path + ": ", 0), 0u) << probe.LastErrMsg();
        EXPECT_GT(probe.LastErrMsg().size(), path.size() + 2);
        ExpectClosed(probe);
      }
    }
  }
  // A cut MP4 loses its index: that is a damaged header of a known format.
  TAVProbe probe;
  EXPECT_FALSE(probe.LoadFile(temp_.File("cut.mp4"), ""));
  EXPECT_EQ(probe.LastErrMsg(), temp_.File("cut.mp4") + ": Error while parsing header");
}

// Inputs found by fuzzing that the libraries alone do not finish with.
TEST_F(AVProbeTest, DamagedInputsTheLibrariesMishandleFailQuickly) {
  // A JPEG XL picture shorter than its signature: libjxl would wait for ever.
  const std::string tiny = temp_.File("tiny.jxl");
  std::ofstream(tiny, std::ios::binary) << std::string(3, '\0');
  TAVProbe probe;
  EXPECT_FALSE(probe.LoadFile(tiny, ""));
  EXPECT_EQ(probe.LastErrMsg(), tiny + ": Unknown format");
  ExpectClosed(probe);
}

TEST_F(AVProbeTest, ForcedFormat) {
  const std::string path = Fixture("mp4-h264-aac", "a.mp4");
  TAVProbe probe;
  EXPECT_FALSE(probe.LoadFile(path, "no-such-demuxer"));
  EXPECT_EQ(probe.LastErrMsg(), "Unknown input format: no-such-demuxer");
  ExpectClosed(probe);

  ASSERT_TRUE(probe.LoadFile(path, "mov")) << probe.LastErrMsg();
  EXPECT_EQ(probe.ForcedFormat(), "mov");
  EXPECT_EQ(probe.StreamCount(), 2);
  probe.CloseFile();
  EXPECT_EQ(probe.ForcedFormat(), "");
  // A demuxer that does not fit the file finds no header of its kind.
  EXPECT_FALSE(probe.LoadFile(path, "wav"));
  EXPECT_EQ(probe.LastErrMsg(), path + ": Error while parsing header");
}

TEST_F(AVProbeTest, LoadingAnotherFileReplacesTheFirst) {
  const std::string video = Fixture("mp4-h264-aac", "a.mp4");
  const std::string audio = Fixture("mp3-audio", "b.mp3");
  TAVProbe probe;
  ASSERT_TRUE(probe.LoadFile(video, ""));
  ASSERT_TRUE(probe.LoadFile(audio, ""));
  EXPECT_EQ(probe.StreamCount(), 1);
  EXPECT_EQ(probe.VideoStreamCount(), 0);
  EXPECT_FALSE(probe.LoadFile(temp_.File("gone.mp4"), ""));
  ExpectClosed(probe);
}

TEST_F(AVProbeTest, ReadsContainerTags) {
  const std::string path = Fixture("mkv-h264-vorbis", "tags.mkv", [](TFixtureRecipe& recipe) {
    recipe.Seconds = 0.5;
    recipe.Metadata = {{"title", "Harbour at dawn"}, {"artist", "K. Orvath"},
                       {"comment", "test clip"},     {"album", "Shore"},
                       {"genre", "Documentary"},     {"copyright", "2009 Orvath"},
                       {"date", "2009-05-01"},       {"track", "3/12"}};
  });
  TAVProbe probe;
  ASSERT_TRUE(probe.LoadFile(path, "")) << probe.LastErrMsg();
  const TFileStreamInfo file = probe.GetFileStreamInfo();
  EXPECT_EQ(file.Title, "Harbour at dawn");
  EXPECT_EQ(file.Author, "K. Orvath");
  EXPECT_EQ(file.Comment, "test clip");
  EXPECT_EQ(file.Album, "Shore");
  EXPECT_EQ(file.Genre, "Documentary");
  EXPECT_EQ(file.Copyright, "2009 Orvath");
  EXPECT_EQ(file.Year, 2009);
  EXPECT_EQ(file.Track, 3);
  EXPECT_EQ(file.Timestamp, 0);
}

TEST_F(AVProbeTest, ElementaryStreamWithoutContainerDuration) {
  const std::string path = Fixture("h264-raw", "a.h264");
  TAVProbe probe;
  ASSERT_TRUE(probe.LoadFile(path, "")) << probe.LastErrMsg();
  EXPECT_EQ(probe.VideoStreamCount(), 1);
  const TVideoStreamInfo video = probe.GetVideoStreamInfo();
  EXPECT_EQ(video.Width, 320);
  // Unknown times come back as -1 in both units, never as the library's marker or 0.
  const TFileStreamInfo file = probe.GetFileStreamInfo();
  EXPECT_EQ(file.Duration, -1);
  EXPECT_EQ(file.StartTime, -1);
  EXPECT_EQ(video.Duration, -1);
  EXPECT_EQ(video.DurationUs, -1);
  EXPECT_EQ(video.StartTime, -1);
  EXPECT_EQ(video.StartTimeUs, -1);
}

TEST_F(AVProbeTest, AttachedContextIsReadButNotClosed) {
  const std::string path = Fixture("avi-mpeg4-mp3", "a.avi");
  AVFormatContext* raw = nullptr;
  ASSERT_GE(avformat.avformat_open_input(&raw, path.c_str(), nullptr, nullptr), 0);
  AVInputFormatContextPtr context(raw);
  ASSERT_GE(avformat.avformat_find_stream_info(context.get(), nullptr), 0);
  {
    TAVProbe probe;
    probe.AttachContext(context.get());
    EXPECT_FALSE(probe.OwnsContext());
    EXPECT_EQ(probe.FormatContext(), context.get());
    EXPECT_EQ(probe.StreamCount(), 2);
    EXPECT_EQ(probe.GetVideoStreamInfo().Width, 320);
    probe.CloseFile();
    ExpectClosed(probe);
    probe.AttachContext(context.get());
  }  // the destructor forgets it too
  // Still ours and intact (the sanitizer would catch a close behind our back).
  EXPECT_EQ(context->nb_streams, 2u);

  TAVProbe empty;
  empty.AttachContext(nullptr);
  ExpectClosed(empty);
}

TEST_F(AVProbeTest, StreamWithoutTimeBaseDenominatorIsRepairedBeforeRescaling) {
  const std::string path = Fixture("mp4-h264", "v.mp4");
  AVFormatContext* raw = nullptr;
  ASSERT_GE(avformat.avformat_open_input(&raw, path.c_str(), nullptr, nullptr), 0);
  AVInputFormatContextPtr context(raw);
  ASSERT_GE(avformat.avformat_find_stream_info(context.get(), nullptr), 0);
  AVStream* stream = context->streams[0];
  stream->time_base = AVRational{1, 0};
  stream->duration = 50;
  TAVProbe probe;
  probe.AttachContext(context.get());
  TVideoStreamInfo video = probe.GetVideoStreamInfo();
  EXPECT_EQ(stream->time_base.den, 1);
  EXPECT_EQ(video.Duration, 50);
  EXPECT_EQ(video.DurationUs, 50000000);
  stream->time_base = AVRational{0, 0};
  video = probe.GetVideoStreamInfo();
  EXPECT_EQ(stream->time_base.den, 1);
  EXPECT_EQ(video.Duration, 50);
}

// Under the C locale a non-ASCII name cannot be handed over as it is.
TEST_F(AVProbeTest, NameOutsideTheLocaleCharacterSetOpensThroughTheUnicodeProtocol) {
  const std::string path = temp_.File("\xC3\xA9t\xC3\xA9 \xE6\xB5\xB7.mp4");  // "été 海.mp4"
  std::filesystem::copy_file(Fixture("mp4-h264-aac", "a.mp4"), path);
  const std::string saved = setlocale(LC_ALL, nullptr);
  setlocale(LC_ALL, "C");
  TAVProbe probe;
  const bool loaded = probe.LoadFile(path, "");
  const bool custom_io = loaded && (probe.FormatContext()->flags & AVFMT_FLAG_CUSTOM_IO);
  const int width = loaded ? probe.GetVideoStreamInfo().Width : 0;
  probe.CloseFile();
  const bool missing_fails = !probe.LoadFile(path + ".gone", "");
  const std::string missing_text = probe.LastErrMsg();
  setlocale(LC_ALL, saved.c_str());
  EXPECT_TRUE(loaded) << missing_text;
  EXPECT_TRUE(custom_io);
  EXPECT_EQ(width, 320);
  EXPECT_TRUE(missing_fails);
  EXPECT_EQ(missing_text, path + ".gone: no such file or directory");

  // Under a UTF-8 locale the same name goes to the library as it is.
  ASSERT_TRUE(probe.LoadFile(path, "")) << probe.LastErrMsg();
  EXPECT_FALSE(probe.FormatContext()->flags & AVFMT_FLAG_CUSTOM_IO);
}

TEST_F(AVProbeTest, MissingLibraryRaisesItsMessage) {
  TFFmpegLoader& loader = GetLoader();
  TAVProbe probe;
  loader.UnloadOne(LibSwScale);
  EXPECT_THROW(
      {
        try {
          probe.LoadFile(temp_.File("x.mp4"), "");
        } catch (const TAVProbeError& e) {
          EXPECT_STREQ(e.what(), "LibSwScale not loaded.");
          throw;
        }
      },
      TAVProbeError);
  EXPECT_THROW(probe.AttachContext(nullptr), TAVProbeError);
  EXPECT_EQ(probe.LastErrMsg(), "");
  ASSERT_TRUE(loader.LoadOne(LibSwScale)) << loader.LastError();
  EXPECT_FALSE(probe.LoadFile(temp_.File("x.mp4"), ""));
}

TEST(AVProbeTexts, CodecDescription) {
  test::LoadEngineLibrariesOrFail();
  EXPECT_EQ(CodecDescription(AV_CODEC_ID_H264, 0).rfind("h264(H.264", 0), 0u);
  EXPECT_EQ(CodecDescription(AV_CODEC_ID_MPEG2TS, 0), "mpeg2ts");
  EXPECT_EQ(CodecDescription(AV_CODEC_ID_NONE, MKTAG('X', 'V', 'I', 'D')), "XVID / 0x44495658");
  EXPECT_EQ(CodecDescription(AV_CODEC_ID_NONE, MKTAG('a', 'b', ' ', '~')), "ab ~ / 0x7E206261");
  EXPECT_EQ(CodecDescription(AV_CODEC_ID_NONE, 0x31), "0x0031");
  EXPECT_EQ(CodecDescription(AV_CODEC_ID_NONE, MKTAG('X', 'V', 'I', 0x7F)), "0x7f495658");
  EXPECT_EQ(CodecDescription(static_cast<const AVCodecParameters*>(nullptr)), "");
}

TEST(AVProbeTexts, CodecTypeName) {
  EXPECT_STREQ(CodecTypeName(AVMEDIA_TYPE_VIDEO), "Video");
  EXPECT_STREQ(CodecTypeName(AVMEDIA_TYPE_AUDIO), "Audio");
  EXPECT_STREQ(CodecTypeName(AVMEDIA_TYPE_DATA), "Data");
  EXPECT_STREQ(CodecTypeName(AVMEDIA_TYPE_SUBTITLE), "Subtitle");
  EXPECT_STREQ(CodecTypeName(AVMEDIA_TYPE_ATTACHMENT), "Attachment");
  EXPECT_STREQ(CodecTypeName(AVMEDIA_TYPE_UNKNOWN), "Unknown");
  EXPECT_STREQ(CodecTypeName(99), "Unknown");
}

TEST(AVProbeTexts, OpenErrorText) {
  const std::string f = "clip.mp4";
  EXPECT_EQ(OpenErrorText(AVERROR_DEMUXER_NOT_FOUND, f), "clip.mp4: Unknown format");
  EXPECT_EQ(OpenErrorText(AVERROR_PROTOCOL_NOT_FOUND, f), "clip.mp4: Unknown format");
  EXPECT_EQ(OpenErrorText(AVERROR(EDOM), f),
            "clip.mp4: Incorrect image filename syntax.\r\n"
            "Use '%d' to specify the image number:\r\n"
            "  for img1.jpg, img2.jpg, ..., use 'img%d.jpg';\r\n"
            "  for img001.jpg, img002.jpg, ..., use 'img%03d.jpg'.");
  EXPECT_EQ(OpenErrorText(AVERROR_INVALIDDATA, f), "clip.mp4: Error while parsing header");
  EXPECT_EQ(OpenErrorText(AVERROR(EINVAL), f), "clip.mp4: Error while parsing header");
  EXPECT_EQ(OpenErrorText(AVERROR(ENOMEM), f), "clip.mp4: memory allocation error occurred");
  EXPECT_EQ(OpenErrorText(AVERROR(EIO), f),
            "clip.mp4: I/O error occurred\r\n"
            "Usually that means that input file is truncated and/or corrupted.");
  EXPECT_EQ(OpenErrorText(AVERROR_EOF, f), OpenErrorText(AVERROR(EIO), f));
  EXPECT_EQ(OpenErrorText(AVERROR(ENOENT), f), "clip.mp4: no such file or directory");
  EXPECT_EQ(OpenErrorText(AVERROR(EACCES), f), "clip.mp4: Error while opening file");
  // A name with a percent sign is copied, not interpreted.
  EXPECT_EQ(OpenErrorText(AVERROR(ENOENT), "100%s.mp4"), "100%s.mp4: no such file or directory");
}

TEST_F(AVProbeTest, FolderInsteadOfAFile) {
  TAVProbe probe;
  const std::string folder = temp_.Path().string();
  EXPECT_FALSE(probe.LoadFile(folder, ""));
  EXPECT_EQ(probe.LastErrMsg(), folder + ": Error while opening file");
  ExpectClosed(probe);
}

}  // namespace
}  // namespace kelvane
