// What the window remembers between runs: the first run's defaults, the
// values read back, and values that are missing or of the wrong kind.
#include <gtest/gtest.h>

#include "app/MainWindowModel.h"
#include "tests/app/MemoryStore.h"
#include "tests/app/RecordingSink.h"
#include "tests/common/TestSupport.h"

namespace kelvane::test {
namespace {

const std::vector<std::string> kNames = {
    "Output Folder", "ComboOutputFormat", "Overwrite",     "AddVideo",      "LetterBox",
    "VideoQuality",  "AudioQuality",      "FormTop",       "FormLeft",      "Video Codec",
    "Video Bitrate", "Video Size",        "Frame Rate",    "Audio Codec",   "Audio Bitrate",
    "Sampling Rate", "Audio Channels",    "Volume"};

class TStoredSettingsTest : public TMediaTest {
 protected:
  void SetUp() override {
    TMediaTest::SetUp();
    model_.FormCreate(KELVANE_BINARY_DIR);
  }
  TRecordingSink sink_;
  TMainWindowModel model_{sink_};
  TMemoryStore store_;
};

TEST_F(TStoredSettingsTest, FirstRunShowsTheDefaultsAndWritesEveryValue) {
  model_.LoadSettings(store_);
  EXPECT_EQ(model_.ComboOutputFormat.Text(), "H.264 MP4 - Plays Everywhere (*.mp4)");
  EXPECT_EQ(model_.LastFormatIndex, model_.ComboOutputFormat.ItemIndex());
  EXPECT_EQ(model_.ComboVideoQuality.Text(), "Normal");
  EXPECT_EQ(model_.ComboAudioQuality.Text(), "Normal");
  EXPECT_EQ(model_.ComboLetterBox.Text(), "Add LetterBox");
  EXPECT_FALSE(model_.Overwrite);
  EXPECT_TRUE(model_.PlayImmediately);
  EXPECT_EQ(model_.SavedTop, 5);
  EXPECT_EQ(model_.SavedLeft, 150);
  EXPECT_EQ(store_.written, kNames);
  EXPECT_EQ(std::get<std::string>(store_.values["ComboOutputFormat"]),
            "H.264 MP4 - Plays Everywhere (*.mp4)");
}

// Values an earlier version stored: the lists' choices as indexes, no
// detailed settings.
TEST_F(TStoredSettingsTest, IndexesStoredByEarlierVersionsComeBack) {
  store_.values = {{"Output Folder", std::string("/videos")},
                   {"ComboOutputFormat", int32_t{16}},  // "Video CD (*.mpg)"
                   {"Overwrite", true},
                   {"AddVideo", false},
                   {"LetterBox", int32_t{0}},
                   {"VideoQuality", int32_t{1}},
                   {"AudioQuality", int32_t{4}},
                   {"FormTop", int32_t{40}},
                   {"FormLeft", int32_t{-3}}};
  model_.LoadSettings(store_);
  EXPECT_TRUE(store_.written.empty());
  EXPECT_EQ(model_.EditOutputFolder, "/videos");
  EXPECT_EQ(model_.ComboOutputFormat.Text(), "Video CD (*.mpg)");
  EXPECT_TRUE(model_.Overwrite);
  EXPECT_FALSE(model_.PlayImmediately);
  EXPECT_EQ(model_.ComboLetterBox.Text(), "None");
  EXPECT_EQ(model_.ComboVideoQuality.Text(), "Higher");
  EXPECT_EQ(model_.ComboVideoBitrate.Text(), "1000 Kbps");
  EXPECT_EQ(model_.ComboAudioQuality.Text(), "Lowest");
  EXPECT_EQ(model_.ComboAudioBitrate.Text(), "32 Kbps");
  EXPECT_EQ(model_.SavedTop, 40);
  EXPECT_EQ(model_.SavedLeft, 0);  // negative: not taken

  model_.FormTop = 12;
  model_.SaveSettings(store_);
  EXPECT_EQ(store_.written, kNames);
  EXPECT_EQ(std::get<std::string>(store_.values["ComboOutputFormat"]), "Video CD (*.mpg)");
  EXPECT_EQ(std::get<std::string>(store_.values["AudioQuality"]), "Lowest");
  EXPECT_EQ(std::get<int32_t>(store_.values["FormTop"]), 12);
}

TEST_F(TStoredSettingsTest, EveryChoiceComesBackAfterARestartAndRechoosingChangesNothing) {
  model_.LoadSettings(store_);
  auto choose = [this](TListModel& list, const std::string& text) {
    const int index = list.IndexOf(text);
    ASSERT_GE(index, 0) << text;
    list.Select(index);
  };
  choose(model_.ComboOutputFormat, "MP4 - MPEG4 Video (*.mp4)");
  model_.ComboOutputFormatChange();
  EXPECT_EQ(model_.ComboVideoBitrate.Text(), "1500 Kbps");  // the format's own
  EXPECT_EQ(model_.ComboVideoQuality.Text(), "Higher");
  choose(model_.ComboVideoQuality, "Highest");
  model_.ComboVideoQualityChange(model_.ComboVideoQuality);
  EXPECT_EQ(model_.ComboVideoBitrate.Text(), "2500 Kbps");
  choose(model_.ComboAudioBitrate, "80 Kbps");
  model_.ComboVideoQualityChange(model_.ComboAudioBitrate);
  EXPECT_EQ(model_.ComboAudioQuality.Text(), "Lower");
  choose(model_.ComboVideoCodec, "h264");
  choose(model_.ComboVideoSize, "640x480");
  model_.ComboVideoSizeChange(model_.ComboVideoSize);
  choose(model_.ComboVideoFramerate, "25.0 fps");
  choose(model_.ComboSamplingRate, "44100 Hz");
  choose(model_.ComboAudioChannels, "Mono");
  choose(model_.ComboLetterBox, "None");
  model_.SpinVolume = 150;
  auto shown = [](TMainWindowModel& model) {
    std::vector<std::string> texts;
    for (const TListModel* list :
         {&model.ComboOutputFormat, &model.ComboVideoQuality, &model.ComboAudioQuality,
          &model.ComboVideoSizeMirror, &model.ComboLetterBox, &model.ComboVideoCodec,
          &model.ComboAudioCodec, &model.ComboVideoBitrate, &model.ComboVideoSize,
          &model.ComboVideoFramerate, &model.ComboAudioBitrate, &model.ComboSamplingRate,
          &model.ComboAudioChannels}) {
      texts.push_back(list->Text());
    }
    texts.push_back(std::to_string(model.SpinVolume));
    return texts;
  };
  const std::vector<std::string> chosen = shown(model_);
  EXPECT_EQ(chosen[3], "640x480");

  // The format already shown chosen again.
  model_.ComboOutputFormatChange();
  EXPECT_EQ(shown(model_), chosen);

  model_.SaveSettings(store_);
  TRecordingSink sink;
  TMainWindowModel restarted(sink);
  restarted.FormCreate(KELVANE_BINARY_DIR);
  restarted.LoadSettings(store_);
  EXPECT_EQ(shown(restarted), chosen);

  // Another format and back: the format's own choices again, and a level
  // means the bitrate it meant before the restart.
  choose(restarted.ComboOutputFormat, "AVI - DivX Video (*.avi)");
  restarted.ComboOutputFormatChange();
  choose(restarted.ComboOutputFormat, "MP4 - MPEG4 Video (*.mp4)");
  restarted.ComboOutputFormatChange();
  EXPECT_EQ(restarted.ComboVideoQuality.Text(), "Higher");
  EXPECT_EQ(restarted.ComboVideoBitrate.Text(), "1500 Kbps");
  choose(restarted.ComboVideoQuality, "Highest");
  restarted.ComboVideoQualityChange(restarted.ComboVideoQuality);
  EXPECT_EQ(restarted.ComboVideoBitrate.Text(), "2500 Kbps");

  // "Same as Source" comes back by its text, its lists as fixed as before.
  choose(restarted.ComboOutputFormat, kSameAsSourceFormat);
  restarted.ComboOutputFormatChange();
  restarted.SaveSettings(store_);
  TMainWindowModel again(sink);
  again.FormCreate(KELVANE_BINARY_DIR);
  again.LoadSettings(store_);
  EXPECT_EQ(again.ComboOutputFormat.Text(), kSameAsSourceFormat);
  EXPECT_EQ(again.ComboVideoCodec.Text(), "Same as source");
  EXPECT_FALSE(again.ComboVideoCodec.Enabled());
}

// A stored position names the entry of the list as it was before today's
// formats came; one that list did not have selects the default format.
TEST_F(TStoredSettingsTest, IndexesTheOldListDidNotHaveSelectTheDefaultFormat) {
  for (int32_t stored : {-1, 41, 1000, 2}) {
    TMemoryStore store;
    store.values = {{"ComboOutputFormat", stored}, {"Overwrite", false}, {"AddVideo", true},
                    {"LetterBox", int32_t{1}},     {"VideoQuality", int32_t{2}},
                    {"AudioQuality", int32_t{2}},  {"FormTop", int32_t{0}},
                    {"FormLeft", int32_t{0}}};
    model_.LoadSettings(store);
    EXPECT_EQ(model_.ComboOutputFormat.Text(), stored == 2
                                                    ? "3GP - Mobile Video Format (*.3gp)"
                                                    : "H.264 MP4 - Plays Everywhere (*.mp4)")
        << stored;
    EXPECT_EQ(model_.LastFormatIndex, model_.ComboOutputFormat.ItemIndex());
  }
}

TEST_F(TStoredSettingsTest, AValueOfTheWrongKindCountsAsMissing) {
  store_.values = {{"ComboOutputFormat", int32_t{10}}, {"Overwrite", std::string("yes")}};
  model_.LoadSettings(store_);
  // What was read before the bad value stays; the rest takes the defaults.
  EXPECT_EQ(model_.ComboOutputFormat.Text(), "H.264 MP4 - Plays Everywhere (*.mp4)");
  EXPECT_EQ(store_.written, kNames);
  EXPECT_TRUE(std::holds_alternative<bool>(store_.values["Overwrite"]));
}

TEST_F(TStoredSettingsTest, WritingStopsAtTheFirstRefusal) {
  store_.writable = 3;
  model_.SaveSettings(store_);
  EXPECT_EQ(store_.written, (std::vector<std::string>{"Output Folder", "ComboOutputFormat",
                                                      "Overwrite"}));
}

}  // namespace
}  // namespace kelvane::test
