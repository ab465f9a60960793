// Every codec name a reachable preset can hand over names an encoder the
// installed libraries have, and rates an encoder cannot take are fitted.
#include <gtest/gtest.h>

#include "app/CodecNames.h"
#include "app/MainWindowModel.h"
#include "binding/FFmpegLoader.h"
#include "engine/EncoderLimits.h"
#include "engine/core/AudioEncoder.h"
#include "tests/app/RecordingSink.h"
#include "tests/common/TestSupport.h"

namespace kelvane::test {
namespace {

class TEncoderNamesTest : public TMediaTest {};

TEST_F(TEncoderNamesTest, EveryListedCodecOfEveryReachablePresetHasAnEncoder) {
  TRecordingSink sink;
  TMainWindowModel model(sink);
  model.FillOutputFormats();
  int checked = 0;
  for (int i = 0; i < model.ComboOutputFormat.Count(); ++i) {
    model.ComboOutputFormat.Select(i);
    model.ComboOutputFormatChange();
    if (model.ComboOutputFormat.ItemIndex() != i) continue;  // a header
    if (model.SameAsSourceChosen()) continue;  // a copy keeps the source's codecs
    const std::string format = model.ComboOutputFormat.Text();
    for (const std::string& text : model.ComboVideoCodec.Items()) {
      if (text.empty()) continue;  // the container's default encoder
      const std::string name = GetNewVideoCodec(text);
      const AVCodec* codec = avcodec.avcodec_find_encoder_by_name(name.c_str());
      ASSERT_NE(codec, nullptr) << format << ": " << text << " -> " << name;
      EXPECT_EQ(codec->type, AVMEDIA_TYPE_VIDEO) << name;
      ++checked;
    }
    for (const std::string& text : model.ComboAudioCodec.Items()) {
      if (text.empty()) continue;
      const std::string name = GetNewAudioCodec(text);
      if (IsAmrNbEncoderName(name)) continue;  // the engine's own AMR-NB encoder
      const AVCodec* codec = avcodec.avcodec_find_encoder_by_name(name.c_str());
      ASSERT_NE(codec, nullptr) << format << ": " << text << " -> " << name;
      EXPECT_EQ(codec->type, AVMEDIA_TYPE_AUDIO) << name;
      ++checked;
    }
  }
  EXPECT_GE(checked, 40);
}

TEST_F(TEncoderNamesTest, SampleRatesAnEncoderCannotTakeBecomeTheNearestItCan) {
  struct TCase {
    const char* encoder;
    const char* output;
    int32_t rate;
    int32_t fitted;
  };
  const TCase cases[] = {
      {"libmp3lame", "/x/clip.avi", 96000, 48000},
      {"", "/x/clip.avi", 96000, 48000},   // the AVI default audio encoder (MP3)
      {"", "/x/clip.mpg", 54000, 48000},   // MP2
      {"ac3", "/x/clip.vob", 8000, 32000},
      {"aac", "/x/clip.mp4", 96000, 96000},
      {"aac", "/x/clip.mp4", 44100, 44100},
      {"pcm_s16le", "/x/clip.avi", 54000, 54000},  // takes any rate
      {"no-such-encoder", "/x/clip.avi", 54000, 54000},
  };
  for (const TCase& c : cases) {
    EXPECT_EQ(NearestSupportedSampleRate(c.encoder, c.output, c.rate), c.fitted)
        << c.encoder << " " << c.output << " " << c.rate;
  }
}

}  // namespace
}  // namespace kelvane::test
