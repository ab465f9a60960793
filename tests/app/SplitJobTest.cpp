// The split job: marks in milliseconds, output names, and the option records
// a job becomes, including the jobs that must be refused with a reason, and
// the line breaks of the messages the front ends show.
#include <gtest/gtest.h>

#include <fstream>
#include <optional>

#include "app/MainWindowModel.h"
#include "app/OutputName.h"
#include "app/SplitJob.h"
#include "app/TextUtils.h"
#include "tests/app/RecordingSink.h"
#include "tests/common/TestSupport.h"

namespace kelvane::test {
namespace {

void Touch(const std::string& path) { std::ofstream(path) << "x"; }

TEST(TMarks, SecondsWithTwoDecimalsBecomeMilliseconds) {
  const std::pair<const char*, std::optional<int32_t>> cases[] = {
      {"0.46", 460},    {"0.4", 400},         {"0.467", 460},        {"12.00", 12000},
      {"83.46", 83460}, {" 1.05 ", 1050},     {"0.00", 0},           {"12.", 12000},
      {"12", std::nullopt},  {"", std::nullopt},     {".50", std::nullopt},
      {"1.2x", std::nullopt}, {"-1.00", std::nullopt}, {"1,50", std::nullopt},
      {"2147483.64", 2147483640}, {"2147484.00", std::nullopt}};
  for (const auto& [text, ms] : cases) EXPECT_EQ(MarkToMilliseconds(text), ms) << '"' << text << '"';
}

TEST(TMessages, LineBreaksOfEveryKindBecomeOnePlainBreak) {
  EXPECT_EQ(PlainMessage("Splitting job failed!\n\rEngine:\r\nI/O error\rend\n"),
            "Splitting job failed!\nEngine:\nI/O error\nend\n");
}

TEST(TOutputNames, FreeNamesCountUpFromOne) {
  TTempDir dir;
  const std::string input = dir.File("clip.avi");
  EXPECT_EQ(UniqueOutputName(input, ".mp4"), dir.File("clip.mp4"));
  Touch(dir.File("clip.mp4"));
  EXPECT_EQ(UniqueOutputName(input, ".mp4"), dir.File("clip-1.mp4"));
  Touch(dir.File("clip-1.mp4"));
  EXPECT_EQ(UniqueOutputName(input, ".mp4"), dir.File("clip-2.mp4"));
  // Only the file name's last "." starts the extension.
  EXPECT_EQ(RemoveExtension("/a.b/movie.final.avi"), "/a.b/movie.final");
  EXPECT_EQ(RemoveExtension("/a.b/movie"), "/a.b/movie");
}

// Found by fuzzing (app-texts): a folder below a file, or a name longer than
// the system allows, made the search for a free name go on for ever.
TEST(TOutputNames, NamesThatCannotBeLookedAtEndTheSearch) {
  TTempDir dir;
  Touch(dir.File("file"));
  EXPECT_EQ(UniqueOutputName(dir.File("file/clip.avi"), ".mp4"), dir.File("file/clip.mp4"));
  const std::string long_name = dir.File(std::string(300, 'x'));
  EXPECT_EQ(UniqueOutputName(long_name, ".mp4"), long_name + ".mp4");
}

class TSplitJobTest : public testing::Test {
 protected:
  void SetUp() override {
    model_.FillOutputFormats();
    model_.ComboOutputFormatChange();
    model_.ComboLetterBox.Add("None");
    model_.ComboLetterBox.Add("Add LetterBox");
    model_.ComboLetterBox.Select(1);
    model_.EditInputFilename = dir_.File("clip.avi");
    model_.EditOutputFolder = dir_.Path().string();
    model_.SourceSize = {640, 480};
    model_.SourceFrameRate = 30;
    model_.SourceDuration = "83";
  }

  void Choose(const std::string& format) {
    const int index = model_.ComboOutputFormat.IndexOf(format);
    ASSERT_GE(index, 0) << format;
    model_.ComboOutputFormat.Select(index);
    model_.ComboOutputFormatChange();
  }

  // The records the window's current state builds; fails the test when the
  // job is refused.
  TSplitPlan Plan() {
    TSplitPlan plan;
    std::string message;
    EXPECT_TRUE(BuildSplitPlan(model_.MakeSplitJob(), plan, message)) << message;
    return plan;
  }

  std::string Refusal() {
    TSplitPlan plan;
    std::string message;
    EXPECT_FALSE(BuildSplitPlan(model_.MakeSplitJob(), plan, message));
    return message;
  }

  TTempDir dir_;
  TRecordingSink sink_;
  TMainWindowModel model_{sink_};
};

TEST_F(TSplitJobTest, Mp4PresetFillsVideoAndAudioFields) {
  Choose("MP4 - MPEG4 Video (*.mp4)");
  model_.StartMarkText = "1.50";
  model_.EndMarkText = "4.25";
  const TSplitPlan plan = Plan();
  const TOutputOptions& out = plan.OutputOptions;
  EXPECT_EQ(plan.OutputPath, dir_.File("clip.mp4"));
  EXPECT_EQ(plan.InputOptions.FileName, dir_.File("clip.avi"));
  EXPECT_EQ(out.VideoCodec, "mpeg4");
  EXPECT_EQ(out.VideoTag, "");
  EXPECT_EQ(out.FrameSize, "640x480");  // "Original Size"
  EXPECT_EQ(out.PadTop, -1);
  EXPECT_EQ(out.FrameRate, "30");       // no rates of its own: "Auto", the source's
  EXPECT_EQ(out.VideoBitrate, 1500000);
  EXPECT_FALSE(out.DisableVideo);
  EXPECT_EQ(out.AudioCodec, "aac");
  EXPECT_EQ(out.AudioBitrate, 128000);
  EXPECT_EQ(out.AudioSampleRate, 48000);
  EXPECT_EQ(out.AudioChannels, 2);
  EXPECT_EQ(out.AudioVolume, 256);
  EXPECT_FALSE(out.DisableAudio);
  EXPECT_EQ(out.StartTime, 1500);
  EXPECT_EQ(out.RecordingTime, 2750);
}

TEST_F(TSplitJobTest, FrameRateAutoTakesTheSourceRate) {
  Choose("3GP - Mobile Video Format (*.3gp)");
  EXPECT_EQ(Plan().OutputOptions.FrameRate, "15");
  Choose("Xbox360 MPEG4 Video (*.mp4)");  // fixed rates, "Auto" selected
  model_.SourceFrameRate = 30;            // 29.97 fps rounded
  EXPECT_EQ(Plan().OutputOptions.FrameRate, "30");
  model_.ComboVideoFramerate.Select(2);   // "29.97 fps"
  EXPECT_EQ(Plan().OutputOptions.FrameRate, "29.97");
}

TEST_F(TSplitJobTest, WholeFileAndEqualMarks) {
  Choose("MP4 - MPEG4 Video (*.mp4)");
  TOutputOptions out = Plan().OutputOptions;  // both marks "0.00": the whole file
  EXPECT_EQ(out.StartTime, 0);
  EXPECT_EQ(out.RecordingTime, 0);            // to the end, not 83 whole seconds
  model_.StartMarkText = model_.EndMarkText = "5.00";
  out = Plan().OutputOptions;
  EXPECT_EQ(out.StartTime, 5000);
  EXPECT_EQ(out.RecordingTime, 0);  // the component reads 0 as "to the end"
}

TEST_F(TSplitJobTest, DivXTagOnlyForTheDivXPreset) {
  Choose("AVI - DivX Video (*.avi)");
  EXPECT_EQ(Plan().OutputOptions.VideoTag, "DIVX");
  EXPECT_EQ(Plan().OutputOptions.AudioCodec, "libmp3lame");
  Choose("AVI - Audio Video Interleave (*.avi)");
  EXPECT_EQ(Plan().OutputOptions.VideoTag, "");
  EXPECT_EQ(Plan().OutputOptions.AudioCodec, "pcm_s16le");
}

TEST_F(TSplitJobTest, MobileContainersGetOneChannelAndAmrBitrates) {
  Choose("BlackBerry 3GP Video (*.3gp)");
  model_.ComboAudioChannels.Add("Stereo");  // even if a list said otherwise
  model_.ComboAudioChannels.Select(1);
  const TOutputOptions out = Plan().OutputOptions;
  EXPECT_EQ(out.AudioChannels, 1);
  EXPECT_EQ(out.AudioCodec, "libopencore_amrnb");
  EXPECT_EQ(out.AudioBitrate, 7400);
  EXPECT_EQ(out.AudioSampleRate, 8000);
  EXPECT_EQ(out.VideoCodec, "h263");
  // 640x480 is wider than 176x144: bars above and below, 176 / 1.333 = 132, bar 6.
  EXPECT_EQ(out.FrameSize, "176x132");
  EXPECT_EQ(out.PadTop, 6);
  EXPECT_EQ(out.PadBottom, 6);
  EXPECT_EQ(out.PadLeft, -1);
}

TEST_F(TSplitJobTest, AudioOnlyPresetLeavesVideoFieldsAlone) {
  Choose("BlackBerry AMR Audio (*.amr)");
  const TSplitPlan plan = Plan();
  const TOutputOptions& out = plan.OutputOptions;
  EXPECT_EQ(plan.OutputPath, dir_.File("clip.amr"));
  EXPECT_TRUE(out.DisableVideo);
  EXPECT_EQ(out.VideoCodec, "");
  EXPECT_EQ(out.FrameSize, "");
  EXPECT_EQ(out.FrameRate, "");
  EXPECT_EQ(out.VideoBitrate, -1);
  EXPECT_EQ(out.PadTop, -1);
  EXPECT_EQ(out.AudioCodec, "libopencore_amrnb");
  EXPECT_EQ(out.AudioBitrate, 12200);
  EXPECT_EQ(out.AudioChannels, 1);
}

TEST_F(TSplitJobTest, ExplanationSaysWhatTheFileWillBe) {
  Choose("MP4 - MPEG4 Video (*.mp4)");
  EXPECT_EQ(ExplainOutput(Plan().OutputOptions), "MPEG-4 640x480 30 fps, 1500 Kbps, AAC 128 Kbps");
  // The whole frame, bars included.
  Choose("BlackBerry 3GP Video (*.3gp)");
  EXPECT_EQ(ExplainOutput(Plan().OutputOptions), "H.263 176x144 15 fps, 512 Kbps, AMR 7.4 Kbps");
  Choose("BlackBerry AMR Audio (*.amr)");
  EXPECT_EQ(ExplainOutput(Plan().OutputOptions), "AMR 12.2 Kbps");
  EXPECT_EQ(model_.OutputExplanation(), "AMR 12.2 Kbps");  // the window's line
  // Constant quality named by the option lines wins over a bitrate; lossless sound has none.
  TOutputOptions out;
  out.VideoCodec = "libx264";
  out.FrameSize = "1920x1080";
  out.FrameRate = "30";
  out.ExtOptions = "preset=fast\ncrf=22\nmovflags=+faststart";
  out.AudioCodec = "aac";
  out.AudioBitrate = 160000;
  EXPECT_EQ(ExplainOutput(out), "H.264 1920x1080 30 fps, quality 22, AAC 160 Kbps");
  out.AudioCodec = "flac";
  out.DisableVideo = true;
  EXPECT_EQ(ExplainOutput(out), "FLAC");
  // A phone clip kept on its side (a display matrix) reads as players show it.
  Choose("H.264 MP4 - Plays Everywhere (*.mp4)");
  model_.SourceSize = {360, 640};
  model_.SourceRotation = 90;
  EXPECT_EQ(ExplainSplit(model_.MakeSplitJob(), Plan()).rfind("H.264 640x360 30 fps", 0), 0u)
      << ExplainSplit(model_.MakeSplitJob(), Plan());
}

// A copy keeps the sound as it is: a changed volume is refused, not lost.
TEST_F(TSplitJobTest, SameAsSourceRefusesAChangedVolume) {
  Choose("Same as Source - Lossless (*.*)");
  model_.SpinVolume = 150;
  EXPECT_NE(Refusal().find("The volume cannot be changed when the sound is copied"),
            std::string::npos);
  model_.SpinVolume = 100;
  EXPECT_EQ(Plan().OutputOptions.AudioCodec, "copy");
}

TEST_F(TSplitJobTest, NoLetterboxScalesToTheChosenSize) {
  Choose("Video CD (*.mpg)");
  model_.SourceSize = {1280, 720};
  TOutputOptions out = Plan().OutputOptions;
  EXPECT_EQ(out.FrameSize, "352x200");  // 352 / 1.778 = 198, bar 21 -> 20
  EXPECT_EQ(out.PadTop, 20);
  model_.ComboLetterBox.Select(0);
  out = Plan().OutputOptions;
  EXPECT_EQ(out.FrameSize, "352x240");
  EXPECT_EQ(out.PadTop, 0);
  EXPECT_EQ(out.PadLeft, 0);
}

TEST_F(TSplitJobTest, VolumeZeroTurnsAudioOff) {
  Choose("MP4 - MPEG4 Video (*.mp4)");
  model_.SpinVolume = 0;
  TOutputOptions out = Plan().OutputOptions;
  EXPECT_TRUE(out.DisableAudio);
  EXPECT_EQ(out.AudioVolume, 0);
  model_.SpinVolume = 200;
  out = Plan().OutputOptions;
  EXPECT_FALSE(out.DisableAudio);
  EXPECT_EQ(out.AudioVolume, 512);
}

TEST_F(TSplitJobTest, OutputNames) {
  Choose("MP4 - MPEG4 Video (*.mp4)");
  model_.EditInputFilename = "/somewhere/else/movie.final.avi";
  model_.Overwrite = true;
  Touch(dir_.File("movie.final.mp4"));
  EXPECT_EQ(Plan().OutputPath, dir_.File("movie.final.mp4"));  // replaced as asked
  model_.Overwrite = false;
  EXPECT_EQ(Plan().OutputPath, dir_.File("movie.final-1.mp4"));
  // The folder the checks found, not one with a stray space.
  model_.EditOutputFolder = dir_.Path().string() + " ";
  EXPECT_EQ(Plan().OutputPath, dir_.File("movie.final-1.mp4"));
}

// A smart copy keeps the source's codecs and, where the cut can be written in
// it, its container; the format's lists play no part.
TEST_F(TSplitJobTest, SmartCopyKeepsTheSourcesCodecsAndContainer) {
  Choose("MP4 - MPEG4 Video (*.mp4)");
  model_.StartMarkText = "1.50";
  model_.EndMarkText = "4.25";
  TSplitJob job = model_.MakeSplitJob();
  job.SmartCopy = true;
  TSplitPlan plan;
  std::string message;
  for (const auto& [input, output] : {std::pair{"clip.avi", "clip.mkv"},
                                      std::pair{"clip.MTS", "clip.mts"},
                                      std::pair{"clip.mov", "clip.mov"}}) {
    job.InputFile = dir_.File(input);
    ASSERT_TRUE(BuildSplitPlan(job, plan, message)) << message;
    EXPECT_EQ(plan.OutputPath, dir_.File(output));
  }
  const TOutputOptions& out = plan.OutputOptions;
  EXPECT_EQ(out.VideoCodec, "copy");
  EXPECT_EQ(out.AudioCodec, "copy");
  // A source that cannot be copied in part is re-encoded as today's formats
  // encode its codec at their highest quality.
  EXPECT_EQ(out.ExtOptions,
            "smart_copy=1\n"
            "smart_reencode=libx264 preset=fast profile=high pix_fmt=yuv420p "
            "movflags=+faststart map_meta_data=0:0 crf=18\n"
            "smart_reencode=libx265 preset=fast x265-params=log-level=error "
            "movflags=+faststart map_meta_data=0:0 crf=20\n"
            "smart_reencode=libsvtav1 preset=8 map_meta_data=0:0 crf=24\n"
            "smart_reencode=libvpx-vp9 deadline=good cpu-used=4 row-mt=1 pix_fmt=yuv420p "
            "map_meta_data=0:0 crf=24 b=0");
  EXPECT_EQ(out.FrameSize, "");
  EXPECT_EQ(out.VideoBitrate, -1);
  EXPECT_EQ(out.StartTime, 1500);
  EXPECT_EQ(out.RecordingTime, 2750);
  EXPECT_EQ(ExplainOutput(out), "Same as source: copied between key frames, the edges re-encoded");

  // The format "Same as Source" is such a job whatever its lists say.
  Choose(kSameAsSourceFormat);
  EXPECT_EQ(model_.ContainerName, "*");
  job = model_.MakeSplitJob();
  job.InputFile = dir_.File("clip.mov");
  ASSERT_TRUE(IsSmartCopy(job));
  ASSERT_TRUE(BuildSplitPlan(job, plan, message)) << message;
  EXPECT_EQ(plan.OutputPath, dir_.File("clip.mov"));
  EXPECT_EQ(plan.OutputOptions.ExtOptions.rfind("smart_copy=1\nsmart_reencode=libx264 ", 0), 0u);
  // What the line under the format list says of a forecast.
  TSmartCutForecast forecast;
  EXPECT_EQ(ExplainSmartCut(forecast), "lossless copy");
  forecast.HeadSeconds = 0.8;
  forecast.TailSeconds = 1.24;
  EXPECT_EQ(ExplainSmartCut(forecast), "re-encodes 0.8 s at the start and 1.2 s at the end");
  forecast.HeadSeconds = 0;
  forecast.TailSeconds = 0.04;
  EXPECT_EQ(ExplainSmartCut(forecast), "re-encodes 0.04 s at the end");
  forecast.WholeReason = "the source's pictures are interlaced";
  EXPECT_EQ(ExplainSmartCut(forecast), "re-encodes all: the source's pictures are interlaced");
}

// A segment list's forecasts in one line: the edges summed, the first
// segment that cannot be copied in part named.
TEST(SegmentCutsTest, TheListsLineSumsItsEdgesAndNamesTheFirstWholeSegment) {
  std::vector<TSmartCutForecast> forecasts(3);
  forecasts[0].HeadSeconds = 0.5;
  forecasts[2].TailSeconds = 1.4;
  EXPECT_EQ(ExplainSegmentCuts(forecasts, false), "3 segments: re-encodes 1.9 s at their edges");
  forecasts[1].WholeReason = "the source's pictures are interlaced";
  EXPECT_EQ(ExplainSegmentCuts(forecasts, false),
            "3 segments: segment 2 re-encodes all: the source's pictures are interlaced");
  EXPECT_EQ(ExplainSegmentCuts(forecasts, true),
            "3 segments: cannot be joined without re-encoding them: the source's pictures are "
            "interlaced");
}

// The lists' entries are read once, as values, the way the chosen format
// means them; an entry that names no value is refused by name.
TEST_F(TSplitJobTest, ListEntriesAreReadOnceAsValues) {
  Choose("H.264 MP4 - Plays Everywhere (*.mp4)");
  const TSplitSettings today = model_.MakeSplitJob().Settings;
  EXPECT_EQ(today.VideoEncoder, "libx264");
  EXPECT_TRUE(today.VideoBitrate.Quality);  // "Auto (quality)"
  EXPECT_TRUE(today.Size.Original);
  EXPECT_TRUE(today.FrameRate.Source);      // "Auto"
  EXPECT_EQ(today.AudioEncoder, "aac");
  EXPECT_EQ(today.AudioBitrate.BitsPerSecond, 160000);
  EXPECT_EQ(today.SampleRate.Hz, 0);        // "Original": the source's
  EXPECT_EQ(today.Channels, TChannels::Source);
  model_.ComboVideoQuality.Select(0);
  model_.ComboVideoSize.Select(model_.ComboVideoSize.IndexOf("1280x720"));
  model_.ComboVideoFramerate.Select(model_.ComboVideoFramerate.IndexOf("29.97 fps"));
  TSplitSettings chosen = model_.MakeSplitJob().Settings;
  EXPECT_EQ(chosen.Quality, TQualityLevel::Highest);
  EXPECT_EQ(chosen.Size.Text(), "1280x720");
  EXPECT_EQ(chosen.FrameRate.Num, 2997);
  EXPECT_EQ(chosen.FrameRate.Den, 100);
  EXPECT_EQ(Plan().OutputOptions.FrameRate, "29.97");

  // A classic row's fixed lists: the rate reads back as the list wrote it.
  Choose("Xbox360 MPEG4 Video (*.mp4)");
  model_.ComboVideoFramerate.Select(model_.ComboVideoFramerate.IndexOf("30.0 fps"));
  model_.ComboVideoSize.Select(model_.ComboVideoSize.IndexOf("352x288 (CIF)"));
  chosen = model_.MakeSplitJob().Settings;
  EXPECT_EQ(chosen.Size.Width, 352);
  EXPECT_EQ(chosen.Size.Height, 288);
  EXPECT_EQ(Plan().OutputOptions.FrameRate, "30.0");

  const auto add = [](TListModel& list, const std::string& entry) {
    list.Add(entry);
    list.Select(list.Count() - 1);
  };
  add(model_.ComboVideoSize, "huge");
  EXPECT_EQ(Refusal(), "The size \"huge\" cannot be used.\n\rPlease choose another.");
  model_.ComboVideoSize.Select(0);
  add(model_.ComboVideoFramerate, "fast fps");
  EXPECT_EQ(Refusal(), "The frame rate \"fast fps\" cannot be used.\n\rPlease choose another.");
  model_.ComboVideoFramerate.Select(0);
  // "Original" is a rate of today's formats only.
  add(model_.ComboSamplingRate, "Original");
  EXPECT_EQ(Refusal(), "The sample rate \"Original\" cannot be used.\n\rPlease choose another.");
}

TEST_F(TSplitJobTest, OverwriteNeverTargetsTheInputItself) {
  Choose("MP4 - MPEG4 Video (*.mp4)");
  model_.EditInputFilename = dir_.File("clip.mp4");
  Touch(model_.EditInputFilename);
  model_.Overwrite = true;
  EXPECT_EQ(Plan().OutputPath, dir_.File("clip-1.mp4"));
  // Also when the folder is written another way.
  model_.EditOutputFolder = dir_.Path().string() + "/./";
  const std::string path = Plan().OutputPath;
  EXPECT_NE(path, dir_.Path().string() + "/./clip.mp4");
  EXPECT_FALSE(SameFile(path, model_.EditInputFilename));
}

TEST_F(TSplitJobTest, RefusedJobsSayWhy) {
  Choose("MP4 - MPEG4 Video (*.mp4)");
  model_.StartMarkText = "12";
  model_.EndMarkText = "20.00";
  EXPECT_EQ(Refusal(),
            "The start time \"12\" cannot be used.\n\rPlease write it in seconds with a decimal "
            "point, for example 12.00.");
  model_.StartMarkText = "1.00";
  model_.EndMarkText = "20";
  EXPECT_EQ(Refusal(),
            "The end time \"20\" cannot be used.\n\rPlease write it in seconds with a decimal "
            "point, for example 12.00.");
  model_.EndMarkText = "20.00";

  Choose("Video CD (*.mpg)");
  model_.ComboVideoBitrate.Select(-1);
  EXPECT_EQ(Refusal(),
            "No video bitrate is selected.\n\rPlease choose one in the Detailed Output Settings.");
  model_.ComboVideoQuality.Select(0);
  model_.ComboVideoQualityChange(model_.ComboVideoQuality);
  model_.ComboAudioBitrate.Select(-1);
  EXPECT_EQ(Refusal(),
            "No audio bitrate is selected.\n\rPlease choose one in the Detailed Output Settings.");

  TSplitJob job;  // nothing chosen at all, as when the lists could not be filled
  job.InputFile = dir_.File("clip.avi");
  job.OutputFolder = dir_.Path().string();
  TSplitPlan plan;
  std::string message;
  EXPECT_FALSE(BuildSplitPlan(job, plan, message));
  EXPECT_EQ(message, "No output format is chosen.\n\rPlease choose one in the output format list.");
}

}  // namespace
}  // namespace kelvane::test
