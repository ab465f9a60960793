#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "binding/FFmpegLogger.h"
#include "binding/MainThread.h"
#include "binding/OptionDefaults.h"
#include "tests/common/TestSupport.h"

namespace kelvane {
namespace {

class OptionDefaultsTest : public test::TMediaTest {
 protected:
  void SetUp() override {
    test::TMediaTest::SetUp();
    ASSERT_TRUE(store_.AllocOptionDefaults(SWS_BICUBIC));
    saved_level_ = GetLogger().LogLevel();
  }
  void TearDown() override {
    PumpMessages();
    GetLogger().OnLog = nullptr;
    GetLogger().SetLogLevel(saved_level_);
  }
  int64_t Int(void* object, const char* name) {
    int64_t value = -1;
    EXPECT_GE(avutil.av_opt_get_int(object, name, 0, &value), 0) << name;
    return value;
  }
  AVCodecContext* Template(AVMediaType type) { return store_.CodecTemplate(type); }

  TOptionDefaults store_;
  TLogLevel saved_level_ = llInfo;
};

TEST_F(OptionDefaultsTest, SharedNameIsSetOnEveryTemplateWhoseTypeMatches) {
  ASSERT_TRUE(store_.SetOptionDefault("b", "1000k"));
  EXPECT_EQ(Template(AVMEDIA_TYPE_VIDEO)->bit_rate, 1000000);
  EXPECT_EQ(Template(AVMEDIA_TYPE_AUDIO)->bit_rate, 1000000);
  EXPECT_EQ(Template(AVMEDIA_TYPE_DATA)->bit_rate, 1000000);
  EXPECT_EQ(Template(AVMEDIA_TYPE_ATTACHMENT)->bit_rate, 1000000);
  // "b" is no subtitle option: that template keeps the library's default.
  EXPECT_NE(Template(AVMEDIA_TYPE_SUBTITLE)->bit_rate, 1000000);
  EXPECT_EQ(store_.Names(), std::vector<std::string>{"b"});
}

TEST_F(OptionDefaultsTest, TypeLetterPrefixSetsTheRestOnThatTemplate) {
  ASSERT_TRUE(store_.SetOptionDefault("aar", "22050"));  // "ar" on the audio template
  EXPECT_EQ(Template(AVMEDIA_TYPE_AUDIO)->sample_rate, 22050);
  EXPECT_NE(Template(AVMEDIA_TYPE_VIDEO)->sample_rate, 22050);
  ASSERT_TRUE(store_.SetOptionDefault("vg", "50"));  // "g" on the video template
  EXPECT_EQ(Template(AVMEDIA_TYPE_VIDEO)->gop_size, 50);
  EXPECT_NE(Template(AVMEDIA_TYPE_AUDIO)->gop_size, 50);
  EXPECT_EQ(store_.Names(), (std::vector<std::string>{"ar", "g"}));
}

TEST_F(OptionDefaultsTest, FormatAndScalerOptions) {
  ASSERT_TRUE(store_.SetOptionDefault("probesize", "123456"));
  EXPECT_EQ(store_.FormatTemplate()->probesize, 123456);
  ASSERT_TRUE(store_.SetOptionDefault("sws_flags", "bilinear"));
  EXPECT_EQ(Int(store_.ScalerTemplate(), "sws_flags"), SWS_BILINEAR);
}

TEST_F(OptionDefaultsTest, RefusedUnknownAndEmptyValues) {
  std::vector<std::string> logged;
  GetLogger().OnLog = [&](const void*, uint32_t, TLogLevel level, const std::string& text) {
    if (level == llError) logged.push_back(text);
  };
  ASSERT_TRUE(store_.SetOptionDefault("g", "25"));
  EXPECT_FALSE(store_.SetOptionDefault("g", "lots"));
  PumpMessages();
  ASSERT_FALSE(logged.empty());
  EXPECT_EQ(logged.back(), "Invalid value \"lots\" for option \"g\"");
  EXPECT_EQ(Template(AVMEDIA_TYPE_VIDEO)->gop_size, 25) << "the earlier value stays";
  EXPECT_FALSE(store_.SetOptionDefault("no_such_option_anywhere", "1"));
  EXPECT_FALSE(store_.SetOptionDefault("g", "  "));
  EXPECT_FALSE(store_.SetOptionDefault(" ", "1"));
  EXPECT_EQ(store_.Names(), std::vector<std::string>{"g"});
}

TEST_F(OptionDefaultsTest, ApplyCopiesOnlyOptionsWithAllMaskBits) {
  ASSERT_TRUE(store_.SetOptionDefault("b", "300k"));  // encoding, audio and video
  ASSERT_TRUE(store_.SetOptionDefault("g", "12"));    // video encoding
  ASSERT_TRUE(store_.SetOptionDefault("b", "400k"));  // listed twice, latest value wins
  EXPECT_EQ(store_.Names(), (std::vector<std::string>{"b", "g", "b"}));
  AVCodecContextPtr encoder(avcodec.avcodec_alloc_context3(nullptr));
  AVCodecContextPtr decoder(avcodec.avcodec_alloc_context3(nullptr));
  AVCodecContextPtr audio(avcodec.avcodec_alloc_context3(nullptr));
  const int64_t default_rate = decoder->bit_rate;
  const int default_gop = decoder->gop_size;
  AVCodecContext* video_template = Template(AVMEDIA_TYPE_VIDEO);
  store_.ApplyOptionDefaults(encoder.get(), video_template, kOptionVideo | kOptionEncoding);
  store_.ApplyOptionDefaults(decoder.get(), video_template, kOptionVideo | kOptionDecoding);
  store_.ApplyOptionDefaults(audio.get(), Template(AVMEDIA_TYPE_AUDIO),
                             kOptionAudio | kOptionEncoding);
  EXPECT_EQ(encoder->bit_rate, 400000);
  EXPECT_EQ(encoder->gop_size, 12);
  EXPECT_EQ(decoder->bit_rate, default_rate);
  EXPECT_EQ(decoder->gop_size, default_gop);
  EXPECT_EQ(audio->bit_rate, 400000);
  EXPECT_EQ(audio->gop_size, default_gop) << "g is no audio option";
}

TEST_F(OptionDefaultsTest, FlagsAndRationalsSurviveTheCopy) {
  ASSERT_TRUE(store_.SetOptionDefault("flags", "+global_header+qscale"));
  ASSERT_TRUE(store_.SetOptionDefault("aspect", "16:9"));
  AVCodecContextPtr encoder(avcodec.avcodec_alloc_context3(nullptr));
  store_.ApplyOptionDefaults(encoder.get(), Template(AVMEDIA_TYPE_VIDEO),
                             kOptionVideo | kOptionEncoding);
  EXPECT_EQ(encoder->flags & (AV_CODEC_FLAG_GLOBAL_HEADER | AV_CODEC_FLAG_QSCALE),
            AV_CODEC_FLAG_GLOBAL_HEADER | AV_CODEC_FLAG_QSCALE);
  EXPECT_EQ(av_cmp_q(encoder->sample_aspect_ratio, av_make_q(16, 9)), 0);
}

TEST_F(OptionDefaultsTest, FormatOptionsFollowTheirDirection) {
  ASSERT_TRUE(store_.SetOptionDefault("probesize", "77777"));  // a demuxing option
  AVFormatContextPtr input(avformat.avformat_alloc_context());
  AVFormatContextPtr output(avformat.avformat_alloc_context());
  store_.ApplyOptionDefaults(input.get(), store_.FormatTemplate(), kOptionDecoding);
  store_.ApplyOptionDefaults(output.get(), store_.FormatTemplate(), kOptionEncoding);
  EXPECT_EQ(input->probesize, 77777);
  EXPECT_NE(output->probesize, 77777);
}

TEST_F(OptionDefaultsTest, DebugOptionRaisesTheLoggerToDebug) {
  GetLogger().SetLogLevel(llInfo);
  ASSERT_TRUE(store_.SetOptionDefault("debug", "pict"));
  EXPECT_EQ(GetLogger().LogLevel(), llDebug);
}

TEST_F(OptionDefaultsTest, EncoderAndMuxerPrivateOptionsWaitForTheirOwner) {
  ASSERT_TRUE(store_.SetOptionDefault("intra_vlc", "1"));       // mpeg2video's own option
  ASSERT_TRUE(store_.SetOptionDefault("movflags", "faststart"));  // mp4 muxer's own option
  EXPECT_TRUE(store_.Names().empty());
  EXPECT_EQ(store_.UnusedPrivateOptions(),
            (std::vector<std::string>{"intra_vlc", "movflags"}));

  const AVCodec* mpeg2 = avcodec.avcodec_find_encoder_by_name("mpeg2video");
  ASSERT_NE(mpeg2, nullptr);
  AVCodecContextPtr encoder(avcodec.avcodec_alloc_context3(mpeg2));
  EXPECT_EQ(store_.ApplyOptionDefaultsToEncoderPrivate(encoder.get()), 0);
  EXPECT_EQ(Int(encoder->priv_data, "intra_vlc"), 1);

  AVFormatContext* raw = nullptr;
  ASSERT_GE(avformat.avformat_alloc_output_context2(&raw, nullptr, "mp4", nullptr), 0);
  AVFormatContextPtr output(raw);
  EXPECT_EQ(store_.ApplyOptionDefaultsToMuxerPrivate(output.get()), 0);
  const AVOption* faststart =
      avutil.av_opt_find(output->priv_data, "faststart", "movflags", 0, 0);
  ASSERT_NE(faststart, nullptr);
  EXPECT_EQ(Int(output->priv_data, "movflags"), faststart->default_val.i64);
  EXPECT_TRUE(store_.UnusedPrivateOptions().empty());
}

TEST_F(OptionDefaultsTest, RefusedPrivateValueIsReported) {
  ASSERT_TRUE(store_.SetOptionDefault("intra_vlc", "sideways"));
  AVCodecContextPtr encoder(
      avcodec.avcodec_alloc_context3(avcodec.avcodec_find_encoder_by_name("mpeg2video")));
  EXPECT_LT(store_.ApplyOptionDefaultsToEncoderPrivate(encoder.get()), 0);
  // Another encoder without that option is left alone.
  AVCodecContextPtr other(
      avcodec.avcodec_alloc_context3(avcodec.avcodec_find_encoder(AV_CODEC_ID_PCM_S16LE)));
  EXPECT_EQ(store_.ApplyOptionDefaultsToEncoderPrivate(other.get()), 0);
}

TEST_F(OptionDefaultsTest, FreeForgetsEverything) {
  ASSERT_TRUE(store_.SetOptionDefault("g", "5"));
  store_.FreeOptionDefaults();
  EXPECT_FALSE(store_.Allocated());
  EXPECT_TRUE(store_.Names().empty());
  EXPECT_FALSE(store_.SetOptionDefault("g", "5"));
  ASSERT_TRUE(store_.AllocOptionDefaults(0));  // no scaling method named: bicubic stands in
  EXPECT_TRUE(store_.SetOptionDefault("g", "5"));
}

}  // namespace
}  // namespace kelvane
