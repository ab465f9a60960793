// The audio path through whole tasks: volume on a PCM round trip, resampling,
// and AMR-NB outputs (3GP, 3G2, AMR) decoded back with the right duration.
#include <string>

#include "engine/FFConverter.h"
#include "tests/common/MediaAssertions.h"
#include "tests/engine/RunTestSupport.h"
#include "tests/common/TestSupport.h"

namespace kelvane {
namespace {

class AudioOutputTest : public test::TMediaTest {
 protected:
  std::string Split(const std::string& input, const TOutputOptions& options,
                    const std::string& output) {
    int32_t index = converter_.AddTask(input);
    EXPECT_GE(index, 0) << converter_.LastError();
    if (index < 0) return converter_.LastError();
    if (!converter_.SetOutput(index, output, &options)) {
      std::string error = converter_.LastError();
      converter_.ClearTasks();
      return "SetOutput: " + error;
    }
    return test::RunTasksSynchronously(converter_);
  }

  fixtures::TAudioFacts Audio(const std::string& path) {
    fixtures::TAudioFacts facts;
    std::string error;
    EXPECT_TRUE(fixtures::DecodeAudio(path, facts, &error)) << error;
    return facts;
  }

  std::string Wav(double seconds, int rate = 44100, int channels = 2) {
    return test::MakeFixture(temp_, "wav-pcm", "in.wav", [&](fixtures::TFixtureRecipe& r) {
      r.Seconds = seconds;
      r.SampleRate = rate;
      r.Channels = channels;
    });
  }

  TFFConverter converter_;
};

TEST_F(AudioOutputTest, UnityVolumeKeepsThePcmAndDoubleVolumeDoublesIt) {
  const std::string input = Wav(1.0);
  TOutputOptions options;
  options.AudioCodec = "pcm_s16le";
  ASSERT_EQ(Split(input, options, temp_.File("same.wav")), "");
  options.AudioVolume = 512;
  ASSERT_EQ(Split(input, options, temp_.File("loud.wav")), "");
  fixtures::TAudioFacts in = Audio(input);
  fixtures::TAudioFacts same = Audio(temp_.File("same.wav"));
  fixtures::TAudioFacts loud = Audio(temp_.File("loud.wav"));
  EXPECT_EQ(same.Samples, in.Samples);
  EXPECT_DOUBLE_EQ(same.Rms, in.Rms);
  EXPECT_NEAR(loud.Rms / in.Rms, 2.0, 0.01);
  EXPECT_EQ(loud.Samples, in.Samples);
}

TEST_F(AudioOutputTest, ResamplesToTheRequestedRateAndChannels) {
  const std::string input = Wav(2.0, 22050, 1);
  TOutputOptions options;
  options.AudioCodec = "mp2";
  options.AudioSampleRate = 44100;
  options.AudioChannels = 2;
  const std::string out = temp_.File("out.mp2");
  ASSERT_EQ(Split(input, options, out), "");
  fixtures::TAudioFacts facts = Audio(out);
  EXPECT_EQ(facts.SampleRate, 44100);
  EXPECT_EQ(facts.Channels, 2);
  EXPECT_NEAR(facts.Samples / 44100.0, 2.0, 1152 * 2 / 44100.0);
  EXPECT_NEAR(facts.ToneHz, 440, 5);
}

TEST_F(AudioOutputTest, AacTakesPlanarFloatFramesOf1024) {
  const std::string input = Wav(2.0);
  TOutputOptions options;
  options.AudioCodec = "aac";
  const std::string out = temp_.File("out.m4a");
  ASSERT_EQ(Split(input, options, out), "");
  fixtures::TAudioFacts facts = Audio(out);
  EXPECT_EQ(facts.SampleRate, 44100);
  EXPECT_NEAR(facts.Samples / 44100.0, 2.0, 2048 / 44100.0);
  EXPECT_NEAR(facts.ToneHz, 440, 5);
  EXPECT_NEAR(facts.Rms, Audio(input).Rms, 0.02);
}

TEST_F(AudioOutputTest, StretchingSyncKeepsTheDuration) {
  const std::string input = Wav(2.0, 48000);
  TOutputOptions options;
  options.AudioCodec = "mp2";
  options.AudioSampleRate = 44100;
  options.AudioSync = 100;
  const std::string out = temp_.File("async.mp2");
  ASSERT_EQ(Split(input, options, out), "");
  fixtures::TAudioFacts facts = Audio(out);
  EXPECT_NEAR(facts.Samples / 44100.0, 2.0, 2 * 1152 / 44100.0);
  EXPECT_NEAR(facts.ToneHz, 440, 5);
}

struct TAmrCase {
  const char* extension;
  bool video;
  const char* codec;  // as the presets name it; empty: the container's default
};

class AmrOutputTest : public AudioOutputTest, public testing::WithParamInterface<TAmrCase> {};

TEST_P(AmrOutputTest, DecodesBackWithTheRightDuration) {
  const std::string input =
      test::MakeFixture(temp_, "mp4-h264-aac", "in.mp4", [](fixtures::TFixtureRecipe& r) {
        r.Seconds = 3;
      });
  TOutputOptions options;
  options.AudioChannels = 1;
  options.AudioSampleRate = 8000;
  options.AudioBitrate = 12200;
  options.AudioCodec = GetParam().codec;
  if (GetParam().video) {
    options.VideoCodec = "h263";
    options.FrameSize = "176x144";
  } else {
    options.DisableVideo = true;
  }
  const std::string out = temp_.File(std::string("out.") + GetParam().extension);
  ASSERT_EQ(Split(input, options, out), "");
  fixtures::TMediaFacts facts = test::ReadFactsOrFail(out);
  const fixtures::TStreamFacts* audio = facts.FirstOf(AVMEDIA_TYPE_AUDIO);
  ASSERT_NE(audio, nullptr);
  EXPECT_EQ(audio->CodecName, "amr_nb");
  fixtures::TAudioFacts decoded = Audio(out);
  EXPECT_EQ(decoded.SampleRate, 8000);
  EXPECT_EQ(decoded.Channels, 1);
  EXPECT_NEAR(decoded.Samples / 8000.0, 3.0, 0.04);
  EXPECT_NEAR(decoded.ToneHz, 440, 10);
}

INSTANTIATE_TEST_SUITE_P(Containers, AmrOutputTest,
                         testing::Values(TAmrCase{"3gp", true, "libopencore_amrnb"},
                                         TAmrCase{"3g2", true, ""},
                                         TAmrCase{"amr", false, "libamr_nb"}),
                         [](const auto& info) { return std::string(info.param.extension); });

TEST_F(AudioOutputTest, AmrNbEncoderByName) {
  const std::string input = Wav(1.0, 8000, 1);
  TOutputOptions options;
  options.AudioCodec = "libopencore_amrnb";
  options.AudioChannels = 1;
  options.AudioSampleRate = 8000;
  options.AudioBitrate = 7400;
  const std::string out = temp_.File("named.amr");
  ASSERT_EQ(Split(input, options, out), "");
  fixtures::TAudioFacts decoded = Audio(out);
  EXPECT_NEAR(decoded.Samples / 8000.0, 1.0, 0.04);
}

TEST_F(AudioOutputTest, AmrNbRefusesOtherRates) {
  const std::string input = Wav(1.0);
  TOutputOptions options;
  options.AudioChannels = 1;
  options.AudioSampleRate = 44100;
  std::string result = Split(input, options, temp_.File("bad.amr"));
  EXPECT_EQ(result,
            "Error while opening encoder for output stream #0.0 (Audio) - maybe incorrect "
            "parameters such as bit_rate, rate, width or height");
}

}  // namespace
}  // namespace kelvane
