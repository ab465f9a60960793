#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <thread>

#include "binding/AVPtr.h"
#include "binding/FFmpegLoader.h"
#include "binding/MainThread.h"
#include "tests/common/TestSupport.h"
#include "tools/fixtures/FixtureGenerator.h"
#include "tools/fixtures/FrameIndexPattern.h"
#include "tools/fixtures/MediaFacts.h"

namespace kelvane::fixtures {
namespace {

using test::TMediaTest;

struct TPresetCase {
  const char* preset;
  const char* file;
  const char* video_codec;  // codec name as the demuxer reports it; "" none
  const char* audio_codec;
  bool duration_known;
};

void PrintTo(const TPresetCase& c, std::ostream* out) { *out << c.preset; }

class FixturePresetTest : public TMediaTest, public testing::WithParamInterface<TPresetCase> {};

TEST_P(FixturePresetTest, OpensWithThePromisedStreamsDurationAndFrameIndices) {
  const TPresetCase& c = GetParam();
  TFixtureRecipe recipe;
  ASSERT_TRUE(FixturePreset(c.preset, recipe));
  recipe.Seconds = 3.0;
  recipe.FirstFrameIndex = 10;
  const std::string path = temp_.File(c.file);
  std::string error;
  ASSERT_TRUE(GenerateFixture(recipe, path, &error)) << error;

  TMediaFacts facts;
  ASSERT_TRUE(ReadMediaFacts(path, facts, &error)) << error;
  const bool has_video = *c.video_codec != '\0', has_audio = *c.audio_codec != '\0';
  ASSERT_EQ(facts.CountOf(AVMEDIA_TYPE_VIDEO), has_video ? 1 : 0);
  ASSERT_EQ(facts.CountOf(AVMEDIA_TYPE_AUDIO), has_audio ? 1 : 0);
  if (c.duration_known) {
    EXPECT_NEAR(facts.DurationUs, 3000000, 120000) << facts.FormatName;
  }

  if (has_audio) {
    const TStreamFacts& audio = *facts.FirstOf(AVMEDIA_TYPE_AUDIO);
    EXPECT_EQ(audio.CodecName, c.audio_codec);
    EXPECT_EQ(audio.SampleRate, recipe.SampleRate);
    EXPECT_EQ(audio.Channels, 2);
    TAudioFacts sound;
    ASSERT_TRUE(DecodeAudio(path, sound, &error)) << error;
    EXPECT_NEAR(double(sound.Samples) / sound.SampleRate, 3.0, 0.1);
    EXPECT_NEAR(sound.ToneHz, 440.0, 10.0);
    EXPECT_NEAR(sound.Rms, 0.25 / std::sqrt(2.0), 0.03);
  }
  if (!has_video) return;

  const TStreamFacts& video = *facts.FirstOf(AVMEDIA_TYPE_VIDEO);
  EXPECT_EQ(video.CodecName, c.video_codec);
  EXPECT_EQ(video.Width, recipe.Width);
  EXPECT_EQ(video.Height, recipe.Height);
  EXPECT_EQ(video.PacketCount, 75);
  if (video.FrameRate.num != 0) {
    EXPECT_EQ(av_cmp_q(video.FrameRate, AVRational{25, 1}), 0);
  }
  // One key frame per GOP of 25 frames.
  EXPECT_EQ(video.KeyPacketCount, 3);

  std::vector<TDecodedFrame> frames;
  ASSERT_TRUE(DecodeVideoFrames(path, frames, &error)) << error;
  ASSERT_EQ(frames.size(), 75u);
  for (int i = 0; i < 75; ++i) {
    ASSERT_EQ(frames[i].Index, 10 + i) << "frame " << i;
    // The program stream muxer leaves the time stamp off its very last picture.
    if (c.duration_known && frames[i].PtsUs != -1) {
      EXPECT_NEAR(frames[i].PtsUs - frames[0].PtsUs, i * 40000, 1000) << "frame " << i;
    }
  }
  EXPECT_EQ(DecodeFirstFrameIndex(path), 10);
}

INSTANTIATE_TEST_SUITE_P(
    Presets, FixturePresetTest,
    testing::Values(TPresetCase{"mp4-h264-aac", "a.mp4", "h264", "aac", true},
                    TPresetCase{"avi-mpeg4-mp3", "a.avi", "mpeg4", "mp3", true},
                    TPresetCase{"mpeg-mpeg2-mp2", "a.mpg", "mpeg2video", "mp2", true},
                    TPresetCase{"mkv-h264-vorbis", "a.mkv", "h264", "vorbis", true},
                    TPresetCase{"ts-h264-aac", "a.ts", "h264", "aac", true},
                    TPresetCase{"mp4-h264", "v.mp4", "h264", "", true},
                    TPresetCase{"m4a-aac", "a.m4a", "", "aac", true},
                    TPresetCase{"mp3-audio", "a.mp3", "", "mp3", true},
                    TPresetCase{"wav-pcm", "a.wav", "", "pcm_s16le", true},
                    TPresetCase{"mkv-ffv1-odd", "odd.mkv", "ffv1", "", true},
                    TPresetCase{"h264-raw", "a.h264", "h264", "", false}),
    [](const testing::TestParamInfo<TPresetCase>& info) {
      std::string name = info.param.preset;
      for (char& ch : name) {
        if (ch == '-') ch = '_';
      }
      return name;
    });

using FixtureGenerator = TMediaTest;

TEST_F(FixtureGenerator, EveryPresetNameResolves) {
  for (const std::string& name : FixturePresetNames()) {
    TFixtureRecipe recipe;
    EXPECT_TRUE(FixturePreset(name, recipe)) << name;
  }
  TFixtureRecipe recipe;
  EXPECT_FALSE(FixturePreset("no-such-preset", recipe));
}

// The sources of today's formats: 10 bits, colour tags, a variable rate.
TEST_F(FixtureGenerator, TenBitColourTaggedAndVariableRatePresets) {
  std::string error;
  TFixtureRecipe recipe;
  ASSERT_TRUE(FixturePreset("mp4-hevc10-aac", recipe));
  recipe.Seconds = 1;
  const std::string hevc = temp_.File("hevc10.mp4");
  ASSERT_TRUE(GenerateFixture(recipe, hevc, &error)) << error;
  TMediaFacts facts;
  ASSERT_TRUE(ReadMediaFacts(hevc, facts, &error)) << error;
  const TStreamFacts* video = facts.FirstOf(AVMEDIA_TYPE_VIDEO);
  EXPECT_EQ(video->CodecName, "hevc");
  EXPECT_EQ(video->PixelFormat, "yuv420p10le");
  EXPECT_EQ(video->BitDepth, 10);
  EXPECT_EQ(video->ColorPrimaries, AVCOL_PRI_BT2020);
  EXPECT_EQ(video->ColorTransfer, AVCOL_TRC_SMPTE2084);
  EXPECT_EQ(video->ColorRange, AVCOL_RANGE_MPEG);
  EXPECT_EQ(DecodeFirstFrameIndex(hevc), 0);

  ASSERT_TRUE(FixturePreset("mp4-h264-bt709", recipe));
  recipe.Seconds = 1;
  const std::string bt709 = temp_.File("bt709.mp4");
  ASSERT_TRUE(GenerateFixture(recipe, bt709, &error)) << error;
  ASSERT_TRUE(ReadMediaFacts(bt709, facts, &error)) << error;
  video = facts.FirstOf(AVMEDIA_TYPE_VIDEO);
  EXPECT_EQ(video->ColorSpace, AVCOL_SPC_BT709);
  EXPECT_EQ(video->ColorRange, AVCOL_RANGE_JPEG);

  ASSERT_TRUE(FixturePreset("mkv-h264-vfr", recipe));
  recipe.Seconds = 2;
  const std::string vfr = temp_.File("vfr.mkv");
  ASSERT_TRUE(GenerateFixture(recipe, vfr, &error)) << error;
  std::vector<TDecodedFrame> frames;
  ASSERT_TRUE(DecodeVideoFrames(vfr, frames, &error)) << error;
  ASSERT_EQ(int(frames.size()), FixtureFrameCount(recipe));
  EXPECT_EQ(frames.size(), 38u);  // 25 at 25 fps, then 13 at 12.5 fps
  EXPECT_EQ(frames[25].PtsUs - frames[24].PtsUs, 40000);
  EXPECT_EQ(frames[26].PtsUs - frames[25].PtsUs, 80000);
  EXPECT_EQ(frames.back().Index, 37);
}

TEST_F(FixtureGenerator, HonoursSizeRateGopAndDuration) {
  TFixtureRecipe recipe;
  recipe.Width = 178;
  recipe.Height = 98;
  recipe.FrameRate = AVRational{30000, 1001};
  recipe.GopSize = 12;
  recipe.Seconds = 1.5;
  const std::string path = temp_.File("custom.mp4");
  std::string error;
  ASSERT_TRUE(GenerateFixture(recipe, path, &error)) << error;
  TMediaFacts facts;
  ASSERT_TRUE(ReadMediaFacts(path, facts, &error)) << error;
  const TStreamFacts& video = *facts.FirstOf(AVMEDIA_TYPE_VIDEO);
  EXPECT_EQ(video.Width, 178);
  EXPECT_EQ(video.Height, 98);
  EXPECT_EQ(FixtureFrameCount(recipe), 45);
  EXPECT_EQ(video.PacketCount, 45);
  EXPECT_EQ(video.KeyPacketCount, 4);  // frames 0, 12, 24, 36
  EXPECT_EQ(av_cmp_q(video.FrameRate, AVRational{30000, 1001}), 0);
  EXPECT_NEAR(video.DurationUs, 1501500, 1000);
}

TEST_F(FixtureGenerator, FailsCleanlyOnBadRequests) {
  std::string error;
  TFixtureRecipe recipe;
  recipe.VideoCodec = "no-such-encoder";
  EXPECT_FALSE(GenerateFixture(recipe, temp_.File("x.mp4"), &error));
  EXPECT_NE(error.find("no-such-encoder"), std::string::npos) << error;
  EXPECT_FALSE(std::filesystem::exists(temp_.File("x.mp4")));

  recipe = TFixtureRecipe{};
  recipe.Container = "no-such-muxer";
  EXPECT_FALSE(GenerateFixture(recipe, temp_.File("x.bin"), &error));
  EXPECT_FALSE(error.empty());

  recipe = TFixtureRecipe{};
  EXPECT_FALSE(GenerateFixture(recipe, temp_.File("missing-folder/x.mp4"), &error));
  EXPECT_FALSE(error.empty());

  recipe = TFixtureRecipe{};
  recipe.VideoCodec.clear();
  recipe.AudioCodec.clear();
  EXPECT_FALSE(GenerateFixture(recipe, temp_.File("empty.mp4"), &error));
}

TEST_F(FixtureGenerator, AddsATextSubtitleTrackWithOneCuePerSecond) {
  for (const char* container : {"matroska", "mp4"}) {
    TFixtureRecipe recipe;
    recipe.Container = container;
    recipe.Seconds = 2.5;
    recipe.Subtitles = true;
    const std::string path = temp_.File(std::string("subtitled.") + container);
    std::string error;
    ASSERT_TRUE(GenerateFixture(recipe, path, &error)) << error;
    TMediaFacts facts;
    ASSERT_TRUE(ReadMediaFacts(path, facts, &error)) << error;
    ASSERT_EQ(facts.CountOf(AVMEDIA_TYPE_SUBTITLE), 1) << container;
    const TStreamFacts& text = *facts.FirstOf(AVMEDIA_TYPE_SUBTITLE);
    EXPECT_EQ(text.CodecName, std::string(container) == "mp4" ? "mov_text" : "subrip");
    // The MP4 muxer adds empty samples of its own around timed text.
    if (std::string(container) == "matroska") {
      EXPECT_EQ(text.PacketCount, 3);
    } else {
      EXPECT_GE(text.PacketCount, 3);
    }
    EXPECT_EQ(facts.FirstOf(AVMEDIA_TYPE_VIDEO)->PacketCount, 63);  // 2.5 s at 25 fps
    EXPECT_NEAR(facts.DurationUs, 2500000, 120000);
  }
  TFixtureRecipe recipe;
  recipe.Container = "avi";
  recipe.VideoCodec = "mpeg4";
  recipe.AudioCodec.clear();
  recipe.Subtitles = true;
  std::string error;
  EXPECT_FALSE(GenerateFixture(recipe, temp_.File("subtitled.avi"), &error));
  EXPECT_NE(error.find("takes no text subtitles"), std::string::npos) << error;
}

TEST_F(FixtureGenerator, SeveralThreadsGenerateAtOnce) {
  std::vector<std::thread> threads;
  std::vector<std::string> errors(3);
  std::vector<char> done(3, 0);
  const char* presets[] = {"mp4-h264-aac", "avi-mpeg4-mp3", "mkv-h264-vorbis"};
  for (int i = 0; i < 3; ++i) {
    threads.emplace_back([&, i] {
      TFixtureRecipe recipe;
      FixturePreset(presets[i], recipe);
      recipe.Seconds = 1.0;
      recipe.FirstFrameIndex = 100 * i;
      done[i] = GenerateFixture(recipe, temp_.File("thread" + std::to_string(i)), &errors[i]);
    });
  }
  for (std::thread& thread : threads) thread.join();
  PumpMessages();  // library lines the workers queued for the main thread
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(done[i]) << errors[i];
    EXPECT_EQ(DecodeFirstFrameIndex(temp_.File("thread" + std::to_string(i))), 100 * i);
  }
}

TEST_F(FixtureGenerator, WritesContainerTags) {
  TFixtureRecipe recipe;
  recipe.Seconds = 0.5;
  recipe.Metadata["title"] = "Tone and index";
  const std::string path = temp_.File("tagged.mkv");
  recipe.Container = "matroska";
  std::string error;
  ASSERT_TRUE(GenerateFixture(recipe, path, &error)) << error;
  AVFormatContext* raw = nullptr;
  ASSERT_GE(avformat.avformat_open_input(&raw, path.c_str(), nullptr, nullptr), 0);
  AVInputFormatContextPtr context(raw);
  const AVDictionaryEntry* title = avutil.av_dict_get(context->metadata, "title", nullptr, 0);
  ASSERT_NE(title, nullptr);
  EXPECT_STREQ(title->value, "Tone and index");
}

// Decodes `source`, scales each picture into the middle of a black canvas and
// writes it with a coarse MPEG-4 encoder: what a split with a smaller frame size
// and letterbox bars does to the pictures.
void ReencodeLetterboxed(const std::string& source, const std::string& target, int canvas_w,
                         int canvas_h, int picture_w, int picture_h) {
  AVFormatContext* raw = nullptr;
  ASSERT_GE(avformat.avformat_open_input(&raw, source.c_str(), nullptr, nullptr), 0);
  AVInputFormatContextPtr input(raw);
  ASSERT_GE(avformat.avformat_find_stream_info(input.get(), nullptr), 0);
  int index = avformat.av_find_best_stream(input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  ASSERT_GE(index, 0);
  AVStream* in_stream = input->streams[index];
  const AVCodec* decoder_codec = avcodec.avcodec_find_decoder(in_stream->codecpar->codec_id);
  AVCodecContextPtr decoder(avcodec.avcodec_alloc_context3(decoder_codec));
  avcodec.avcodec_parameters_to_context(decoder.get(), in_stream->codecpar);
  ASSERT_GE(avcodec.avcodec_open2(decoder.get(), decoder_codec, nullptr), 0);

  AVFormatContext* out_raw = nullptr;
  ASSERT_GE(avformat.avformat_alloc_output_context2(&out_raw, nullptr, "avi", target.c_str()), 0);
  AVFormatContextPtr output(out_raw);
  const AVCodec* encoder_codec = avcodec.avcodec_find_encoder_by_name("mpeg4");
  AVCodecContextPtr encoder(avcodec.avcodec_alloc_context3(encoder_codec));
  encoder->width = canvas_w;
  encoder->height = canvas_h;
  encoder->pix_fmt = AV_PIX_FMT_YUV420P;
  encoder->time_base = AVRational{1, 25};
  encoder->flags |= AV_CODEC_FLAG_QSCALE;
  encoder->global_quality = FF_QP2LAMBDA * 12;  // coarse on purpose
  ASSERT_GE(avcodec.avcodec_open2(encoder.get(), encoder_codec, nullptr), 0);
  AVStream* out_stream = avformat.avformat_new_stream(output.get(), nullptr);
  out_stream->time_base = encoder->time_base;
  avcodec.avcodec_parameters_from_context(out_stream->codecpar, encoder.get());
  ASSERT_GE(avformat.avio_open(&output->pb, target.c_str(), AVIO_FLAG_WRITE), 0);
  ASSERT_GE(avformat.avformat_write_header(output.get(), nullptr), 0);

  SwsContextPtr scaler;
  AVPacketPtr packet(avcodec.av_packet_alloc());
  AVFramePtr decoded(avutil.av_frame_alloc());
  int64_t next_pts = 0;
  auto write_packets = [&]() {
    while (avcodec.avcodec_receive_packet(encoder.get(), packet.get()) >= 0) {
      avcodec.av_packet_rescale_ts(packet.get(), encoder->time_base, out_stream->time_base);
      packet->stream_index = 0;
      avformat.av_interleaved_write_frame(output.get(), packet.get());
    }
  };
  auto encode_decoded = [&]() {
    while (avcodec.avcodec_receive_frame(decoder.get(), decoded.get()) >= 0) {
      AVFramePtr canvas(avutil.av_frame_alloc());
      canvas->width = canvas_w;
      canvas->height = canvas_h;
      canvas->format = AV_PIX_FMT_YUV420P;
      avutil.av_frame_get_buffer(canvas.get(), 0);
      memset(canvas->data[0], 16, size_t(canvas->linesize[0]) * canvas_h);
      memset(canvas->data[1], 128, size_t(canvas->linesize[1]) * (canvas_h + 1) / 2);
      memset(canvas->data[2], 128, size_t(canvas->linesize[2]) * (canvas_h + 1) / 2);
      scaler.reset(swscale.sws_getCachedContext(
          scaler.release(), decoded->width, decoded->height, AVPixelFormat(decoded->format),
          picture_w, picture_h, AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr, nullptr, nullptr));
      const int x = (canvas_w - picture_w) / 2 & ~1, y = (canvas_h - picture_h) / 2 & ~1;
      uint8_t* planes[4] = {canvas->data[0] + y * canvas->linesize[0] + x,
                            canvas->data[1] + y / 2 * canvas->linesize[1] + x / 2,
                            canvas->data[2] + y / 2 * canvas->linesize[2] + x / 2, nullptr};
      swscale.sws_scale(scaler.get(), decoded->data, decoded->linesize, 0, decoded->height, planes,
                        canvas->linesize);
      canvas->pts = next_pts++;
      avcodec.avcodec_send_frame(encoder.get(), canvas.get());
      write_packets();
      avutil.av_frame_unref(decoded.get());
    }
  };
  while (avformat.av_read_frame(input.get(), packet.get()) >= 0) {
    if (packet->stream_index == index) avcodec.avcodec_send_packet(decoder.get(), packet.get());
    avcodec.av_packet_unref(packet.get());
    encode_decoded();
  }
  avcodec.avcodec_send_packet(decoder.get(), nullptr);
  encode_decoded();
  avcodec.avcodec_send_frame(encoder.get(), nullptr);
  write_packets();
  avformat.av_write_trailer(output.get());
  avformat.avio_closep(&output->pb);
}

TEST_F(FixtureGenerator, FrameIndicesSurviveACoarseReencodeAtASmallerLetterboxedSize) {
  TFixtureRecipe recipe;
  recipe.AudioCodec.clear();
  recipe.Seconds = 2.0;
  recipe.FirstFrameIndex = 300;
  const std::string source = temp_.File("source.mp4");
  const std::string target = temp_.File("small.avi");
  std::string error;
  ASSERT_TRUE(GenerateFixture(recipe, source, &error)) << error;
  // 320x240 into 128x96 with a 96x54 picture: bars above, below and on both sides.
  ASSERT_NO_FATAL_FAILURE(ReencodeLetterboxed(source, target, 128, 96, 96, 54));
  std::vector<TDecodedFrame> frames;
  ASSERT_TRUE(DecodeVideoFrames(target, frames, &error)) << error;
  ASSERT_EQ(frames.size(), 50u);
  for (int i = 0; i < 50; ++i) {
    EXPECT_EQ(frames[i].Width, 128);
    EXPECT_EQ(frames[i].Index, 300 + i) << "frame " << i;
  }
}

}  // namespace
}  // namespace kelvane::fixtures
