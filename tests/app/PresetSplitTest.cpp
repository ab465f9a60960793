// Every preset the format list offers splits a generated clip into a file of
// the preset's container, with the codecs, size, sample rate and channels its
// lists say, the marked segment's duration and its sound in step with its
// pictures; and a split ends with exactly one message that says how it went.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <map>
#include <memory>
#include <set>

#include "app/MainWindowModel.h"
#include "app/SettingsLists.h"
#include "app/TextUtils.h"
#include "binding/FFmpegLoader.h"
#include "binding/MainThread.h"
#include "engine/EncoderLimits.h"
#include "engine/SplitCheck.h"
#include "probe/AVProbe.h"
#include "tests/app/RecordingSink.h"
#include "tests/common/MediaAssertions.h"
#include "tests/common/TestSupport.h"
#include "tools/fixtures/FixtureGenerator.h"
#include "tools/fixtures/MediaFacts.h"

namespace kelvane::test {
namespace {

using namespace std::chrono_literals;

// Sound marks every 5 frames from frame 2 on: the first one heard lies
// 80 ms into the segment, clear of the encoders' priming.
constexpr int kMarkEvery = 5;
constexpr int kFirstMark = 2;

// The clip every split reads: 4 s of 320x240 H.264 at 25 fps with stereo AAC
// that holds a sharp sound mark every 5 frames.
class TClip {
 public:
  static const std::string& Path() {
    static TClip clip;
    return clip.path_;
  }

 private:
  TClip() {
    fixtures::TFixtureRecipe recipe;
    recipe.Seconds = 4.0;
    recipe.TickEveryFrames = kMarkEvery;
    recipe.TickFirstFrame = kFirstMark;
    path_ = dir_.File("clip.mp4");
    std::string error;
    if (!fixtures::GenerateFixture(recipe, path_, &error)) path_.clear();
    EXPECT_FALSE(path_.empty()) << error;
  }
  TTempDir dir_;
  std::string path_;
};

// The codec library's name of the codec an encoder writes.
std::string CodecWrittenBy(const std::string& encoder) {
  if (encoder == "libopencore_amrnb") return "amr_nb";  // served outside the codec library
  const AVCodec* codec = avcodec.avcodec_find_encoder_by_name(encoder.c_str());
  return codec != nullptr ? avcodec.avcodec_get_name(codec->id) : "(no encoder " + encoder + ")";
}

// The demuxer that reads a container back.
std::string DemuxerOf(const std::string& container) {
  if (container == "3GP" || container == "3G2" || container == "MP4" || container == "MOV") {
    return "mov,mp4,m4a,3gp,3g2,mj2";
  }
  if (container == "M4A") return "mov,mp4,m4a,3gp,3g2,mj2";
  if (container == "MPG" || container == "VOB") return "mpeg";
  if (container == "WMV" || container == "ASF") return "asf";
  if (container == "MKV" || container == "WEBM") return "matroska,webm";
  if (container == "OPUS") return "ogg";
  return LowerCase(container);  // avi, flv, swf, rm, amr, mp3, flac, wav, gif
}

class TSplitRun : public TMediaTest {
 protected:
  void SetUp() override {
    TMediaTest::SetUp();
    ASSERT_FALSE(TClip::Path().empty());
    model_.FormCreate(KELVANE_BINARY_DIR);
    model_.EditOutputFolder = temp_.Path().string();
    ASSERT_TRUE(model_.AddVideoFile(TClip::Path()));
  }

  void Choose(const std::string& format) {
    const int index = model_.ComboOutputFormat.IndexOf(format);
    ASSERT_GE(index, 0) << format;
    model_.ComboOutputFormat.Select(index);
    model_.ComboOutputFormatChange();
  }

  // Presses Start and waits for the split's end message; returns its text.
  std::string Split() {
    model_.ButtonStartClick();
    if (!model_.Splitting) {
      const auto texts = sink_.Texts();
      return "(not started) " + (texts.empty() ? std::string() : texts.back()) + " [" +
             model_.Converter().LastError() + "]";
    }
    const bool ended = WaitOnMainThread([this] { return !model_.Splitting; }, 240s);
    EXPECT_TRUE(ended) << "the split did not end";
    if (!ended) return "(still running)";
    // The view would fire the one-shot timer 100 ms later; both end events
    // have arrived by then.
    WaitOnMainThread([] { return false; }, 100ms);
    EXPECT_TRUE(model_.EndMessageTimerEnabled);
    model_.EndMessageTimerFired();
    const auto texts = sink_.Texts();
    EXPECT_EQ(texts.size(), 1u);
    return texts.empty() ? std::string() : texts.back();
  }

  // The end message of a finished split names its file.
  void ExpectCompleted(const std::string& said) {
    EXPECT_EQ(said, "Splitting job completed!\n\rThe new file is " + model_.LastOutputPath());
  }

  TRecordingSink sink_;
  TMainWindowModel model_{sink_};
};

class TPresetSplitTest : public TSplitRun, public testing::WithParamInterface<std::string> {};

TEST_P(TPresetSplitTest, WritesTheSegmentAsTheListsSay) {
  Choose(GetParam());
  model_.StartMarkText = "1.00";
  model_.EndMarkText = "3.00";
  TSplitPlan plan;
  std::string refusal;
  ASSERT_TRUE(BuildSplitPlan(model_.MakeSplitJob(), plan, refusal)) << refusal;
  const TOutputOptions& out = plan.OutputOptions;
  // The list's rate, unless the encoder cannot take it (the fallback lists
  // offer 96000 Hz to MP3 and MP2); "Original" keeps the clip's rate and channels.
  fixtures::TMediaFacts source;
  ASSERT_TRUE(fixtures::ReadMediaFacts(TClip::Path(), source));
  const fixtures::TStreamFacts& source_audio = *source.FirstOf(AVMEDIA_TYPE_AUDIO);
  const int32_t sample_rate = NearestSupportedSampleRate(
      out.AudioCodec, plan.OutputPath,
      out.AudioSampleRate > 0 ? out.AudioSampleRate : source_audio.SampleRate);
  const int channels = out.AudioChannels > 0 ? out.AudioChannels : source_audio.Channels;

  ExpectCompleted(Split());
  const std::string path = model_.LastOutputPath();
  ASSERT_EQ(path, plan.OutputPath);
  EXPECT_EQ(path.substr(path.rfind('.')), "." + LowerCase(model_.ContainerName));

  fixtures::TMediaFacts facts;
  std::string error;
  ASSERT_TRUE(fixtures::ReadMediaFacts(path, facts, &error)) << error;
  EXPECT_EQ(facts.FormatName, DemuxerOf(model_.ContainerName));

  const fixtures::TStreamFacts* video = facts.FirstOf(AVMEDIA_TYPE_VIDEO);
  if (out.DisableVideo) {
    EXPECT_EQ(video, nullptr);
  } else {
    ASSERT_NE(video, nullptr);
    if (!out.VideoCodec.empty()) {
      EXPECT_EQ(video->CodecName, CodecWrittenBy(out.VideoCodec));
    }
    int width = 0, height = 0;
    ASSERT_EQ(sscanf(out.FrameSize.c_str(), "%dx%d", &width, &height), 2) << out.FrameSize;
    width += std::max(out.PadLeft, 0) + std::max(out.PadRight, 0);
    height += std::max(out.PadTop, 0) + std::max(out.PadBottom, 0);
    EXPECT_EQ(video->Width, width);
    EXPECT_EQ(video->Height, height);
  }

  const fixtures::TStreamFacts* audio = facts.FirstOf(AVMEDIA_TYPE_AUDIO);
  if (out.DisableAudio) {  // the animated GIF
    EXPECT_EQ(audio, nullptr);
    EXPECT_EQ(fixtures::DecodeFirstFrameIndex(path), 25);
    const std::optional<TSplitEnd>& end = model_.Session().LastEnd();
    ASSERT_TRUE(end && end->Check);
    EXPECT_TRUE(end->Check->Matched()) << end->Check->Summary();
    return;
  }
  ASSERT_NE(audio, nullptr);
  if (!out.AudioCodec.empty()) {
    EXPECT_EQ(audio->CodecName, CodecWrittenBy(out.AudioCodec));
  }
  EXPECT_EQ(audio->SampleRate, sample_rate);
  EXPECT_EQ(audio->Channels, channels);

  // The segment is 2 s; containers round to their frame and packet sizes.
  // Flash and AMR files state no duration: their frames or samples tell it.
  double seconds = static_cast<double>(facts.DurationUs) / 1e6;
  if (facts.DurationUs <= 0 && video != nullptr && video->FrameRate.num > 0) {
    seconds = static_cast<double>(video->PacketCount) * video->FrameRate.den / video->FrameRate.num;
  }
  fixtures::TAudioFacts sound;
  if (facts.DurationUs <= 0 && video == nullptr && fixtures::DecodeAudio(path, sound) &&
      sound.SampleRate > 0) {
    seconds = static_cast<double>(sound.Samples) / sound.SampleRate;
  }
  EXPECT_NEAR(seconds, 2.0, 0.25);
  if (video != nullptr) {
    // The segment starts at the start mark: 1.00 s is frame 25 of the clip.
    EXPECT_EQ(fixtures::DecodeFirstFrameIndex(path), 25);
  }

  // Encoders that hold back the first samples must not move the sound: the
  // first and the last mark are heard within 5 ms of their pictures.
  TMarkOffsets marks;
  ASSERT_TRUE(MeasureMarkOffsets(path, kMarkEvery, kFirstMark, 40000, marks));
  EXPECT_GE(marks.OffsetsUs.size(), 8u);
  int64_t reader_delay = 0;
  // A sound-only file's sound starts where the file does: an MP3's after
  // the encoder's priming, which its LAME header tells the reader to skip.
  if (out.DisableVideo && facts.StartTimeUs > 0) reader_delay = facts.StartTimeUs;
  EXPECT_LE(std::llabs(marks.First() - reader_delay), 5000) << "first mark";
  EXPECT_LE(std::llabs(marks.Last() - reader_delay), 5000) << "last mark";

  // The check after the split finds the file as it should be.
  const std::optional<TSplitEnd>& end = model_.Session().LastEnd();
  ASSERT_TRUE(end && end->Check);
  EXPECT_TRUE(end->Check->Matched()) << end->Check->Summary();
}

TEST_F(TSplitRun, ATaskThatFailsWhileRunningSaysWhy) {
  // H.263 knows five picture sizes only; its encoder refuses 640x480 when the
  // running task opens it.
  Choose("BlackBerry AVI Video (*.avi)");
  model_.ComboVideoSize.Select(model_.ComboVideoSize.Add("640x480"));
  model_.ComboLetterBox.Select(0);
  model_.StartMarkText = "1.00";
  model_.EndMarkText = "2.00";
  const std::string text = Split();
  EXPECT_EQ(text.rfind("Splitting job failed!\n\r", 0), 0u) << text;
  EXPECT_GT(text.size(), std::string("Splitting job failed!\n\r").size());
  EXPECT_TRUE(model_.ControlsEnabled);
  EXPECT_EQ(model_.Session().LastEnd()->Outcome, TSplitOutcome::Failed);
}

TEST_F(TSplitRun, AnOutputThatCannotBeSetUpLeavesNoTaskAndNoEndMessage) {
  Choose("MP4 - MPEG4 Video (*.mp4)");
  model_.ComboVideoSize.Select(model_.ComboVideoSize.Add("641x480"));  // odd width
  model_.ComboLetterBox.Select(0);
  model_.ButtonStartClick();
  EXPECT_EQ(sink_.Texts(), std::vector<std::string>{
                               "This file cannot be splitted!\n\rPlease send the file to Orvath."});
  EXPECT_FALSE(model_.Splitting);
  EXPECT_TRUE(model_.ControlsEnabled);
  EXPECT_EQ(model_.Converter().TaskCount(), 0);
  // The removed task's own end event must not announce a finished split.
  WaitOnMainThread([] { return false; }, 200ms);
  EXPECT_FALSE(model_.EndMessageTimerEnabled);
}

TEST_F(TSplitRun, StopAnsweredYesEndsWithOneMessage) {
  Choose("MP4 - MPEG4 Video (*.mp4)");
  model_.ButtonStartClick();
  ASSERT_TRUE(model_.Splitting);
  EXPECT_FALSE(model_.ControlsEnabled);
  model_.ButtonStartClick();  // a second Start does nothing
  model_.ButtonStopSplitClick();
  EXPECT_EQ(sink_.Texts("confirm"), std::vector<std::string>{"Stop all conversions?"});
  EXPECT_TRUE(model_.ControlsEnabled);
  EXPECT_EQ(model_.ProgressText, "0%");
  ASSERT_TRUE(WaitOnMainThread([this] { return !model_.Splitting; }, 60s));
  WaitOnMainThread([] { return false; }, 100ms);
  model_.EndMessageTimerFired();
  model_.EndMessageTimerFired();  // fired once only
  // An end event that comes after the announcement announces nothing more.
  model_.FFConverterTerminate(-1, true, false, "");
  PumpMessages();
  EXPECT_FALSE(model_.EndMessageTimerEnabled);
  EXPECT_EQ(sink_.Texts(), std::vector<std::string>{
                               "The split was stopped.\n\rWhat was written so far is kept in " +
                               model_.LastOutputPath()});
  EXPECT_TRUE(model_.CompletionShown);
  ASSERT_TRUE(model_.Session().LastEnd());
  EXPECT_EQ(model_.Session().LastEnd()->Outcome, TSplitOutcome::Stopped);
}

TEST_F(TSplitRun, StopAnsweredNoLetsTheSplitFinish) {
  Choose("MP4 - MPEG4 Video (*.mp4)");
  sink_.confirm_answer = false;
  model_.ButtonStartClick();
  ASSERT_TRUE(model_.Splitting);
  model_.ButtonStopSplitClick();
  EXPECT_TRUE(model_.Splitting);
  EXPECT_FALSE(model_.ControlsEnabled);
  ASSERT_TRUE(WaitOnMainThread([this] { return !model_.Splitting; }, 120s));
  WaitOnMainThread([] { return false; }, 100ms);
  model_.EndMessageTimerFired();
  ASSERT_EQ(sink_.Texts().size(), 1u);
  ExpectCompleted(sink_.Texts()[0]);
  fixtures::TMediaFacts facts;
  ASSERT_TRUE(fixtures::ReadMediaFacts(model_.LastOutputPath(), facts));
  EXPECT_NEAR(static_cast<double>(facts.DurationUs) / 1e6, 4.0, 0.25);  // the whole clip
}

TEST_F(TSplitRun, NoMarksSplitTheWholeFileToItsLastFrame) {
  fixtures::TFixtureRecipe recipe;
  recipe.Seconds = 2.6;
  const std::string path = temp_.File("short.mp4");
  ASSERT_TRUE(fixtures::GenerateFixture(recipe, path));
  ASSERT_TRUE(model_.AddVideoFile(path));
  EXPECT_EQ(model_.SourceDuration, "2");
  Choose("MP4 - MPEG4 Video (*.mp4)");
  ExpectCompleted(Split());
  fixtures::TMediaFacts facts;
  ASSERT_TRUE(fixtures::ReadMediaFacts(model_.LastOutputPath(), facts));
  const fixtures::TStreamFacts* video = facts.FirstOf(AVMEDIA_TYPE_VIDEO);
  ASSERT_NE(video, nullptr);
  EXPECT_EQ(video->PacketCount, fixtures::FixtureFrameCount(recipe));  // all 65 frames
}

// The clip's pictures carry their index: frame 25 is at 1.00 s, frame 62 at
// 2.48 s and stays 40 ms.
TEST_F(TSplitRun, AnEndMarkFromThePictureEndsTheFileWithThatPicture) {
  Choose("MP4 - MPEG4 Video (*.mp4)");
  model_.SetMarkAt(1, 1000000, 40000);
  model_.SetMarkAt(2, 2480000, 40000);
  EXPECT_EQ(model_.EndMarkText, "2.52");
  ExpectCompleted(Split());
  EXPECT_TRUE(FrameIndicesRun(model_.LastOutputPath(), 25, 38));  // 25 to 62
  const std::optional<TSplitEnd>& end = model_.Session().LastEnd();
  ASSERT_TRUE(end && end->Check);
  EXPECT_TRUE(end->Check->LastPictureCompared);
  EXPECT_TRUE(end->Check->Matched()) << end->Check->Summary();
  // Against an end mark a picture earlier, the file's last picture is the next one.
  TSplitCheckRequest request;
  request.SourceFile = TClip::Path();
  request.OutputFile = model_.LastOutputPath();
  request.StartUs = 1000000;
  request.EndUs = 2480000;
  const TSplitCheck early = CheckSplit(request);
  EXPECT_EQ(early.PictureText(), "last picture off by 1 frame");
  EXPECT_FALSE(early.Matched());

  // A typed end is a time: the picture at 2.48 s begins there, after the end.
  sink_.shown.clear();
  model_.EndMarkText = "2.48";
  ExpectCompleted(Split());
  EXPECT_TRUE(FrameIndicesRun(model_.LastOutputPath(), 25, 37));  // 25 to 61
  EXPECT_TRUE(model_.Session().LastEnd()->Check->Matched());
}

TEST_F(TSplitRun, EveryVolumeValueScalesTheSoundByItsPercent) {
  fixtures::TFixtureRecipe recipe;  // a steady tone at a quarter of full scale
  recipe.Seconds = 1.0;
  const std::string path = temp_.File("tone.mp4");
  ASSERT_TRUE(fixtures::GenerateFixture(recipe, path));
  ASSERT_TRUE(model_.AddVideoFile(path));
  Choose("MP4 - MPEG4 Video (*.mp4)");
  std::map<int, double> rms;
  for (int volume : {50, 100, 150}) {
    SCOPED_TRACE(volume);
    model_.SpinVolume = volume;
    ExpectCompleted(Split());
    sink_.shown.clear();
    fixtures::TAudioFacts sound;
    ASSERT_TRUE(fixtures::DecodeAudio(model_.LastOutputPath(), sound));
    rms[volume] = sound.Rms;
  }
  ASSERT_GT(rms[100], 0.1);
  EXPECT_NEAR(rms[50] / rms[100], 0.5, 0.03);
  EXPECT_NEAR(rms[150] / rms[100], 1.5, 0.05);
}

// A source of odd size (MPEG-2 files of 720x405 exist) splits at "Original
// Size" made even, with the default preset and a device preset, and at the
// nearest multiple of 16 for RealVideo, whose encoder takes nothing else.
TEST_F(TSplitRun, OddSizedSourcesSplitAtTheNearestSizeTheEncoderTakes) {
  struct TOddCase {
    const char* Preset;
    int Width, Height;
    const char* Format;
    int OutputWidth, OutputHeight;
  };
  const TOddCase cases[] = {
      {"mkv-ffv1-odd", 321, 241, "MP4 - MPEG4 Video (*.mp4)", 322, 242},
      {"mpeg-mpeg2-mp2", 720, 405, "Xbox360 MPEG4 Video (*.mp4)", 720, 404},
      {"mpeg-mpeg2-mp2", 720, 405, "RM - Real Video (*.rm)", 720, 400},
  };
  for (const TOddCase& c : cases) {
    SCOPED_TRACE(c.Format);
    fixtures::TFixtureRecipe recipe;
    ASSERT_TRUE(fixtures::FixturePreset(c.Preset, recipe));
    recipe.Width = c.Width;
    recipe.Height = c.Height;
    recipe.Seconds = 1.0;
    const std::string path = temp_.File(std::string("odd_") + c.Preset);
    ASSERT_TRUE(fixtures::GenerateFixture(recipe, path));
    ASSERT_TRUE(model_.AddVideoFile(path));
    Choose(c.Format);
    model_.ComboVideoSize.Select(model_.ComboVideoSize.IndexOf("Original Size"));
    model_.ComboVideoSizeChange(model_.ComboVideoSize);
    ExpectCompleted(Split());
    sink_.shown.clear();
    fixtures::TMediaFacts facts;
    ASSERT_TRUE(fixtures::ReadMediaFacts(model_.LastOutputPath(), facts));
    const fixtures::TStreamFacts* video = facts.FirstOf(AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(video, nullptr);
    EXPECT_EQ(video->Width, c.OutputWidth);
    EXPECT_EQ(video->Height, c.OutputHeight);
  }
}

// A phone clip stored on its side (320x240 under a display matrix that turns
// it 90 degrees clockwise into a 240x320 upright picture): at Original Size in
// MP4 the new file keeps the stored pictures and the rotation; at a fixed size,
// and in AVI, which stores no rotation, the pictures are turned upright (the
// index pattern reads only then) and fitted by their upright shape, with the
// bars and the picture in the frame's own shape.
TEST_F(TSplitRun, APhoneClipKeepsItsRotationOrIsTurnedUpright) {
  const std::string clip = MakeFixture(temp_, "mp4-h264-aac", "phone.mp4", [](auto& recipe) {
    recipe.Width = 240;
    recipe.Height = 320;
    recipe.Rotation = 90;
    recipe.Seconds = 1.0;
  });
  ASSERT_TRUE(model_.AddVideoFile(clip));
  EXPECT_EQ(model_.SourceSize.Text(), "320x240");
  EXPECT_EQ(model_.SourceRotation, 90);
  struct TRotationCase {
    const char* Format;
    const char* Size;
    int Width, Height, Rotation;
    bool Upright;
  };
  const TRotationCase cases[] = {
      {"MP4 - MPEG4 Video (*.mp4)", "Original Size", 320, 240, 90, false},
      {"MP4 - MPEG4 Video (*.mp4)", "640x480", 640, 480, 0, true},
      {"AVI - Audio Video Interleave (*.avi)", "Original Size", 240, 320, 0, true},
  };
  for (const TRotationCase& c : cases) {
    SCOPED_TRACE(std::string(c.Format) + " " + c.Size);
    Choose(c.Format);
    model_.ComboVideoSize.Select(model_.ComboVideoSize.IndexOf(c.Size));
    model_.ComboVideoSizeChange(model_.ComboVideoSize);
    ExpectCompleted(Split());
    sink_.shown.clear();
    // The check compares the pictures as shown, whichever way they were kept.
    EXPECT_FALSE(model_.StatusWarning) << model_.StatusLine;
    TAVProbe probe;
    ASSERT_TRUE(probe.LoadFile(model_.LastOutputPath(), "")) << probe.LastErrMsg();
    const TVideoStreamInfo video = probe.GetVideoStreamInfo();
    EXPECT_EQ(video.Width, c.Width);
    EXPECT_EQ(video.Height, c.Height);
    EXPECT_EQ(video.Rotation, c.Rotation);
    // Square pixels, bars or none: the picture is shown in its own shape.
    EXPECT_FLOAT_EQ(video.AspectRatio, float(c.Width) / float(c.Height));
    if (c.Upright) {
      EXPECT_EQ(fixtures::DecodeFirstFrameIndex(model_.LastOutputPath()), 0);
    }
  }
}

// Today's picture formats on the sources people bring: a 10-bit HDR H.265
// clip (BT.2020, PQ), a phone clip stored on its side and a clip of variable
// frame rate. Read back from each file: container, codecs, size, rate,
// rotation, colour description and bit depth; the check passes.
TEST_F(TSplitRun, TodaysFormatsKeepDepthColourRotationAndTimes) {
  auto marks = [](fixtures::TFixtureRecipe& r) { r.Seconds = 1.2; };
  const std::string hdr = MakeFixture(temp_, "mp4-hevc10-aac", "hdr.mp4", marks);
  const std::string phone = MakeFixture(temp_, "mp4-h264-aac", "phone.mp4", [&](auto& r) {
    marks(r);
    r.Width = 240;
    r.Height = 320;
    r.Rotation = 90;
  });
  const std::string vfr = MakeFixture(temp_, "mkv-h264-vfr", "vfr.mkv", marks);
  struct TTodayCase {
    const std::string& Source;
    const char* Format;
    const char* Size;
    const char* Codec;
    const char* PixelFormat;
    int Width, Height, Rotation;
    bool SameColour;
  };
  const TTodayCase cases[] = {
      {hdr, "H.264 MP4 - Plays Everywhere (*.mp4)", "Original Size", "h264", "yuv420p", 320, 240,
       0, true},
      {hdr, "H.265 MP4 - Smaller Files (*.mp4)", "Original Size", "hevc", "yuv420p10le", 320,
       240, 0, true},
      {hdr, "AV1 MKV - Smallest Files (*.mkv)", "640x360", "av1", "yuv420p10le", 320, 240, 0,
       true},  // never enlarged
      {hdr, "VP9 WebM - For the Web (*.webm)", "Original Size", "vp9", "yuv420p", 320, 240, 0,
       true},
      {hdr, "Animated GIF (*.gif)", "Original Size", "gif", "bgra", 320, 240, 0, false},
      {phone, "H.264 MP4 - Plays Everywhere (*.mp4)", "Original Size", "h264", "yuv420p", 320,
       240, 90, false},
      {phone, "Matroska - H.264 (*.mkv)", "Original Size", "h264", "yuv420p", 240, 320, 0, false},
      {phone, "H.265 MP4 - Smaller Files (*.mp4)", "854x480", "hevc", "yuv420p", 240, 320, 0,
       false},
      {vfr, "Matroska - H.264 (*.mkv)", "Original Size", "h264", "yuv420p", 320, 240, 0, false},
      {vfr, "H.264 MP4 - Plays Everywhere (*.mp4)", "Original Size", "h264", "yuv420p", 320, 240,
       0, false},
  };
  for (const TTodayCase& c : cases) {
    SCOPED_TRACE(c.Source + " -> " + c.Format + " " + c.Size);
    ASSERT_TRUE(model_.AddVideoFile(c.Source));
    Choose(c.Format);
    model_.ComboVideoSize.Select(model_.ComboVideoSize.IndexOf(c.Size));
    model_.ComboVideoSizeChange(model_.ComboVideoSize);
    model_.StartMarkText = "0.20";
    model_.EndMarkText = "1.00";
    sink_.shown.clear();
    ExpectCompleted(Split());
    const std::optional<TSplitEnd>& end = model_.Session().LastEnd();
    ASSERT_TRUE(end && end->Check);
    EXPECT_TRUE(end->Check->Matched()) << end->Check->Summary();

    const std::string path = model_.LastOutputPath();
    fixtures::TMediaFacts facts, source;
    ASSERT_TRUE(fixtures::ReadMediaFacts(path, facts));
    ASSERT_TRUE(fixtures::ReadMediaFacts(c.Source, source));
    EXPECT_EQ(facts.FormatName, DemuxerOf(model_.ContainerName));
    const fixtures::TStreamFacts* video = facts.FirstOf(AVMEDIA_TYPE_VIDEO);
    const fixtures::TStreamFacts& in = *source.FirstOf(AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(video, nullptr);
    EXPECT_EQ(video->CodecName, c.Codec);
    EXPECT_EQ(video->PixelFormat, c.PixelFormat);
    EXPECT_EQ(video->Width, c.Width);
    EXPECT_EQ(video->Height, c.Height);
    if (c.SameColour) {
      EXPECT_EQ(video->ColorPrimaries, in.ColorPrimaries);
      EXPECT_EQ(video->ColorTransfer, in.ColorTransfer);
      EXPECT_EQ(video->ColorSpace, in.ColorSpace);
      EXPECT_EQ(video->ColorRange, in.ColorRange);
    }
    TAVProbe probe;
    ASSERT_TRUE(probe.LoadFile(path, "")) << probe.LastErrMsg();
    EXPECT_EQ(probe.GetVideoStreamInfo().Rotation, c.Rotation);
    const bool gif = std::string(c.Codec) == "gif";
    EXPECT_EQ(facts.CountOf(AVMEDIA_TYPE_AUDIO), gif ? 0 : 1);
    if (gif) {
      // 15 a second, each picture's time in whole hundredths as GIF keeps them.
      EXPECT_NEAR(av_q2d(video->FrameRate), 15.0, 1.0);
    } else if (&c.Source == &vfr) {
      // The source's own times: steps of one and two periods, as in the source.
      std::vector<fixtures::TDecodedFrame> frames;
      ASSERT_TRUE(fixtures::DecodeVideoFrames(path, frames));
      std::set<int64_t> steps;
      for (size_t i = 1; i < frames.size(); ++i) {
        steps.insert((frames[i].PtsUs - frames[i - 1].PtsUs + 500) / 1000);
      }
      EXPECT_EQ(steps, (std::set<int64_t>{40, 80})) << steps.size();
    } else {
      EXPECT_EQ(av_cmp_q(video->FrameRate, in.FrameRate), 0);
    }
  }
}

TEST_F(TSplitRun, AFileWithoutVideoIsRefusedWithItsMessage) {
  fixtures::TFixtureRecipe recipe;
  ASSERT_TRUE(fixtures::FixturePreset("wav-pcm", recipe));
  const std::string path = temp_.File("tone.wav");
  ASSERT_TRUE(fixtures::GenerateFixture(recipe, path));
  EXPECT_FALSE(model_.AddVideoFile(path));
  EXPECT_EQ(model_.EditInputFilename, path);
  EXPECT_EQ(sink_.Texts(), std::vector<std::string>{
                               "This video file does NOT have any video frame!\n\rThis video "
                               "file cannot be splitted."});
  EXPECT_EQ(model_.SourceSize.Text(), "320x240");  // the previous file's facts stay
}

TEST_F(TSplitRun, SourceFactsOfTheOpenedFile) {
  EXPECT_EQ(model_.SourceSize.Text(), "320x240");
  EXPECT_EQ(model_.SourceFrameRate, 25);
  EXPECT_EQ(model_.SourceDuration, "4");
}

// "Same as Source": the lists only say so; the line under the format list
// says what the marks cost against the clip's key frames (every second,
// IDR pictures, B-frames); the split keeps the clip's codecs and container,
// copies the whole groups inside the marks and re-encodes the edges.
TEST_F(TSplitRun, SameAsSourceCopiesTheClip) {
  Choose(kSameAsSourceFormat);
  for (const TListModel* list :
       {&model_.ComboVideoCodec, &model_.ComboVideoBitrate, &model_.ComboVideoSize,
        &model_.ComboVideoSizeMirror, &model_.ComboVideoFramerate, &model_.ComboAudioCodec,
        &model_.ComboAudioBitrate, &model_.ComboSamplingRate, &model_.ComboAudioChannels}) {
    EXPECT_EQ(list->Items(), std::vector<std::string>{"Same as source"});
    EXPECT_EQ(list->Text(), "Same as source");
    EXPECT_FALSE(list->Enabled());
  }
  EXPECT_FALSE(model_.ComboVideoQuality.Enabled());
  model_.StartMarkText = "1.00";
  model_.EndMarkText = "3.00";
  EXPECT_EQ(model_.OutputExplanation(), "lossless copy");
  model_.StartMarkText = "0.70";
  EXPECT_EQ(model_.OutputExplanation(), "re-encodes 0.3 s at the start");
  // The pictures before 3.10 s are the first of their group decoded: copied.
  model_.EndMarkText = "3.10";
  EXPECT_EQ(model_.OutputExplanation(), "re-encodes 0.3 s at the start");

  ExpectCompleted(Split());
  const std::string path = model_.LastOutputPath();
  EXPECT_EQ(path.substr(path.rfind('.')), ".mp4");
  fixtures::TMediaFacts source, facts;
  ASSERT_TRUE(fixtures::ReadMediaFacts(TClip::Path(), source));
  ASSERT_TRUE(fixtures::ReadMediaFacts(path, facts));
  EXPECT_EQ(facts.FormatName, source.FormatName);
  for (const AVMediaType type : {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO}) {
    ASSERT_NE(facts.FirstOf(type), nullptr);
    EXPECT_EQ(facts.FirstOf(type)->CodecName, source.FirstOf(type)->CodecName);
  }
  const std::optional<TSplitEnd>& end = model_.Session().LastEnd();
  ASSERT_TRUE(end && end->Check);
  EXPECT_EQ(end->Method, "smart") << end->MethodReason;
  EXPECT_EQ(end->CopiedPictures, 53);  // 1.00 .. 3.10
  EXPECT_EQ(end->CopiedPictures + end->EncodedPictures, 60);
  EXPECT_TRUE(end->Check->Matched()) << end->Check->Summary();
  EXPECT_EQ(end->Check->IdenticalPictures, 53);  // the copied packets are the source's
  EXPECT_EQ(fixtures::DecodeFirstFrameIndex(path), 18);  // the picture at 0.72 s
  // After the split the lists stay as the format wants them.
  EXPECT_FALSE(model_.ComboVideoCodec.Enabled());
  Choose("H.264 MP4 - Plays Everywhere (*.mp4)");
  EXPECT_TRUE(model_.ComboVideoCodec.Enabled());

  // A source the encoder cannot match is re-encoded whole, and the line says why.
  const std::string ffv1 = MakeFixture(temp_, "mkv-ffv1-odd", "old.mkv");
  ASSERT_TRUE(model_.AddVideoFile(ffv1));
  Choose(kSameAsSourceFormat);
  EXPECT_EQ(model_.OutputExplanation().rfind("re-encodes all: only H.264, H.265, VP9", 0), 0u)
      << model_.OutputExplanation();
}

// With segments in the list the line says what the list's splits cost,
// whatever the marks; joined, a list that cannot be copied in part says it
// cannot be joined.
TEST_F(TSplitRun, TheLineOfASegmentListSaysWhatTheListCosts) {
  Choose(kSameAsSourceFormat);
  model_.StartMarkText = "0.70";
  model_.EndMarkText = "3.00";
  model_.Segments.Add({1.0, 2.0, ""});
  model_.Segments.Add({3.0, 4.0, "end"});
  EXPECT_EQ(model_.OutputExplanation(), "2 segments: lossless copy");
  model_.Segments.Replace(1, {2.7, 4.0, ""});
  model_.StartMarkText = "";
  EXPECT_EQ(model_.OutputExplanation(), "2 segments: re-encodes 0.3 s at their edges");
  model_.JoinSegments = true;
  EXPECT_EQ(model_.OutputExplanation(), "2 segments joined: re-encodes 0.3 s at their edges");
  model_.Segments.Clear();
  model_.StartMarkText = "0.70";
  EXPECT_EQ(model_.OutputExplanation(), "re-encodes 0.3 s at the start");

  ASSERT_TRUE(model_.AddVideoFile(MakeFixture(temp_, "mkv-ffv1-odd", "old.mkv")));
  Choose(kSameAsSourceFormat);
  model_.Segments.Add({0.2, 0.6, ""});
  EXPECT_EQ(model_.OutputExplanation().rfind(
                "1 segment: cannot be joined without re-encoding them: only H.264", 0),
            0u)
      << model_.OutputExplanation();
  model_.JoinSegments = false;
  EXPECT_EQ(model_.OutputExplanation().rfind("1 segment: re-encodes all: only H.264", 0), 0u)
      << model_.OutputExplanation();
}

std::vector<std::string> ReachablePresets() {
  TRecordingSink sink;
  TMainWindowModel model(sink);
  model.FillOutputFormats();
  std::vector<std::string> names;
  for (const std::string& entry : model.ComboOutputFormat.Items()) {
    // "Same as Source" keeps the clip's own codecs: SameAsSourceCopiesTheClip.
    if (entry.find("  ") == std::string::npos && entry.find("---") == std::string::npos &&
        entry != kSameAsSourceFormat) {
      names.push_back(entry);
    }
  }
  return names;
}

std::string TestName(const testing::TestParamInfo<std::string>& info) {
  std::string name;
  for (char c : info.param) {
    if (isalnum(static_cast<unsigned char>(c))) name += c;
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(Reachable, TPresetSplitTest, testing::ValuesIn(ReachablePresets()),
                         TestName);

}  // namespace
}  // namespace kelvane::test
