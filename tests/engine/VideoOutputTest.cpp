// The video path through whole tasks: a fixture file split by the component
// with letterbox pads, crops, a filter chain, a custom hook, a frame-rate
// change, two-pass encoding and a statistics file; the output decoded back.
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include <atomic>
#include <chrono>

#include "binding/AVPtr.h"
#include "binding/MainThread.h"
#include "engine/FFConverter.h"
#include "probe/AVProbe.h"
#include "tests/common/MediaAssertions.h"
#include "tests/engine/RunTestSupport.h"
#include "tests/common/TestSupport.h"
#include "tools/fixtures/FrameIndexPattern.h"

namespace kelvane {
namespace {

// The luma plane of the first picture of a file, as plain rows.
struct TLuma {
  int Width = 0;
  int Height = 0;
  std::vector<uint8_t> Pixels;
  int At(int x, int y) const { return Pixels[size_t(y) * size_t(Width) + size_t(x)]; }
  double ColumnMean(int x) const {
    double sum = 0;
    for (int y = 0; y < Height; ++y) sum += At(x, y);
    return sum / Height;
  }
};

TLuma PictureLuma(const std::string& path, int wanted = 0) {
  TLuma luma;
  AVFormatContext* raw = nullptr;
  if (avformat.avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) {
    ADD_FAILURE() << "cannot open " << path;
    return luma;
  }
  AVInputFormatContextPtr input(raw);
  avformat.avformat_find_stream_info(input.get(), nullptr);
  int index = avformat.av_find_best_stream(input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (index < 0) {
    ADD_FAILURE() << "no video in " << path;
    return luma;
  }
  AVStream* stream = input->streams[index];
  const AVCodec* codec = avcodec.avcodec_find_decoder(stream->codecpar->codec_id);
  AVCodecContextPtr decoder(avcodec.avcodec_alloc_context3(codec));
  avcodec.avcodec_parameters_to_context(decoder.get(), stream->codecpar);
  if (avcodec.avcodec_open2(decoder.get(), codec, nullptr) < 0) {
    ADD_FAILURE() << "cannot decode " << path;
    return luma;
  }
  AVPacketPtr packet(avcodec.av_packet_alloc());
  AVFramePtr frame(avutil.av_frame_alloc());
  bool got = false;
  int seen = 0;
  auto take = [&] {
    while (!got && avcodec.avcodec_receive_frame(decoder.get(), frame.get()) == 0) {
      if (seen++ == wanted) got = true;
    }
  };
  while (!got && avformat.av_read_frame(input.get(), packet.get()) >= 0) {
    if (packet->stream_index == index) avcodec.avcodec_send_packet(decoder.get(), packet.get());
    avcodec.av_packet_unref(packet.get());
    take();
  }
  if (!got) {
    avcodec.avcodec_send_packet(decoder.get(), nullptr);
    take();
  }
  if (!got) {
    ADD_FAILURE() << "no picture in " << path;
    return luma;
  }
  // The luma plane as decoded (studio range: black is 16).
  const AVPixFmtDescriptor* desc = avutil.av_pix_fmt_desc_get(AVPixelFormat(frame->format));
  if (desc == nullptr || (desc->flags & AV_PIX_FMT_FLAG_RGB) || desc->comp[0].depth != 8) {
    ADD_FAILURE() << "not an 8-bit YUV picture in " << path;
    return luma;
  }
  luma.Width = frame->width;
  luma.Height = frame->height;
  luma.Pixels.resize(size_t(luma.Width) * size_t(luma.Height));
  for (int y = 0; y < luma.Height; ++y) {
    std::memcpy(&luma.Pixels[size_t(y) * size_t(luma.Width)],
                frame->data[0] + int64_t(y) * frame->linesize[0], size_t(luma.Width));
  }
  return luma;
}

class VideoOutputTest : public test::TMediaTest {
 protected:
  void SetUp() override {
    test::TMediaTest::SetUp();
    input_ = test::MakeFixture(temp_, "mp4-h264-aac", "in.mp4", [](fixtures::TFixtureRecipe& r) {
      r.Width = 640;
      r.Height = 480;
      r.Seconds = 2;
      r.FirstFrameIndex = 1;
    });
  }

  TOutputOptions Mpeg4(const std::string& size = "") {
    TOutputOptions options;
    options.VideoCodec = "mpeg4";
    options.DisableAudio = true;
    options.FrameSize = size;
    options.ExtOptions = "qscale=2";
    return options;
  }

  // Runs one task synchronously; the end event's message, "" when it finished.
  std::string Split(const TOutputOptions& options, const std::string& output,
                    const std::string& input = "") {
    int32_t index = converter_.AddTask(input.empty() ? input_ : input);
    EXPECT_GE(index, 0) << converter_.LastError();
    if (index < 0) return converter_.LastError();
    EXPECT_TRUE(converter_.SetOutput(index, output, &options)) << converter_.LastError();
    return test::RunTasksSynchronously(converter_);
  }

  std::string input_;
  TFFConverter converter_;
};

TEST_F(VideoOutputTest, LetterboxPadsGiveBlackBars) {
  TOutputOptions options = Mpeg4("560x480");
  options.PadLeft = options.PadRight = 40;
  const std::string out = temp_.File("letterbox.avi");
  ASSERT_EQ(Split(options, out), "");
  TLuma luma = PictureLuma(out);
  ASSERT_EQ(luma.Width, 640);
  ASSERT_EQ(luma.Height, 480);
  // Black of the default pad colour (the record's RGB 0 becomes Y 0).
  for (int x : {0, 20, 37, 602, 619, 639}) EXPECT_LE(luma.ColumnMean(x), 17) << x;
  EXPECT_GT(luma.ColumnMean(320), 60);
  EXPECT_TRUE(test::FrameIndicesRun(out, 1, 50, 1));
}

TEST_F(VideoOutputTest, CropRemovesTheBands) {
  // The crop options take the bands off the frame size given before them.
  TOutputOptions options = Mpeg4("640x480");
  options.CropTop = options.CropBottom = 40;
  const std::string out = temp_.File("crop.avi");
  ASSERT_EQ(Split(options, out), "");
  TLuma luma = PictureLuma(out);
  EXPECT_EQ(luma.Width, 640);
  EXPECT_EQ(luma.Height, 400);
  EXPECT_TRUE(test::FrameIndicesRun(out, 1, 50, 1));
}

TEST_F(VideoOutputTest, HflipFilterMirrorsThePicture) {
  const std::string plain = temp_.File("plain.avi");
  ASSERT_EQ(Split(Mpeg4(), plain), "");
  TOutputOptions options = Mpeg4();
  options.VideoFilters = "hflip";
  const std::string mirrored = temp_.File("hflip.avi");
  ASSERT_EQ(Split(options, mirrored), "");
  TLuma a = PictureLuma(plain);
  TLuma b = PictureLuma(mirrored);
  ASSERT_EQ(a.Width, b.Width);
  double mirror_error = 0;
  double same_error = 0;
  for (int y = 0; y < a.Height; y += 4) {
    for (int x = 0; x < a.Width; x += 4) {
      mirror_error += std::abs(a.At(x, y) - b.At(a.Width - 1 - x, y));
      same_error += std::abs(a.At(x, y) - b.At(x, y));
    }
  }
  EXPECT_LT(mirror_error * 10, same_error);
  // The frame index pattern no longer reads as the index it carried.
  std::vector<int> plain_indices = test::DecodedIndices(plain);
  std::vector<int> mirrored_indices = test::DecodedIndices(mirrored);
  ASSERT_FALSE(plain_indices.empty());
  ASSERT_FALSE(mirrored_indices.empty());
  EXPECT_EQ(plain_indices[0], 1);
  EXPECT_NE(mirrored_indices[0], 1);
}

TEST_F(VideoOutputTest, FilterChainWithAnotherSizeGetsAScaler) {
  TOutputOptions options = Mpeg4("320x240");
  options.VideoFilters = "hflip";
  const std::string out = temp_.File("small.avi");
  ASSERT_EQ(Split(options, out), "");
  TLuma luma = PictureLuma(out);
  EXPECT_EQ(luma.Width, 320);
  EXPECT_EQ(luma.Height, 240);
}

TEST_F(VideoOutputTest, FilterChainWithPadsAroundIt) {
  TOutputOptions options = Mpeg4("560x480");
  options.VideoFilters = "hflip";
  options.PadLeft = options.PadRight = 40;
  const std::string out = temp_.File("padded-filter.avi");
  ASSERT_EQ(Split(options, out), "");
  TLuma luma = PictureLuma(out);
  ASSERT_EQ(luma.Width, 640);
  EXPECT_LE(luma.ColumnMean(10), 17);
  EXPECT_GT(luma.ColumnMean(320), 60);
}

TEST_F(VideoOutputTest, FilterChainRefusesCrop) {
  TOutputOptions options = Mpeg4("640x480");
  options.VideoFilters = "hflip";
  options.CropTop = 16;
  int32_t index = converter_.AddTask(input_);
  ASSERT_GE(index, 0) << converter_.LastError();
  EXPECT_FALSE(converter_.SetOutput(index, temp_.File("crop-filter.avi"), &options));
  EXPECT_EQ(converter_.LastError(), "Cannot enable crop options and filters at the same time.");
}

// A source stored on its side (320x240 under a matrix turning it 270 degrees
// clockwise into 240x320): kept as stored with its matrix, or turned upright
// (the index pattern reads only then) in the video path and in a filter graph.
// Previews always show the picture upright.
TEST_F(VideoOutputTest, RotatedSourceKeepsItsMatrixOrIsTurnedUpright) {
  const std::string rotated =
      test::MakeFixture(temp_, "mp4-h264-aac", "rotated.mp4", [](fixtures::TFixtureRecipe& r) {
        r.Width = 240;
        r.Height = 320;
        r.Rotation = 270;
        r.Seconds = 1;
      });
  // Kept as stored, previewed as it will be seen.
  std::vector<int> preview_indices;
  converter_.SetPreviewBitmap(true);
  converter_.OnPreviewBitmap = [&](int32_t, TBitmap* bitmap, int32_t, int64_t) {
    std::lock_guard<std::mutex> lock(bitmap->Lock);
    EXPECT_LT(bitmap->Width, bitmap->Height);
    preview_indices.push_back(fixtures::ReadFrameIndexBgr24(bitmap->Pixels.data(), bitmap->Width,
                                                            bitmap->Height, bitmap->Stride));
  };
  TOutputOptions kept = Mpeg4();
  const std::string kept_out = temp_.File("kept.mp4");
  ASSERT_EQ(Split(kept, kept_out, rotated), "");
  converter_.SetPreviewBitmap(false);
  ASSERT_FALSE(preview_indices.empty());
  EXPECT_GE(preview_indices.front(), 0);
  TAVProbe probe;
  ASSERT_TRUE(probe.LoadFile(kept_out, "")) << probe.LastErrMsg();
  EXPECT_EQ(probe.GetVideoStreamInfo().Rotation, 270);
  EXPECT_EQ(probe.GetVideoStreamInfo().Width, 320);

  for (const char* filters : {"", "null"}) {
    SCOPED_TRACE(filters);
    TOutputOptions upright = Mpeg4();
    upright.UprightPictures = true;
    upright.VideoFilters = filters;
    const std::string out = temp_.File(std::string("upright") + filters + ".mp4");
    ASSERT_EQ(Split(upright, out, rotated), "");
    ASSERT_TRUE(probe.LoadFile(out, "")) << probe.LastErrMsg();
    const TVideoStreamInfo video = probe.GetVideoStreamInfo();
    EXPECT_EQ(video.Rotation, 0);
    EXPECT_EQ(video.Width, 240);
    EXPECT_EQ(video.Height, 320);
    EXPECT_TRUE(test::FrameIndicesRun(out, 0, 25, 0));
  }
}

TEST_F(VideoOutputTest, CustomHookPaintsASquareIntoEveryPicture) {
  int calls = 0;
  converter_.OnCustomHook = [&](THookedFrame& frame) {
    ++calls;
    EXPECT_EQ(frame.FrameNumber, calls);
    for (int y = 0; y < 64; ++y) std::memset(frame.Bitmap->ScanLine(y), 255, 64 * 3);
  };
  TOutputOptions options = Mpeg4();
  options.CustomHook = true;
  const std::string out = temp_.File("hook.avi");
  ASSERT_EQ(Split(options, out), "");
  EXPECT_EQ(calls, 50);
  TLuma luma = PictureLuma(out);
  EXPECT_GT(luma.At(30, 30), 220);
  EXPECT_LT(luma.At(200, 30), 200);
}

TEST_F(VideoOutputTest, StopHookOnTheFirstFrameCallsTheHookOnce) {
  int calls = 0;
  converter_.OnCustomHook = [&](THookedFrame& frame) {
    ++calls;
    for (int y = 0; y < 64; ++y) std::memset(frame.Bitmap->ScanLine(y), 255, 64 * 3);
    frame.StopHook = true;
  };
  TOutputOptions options = Mpeg4();
  options.CustomHook = true;
  const std::string out = temp_.File("once.avi");
  ASSERT_EQ(Split(options, out), "");
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(test::FrameIndicesRun(out, 1, 50, 1));
}

TEST_F(VideoOutputTest, ThirtyFramesASecondInto25KeepsTheDuration) {
  const std::string input =
      test::MakeFixture(temp_, "mp4-h264-aac", "in30.mp4", [](fixtures::TFixtureRecipe& r) {
        r.FrameRate = AVRational{30, 1};
        r.Seconds = 3;
      });
  TOutputOptions options = Mpeg4();
  options.FrameRate = "25";
  const std::string out = temp_.File("25.avi");
  ASSERT_EQ(Split(options, out, input), "");
  fixtures::TMediaFacts facts = test::ReadFactsOrFail(out);
  const fixtures::TStreamFacts* video = facts.FirstOf(AVMEDIA_TYPE_VIDEO);
  ASSERT_NE(video, nullptr);
  EXPECT_NEAR(double(video->PacketCount), 75, 1);
  if (video->DurationUs > 0) {
    EXPECT_NEAR(video->DurationUs / 1e6, 3.0, 0.04 + 1e-9);
  }
}

TEST_F(VideoOutputTest, StatisticsFileHasOneLinePerEncodedFrame) {
  TOutputOptions options = Mpeg4();
  const std::string stats = temp_.File("vstats.log");
  options.ExtOptions += "\nvstats_file=" + stats + "\npsnr=1";
  const std::string out = temp_.File("stats.avi");
  ASSERT_EQ(Split(options, out), "");
  std::ifstream file(stats);
  int lines = 0;
  for (std::string line; std::getline(file, line);) {
    ++lines;
    EXPECT_EQ(line.rfind("frame=", 0), 0u) << line;
    size_t psnr = line.find("PSNR= ");
    ASSERT_NE(psnr, std::string::npos) << line;
    EXPECT_GT(std::stod(line.substr(psnr + 6)), 25.0) << line;
  }
  EXPECT_EQ(lines, 50);
}

TEST_F(VideoOutputTest, TwoPassWritesAndReadsItsLog) {
  const std::string prefix = temp_.File("twopass");
  TOutputOptions options = Mpeg4();
  options.ExtOptions = "b=1500k\npass=1\npasslogfile=" + prefix;
  ASSERT_EQ(Split(options, temp_.File("pass1.avi")), "");
  std::ifstream log(prefix + "-0.log");
  std::string first;
  ASSERT_TRUE(std::getline(log, first)) << "no pass-1 log";
  EXPECT_FALSE(first.empty());
  options.ExtOptions = "b=1500k\npass=2\npasslogfile=" + prefix;
  const std::string out = temp_.File("pass2.avi");
  ASSERT_EQ(Split(options, out), "");
  EXPECT_TRUE(test::FrameIndicesRun(out, 1, 50, 1));
}

TEST_F(VideoOutputTest, MissingPassTwoLogFailsWithItsMessage) {
  const std::string prefix = temp_.File("nolog");
  TOutputOptions options = Mpeg4();
  options.ExtOptions = "pass=2\npasslogfile=" + prefix;
  EXPECT_EQ(Split(options, temp_.File("pass2.avi")),
            "Cannot read log file " + prefix + "-0.log for pass-2 encoding");
}

std::string SquarePlugin(int size, int value) {
  return std::string("vhook=") + KELVANE_TEST_PLUGIN_DIR + "/PaintSquareHook.so " +
         std::to_string(size) + " " + std::to_string(value);
}

TEST_F(VideoOutputTest, DeinterlacedSplitKeepsEveryFrame) {
  TOutputOptions options = Mpeg4();
  options.ExtOptions += "\ndeinterlace=1";
  const std::string out = temp_.File("deinterlaced.avi");
  ASSERT_EQ(Split(options, out), "");
  EXPECT_TRUE(test::FrameIndicesRun(out, 1, 50, 1));
}

TEST_F(VideoOutputTest, PluginChainPaintsEveryPicture) {
  TOutputOptions options = Mpeg4();
  options.ExtOptions += "\n" + SquarePlugin(48, 235);
  const std::string out = temp_.File("plugin.avi");
  ASSERT_EQ(Split(options, out), "");
  EXPECT_GT(PictureLuma(out, 0).At(20, 20), 220);
  EXPECT_GT(PictureLuma(out, 30).At(20, 20), 220);
}

TEST_F(VideoOutputTest, BeforeHookAnsweringStopEndsThePluginChain) {
  int asked = 0;
  converter_.OnBeforeHook = [&](int32_t, int64_t, THookAction& action) {
    ++asked;
    action = haStop;
  };
  TOutputOptions options = Mpeg4();
  options.BeforeHook = true;
  options.ExtOptions += "\n" + SquarePlugin(48, 235);
  const std::string out = temp_.File("before.avi");
  ASSERT_EQ(Split(options, out), "");
  EXPECT_EQ(asked, 1);
  EXPECT_LT(PictureLuma(out, 0).At(20, 20), 200);
  EXPECT_TRUE(test::FrameIndicesRun(out, 1, 50, 1));
}

TEST_F(VideoOutputTest, HookRangesLimitThePluginChain) {
  TOutputOptions options = Mpeg4();
  options.HookRanges = "0-400, 1000-1200";
  options.ExtOptions += "\n" + SquarePlugin(48, 235);
  const std::string out = temp_.File("ranges.avi");
  ASSERT_EQ(Split(options, out), "");
  EXPECT_GT(PictureLuma(out, 5).At(20, 20), 220);   // 0.2 s
  EXPECT_LT(PictureLuma(out, 15).At(20, 20), 200);  // 0.6 s
  EXPECT_GT(PictureLuma(out, 27).At(20, 20), 220);  // 1.08 s
  EXPECT_LT(PictureLuma(out, 40).At(20, 20), 200);  // 1.6 s: stopped for good
}

TEST_F(VideoOutputTest, PreviewBitmapsArriveWhileSplitting) {
  int previews = 0;
  int width = 0;
  converter_.SetPreviewBitmap(true);
  converter_.OnPreviewBitmap = [&](int32_t, TBitmap* bitmap, int32_t frame_number, int64_t) {
    ++previews;
    width = bitmap->Width;
    EXPECT_GE(frame_number, 1);
  };
  const std::string out = temp_.File("preview.avi");
  ASSERT_EQ(Split(Mpeg4(), out), "");
  EXPECT_GE(previews, 1);
  EXPECT_EQ(width, 640);
}

TEST_F(VideoOutputTest, PreviewBitmapsOfAThreadedRunArriveOnTheMainThread) {
  std::atomic<int> previews{0};
  std::atomic<bool> off_main{false};
  std::atomic<bool> done{false};
  converter_.SetPreviewBitmap(true);
  converter_.OnPreviewBitmap = [&](int32_t, TBitmap* bitmap, int32_t, int64_t) {
    if (!IsMainThread()) off_main = true;
    EXPECT_EQ(bitmap->Width, 640);
    ++previews;
  };
  converter_.OnTerminate = [&](int32_t task, bool finished, bool exception, const std::string&) {
    if (task >= 0) {
      EXPECT_TRUE(finished);
      EXPECT_FALSE(exception);
    } else {
      done = true;
    }
  };
  TOutputOptions options = Mpeg4();
  const std::string out = temp_.File("threaded.avi");
  int32_t index = converter_.AddTask(input_);
  ASSERT_GE(index, 0) << converter_.LastError();
  ASSERT_TRUE(converter_.SetOutput(index, out, &options)) << converter_.LastError();
  converter_.Start(1);
  ASSERT_TRUE(WaitOnMainThread([&] { return done.load(); }, std::chrono::seconds(120)));
  converter_.Stop(true);
  EXPECT_GE(previews.load(), 1);
  EXPECT_FALSE(off_main.load());
  EXPECT_TRUE(test::FrameIndicesRun(out, 1, 50, 1));
}

}  // namespace
}  // namespace kelvane
