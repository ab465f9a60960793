// The AMR-NB encoder: a tone encoded through the 3GP, 3G2 and AMR muxers and
// decoded back with the codec library's own AMR-NB decoder.
#include <cmath>
#include <cstdio>
#include <string>

#include "binding/AVPtr.h"
#include "engine/core/AmrNbEncoder.h"
#include "engine/core/AudioEncoder.h"
#include "tests/common/TestSupport.h"

namespace kelvane {
namespace {

class AmrNbEncoderTest : public test::TMediaTest {
 protected:
  AVCodecContextPtr MakeContext(int sample_rate, int channels, int64_t bit_rate) {
    AVCodecContextPtr context(avcodec.avcodec_alloc_context3(nullptr));
    context->codec_type = AVMEDIA_TYPE_AUDIO;
    context->codec_id = AV_CODEC_ID_AMR_NB;
    context->sample_rate = sample_rate;
    avutil.av_channel_layout_default(&context->ch_layout, channels);
    context->bit_rate = bit_rate;
    return context;
  }

  // Encodes `samples` of a 440 Hz tone into `path` with the muxer the name
  // chooses; returns the packets written.
  int EncodeTone(const std::string& path, int samples, int64_t bit_rate) {
    AVCodecContextPtr context = MakeContext(8000, 1, bit_rate);
    std::string error;
    std::unique_ptr<TAudioEncoder> encoder =
        OpenAudioEncoder(context.get(), nullptr, nullptr, &error);
    EXPECT_NE(encoder, nullptr) << error;
    if (!encoder) return -1;

    AVFormatContext* raw = nullptr;
    EXPECT_GE(avformat.avformat_alloc_output_context2(&raw, nullptr, nullptr, path.c_str()), 0);
    AVFormatContextPtr output(raw);
    AVStream* stream = avformat.avformat_new_stream(output.get(), nullptr);
    EXPECT_GE(avcodec.avcodec_parameters_from_context(stream->codecpar, context.get()), 0);
    stream->time_base = context->time_base;
    EXPECT_GE(avformat.avio_open(&output->pb, path.c_str(), AVIO_FLAG_WRITE), 0);
    EXPECT_GE(avformat.avformat_write_header(output.get(), nullptr), 0);

    AVFramePtr frame(avutil.av_frame_alloc());
    AVPacketPtr packet(avcodec.av_packet_alloc());
    int written = 0;
    auto write_ready = [&] {
      while (encoder->ReceivePacket(packet.get()) == 0) {
        avcodec.av_packet_rescale_ts(packet.get(), context->time_base, stream->time_base);
        packet->stream_index = 0;
        EXPECT_GE(avformat.av_interleaved_write_frame(output.get(), packet.get()), 0);
        ++written;
      }
    };
    for (int done = 0; done < samples;) {
      int count = std::min(TAmrNbEncoder::kFrameSamples, samples - done);
      frame->nb_samples = count;
      frame->format = AV_SAMPLE_FMT_S16;
      avutil.av_channel_layout_copy(&frame->ch_layout, &context->ch_layout);
      frame->sample_rate = 8000;
      EXPECT_GE(avutil.av_frame_get_buffer(frame.get(), 0), 0);
      auto* data = reinterpret_cast<int16_t*>(frame->data[0]);
      for (int i = 0; i < count; ++i) {
        data[i] = int16_t(12000 * std::sin(2 * M_PI * 440 * (done + i) / 8000.0));
      }
      frame->pts = done;
      EXPECT_EQ(encoder->SendFrame(frame.get()), 0);
      avutil.av_frame_unref(frame.get());
      write_ready();
      done += count;
    }
    EXPECT_EQ(encoder->SendFrame(nullptr), 0);
    write_ready();
    EXPECT_EQ(encoder->ReceivePacket(packet.get()), AVERROR_EOF);
    EXPECT_GE(avformat.av_write_trailer(output.get()), 0);
    avformat.avio_closep(&output->pb);
    return written;
  }

  struct TDecoded {
    int samples = 0;
    int sample_rate = 0;
    double duration = 0;  // seconds, from the container
    double peak = 0;
  };

  TDecoded DecodeBack(const std::string& path) {
    TDecoded result;
    AVFormatContext* raw = nullptr;
    EXPECT_EQ(avformat.avformat_open_input(&raw, path.c_str(), nullptr, nullptr), 0);
    AVInputFormatContextPtr input(raw);
    EXPECT_GE(avformat.avformat_find_stream_info(input.get(), nullptr), 0);
    EXPECT_EQ(input->nb_streams, 1u);
    AVStream* stream = input->streams[0];
    EXPECT_EQ(stream->codecpar->codec_id, AV_CODEC_ID_AMR_NB);
    const AVCodec* codec = avcodec.avcodec_find_decoder(AV_CODEC_ID_AMR_NB);
    EXPECT_NE(codec, nullptr);
    AVCodecContextPtr decoder(avcodec.avcodec_alloc_context3(codec));
    avcodec.avcodec_parameters_to_context(decoder.get(), stream->codecpar);
    EXPECT_EQ(avcodec.avcodec_open2(decoder.get(), codec, nullptr), 0);
    AVPacketPtr packet(avcodec.av_packet_alloc());
    AVFramePtr frame(avutil.av_frame_alloc());
    auto take = [&] {
      while (avcodec.avcodec_receive_frame(decoder.get(), frame.get()) == 0) {
        result.samples += frame->nb_samples;
        result.sample_rate = frame->sample_rate;
        if (frame->format == AV_SAMPLE_FMT_FLT || frame->format == AV_SAMPLE_FMT_FLTP) {
          auto* data = reinterpret_cast<float*>(frame->data[0]);
          for (int i = 0; i < frame->nb_samples; ++i) {
            result.peak = std::max(result.peak, double(std::fabs(data[i])));
          }
        }
        avutil.av_frame_unref(frame.get());
      }
    };
    while (avformat.av_read_frame(input.get(), packet.get()) >= 0) {
      avcodec.avcodec_send_packet(decoder.get(), packet.get());
      avcodec.av_packet_unref(packet.get());
      take();
    }
    avcodec.avcodec_send_packet(decoder.get(), nullptr);
    take();
    if (stream->duration != AV_NOPTS_VALUE) {
      result.duration = stream->duration * av_q2d(stream->time_base);
    } else if (input->duration != AV_NOPTS_VALUE) {
      result.duration = input->duration / 1e6;
    }
    return result;
  }
};

TEST_F(AmrNbEncoderTest, BitRatesSnapToModes) {
  EXPECT_EQ(TAmrNbEncoder::BitRateOfMode(TAmrNbEncoder::ModeForBitRate(7400)), 7400);
  EXPECT_EQ(TAmrNbEncoder::BitRateOfMode(TAmrNbEncoder::ModeForBitRate(7000)), 6700);
  EXPECT_EQ(TAmrNbEncoder::BitRateOfMode(TAmrNbEncoder::ModeForBitRate(64000)), 12200);
  EXPECT_EQ(TAmrNbEncoder::BitRateOfMode(TAmrNbEncoder::ModeForBitRate(0)), 4750);
  EXPECT_EQ(TAmrNbEncoder::BitRateOfMode(TAmrNbEncoder::ModeForBitRate(12000)), 12200);

  AVCodecContextPtr context = MakeContext(8000, 1, 7000);
  std::string error;
  ASSERT_TRUE(PrepareAmrNbContext(context.get(), &error)) << error;
  EXPECT_EQ(context->bit_rate, 6700);
  EXPECT_EQ(context->frame_size, 160);
  EXPECT_EQ(context->sample_fmt, AV_SAMPLE_FMT_S16);
}

TEST_F(AmrNbEncoderTest, NamesServed) {
  EXPECT_TRUE(IsAmrNbEncoderName("libopencore_amrnb"));
  EXPECT_TRUE(IsAmrNbEncoderName("libamr_nb"));
  EXPECT_FALSE(IsAmrNbEncoderName("aac"));
}

TEST_F(AmrNbEncoderTest, RefusesOtherRatesAndChannelCounts) {
  std::string error;
  AVCodecContextPtr stereo = MakeContext(8000, 2, 12200);
  EXPECT_EQ(OpenAudioEncoder(stereo.get(), nullptr, nullptr, &error), nullptr);
  EXPECT_NE(error.find("one channel"), std::string::npos) << error;
  AVCodecContextPtr fast = MakeContext(44100, 1, 12200);
  EXPECT_EQ(OpenAudioEncoder(fast.get(), nullptr, nullptr, &error), nullptr);
  EXPECT_NE(error.find("8000 Hz"), std::string::npos) << error;
}

TEST_F(AmrNbEncoderTest, MissingLibraryGivesAClearError) {
  TFFmpegLoader& loader = GetLoader();
  const std::string saved_path = loader.LibraryPath();
  loader.UnloadOne(LibOpenCoreAmrNb);
  {
    std::FILE* bogus = std::fopen(temp_.File("libopencore-amrnb.so.0").c_str(), "w");
    ASSERT_NE(bogus, nullptr);
    std::fputs("not a library", bogus);
    std::fclose(bogus);
  }
  loader.SetLibraryPath(temp_.Path().string());
  AVCodecContextPtr context = MakeContext(8000, 1, 12200);
  std::string error;
  int code = 0;
  EXPECT_EQ(OpenAudioEncoder(context.get(), nullptr, nullptr, &error, &code), nullptr);
  EXPECT_NE(error.find("libopencore-amrnb.so.0"), std::string::npos) << error;
  EXPECT_LT(code, 0);
  loader.SetLibraryPath(saved_path);
  std::string reload_error;
  EXPECT_TRUE(LoadAmrNbLibrary(&reload_error)) << reload_error;
}

TEST_F(AmrNbEncoderTest, PacketsCarryOneFrameWithItsTocByte) {
  AVCodecContextPtr context = MakeContext(8000, 1, 12200);
  std::string error;
  auto encoder = OpenAudioEncoder(context.get(), nullptr, nullptr, &error);
  ASSERT_NE(encoder, nullptr) << error;
  EXPECT_TRUE(encoder->AcceptsShortLastFrame());
  AVFramePtr frame(avutil.av_frame_alloc());
  frame->nb_samples = 160;
  frame->format = AV_SAMPLE_FMT_S16;
  avutil.av_channel_layout_copy(&frame->ch_layout, &context->ch_layout);
  ASSERT_GE(avutil.av_frame_get_buffer(frame.get(), 0), 0);
  avutil.av_samples_set_silence(frame->data, 0, 160, 1, AV_SAMPLE_FMT_S16);
  frame->pts = 320;
  ASSERT_EQ(encoder->SendFrame(frame.get()), 0);
  AVPacketPtr packet(avcodec.av_packet_alloc());
  ASSERT_EQ(encoder->ReceivePacket(packet.get()), 0);
  EXPECT_EQ(packet->size, 32);                  // 12.2 kbit/s: TOC + 31 bytes
  EXPECT_EQ((packet->data[0] >> 3) & 0x0F, 7);  // mode 7
  // The codec's 5 ms look-ahead is declared like a library encoder's delay.
  EXPECT_EQ(context->initial_padding, 40);
  EXPECT_EQ(packet->pts, 320 - 40);
  EXPECT_EQ(packet->duration, 160);
  EXPECT_EQ(encoder->ReceivePacket(packet.get()), AVERROR(EAGAIN));
  // A frame longer than 160 samples is refused.
  AVFramePtr big(avutil.av_frame_alloc());
  big->nb_samples = 161;
  big->format = AV_SAMPLE_FMT_S16;
  avutil.av_channel_layout_copy(&big->ch_layout, &context->ch_layout);
  ASSERT_GE(avutil.av_frame_get_buffer(big.get(), 0), 0);
  EXPECT_EQ(encoder->SendFrame(big.get()), AVERROR(EINVAL));
}

struct TContainerCase {
  const char* extension;
  int skipped;  // samples of the look-ahead the container's edit list leaves out
};

class AmrNbContainerTest : public AmrNbEncoderTest,
                           public testing::WithParamInterface<TContainerCase> {};

TEST_P(AmrNbContainerTest, ToneDecodesBackWithItsDuration) {
  std::string path = temp_.File(std::string("tone.") + GetParam().extension);
  // 2 s and a short last frame of 80 samples.
  const int samples = 16000 + 80;
  EXPECT_EQ(EncodeTone(path, samples, 7400), 101);
  TDecoded decoded = DecodeBack(path);
  EXPECT_EQ(decoded.sample_rate, 8000);
  EXPECT_EQ(decoded.samples, 101 * 160 - GetParam().skipped);
  if (decoded.duration > 0) {
    EXPECT_NEAR(decoded.duration, 101 * 160 / 8000.0, 0.021);
  }
  // The tone survives (speech codecs keep a clear sine well above silence).
  EXPECT_GT(decoded.peak, 0.1);
}

INSTANTIATE_TEST_SUITE_P(Containers, AmrNbContainerTest,
                         testing::Values(TContainerCase{"3gp", 40}, TContainerCase{"3g2", 40},
                                         TContainerCase{"amr", 0}),
                         [](const auto& info) { return std::string(info.param.extension); });

}  // namespace
}  // namespace kelvane
