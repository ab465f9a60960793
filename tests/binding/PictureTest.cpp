// The frame converter, the previewer and the frame-hook chain.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

#include "binding/FFmpegLoader.h"
#include "binding/FFmpegLogger.h"
#include "binding/FrameConverter.h"
#include "binding/FrameHook.h"
#include "binding/MainThread.h"
#include "binding/Previewer.h"
#include "tests/common/TestSupport.h"

namespace kelvane {
namespace {

// A frame of one colour given in YUV.
AVFramePtr MakeYuvFrame(int width, int height, uint8_t y, uint8_t u, uint8_t v) {
  AVFramePtr frame(avutil.av_frame_alloc());
  frame->format = AV_PIX_FMT_YUV420P;
  frame->width = width;
  frame->height = height;
  EXPECT_EQ(avutil.av_frame_get_buffer(frame.get(), 0), 0);
  for (int row = 0; row < height; ++row) memset(frame->data[0] + row * frame->linesize[0], y, width);
  for (int row = 0; row < (height + 1) / 2; ++row) {
    memset(frame->data[1] + row * frame->linesize[1], u, (width + 1) / 2);
    memset(frame->data[2] + row * frame->linesize[2], v, (width + 1) / 2);
  }
  return frame;
}

// Largest difference of any pixel byte from the expected blue, green, red.
int MaxDeviation(const TBitmap& bitmap, int blue, int green, int red) {
  int worst = 0;
  for (int y = 0; y < bitmap.Height; ++y) {
    const uint8_t* row = bitmap.ScanLine(y);
    for (int x = 0; x < bitmap.Width; ++x) {
      worst = std::max({worst, std::abs(row[3 * x] - blue), std::abs(row[3 * x + 1] - green),
                        std::abs(row[3 * x + 2] - red)});
    }
  }
  return worst;
}

// Loads only what the converter uses, so that these tests also run under
// valgrind: the codec library brings libjxl's helper, whose start-up uses an
// instruction valgrind does not know on processors that do not announce it.
class FrameConverterTest : public testing::Test {
 protected:
  void SetUp() override {
    TFFmpegLoader& loader = GetLoader();
    ASSERT_TRUE(loader.LoadLibraries({LibAVUtil, LibSwScale})) << loader.LastError();
  }
  TFrameConverter converter_;
};

TEST_F(FrameConverterTest, YuvPictureBecomesBgrBitmap) {
  // Limited-range red: Y 81, U 90, V 240.
  AVFramePtr frame = MakeYuvFrame(64, 48, 81, 90, 240);
  ASSERT_TRUE(ConvertToBitmap(converter_, frame.get()));
  const TBitmap& bitmap = *converter_.Bitmap;
  EXPECT_EQ(bitmap.Width, 64);
  EXPECT_EQ(bitmap.Height, 48);
  EXPECT_EQ(bitmap.Stride % 4, 0);
  EXPECT_LE(MaxDeviation(bitmap, 0, 0, 255), 4);
}

TEST_F(FrameConverterTest, BgrSourceIsCopiedWithoutAScaler) {
  const int width = 5, height = 3, linesize = 16;
  uint8_t pixels[linesize * height];
  for (int i = 0; i < linesize * height; ++i) pixels[i] = static_cast<uint8_t>(i);
  const uint8_t* data[4] = {pixels, nullptr, nullptr, nullptr};
  const int linesizes[4] = {linesize, 0, 0, 0};
  ASSERT_TRUE(ConvertToBitmap(converter_, data, linesizes, AV_PIX_FMT_BGR24, height, width));
  EXPECT_FALSE(converter_.ToBitmap);
  for (int y = 0; y < height; ++y) {
    EXPECT_EQ(memcmp(converter_.Bitmap->ScanLine(y), pixels + y * linesize, width * 3), 0) << y;
  }
}

TEST_F(FrameConverterTest, LargerPictureGrowsSmallerReuses) {
  ASSERT_TRUE(ConvertToBitmap(converter_, MakeYuvFrame(32, 16, 128, 128, 128).get()));
  ASSERT_TRUE(ConvertToBitmap(converter_, MakeYuvFrame(320, 240, 128, 128, 128).get()));
  TBitmap& bitmap = *converter_.Bitmap;
  EXPECT_EQ(bitmap.Width, 320);
  EXPECT_GE(bitmap.Pixels.size(), size_t(320 * 3 * 240));
  const uint8_t* memory = bitmap.Pixels.data();
  ASSERT_TRUE(ConvertToBitmap(converter_, MakeYuvFrame(31, 17, 235, 128, 128).get()));
  EXPECT_EQ(bitmap.Pixels.data(), memory);
  EXPECT_EQ(bitmap.Width, 31);
  EXPECT_EQ(bitmap.Height, 17);
  EXPECT_EQ(bitmap.Stride, 96);
  EXPECT_LE(MaxDeviation(bitmap, 255, 255, 255), 2);
}

// Pictures of every width, the odd ones included, in the formats decoders
// give: each row is converted in full and the scaler, which moves whole blocks
// of pixels, stays inside the bitmap (ASan and valgrind watch its edges).
TEST_F(FrameConverterTest, EveryWidthStaysInsideTheBitmap) {
  const AVPixelFormat formats[] = {AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUV422P, AV_PIX_FMT_YUV444P,
                                   AV_PIX_FMT_NV12,    AV_PIX_FMT_YUYV422, AV_PIX_FMT_RGBA,
                                   AV_PIX_FMT_GRAY8,   AV_PIX_FMT_YUV420P10LE};
  const int widths[] = {1, 2, 3, 5, 7, 8, 17, 31, 40, 41, 63, 64, 65, 426, 427};
  for (AVPixelFormat format : formats) {
    for (int width : widths) {
      for (int height : {1, 3, 24}) {
        AVFramePtr frame(avutil.av_frame_alloc());
        frame->format = format;
        frame->width = width;
        frame->height = height;
        ASSERT_EQ(avutil.av_frame_get_buffer(frame.get(), 0), 0);
        // Mid grey in any of these formats (10-bit samples of 0x8080 are
        // clipped alike), so every pixel comes out the same.
        for (int i = 0; i < AV_NUM_DATA_POINTERS && frame->buf[i]; ++i) {
          memset(frame->buf[i]->data, format == AV_PIX_FMT_YUV420P10LE ? 0x02 : 0x80,
                 frame->buf[i]->size);
        }
        const std::string what =
            std::string(avutil.av_get_pix_fmt_name(format)) + " " + std::to_string(width) + "x" +
            std::to_string(height);
        ASSERT_TRUE(ConvertToBitmap(converter_, frame.get())) << what;
        const TBitmap& bitmap = *converter_.Bitmap;
        ASSERT_EQ(bitmap.Width, width);
        const uint8_t* first = bitmap.ScanLine(0);
        EXPECT_LE(MaxDeviation(bitmap, first[0], first[1], first[2]), 2) << what;
        EXPECT_GE(bitmap.Pixels.size(),
                  size_t(bitmap.Stride) * size_t(height) + TBitmap::kScalerSlack);
        // And back, reading the bitmap to its last pixel.
        ASSERT_TRUE(ConvertFromBitmap(converter_, bitmap, frame.get())) << what;
      }
    }
  }
}

TEST_F(FrameConverterTest, BitmapGoesBackIntoTheDecoderFormat) {
  AVFramePtr frame = MakeYuvFrame(40, 30, 16, 128, 128);  // black
  ASSERT_TRUE(ConvertToBitmap(converter_, frame.get()));
  TBitmap& bitmap = *converter_.Bitmap;
  for (int y = 0; y < bitmap.Height; ++y) memset(bitmap.ScanLine(y), 255, bitmap.Width * 3);
  ASSERT_TRUE(ConvertFromBitmap(converter_, bitmap, frame.get()));
  EXPECT_NEAR(frame->data[0][0], 235, 2);
  EXPECT_NEAR(frame->data[0][29 * frame->linesize[0] + 39], 235, 2);
  // A bitmap of another size is refused rather than read past its end.
  TBitmap small;
  small.SetSize(8, 8);
  EXPECT_FALSE(ConvertFromBitmap(converter_, small, frame.get()));
}

TEST_F(FrameConverterTest, BadInputFailsAndResetFreesEverything) {
  AVFramePtr frame = MakeYuvFrame(16, 16, 16, 128, 128);
  EXPECT_FALSE(ConvertToBitmap(converter_, frame->data, frame->linesize, AV_PIX_FMT_YUV420P, 0,
                               16));
  EXPECT_FALSE(
      ConvertToBitmap(converter_, frame->data, frame->linesize, AV_PIX_FMT_NONE, 16, 16));
  ASSERT_TRUE(ConvertToBitmap(converter_, frame.get()));
  ResetConverter(converter_);
  EXPECT_FALSE(converter_.Bitmap);
  EXPECT_FALSE(converter_.ToBitmap);
  EXPECT_EQ(converter_.PictureFormat, AV_PIX_FMT_BGR24);
}

TEST(PreviewTime, Formats) {
  EXPECT_EQ(FormatPreviewTime((3600 + 2 * 60 + 3) * 1000000LL + 4000), "01:02:03.004");
  EXPECT_EQ(FormatPreviewTime(AV_NOPTS_VALUE), "N/A");
  EXPECT_EQ(FormatPreviewTime(0), "00:00:00.000");
  EXPECT_EQ(FormatPreviewTime(999999), "00:00:00.999");
  EXPECT_EQ(FormatPreviewTime(100 * 3600 * 1000000LL), "100:00:00.000");
}

// Records on which thread each show step ran.
class TRecordingPreviewer : public THeadlessPreviewer {
 public:
  std::atomic<int> off_main{0};

 protected:
  void ShowStep(const TBitmap& bitmap, int64_t frame_number, int64_t time) override {
    if (!IsMainThread()) ++off_main;
    THeadlessPreviewer::ShowStep(bitmap, frame_number, time);
  }
};

TEST(Previewer, WorkerPreviewsAreShownOnTheMainThreadUntilClosed) {
  TRecordingPreviewer previewer;
  TBitmap bitmap;
  bitmap.SetSize(4, 2);
  bitmap.Pixels[0] = 77;
  std::atomic<int> results{0};
  std::atomic<bool> done{false};
  std::thread worker([&] {
    if (previewer.ShowPreview(bitmap, 12, 62003004)) ++results;
    previewer.Close();
    if (previewer.ShowPreview(bitmap, 13, 62003005)) ++results;
    done = true;
    NotifyMainThread();
  });
  ASSERT_TRUE(WaitOnMainThread([&] { return done.load(); }, std::chrono::seconds(10)));
  worker.join();
  EXPECT_EQ(results.load(), 1);
  EXPECT_EQ(previewer.ShownCount(), 1);
  EXPECT_EQ(previewer.off_main.load(), 0);
  EXPECT_EQ(previewer.Caption(), "00:01:02.003");
  EXPECT_EQ(previewer.FrameNumber(), 12);
  TBitmap copy;
  previewer.CopyBitmap(copy);
  EXPECT_EQ(copy.Width, 4);
  EXPECT_EQ(copy.Pixels[0], 77);
}

std::string Plugin(const char* name) { return std::string(KELVANE_TEST_PLUGIN_DIR) + "/" + name; }

int LiveContexts() {
  void* module = dlopen(Plugin("PaintSquareHook.so").c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (module == nullptr) return -1;
  auto count = reinterpret_cast<int (*)()>(dlsym(module, "LiveContexts"));
  int live = count != nullptr ? count() : -1;
  dlclose(module);
  return live;
}

class FrameHookTest : public test::TMediaTest {
 protected:
  void SetUp() override {
    test::TMediaTest::SetUp();
    GetLogger().OnLog = [this](const void*, uint32_t, TLogLevel level, const std::string& text) {
      if (level == llError) errors_.push_back(text);
    };
  }
  void TearDown() override {
    PumpMessages();
    GetLogger().OnLog = nullptr;
  }
  std::vector<std::string> errors_;
};

TEST_F(FrameHookTest, PluginNamedTwiceRunsTwiceInOrder) {
  const std::string paint = Plugin("PaintSquareHook.so");
  {
    TFrameHookChain chain;
    ASSERT_EQ(AddFrameHook(chain, {paint, "2", "200"}), 0);
    ASSERT_EQ(AddFrameHook(chain, {paint, "2", "100", "4"}), 0);
    ASSERT_EQ(AddFrameHook(chain, {Plugin("InvertHook.so")}), 0);
    EXPECT_EQ(chain.Size(), 3u);
    EXPECT_EQ(LiveContexts(), 2);
    EXPECT_NE(chain.Entries()[0].Context, chain.Entries()[1].Context);

    AVFramePtr frame = MakeYuvFrame(8, 4, 16, 128, 128);
    ProcessFrameHooks(chain, frame->data, frame->linesize, frame->format, 8, 4, 0);
    const uint8_t* row0 = frame->data[0];
    const uint8_t* row1 = frame->data[0] + frame->linesize[0];
    // Row 0 is inverted after both squares were painted.
    EXPECT_EQ(row0[0], 255 - 200);
    EXPECT_EQ(row0[2], 255 - 16);
    EXPECT_EQ(row0[4], 255 - 100);
    EXPECT_EQ(row1[1], 200);
    EXPECT_EQ(row1[5], 100);
    EXPECT_EQ(row1[7], 16);

    ReleaseFrameHooks(chain);
    EXPECT_TRUE(chain.Empty());
    EXPECT_EQ(LiveContexts(), 0);
    ASSERT_EQ(AddFrameHook(chain, {paint, "1", "1"}), 0);
  }
  EXPECT_EQ(LiveContexts(), 0) << "the chain releases its plug-ins when it goes";
  EXPECT_TRUE(errors_.empty());
}

TEST_F(FrameHookTest, RefusalsReturnTheirCodesAndLog) {
  TFrameHookChain chain;
  EXPECT_EQ(AddFrameHook(chain, {}), -2);
  const std::string invert = Plugin("InvertHook.so");
  EXPECT_EQ(AddFrameHook(chain, {invert, "option"}), -2);
  EXPECT_EQ(AddFrameHook(chain, {"libm.so.6"}), -2);
  const std::string paint = Plugin("PaintSquareHook.so");
  EXPECT_EQ(AddFrameHook(chain, {paint, "0", "1"}), -22);
  const std::string missing = Plugin("NoSuchHook.so");
  EXPECT_EQ(AddFrameHook(chain, {missing}), -1);
  EXPECT_TRUE(chain.Empty());
  PumpMessages();
  ASSERT_EQ(errors_.size(), 4u);
  EXPECT_EQ(errors_[0], "Failed to find Configure entrypoint in " + invert);
  EXPECT_EQ(errors_[1], "Failed to find Process entrypoint in libm.so.6");
  EXPECT_EQ(errors_[2], "Failed to Configure " + paint);
  EXPECT_NE(errors_[3].find("NoSuchHook.so"), std::string::npos) << errors_[3];
}

}  // namespace
}  // namespace kelvane
