// Codec names, the volume numbers and the letterbox sizes.
#include <gtest/gtest.h>

#include "app/CodecNames.h"
#include "app/FittedRect.h"
#include "app/Letterbox.h"

namespace kelvane::test {
namespace {

TEST(TCodecNames, ListTextsBecomeTodaysEncoderNames) {
  const std::pair<const char*, const char*> video[] = {
      {" H264 ", "libx264"}, {"xvid", "libxvid"},       {"DivX", "mpeg4"},
      {"wmv3x", "wmv2"},     {"mpeg4_qt", "mpeg4"},     {"mpeg4", "mpeg4"},
      {"flv", "flv"},        {"MPEG2VIDEO", "mpeg2video"}, {"", ""}};
  for (const auto& [text, encoder] : video) EXPECT_EQ(GetNewVideoCodec(text), encoder) << text;
  const std::pair<const char*, const char*> audio[] = {
      {"aac", "aac"},
      {"mpeg4aac", "aac"},
      {"mpeg4aac_qt", "aac"},
      {"MP3", "libmp3lame"},
      {"wma7x", "wmav2"},
      {"amr_nb", "libopencore_amrnb"},
      {"libopencore_amrnb", "libopencore_amrnb"},
      {"vorbis", "libvorbis"},
      {"pcm_s16le", "pcm_s16le"}};
  for (const auto& [text, encoder] : audio) EXPECT_EQ(GetNewAudioCodec(text), encoder) << text;
}

TEST(TVolume, EveryFieldValueIsItsPercentOfTheSource) {
  const std::pair<int, int> steps[] = {{0, 0},     {1, 3},     {20, 51},   {50, 128},
                                       {100, 256}, {110, 282}, {150, 384}, {200, 512},
                                       {-20, 256}, {220, 256}};
  for (const auto& [field, volume] : steps) EXPECT_EQ(GetVolume(field), volume) << field;
}

struct TBoxCase {
  const char* source;
  const char* chosen;
  TLetterboxDecision decision;
  const char* output;
  double bar;
};

TEST(TLetterbox, BarsKeepTheSourceShape) {
  const TBoxCase cases[] = {
      {"640x480", "720x480", lbSideBars, "640x480", 40},
      {"1280x720", "320x240 (VGA)", lbTopBottom, "320x180", 30},
      {"720x576", "352x288 (CIF)", lbTopBottom, "352x284", 2},  // 281.6 -> 282, bar 3 -> 2
      {"1280x720", "640x352", lbSideBars, "624x352", 8},        // 625.78 -> 624
      {"640x480", "Original Size", lbNone, "640x480", 0},
      {"321x241", "Original Size", lbNone, "322x242", 0},       // even, as bars are made
      {"720x405", "Original Size", lbNone, "720x404", 0},
      {"640x480", "320x240", lbNone, "320x240", 0},             // same shape
      {"0x0", "320x240 (VGA)", lbNone, "320x240 (VGA)", 0},     // no source size
      {"", "320x240", lbNone, "", 0},                           // no file opened
      {"1280x720", "320x241", lbTopBottom, "1280x720", 0},      // odd target: no whole bar
  };
  for (const TBoxCase& c : cases) {
    SCOPED_TRACE(std::string(c.source) + " into " + c.chosen);
    const TLetterbox box = LetterboxDecision(c.source, c.chosen);
    EXPECT_EQ(box.Decision, c.decision);
    EXPECT_EQ(box.OutputSize, c.output);
    EXPECT_DOUBLE_EQ(box.BarSize, c.bar);
  }
}

TEST(TLetterbox, TargetSizeLosesItsLabelAndOriginalMeansTheSource) {
  EXPECT_EQ(LetterboxDecision("720x576", "352x288 (CIF)").TargetSize, "352x288");
  EXPECT_EQ(LetterboxDecision("720x576", " original size ").TargetSize, "720x576");
  EXPECT_EQ(SizeWithoutLabel("176x144 (QCIF)"), "176x144");
  EXPECT_EQ(SizeWithoutLabel("176x144"), "176x144");
}

TEST(TThumbnail, PictureKeepsItsShapeInsideTheImage) {
  const TRect image{0, 0, 116, 89};
  EXPECT_EQ(DrawFittedRect(640, 480, image), (TRect{0, 1, 116, 88}));    // 116 x 87
  EXPECT_EQ(DrawFittedRect(1280, 720, image), (TRect{0, 12, 116, 77}));  // 116 x 65
  EXPECT_EQ(DrawFittedRect(480, 640, image), (TRect{25, 0, 91, 89}));    // 66 x 89
  EXPECT_EQ(DrawFittedRect(116, 89, image), image);
  EXPECT_EQ(DrawFittedRect(0, 480, image), std::nullopt);
}

}  // namespace
}  // namespace kelvane::test
