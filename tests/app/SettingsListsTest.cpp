// The format list, the settings lists each preset fills, the header entries
// and the ties between quality levels and bitrate lists, as the user sees them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/MainWindowModel.h"
#include "app/Quality.h"
#include "app/SettingsLists.h"
#include "tests/app/RecordingSink.h"

namespace kelvane::test {
namespace {

using TItems = std::vector<std::string>;

struct TListExpect {
  TItems items;
  std::string selected;
};

struct TPresetExpect {
  const char* format;
  TListExpect video_codec, size, video_bitrate, frame_rate;
  TListExpect audio_codec, audio_bitrate, sample_rate, channels;
};

const TItems kFixedSizes = FixedSizes();
const TItems kFixedSampleRates = FixedSampleRates();
const TItems kStereoMono = {"Stereo", "Mono"};
const TListExpect kEmpty = {{}, ""};

class TSettingsListsTest : public testing::Test {
 protected:
  void SetUp() override {
    model_.FillOutputFormats();
    model_.ComboOutputFormatChange();
  }

  // Chooses a format the way the user does: select, then the change handler.
  void Choose(const std::string& format) {
    const int index = model_.ComboOutputFormat.IndexOf(format);
    ASSERT_GE(index, 0) << format;
    model_.ComboOutputFormat.Select(index);
    model_.ComboOutputFormatChange();
  }

  static void ExpectList(const TListModel& list, const TListExpect& expect, const char* what) {
    EXPECT_EQ(list.Items(), expect.items) << what;
    EXPECT_EQ(list.Text(), expect.selected) << what;
  }

  TRecordingSink sink_;
  TMainWindowModel model_{sink_};
};

TEST_F(TSettingsListsTest, FormatListHoldsTodaysFormatsAboveTheHeadersBlanksAndThe33Presets) {
  const TListModel& formats = model_.ComboOutputFormat;
  const TItems today = {"            ----- Today's Formats -----",
                        "     ",
                        "Same as Source - Lossless (*.*)",
                        "H.264 MP4 - Plays Everywhere (*.mp4)",
                        "H.265 MP4 - Smaller Files (*.mp4)",
                        "AV1 MKV - Smallest Files (*.mkv)",
                        "VP9 WebM - For the Web (*.webm)",
                        "Matroska - H.264 (*.mkv)",
                        "MP3 Audio (*.mp3)",
                        "AAC Audio (*.m4a)",
                        "Opus Audio (*.opus)",
                        "FLAC Audio - Lossless (*.flac)",
                        "WAV Audio (*.wav)",
                        "Animated GIF (*.gif)",
                        "     "};
  ASSERT_EQ(formats.Count(), 15 + 41);
  EXPECT_EQ(TItems(formats.Items().begin(), formats.Items().begin() + 15), today);
  // Below them the list as it always was: two headers of the first group, 16
  // formats, 3 + 5 Apple entries, 3 + 12 further entries.
  const TItems original(formats.Items().begin() + 15, formats.Items().end());
  EXPECT_EQ(original, OriginalFormatList());
  EXPECT_EQ(original[0], "            ----- General Video Formats -----");
  EXPECT_EQ(original[1], "     ");
  EXPECT_EQ(original[2], "3GP - Mobile Video Format (*.3gp)");
  EXPECT_EQ(original[19], "            ----- Apple iPod & iPhones -----   ");
  EXPECT_EQ(original[27], "            -----     Miscellaneous     -----");
  EXPECT_EQ(original[40], "Zune WMV Windows Media Video (*.wmv)");
  EXPECT_EQ(formats.Text(), "H.264 MP4 - Plays Everywhere (*.mp4)");  // at start-up
  int presets = 0;
  for (const std::string& entry : formats.Items()) {
    const bool header =
        entry.find("  ") != std::string::npos || entry.find("---") != std::string::npos;
    if (header) continue;
    ++presets;
    EXPECT_NE(FindPreset(entry), nullptr) << entry;
  }
  EXPECT_EQ(presets, 12 + 33);
}

TEST_F(TSettingsListsTest, PresetTableHas82RowsNumberedByPosition) {
  const auto& table = PresetTable();
  ASSERT_EQ(table.size(), 82u);
  for (size_t i = 0; i < table.size(); ++i) EXPECT_EQ(table[i].RowNumber, static_cast<int>(i));
  EXPECT_EQ(table[2].Name, "3Gxx - Mobile Video Format (*.3g2)");
  EXPECT_EQ(table[2].Container, "");
  EXPECT_EQ(table[71].Container, "AMR");
  EXPECT_EQ(table[81].Name, "HD WMV - Windows Media Video (*.wmv)");
  EXPECT_EQ(FindPreset("  PSP Video (*.mp4) ")->RowNumber, 54);  // trimmed, exact
  EXPECT_EQ(FindPreset("psp video (*.mp4)"), nullptr);
}

TEST_F(TSettingsListsTest, EachPresetFillsItsLists) {
  const std::vector<TPresetExpect> cases = {
      {"3GP - Mobile Video Format (*.3gp)",
       {{"h263", "mpeg4"}, "h263"},
       {{"1408x1152", "704x576", "352x288", "176x144", "128x96"}, "176x144"},
       {{"512 Kbps", "256 Kbps", "120 Kbps", "80 Kbps", "40 Kbps"}, "512 Kbps"},
       {{"15 fps"}, "15 fps"},
       {{"libopencore_amrnb"}, "libopencore_amrnb"},
       {{"12.2 Kbps", "10.2 Kbps", "7.4 Kbps", "5.9 Kbps", "4.75 Kbps"}, "7.4 Kbps"},
       {{"8000 Hz"}, "8000 Hz"},
       {{"Mono"}, "Mono"}},
      {"Video CD (*.mpg)",
       {{"mpeg1video"}, "mpeg1video"},
       {{"704x576", "640x480", "480x272", "352x240", "352x288", "176x144", "128x96"},
        "352x240"},
       {{"1150 Kbps", "1000 Kbps", "768 Kbps"}, "1150 Kbps"},
       {{"25 fps"}, "25 fps"},
       {{"mp2"}, "mp2"},
       {{"320 Kbps", "160 Kbps", "96 Kbps", "56 Kbps", "32 Kbps"}, "320 Kbps"},
       {kFixedSampleRates, "44100 Hz"},
       {kStereoMono, "Stereo"}},
      {"DVD - VOB (*.vob)",
       {{"mpeg2video"}, "mpeg2video"},
       {{"720x480", "704x576", "640x480", "480x272", "352x240", "352x288", "176x144", "128x96"},
        "720x480"},
       {{"8000 Kbps", "6000 Kbps", "5000 Kbps", "4000 Kbps", "3000 Kbps"}, "5000 Kbps"},
       {{"25 fps"}, "25 fps"},
       {{"ac3"}, "ac3"},
       {{"448 Kbps", "160 Kbps", "96 Kbps", "56 Kbps", "32 Kbps"}, "448 Kbps"},
       {kFixedSampleRates, "48000 Hz"},
       {kStereoMono, "Stereo"}},
      {"FLV - Flash Flv Video (*.flv)",
       {{"flv"}, "flv"},
       {kFixedSizes, "Original Size"},
       {{"1200 Kbps", "512 Kbps", "368 Kbps", "200 Kbps", "120 Kbps"}, "368 Kbps"},
       {{"15 fps"}, "15 fps"},
       {{"MP3"}, "MP3"},
       {{"160 Kbps", "128 Kbps", "96 Kbps", "64 Kbps", "48 Kbps"}, "96 Kbps"},
       {{"11025 Hz"}, "11025 Hz"},
       {kStereoMono, "Stereo"}},
      {"PSP Video (*.mp4)",
       {{"xvid"}, "xvid"},
       {{"368x208", "320x240", "160x112"}, "368x208"},
       {{"768 Kbps", "512 Kbps", "384 Kbps", "216 Kbps", "128 Kbps"}, "384 Kbps"},
       {{"29.97 fps"}, "29.97 fps"},
       {{"mpeg4aac"}, "mpeg4aac"},
       {{"160 Kbps", "128 Kbps", "96 Kbps", "64 Kbps", "48 Kbps"}, "96 Kbps"},
       {{"48000 Hz"}, "48000 Hz"},
       {kStereoMono, "Stereo"}},
      {"PS3 Video (*.mp4)",
       {{"h264"}, "h264"},
       {{"1920x1080", "1280x720", "720x480", "640x480"}, "720x480"},
       {{"3000 Kbps", "2500 Kbps", "2000 Kbps", "1500 Kbps", "1200 Kbps"}, "2000 Kbps"},
       {{"29.97 fps"}, "29.97 fps"},
       {{"mpeg4aac"}, "mpeg4aac"},
       {{"256 Kbps", "192 Kbps", "128 Kbps", "80 Kbps", "64 Kbps"}, "128 Kbps"},
       {{"48000 Hz"}, "48000 Hz"},
       {kStereoMono, "Stereo"}},
      {"Zune Mpeg4 Video (*.mp4)",
       {{"mpeg4", "h264"}, "mpeg4"},
       {{"640x480", "320x240"}, "320x240"},
       {{"2000 Kbps", "1500 Kbps", "768 Kbps", "512 Kbps", "256 Kbps"}, "768 Kbps"},
       {{"29.97 fps"}, "29.97 fps"},
       {{"mpeg4aac"}, "mpeg4aac"},
       {{"256 Kbps", "192 Kbps", "128 Kbps", "80 Kbps", "64 Kbps"}, "128 Kbps"},
       {kFixedSampleRates, "44100 Hz"},
       {kStereoMono, "Stereo"}},
      {"General Pocket PC Video (*.wmv)",
       {{"wmv3x"}, "wmv3x"},
       {{"720x576", "640x480", "320x240"}, "320x240"},
       {{"1500 Kbps", "1200 Kbps", "768 Kbps", "256 Kbps", "512 Kbps"}, "768 Kbps"},
       {{"29.97 fps"}, "29.97 fps"},
       {{"wma7x"}, "wma7x"},
       {{"256 Kbps", "192 Kbps", "128 Kbps", "80 Kbps", "48 Kbps"}, "128 Kbps"},
       {kFixedSampleRates, "44100 Hz"},
       {kStereoMono, "Stereo"}},
      {"Xbox360 MPEG4 Video (*.mp4)",
       {{""}, ""},
       {kFixedSizes, "Original Size"},
       {FixedVideoBitrates(), "192 Kbps"},
       {FixedFrameRates(), "Auto"},
       {{""}, ""},
       {{"256 Kbps", "192 Kbps", "128 Kbps", "80 Kbps", "64 Kbps"}, "256 Kbps"},
       {kFixedSampleRates, "96000 Hz"},
       {kStereoMono, "Stereo"}},
      {"BlackBerry AMR Audio (*.amr)",
       kEmpty,
       kEmpty,
       kEmpty,
       kEmpty,
       {{"amr_nb"}, "amr_nb"},
       // "7.4 Hz" matches no entry: the first is selected.
       {{"12.2 Kbps", "10.2 Kbps", "7.4 Kbps", "5.9 Kbps", "4.75 Kbps"}, "12.2 Kbps"},
       {{"8000 Hz"}, "8000 Hz"},
       {{"Mono"}, "Mono"}},
  };
  for (const TPresetExpect& c : cases) {
    SCOPED_TRACE(c.format);
    // From another format first, so that nothing is left over by chance.
    Choose("MPEG-1 Movie (*.mpg)");
    Choose(c.format);
    ExpectList(model_.ComboVideoCodec, c.video_codec, "video codec");
    ExpectList(model_.ComboVideoSize, c.size, "size");
    ExpectList(model_.ComboVideoSizeMirror, c.size, "size mirror");
    ExpectList(model_.ComboVideoBitrate, c.video_bitrate, "video bitrate");
    ExpectList(model_.ComboVideoFramerate, c.frame_rate, "frame rate");
    ExpectList(model_.ComboAudioCodec, c.audio_codec, "audio codec");
    ExpectList(model_.ComboAudioBitrate, c.audio_bitrate, "audio bitrate");
    ExpectList(model_.ComboSamplingRate, c.sample_rate, "sample rate");
    ExpectList(model_.ComboAudioChannels, c.channels, "channels");
    EXPECT_EQ(model_.ComboVideoQuality.Items(), QualityLevels());
    EXPECT_EQ(model_.LastFormatIndex, model_.ComboOutputFormat.ItemIndex());
  }
}

TEST_F(TSettingsListsTest, SizeSelectionsOfFurtherPresets) {
  const std::vector<std::pair<const char*, const char*>> cases = {
      {"Super Video CD (*.mpg)", "486x480"},
      {"BlackBerry MPEG-4 Video (*.mp4)", "176x144"},
      {"MPEG-1 Movie (*.mpg)", "320x240 (VGA)"},  // "320x240default" in the fixed sizes
      {"iPod (*.mp4)", "320x240"},
  };
  for (const auto& [format, size] : cases) {
    Choose(format);
    EXPECT_EQ(model_.ComboVideoSize.Text(), size) << format;
    EXPECT_EQ(model_.ComboVideoSizeMirror.Text(), size) << format;
  }
}

TEST_F(TSettingsListsTest, ContainerNameFollowsThePreset) {
  Choose("DVD - VOB (*.vob)");
  EXPECT_EQ(model_.ContainerName, "VOB");
  EXPECT_FALSE(model_.IsAudioOnly());
  Choose("BlackBerry AMR Audio (*.amr)");
  EXPECT_EQ(model_.ContainerName, "AMR");
  EXPECT_TRUE(model_.IsAudioOnly());
}

TEST_F(TSettingsListsTest, HeaderAndBlankEntriesPutThePreviousFormatBack) {
  Choose("DVD - VOB (*.vob)");
  const int dvd = model_.ComboOutputFormat.ItemIndex();
  const TItems sizes = model_.ComboVideoSize.Items();
  std::vector<int> headers;
  for (int i = 0; i < model_.ComboOutputFormat.Count(); ++i) {
    if (FindPreset(model_.ComboOutputFormat.Item(i)) == nullptr) headers.push_back(i);
  }
  ASSERT_EQ(headers.size(), 11u);
  for (int header : headers) {
    model_.ComboOutputFormat.Select(header);
    model_.ComboOutputFormatChange();
    EXPECT_EQ(model_.ComboOutputFormat.ItemIndex(), dvd) << header;
    EXPECT_EQ(model_.ComboOutputFormat.Text(), "DVD - VOB (*.vob)");
    EXPECT_EQ(model_.ComboVideoSize.Items(), sizes);
    EXPECT_EQ(model_.ContainerName, "VOB");
  }
}

TEST_F(TSettingsListsTest, QualityLevelsAndBitratesMoveTogether) {
  Choose("MP4 - MPEG4 Video (*.mp4)");
  model_.ComboVideoQuality.Select(0);
  model_.ComboVideoQualityChange(model_.ComboVideoQuality);
  EXPECT_EQ(model_.ComboVideoBitrate.Text(), "2500 Kbps");
  model_.ComboAudioBitrate.Select(3);
  model_.ComboVideoQualityChange(model_.ComboAudioBitrate);
  EXPECT_EQ(model_.ComboAudioQuality.Text(), "Lower");
  model_.ComboVideoBitrate.Select(4);
  model_.ComboVideoQualityChange(model_.ComboVideoBitrate);
  EXPECT_EQ(model_.ComboVideoQuality.Text(), "Lowest");
  EXPECT_EQ(model_.VideoQualityIndex, 4);
  EXPECT_EQ(model_.AudioQualityIndex, 3);

  // A new format shows its own bitrates and their levels.
  Choose("DVD - VOB (*.vob)");
  EXPECT_EQ(model_.ComboVideoBitrate.Text(), "5000 Kbps");
  EXPECT_EQ(model_.ComboVideoQuality.Text(), "Normal");
  EXPECT_EQ(model_.ComboAudioBitrate.Text(), "448 Kbps");
  EXPECT_EQ(model_.ComboAudioQuality.Text(), "Highest");
}

// Today's formats: the lists written out, a level a constant quality and a
// bit rate chosen instead of it; the sound-only formats and the GIF.
TEST_F(TSettingsListsTest, TodaysFormatsFillTheirOwnLists) {
  Choose("H.265 MP4 - Smaller Files (*.mp4)");
  EXPECT_EQ(model_.ContainerName, "MP4");
  ExpectList(model_.ComboVideoCodec, {{"H.265"}, "H.265"}, "video codec");
  ExpectList(model_.ComboVideoSize,
             {{"Original Size", "3840x2160", "2560x1440", "1920x1080", "1280x720", "854x480",
               "640x360"},
              "Original Size"},
             "size");
  EXPECT_EQ(model_.ComboVideoSizeMirror.Items(), model_.ComboVideoSize.Items());
  EXPECT_EQ(model_.ComboVideoFramerate.Text(), "Auto");
  EXPECT_EQ(model_.ComboVideoBitrate.Item(0), "Auto (quality)");
  EXPECT_EQ(model_.ComboVideoBitrate.Items().back(), "20000 Kbps");
  EXPECT_EQ(model_.ComboVideoBitrate.Text(), "Auto (quality)");
  EXPECT_EQ(model_.ComboAudioBitrate.Item(0), "320 Kbps");
  EXPECT_EQ(model_.ComboAudioBitrate.Text(), "160 Kbps");
  EXPECT_EQ(model_.ComboSamplingRate.Text(), "Original");
  ExpectList(model_.ComboAudioChannels, {{"Original", "Stereo", "Mono"}, "Original"}, "channels");
  EXPECT_EQ(model_.ComboVideoQuality.Text(), "Normal");

  model_.ComboVideoBitrate.Select(model_.ComboVideoBitrate.IndexOf("8000 Kbps"));
  model_.ComboVideoQualityChange(model_.ComboVideoBitrate);
  EXPECT_EQ(model_.ComboVideoQuality.Text(), "Normal");  // a bit rate is no level
  model_.ComboVideoQuality.Select(0);
  model_.ComboVideoQualityChange(model_.ComboVideoQuality);
  EXPECT_EQ(model_.ComboVideoBitrate.Text(), "Auto (quality)");  // the level rules again
  model_.ComboAudioQuality.Select(0);
  model_.ComboVideoQualityChange(model_.ComboAudioQuality);
  EXPECT_EQ(model_.ComboAudioBitrate.Text(), "256 Kbps");

  Choose("Opus Audio (*.opus)");
  EXPECT_TRUE(model_.IsAudioOnly());
  EXPECT_EQ(model_.ComboVideoCodec.Count(), 0);
  EXPECT_EQ(model_.ComboVideoSize.Count(), 0);
  ExpectList(model_.ComboSamplingRate, {{"48000 Hz"}, "48000 Hz"}, "sample rate");
  EXPECT_EQ(model_.ComboAudioBitrate.Text(), "128 Kbps");  // the format's own
  Choose("FLAC Audio - Lossless (*.flac)");
  ExpectList(model_.ComboAudioBitrate, {{"Lossless"}, "Lossless"}, "audio bitrate");

  Choose("Animated GIF (*.gif)");
  EXPECT_EQ(model_.ContainerName, "GIF");
  EXPECT_FALSE(model_.IsAudioOnly());
  EXPECT_EQ(model_.ComboVideoSize.Text(), "480x360");
  EXPECT_EQ(model_.ComboVideoFramerate.Text(), "15 fps");
  EXPECT_EQ(model_.ComboAudioCodec.Count(), 0);
}

// Video CD's levels are 1150, 1000, 1000, 768, 768: equal levels share one entry.
TEST_F(TSettingsListsTest, LevelsThatShareABitrateSelectTheirEntry) {
  Choose("Video CD (*.mpg)");
  ASSERT_EQ(model_.ComboVideoBitrate.Count(), 3);
  const char* const shown[] = {"1150 Kbps", "1000 Kbps", "1000 Kbps", "768 Kbps", "768 Kbps"};
  for (int level = 0; level < 5; ++level) {
    model_.ComboVideoQuality.Select(level);
    model_.ComboVideoQualityChange(model_.ComboVideoQuality);
    EXPECT_EQ(model_.ComboVideoBitrate.Text(), shown[level]) << level;
  }
  model_.ComboVideoBitrate.Select(2);
  model_.ComboVideoQualityChange(model_.ComboVideoBitrate);
  EXPECT_EQ(model_.ComboVideoQuality.Text(), "Lower");
}

TEST_F(TSettingsListsTest, TheTwoSizeListsShowTheSameChoice) {
  Choose("DVD - VOB (*.vob)");
  model_.ComboVideoSizeMirror.Select(5);
  model_.ComboVideoSizeChange(model_.ComboVideoSizeMirror);
  EXPECT_EQ(model_.ComboVideoSize.Text(), "352x288");
  model_.ComboVideoSize.Select(2);
  model_.ComboVideoSizeChange(model_.ComboVideoSize);
  EXPECT_EQ(model_.ComboVideoSizeMirror.Text(), "640x480");
}

TEST(TSettingsListsRules, DefaultValueInFixedListsSelectsTheLastMatch) {
  Quality row;
  row.SampleRates = "8000default";
  TListModel list;
  FillSampleRates(row, list);
  EXPECT_EQ(list.Text(), "8000 Hz");  // not "48000 Hz"
  row.Sizes = "320x240default";
  FillSizes(row, list);
  EXPECT_EQ(list.Text(), "320x240 (VGA)");
}

TEST(TSettingsListsRules, AudioOnlyContainers) {
  for (const char* name : {"mp3", "MP2", "wma", "M4A", "amr", "wav", "ac3", "ogg", "RA", "au",
                           "aac", "OPUS", "flac"}) {
    EXPECT_TRUE(IsAudioOnlyContainer(name)) << name;
  }
  for (const char* name : {"MP4", "3GP", "AVI", "", "mp"}) {
    EXPECT_FALSE(IsAudioOnlyContainer(name)) << name;
  }
}

}  // namespace
}  // namespace kelvane::test
