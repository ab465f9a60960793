// The audio path: volume rule, sync arithmetic, and blocks run through real
// encoders (PCM, MP2 with its fixed frame size, AMR-NB) with the packets collected.
#include <cstring>
#include <random>
#include <vector>

#include <algorithm>

#include "binding/AVPtr.h"
#include "binding/FFmpegLogger.h"
#include "engine/FFmpegException.h"
#include "engine/core/AudioPath.h"
#include "tests/common/TestSupport.h"

namespace kelvane {
namespace {

std::vector<int16_t> Volume(std::vector<int16_t> samples, int volume) {
  AdjustVolume(reinterpret_cast<uint8_t*>(samples.data()), int(samples.size() * 2), volume);
  return samples;
}

TEST(AudioVolumeTest, Table) {
  const std::vector<int16_t> in = {0, 1, -1, 100, -100, 20000, -20000, 32767, -32768};
  EXPECT_EQ(Volume(in, 256), in);  // unity is bit-exact
  EXPECT_EQ(Volume(in, 0), std::vector<int16_t>(in.size(), 0));
  EXPECT_EQ(Volume(in, 512),
            (std::vector<int16_t>{0, 2, -2, 200, -200, 32767, -32768, 32767, -32768}));
  // Half volume rounds with +128 before the arithmetic shift.
  EXPECT_EQ(Volume(in, 128),
            (std::vector<int16_t>{0, 1, 0, 50, -50, 10000, -10000, 16384, -16384}));
}

TEST(AudioVolumeTest, OddByteCountLeavesTheLastByte) {
  uint8_t bytes[3] = {0x10, 0x00, 0x7F};
  AdjustVolume(bytes, 3, 512);
  EXPECT_EQ(bytes[0], 0x20);
  EXPECT_EQ(bytes[2], 0x7F);
}

TAudioSyncInput SyncInput(int method, double ipts, int size = 4096) {
  TAudioSyncInput in;
  in.SyncMethod = method;
  in.Ipts = ipts;
  in.EncoderRate = 44100;
  in.DecoderRate = 44100;
  in.DecoderChannels = 2;
  in.Size = size;
  return in;
}

TEST(AudioSyncTest, HalfSecondLateFirstBlockGetsSilence) {
  TAudioSyncStep step = ComputeAudioSync(SyncInput(1, 0.5));
  EXPECT_EQ(step.Kind, TAudioSyncStep::skSilence);
  EXPECT_DOUBLE_EQ(step.Delta, 22050);
  EXPECT_EQ(step.Bytes, 22050 * 4);
  EXPECT_FALSE(step.IsStart);
}

TEST(AudioSyncTest, SilenceIsLimitedAndKeepsIsStart) {
  TAudioSyncStep step = ComputeAudioSync(SyncInput(1, 2.0));
  EXPECT_EQ(step.Kind, TAudioSyncStep::skSilence);
  EXPECT_EQ(step.Bytes + 4096, kMaxSilenceBlockBytes);
  EXPECT_TRUE(step.IsStart);
  // A block that alone exceeds the limit gets no silence at all.
  step = ComputeAudioSync(SyncInput(1, 2.0, 140000));
  EXPECT_EQ(step.Bytes, 0);
}

TEST(AudioSyncTest, BlockAheadOfThePositionIsDroppedWhole) {
  TAudioSyncInput in = SyncInput(1, 0.0);
  in.SyncOpts = 44100;  // one second already written
  TAudioSyncStep step = ComputeAudioSync(in);
  EXPECT_EQ(step.Kind, TAudioSyncStep::skDrop);
  EXPECT_TRUE(step.BlockConsumed);
  EXPECT_TRUE(step.IsStart);
  // Partly ahead: the front is dropped in whole sample frames.
  in.SyncOpts = 100;
  in.Size = 4096;
  step = ComputeAudioSync(in);
  EXPECT_EQ(step.Kind, TAudioSyncStep::skDrop);
  EXPECT_EQ(step.Bytes, 400);
  EXPECT_FALSE(step.BlockConsumed);
  EXPECT_FALSE(step.IsStart);
}

TEST(AudioSyncTest, SmallDriftIsLeftOrCompensated) {
  TAudioSyncInput in = SyncInput(1, 1.0);
  in.IsStart = false;
  in.SyncOpts = 44100 - 40;  // within 50 samples
  EXPECT_EQ(ComputeAudioSync(in).Kind, TAudioSyncStep::skNone);
  in.SyncOpts = 44100 - 1000;  // above 50, below the 0.1 s drift threshold
  EXPECT_EQ(ComputeAudioSync(in).Kind, TAudioSyncStep::skNone);
  in.SyncMethod = 400;
  TAudioSyncStep step = ComputeAudioSync(in);
  EXPECT_EQ(step.Kind, TAudioSyncStep::skCompensate);
  EXPECT_EQ(step.Compensation, 400);
  in.SyncOpts = 44100 + 300;
  EXPECT_EQ(ComputeAudioSync(in).Compensation, -300);
}

TEST(AudioSyncTest, MethodZeroFollowsTheInput) {
  TAudioSyncInput in = SyncInput(0, 1.5);
  in.FifoSamples = 100;
  in.SyncOpts = 12345;
  TAudioSyncStep step = ComputeAudioSync(in);
  EXPECT_EQ(step.Kind, TAudioSyncStep::skReset);
  EXPECT_EQ(step.SyncOpts, 66150 - 100);
  in.Ipts = 0.5 / 44100;  // half a sample rounds to even
  EXPECT_EQ(ComputeAudioSync(in).SyncOpts, -100);
}

// An output stream with a real encoder and the packets it produced.
class AudioPathTest : public test::TMediaTest {
 protected:
  void MakeDecoder(int rate, int channels, AVSampleFormat native = AV_SAMPLE_FMT_S16) {
    decoder_.reset(avcodec.avcodec_alloc_context3(nullptr));
    decoder_->sample_rate = rate;
    decoder_->sample_fmt = native;
    avutil.av_channel_layout_default(&decoder_->ch_layout, channels);
    ist_.Decoder = decoder_.get();
    ist_.IsStart = 1;
    ist_.Pts = 0;
  }

  void MakeEncoder(const char* name, int rate, int channels, AVSampleFormat format,
                   int64_t bit_rate = 0) {
    const AVCodec* codec = nullptr;
    if (std::strcmp(name, "amrnb") != 0) {
      codec = avcodec.avcodec_find_encoder_by_name(name);
      ASSERT_NE(codec, nullptr) << name;
    }
    encoder_.reset(avcodec.avcodec_alloc_context3(codec));
    encoder_->codec_type = AVMEDIA_TYPE_AUDIO;
    if (codec == nullptr) encoder_->codec_id = AV_CODEC_ID_AMR_NB;
    encoder_->sample_rate = rate;
    encoder_->sample_fmt = format;
    encoder_->time_base = AVRational{1, rate};
    encoder_->bit_rate = bit_rate;
    avutil.av_channel_layout_default(&encoder_->ch_layout, channels);
    ost_.Encoder = encoder_.get();
    ost_.EncoderCodec = codec;
    ost_.SyncInput = &ist_;
  }

  void Open(const TAudioPathSettings& settings) {
    path_ = std::make_unique<TAudioPath>(
        settings,
        [this](TOutputStreamState&, AVPacket* packet) {
          packets_.emplace_back(packet->data, packet->data + packet->size);
          pts_.push_back(packet->pts);
        },
        this);
    std::string error;
    int code = 0;
    ASSERT_TRUE(path_->OpenEncoder(ost_, true, &error, &code)) << error;
  }

  // `count` interleaved s16 samples per channel from `next`.
  template <typename F>
  std::vector<int16_t> Block(int count, int channels, F next) {
    std::vector<int16_t> block(size_t(count * channels));
    for (auto& s : block) s = next();
    return block;
  }

  void Feed(std::vector<int16_t> block, int64_t pts) {
    ist_.Pts = pts;
    path_->Output(ost_, ist_, reinterpret_cast<uint8_t*>(block.data()), int(block.size() * 2));
  }

  std::vector<uint8_t> AllBytes() const {
    std::vector<uint8_t> all;
    for (const auto& p : packets_) all.insert(all.end(), p.begin(), p.end());
    return all;
  }

  AVCodecContextPtr decoder_;
  AVCodecContextPtr encoder_;
  TInputStreamState ist_;
  TOutputStreamState ost_;
  std::unique_ptr<TAudioPath> path_;
  std::vector<std::vector<uint8_t>> packets_;
  std::vector<int64_t> pts_;
};

TEST_F(AudioPathTest, PcmAtUnityIsBitExactAndTakesBlocksWhole) {
  MakeDecoder(44100, 2);
  MakeEncoder("pcm_s16le", 44100, 2, AV_SAMPLE_FMT_S16);
  Open(TAudioPathSettings{});
  std::mt19937 random(7);
  std::vector<int16_t> sent;
  int64_t pts = 0;
  for (int i = 0; i < 5; ++i) {
    auto block = Block(1000 + i, 2, [&] { return int16_t(random()); });
    sent.insert(sent.end(), block.begin(), block.end());
    Feed(block, pts);
    pts += (1000 + i) * 1000000LL / 44100;
  }
  path_->Drain(ost_);
  EXPECT_EQ(packets_.size(), 5u);
  std::vector<uint8_t> all = AllBytes();
  ASSERT_EQ(all.size(), sent.size() * 2);
  EXPECT_EQ(std::memcmp(all.data(), sent.data(), all.size()), 0);
  EXPECT_EQ(path_->AudioSize, all.size());
}

TEST_F(AudioPathTest, SyncMethodOneInsertsHalfASecondOfSilenceInFront) {
  MakeDecoder(44100, 2);
  MakeEncoder("pcm_s16le", 44100, 2, AV_SAMPLE_FMT_S16);
  TAudioPathSettings settings;
  settings.SyncMethod = 1;
  Open(settings);
  Feed(Block(1024, 2, [] { return int16_t(1000); }), 500000);
  Feed(Block(1024, 2, [] { return int16_t(1000); }), 500000 + 1024 * 1000000LL / 44100);
  EXPECT_EQ(ist_.IsStart, 0);
  std::vector<uint8_t> all = AllBytes();
  ASSERT_EQ(all.size(), size_t(22050 + 2048) * 4);
  const auto* samples = reinterpret_cast<const int16_t*>(all.data());
  for (int i = 0; i < 22050 * 2; ++i) ASSERT_EQ(samples[i], 0) << i;
  EXPECT_EQ(samples[22050 * 2], 1000);
  EXPECT_EQ(ost_.SyncOpts, 22050 + 2048);
}

TEST_F(AudioPathTest, SyncMethodZeroNeverAddsOrDrops) {
  MakeDecoder(44100, 2);
  MakeEncoder("pcm_s16le", 44100, 2, AV_SAMPLE_FMT_S16);
  Open(TAudioPathSettings{});
  Feed(Block(1024, 2, [] { return int16_t(5); }), 500000);
  Feed(Block(1024, 2, [] { return int16_t(5); }), 0);
  EXPECT_EQ(AllBytes().size(), size_t(2048 * 4));
}

TEST_F(AudioPathTest, BlockAheadIsDroppedAndNothingEncoded) {
  MakeDecoder(44100, 2);
  MakeEncoder("pcm_s16le", 44100, 2, AV_SAMPLE_FMT_S16);
  TAudioPathSettings settings;
  settings.SyncMethod = 1;
  Open(settings);
  ost_.SyncOpts = 44100;
  Feed(Block(1024, 2, [] { return int16_t(5); }), 0);
  EXPECT_TRUE(packets_.empty());
}

TEST_F(AudioPathTest, FixedFrameEncoderGetsFramesAndAPaddedLastOne) {
  MakeDecoder(44100, 2);
  MakeEncoder("mp2", 44100, 2, AV_SAMPLE_FMT_S16, 128000);
  Open(TAudioPathSettings{});
  ASSERT_EQ(encoder_->frame_size, 1152);
  int64_t pts = 0;
  for (int i = 0; i < 10; ++i) {
    Feed(Block(1000, 2, [] { return int16_t(0); }), pts);
    pts += 1000 * 1000000LL / 44100;
  }
  EXPECT_EQ(packets_.size(), 8u);  // 10000 samples: 8 whole frames so far
  EXPECT_EQ(avutil.av_audio_fifo_size(ost_.Fifo.get()), 10000 - 8 * 1152);
  path_->Drain(ost_);
  // The rest and as much silence as the encoder's delay (481 samples), which
  // it gives back only with more input: two frames, the last padded.
  EXPECT_EQ(packets_.size(), 10u);
  EXPECT_EQ(ost_.EncoderPts, 10 * 1152);
  for (size_t i = 1; i < pts_.size(); ++i) EXPECT_EQ(pts_[i] - pts_[i - 1], 1152);
}

TEST_F(AudioPathTest, JoinedStreamsOfOneEncoderCarryTheFifoOver) {
  MakeDecoder(44100, 2);
  MakeEncoder("mp2", 44100, 2, AV_SAMPLE_FMT_S16, 128000);
  Open(TAudioPathSettings{});
  Feed(Block(2000, 2, [] { return int16_t(0); }), 0);  // one frame out, 848 samples left
  EXPECT_EQ(packets_.size(), 1u);
  // The next input's stream writes through the same encoder.
  TOutputStreamState second;
  second.Encoder = encoder_.get();
  second.SyncInput = &ist_;
  second.SyncOpts = ost_.SyncOpts;
  second.EncoderPts = ost_.EncoderPts;
  ist_.Pts = 2000 * 1000000LL / 44100;
  std::vector<int16_t> block = Block(304, 2, [] { return int16_t(0); });
  path_->Output(second, ist_, reinterpret_cast<uint8_t*>(block.data()), int(block.size() * 2));
  EXPECT_EQ(packets_.size(), 2u);  // 848 + 304 = 1152: a whole frame
  EXPECT_EQ(avutil.av_audio_fifo_size(second.Fifo.get()), 0);
  path_->Drain(second);
  EXPECT_EQ(packets_.size(), 3u);  // the encoder's delay brought out with silence
}

TEST_F(AudioPathTest, ResamplesMonoToStereoAtTwiceTheRate) {
  MakeDecoder(22050, 1, AV_SAMPLE_FMT_FLTP);
  MakeEncoder("pcm_s16le", 44100, 2, AV_SAMPLE_FMT_S16);
  Open(TAudioPathSettings{});
  int64_t pts = 0;
  for (int i = 0; i < 20; ++i) {
    Feed(Block(1102, 1, [] { return int16_t(3000); }), pts);
    pts += 1102 * 1000000LL / 22050;
  }
  path_->Drain(ost_);
  EXPECT_EQ(ost_.AudioResample, 1);
  ASSERT_TRUE(ost_.Resampler);
  // About twice the input, less the resampler's filter delay.
  std::vector<uint8_t> all = AllBytes();
  size_t samples = all.size() / 4;
  EXPECT_NEAR(double(samples), 2.0 * 20 * 1102, 64);
  // The plateau comes through on both channels.
  const auto* out = reinterpret_cast<const int16_t*>(all.data());
  EXPECT_NEAR(out[20000], 3000, 30);
  EXPECT_NEAR(out[20001], 3000, 30);
}

TEST_F(AudioPathTest, IntermediateFormatWarningOnlyForOtherDecoderFormats) {
  std::vector<std::string> lines;
  GetLogger().OnLog = [&](const void*, uint32_t, TLogLevel, const std::string& text) {
    lines.push_back(text);
  };
  const std::string warning = "Warning, using s16 intermediate sample format for resampling";
  MakeDecoder(22050, 1, AV_SAMPLE_FMT_FLTP);
  MakeEncoder("pcm_s16le", 44100, 2, AV_SAMPLE_FMT_S16);
  Open(TAudioPathSettings{});
  Feed(Block(100, 1, [] { return int16_t(0); }), 0);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), warning), 1);

  lines.clear();
  MakeDecoder(22050, 1, AV_SAMPLE_FMT_S16);
  MakeEncoder("pcm_s16le", 44100, 2, AV_SAMPLE_FMT_S16);
  Open(TAudioPathSettings{});
  Feed(Block(100, 1, [] { return int16_t(0); }), 0);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), warning), 0);

  TAudioPathSettings quiet;
  quiet.Verbosity = 0;
  MakeDecoder(22050, 1, AV_SAMPLE_FMT_FLTP);
  MakeEncoder("pcm_s16le", 44100, 2, AV_SAMPLE_FMT_S16);
  Open(quiet);
  Feed(Block(100, 1, [] { return int16_t(0); }), 0);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), warning), 0);
  GetLogger().OnLog = nullptr;
}

TEST_F(AudioPathTest, DecoderRateChangeMidStreamGetsANewResampler) {
  MakeDecoder(22050, 1);
  MakeEncoder("pcm_s16le", 44100, 1, AV_SAMPLE_FMT_S16);
  Open(TAudioPathSettings{});
  int64_t pts = 0;
  for (int i = 0; i < 10; ++i) {
    Feed(Block(2205, 1, [] { return int16_t(1000); }), pts);
    pts += 100000;
  }
  ist_.ToS16Rate = 44100;  // the stream now decodes at the encoder's rate
  for (int i = 0; i < 10; ++i) {
    Feed(Block(4410, 1, [] { return int16_t(1000); }), pts);
    pts += 100000;
  }
  // Two seconds in, two seconds out (less the filter delays).
  EXPECT_NEAR(double(AllBytes().size() / 2), 88200, 200);
}

TEST_F(AudioPathTest, ConvertsTheSampleFormatWithoutResampling) {
  MakeDecoder(48000, 2);
  MakeEncoder("pcm_f32le", 48000, 2, AV_SAMPLE_FMT_FLT);
  Open(TAudioPathSettings{});
  Feed(Block(480, 2, [] { return int16_t(16384); }), 0);
  EXPECT_EQ(ost_.AudioResample, 0);
  EXPECT_TRUE(ost_.Converter);
  EXPECT_EQ(ost_.ReformatPair, AV_SAMPLE_FMT_FLT + 5 * AV_SAMPLE_FMT_S16);
  std::vector<uint8_t> all = AllBytes();
  ASSERT_EQ(all.size(), 480u * 2 * 4);
  float first;
  std::memcpy(&first, all.data(), 4);
  EXPECT_FLOAT_EQ(first, 0.5f);
}

TEST_F(AudioPathTest, AmrNbStreamTakesFramesOf160) {
  MakeDecoder(8000, 1);
  MakeEncoder("amrnb", 8000, 1, AV_SAMPLE_FMT_S16, 12200);
  Open(TAudioPathSettings{});
  Feed(Block(1000, 1, [] { return int16_t(0); }), 0);
  EXPECT_EQ(packets_.size(), 6u);
  path_->Drain(ost_);
  EXPECT_EQ(packets_.size(), 7u);  // the short last frame of 40 samples
  for (const auto& p : packets_) EXPECT_EQ(p.size(), 32u);
}

TEST_F(AudioPathTest, ResamplerThatCannotBeMadeRaisesItsMessage) {
  MakeDecoder(44100, 2);
  MakeEncoder("pcm_s16le", 44100, 2, AV_SAMPLE_FMT_S16);
  Open(TAudioPathSettings{});
  encoder_->sample_rate = 0;  // as broken parameters would leave it
  try {
    Feed(Block(100, 2, [] { return int16_t(0); }), 0);
    FAIL() << "no exception";
  } catch (const FFmpegException& e) {
    EXPECT_STREQ(e.what(), "Can not resample 2 channels @ 44100 Hz to 2 channels @ 0 Hz");
  }
}

}  // namespace
}  // namespace kelvane
