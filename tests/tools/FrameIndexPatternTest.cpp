#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "binding/AVPtr.h"
#include "tests/common/TestSupport.h"
#include "tools/fixtures/FrameIndexPattern.h"

namespace kelvane::fixtures {
namespace {

struct TGrey {
  int width, height;
  std::vector<uint8_t> pixels;
  TGrey(int w, int h, uint8_t fill = 0) : width(w), height(h), pixels(size_t(w) * h, fill) {}
  uint8_t* Row(int y) { return pixels.data() + size_t(y) * width; }
  int Read() const { return ReadFrameIndexGray(pixels.data(), width, height, width); }
};

TGrey Drawn(int index, int width, int height) {
  TGrey picture(width, height);
  DrawFrameIndex(index, picture.pixels.data(), width, height, width);
  return picture;
}

// Bilinear resampling of `source` into the rectangle (x, y, w, h) of a black canvas.
TGrey Placed(const TGrey& source, int canvas_w, int canvas_h, int x0, int y0, int w, int h) {
  TGrey canvas(canvas_w, canvas_h, PatternBlack);
  for (int y = 0; y < h; ++y) {
    double sy = std::max(0.0, (y + 0.5) * source.height / h - 0.5);
    int iy = std::min(int(sy), source.height - 2);
    double fy = sy - iy;
    for (int x = 0; x < w; ++x) {
      double sx = std::max(0.0, (x + 0.5) * source.width / w - 0.5);
      int ix = std::min(int(sx), source.width - 2);
      double fx = sx - ix;
      auto at = [&](int xx, int yy) {
        return double(source.pixels[size_t(yy) * source.width + xx]);
      };
      double v = (at(ix, iy) * (1 - fx) + at(ix + 1, iy) * fx) * (1 - fy) +
                 (at(ix, iy + 1) * (1 - fx) + at(ix + 1, iy + 1) * fx) * fy;
      canvas.Row(y0 + y)[x0 + x] = uint8_t(v + 0.5);
    }
  }
  return canvas;
}

TEST(FrameIndexPattern, RoundTripsEveryBitAtSeveralSizes) {
  const int sizes[][2] = {{320, 240}, {321, 241}, {64, 48}, {1280, 720}, {40, 30}};
  for (const auto& size : sizes) {
    for (int index : {0, 1, 2, 127, 128, 255, 256, 1000, 0x5555, 0xAAAA, MaxFrameIndex}) {
      EXPECT_EQ(Drawn(index, size[0], size[1]).Read(), index)
          << index << " at " << size[0] << "x" << size[1];
    }
  }
}

TEST(FrameIndexPattern, SurvivesScalingAndPadsOfAQuarterOnEachSide) {
  TGrey source = Drawn(0x3C5A, 320, 240);
  // Letterbox, pillarbox, both at the limit, off-centre, and a change of aspect.
  EXPECT_EQ(Placed(source, 160, 120, 0, 15, 160, 90).Read(), 0x3C5A);
  EXPECT_EQ(Placed(source, 320, 180, 40, 0, 240, 180).Read(), 0x3C5A);
  EXPECT_EQ(Placed(source, 400, 300, 100, 75, 200, 150).Read(), 0x3C5A);
  EXPECT_EQ(Placed(source, 200, 200, 10, 50, 150, 100).Read(), 0x3C5A);
  EXPECT_EQ(Placed(source, 640, 200, 0, 0, 640, 200).Read(), 0x3C5A);
}

TEST(FrameIndexPattern, SurvivesNoise) {
  TGrey picture = Drawn(4321, 176, 144);
  std::mt19937 random(7);
  std::normal_distribution<double> noise(0.0, 20.0);
  for (uint8_t& p : picture.pixels) p = uint8_t(std::clamp(p + noise(random), 0.0, 255.0));
  EXPECT_EQ(picture.Read(), 4321);
}

TEST(FrameIndexPattern, RejectsPicturesWithoutThePattern) {
  EXPECT_EQ(TGrey(320, 240, 0).Read(), -1);
  EXPECT_EQ(TGrey(320, 240, 128).Read(), -1);
  EXPECT_EQ(TGrey(320, 240, 255).Read(), -1);
  TGrey random_picture(320, 240);
  std::mt19937 random(3);
  for (uint8_t& p : random_picture.pixels) p = uint8_t(random());
  EXPECT_EQ(random_picture.Read(), -1);
  EXPECT_EQ(TGrey(8, 8, 128).Read(), -1);
  EXPECT_EQ(ReadFrameIndexGray(nullptr, 10, 10, 10), -1);
  EXPECT_EQ(ReadFrameIndex(nullptr), -1);
}

TEST(FrameIndexPattern, ReadsBgrPictures) {
  TGrey grey = Drawn(777, 120, 90);
  std::vector<uint8_t> bgr(size_t(120) * 90 * 3);
  for (size_t i = 0; i < grey.pixels.size(); ++i) {
    // Studio-range luma back to full-range grey.
    int v = std::clamp((grey.pixels[i] - 16) * 255 / 219, 0, 255);
    bgr[i * 3] = bgr[i * 3 + 1] = bgr[i * 3 + 2] = uint8_t(v);
  }
  EXPECT_EQ(ReadFrameIndexBgr24(bgr.data(), 120, 90, 120 * 3), 777);
}

// Decoders hand out many pixel formats; the reader converts what is not plain 8-bit YUV.
TEST(FrameIndexPattern, ReadsFramesOfOtherPixelFormats) {
  test::LoadEngineLibrariesOrFail();
  AVFramePtr source(avutil.av_frame_alloc());
  source->width = 176;
  source->height = 144;
  source->format = AV_PIX_FMT_YUV420P;
  ASSERT_GE(avutil.av_frame_get_buffer(source.get(), 0), 0);
  DrawFrameIndex(9876, source->data[0], 176, 144, source->linesize[0]);
  for (int plane = 1; plane <= 2; ++plane) {
    memset(source->data[plane], 128, size_t(source->linesize[plane]) * 72);
  }
  EXPECT_EQ(ReadFrameIndex(source.get()), 9876);
  for (AVPixelFormat format : {AV_PIX_FMT_RGB24, AV_PIX_FMT_BGRA, AV_PIX_FMT_YUVJ420P,
                               AV_PIX_FMT_YUV420P10LE, AV_PIX_FMT_YUYV422}) {
    AVFramePtr converted(avutil.av_frame_alloc());
    converted->width = 176;
    converted->height = 144;
    converted->format = format;
    ASSERT_GE(avutil.av_frame_get_buffer(converted.get(), 0), 0);
    SwsContextPtr scaler(swscale.sws_getContext(176, 144, AV_PIX_FMT_YUV420P, 176, 144, format,
                                                SWS_BILINEAR, nullptr, nullptr, nullptr));
    ASSERT_TRUE(scaler);
    swscale.sws_scale(scaler.get(), source->data, source->linesize, 0, 144, converted->data,
                      converted->linesize);
    EXPECT_EQ(ReadFrameIndex(converted.get()), 9876) << avutil.av_get_pix_fmt_name(format);
  }
}

}  // namespace
}  // namespace kelvane::fixtures
