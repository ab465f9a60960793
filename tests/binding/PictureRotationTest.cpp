// Turning pictures by a display matrix: the matrix read and written as a
// clockwise turn, and every plane of a picture turned with it.
#include <gtest/gtest.h>

#include "binding/PictureRotation.h"
#include "tests/common/TestSupport.h"

namespace kelvane {
namespace {

class PictureRotationTest : public test::TMediaTest {};

// A picture of `format` whose every byte of plane p, row y, column x (in
// bytes) is distinct: p * 100 + y * 10 + x.
AVFramePtr NumberedPicture(AVPixelFormat format, int width, int height) {
  AVFramePtr frame(avutil.av_frame_alloc());
  frame->format = format;
  frame->width = width;
  frame->height = height;
  frame->sample_aspect_ratio = {4, 3};
  EXPECT_EQ(avutil.av_frame_get_buffer(frame.get(), 0), 0);
  const AVPixFmtDescriptor* desc = avutil.av_pix_fmt_desc_get(format);
  for (int p = 0; p < 4 && frame->data[p] != nullptr; ++p) {
    const int rows = p == 1 || p == 2 ? -((-height) >> desc->log2_chroma_h) : height;
    for (int y = 0; y < rows; ++y) {
      for (int x = 0; x < frame->linesize[p]; ++x) {
        frame->data[p][y * frame->linesize[p] + x] = static_cast<uint8_t>(p * 100 + y * 10 + x);
      }
    }
  }
  return frame;
}

uint8_t At(const AVFrame* frame, int plane, int x, int y) {
  return frame->data[plane][y * frame->linesize[plane] + x];
}

TEST_F(PictureRotationTest, EveryPlaneTurnsClockwiseAndPackedChromaIsConvertedFirst) {
  // 6x4 YUV 4:2:0: luma 6x4, chroma 3x2.
  const AVFramePtr source = NumberedPicture(AV_PIX_FMT_YUV420P, 6, 4);
  SwsContextPtr scaler;
  for (int rotation : {90, 180, 270}) {
    SCOPED_TRACE(rotation);
    const AVFramePtr turned = RotatePicture(source.get(), rotation, scaler);
    ASSERT_TRUE(turned);
    EXPECT_EQ(turned->format, AV_PIX_FMT_YUV420P);
    EXPECT_EQ(turned->width, rotation == 180 ? 6 : 4);
    EXPECT_EQ(turned->height, rotation == 180 ? 4 : 6);
    const AVRational aspect = rotation == 180 ? AVRational{4, 3} : AVRational{3, 4};
    EXPECT_EQ(av_cmp_q(turned->sample_aspect_ratio, aspect), 0);
    for (int plane = 0; plane < 3; ++plane) {
      const int w = plane == 0 ? 6 : 3, h = plane == 0 ? 4 : 2;
      // Where the source's top-left, top-right and bottom-left corners go.
      const int ow = turned->width / (plane == 0 ? 1 : 2);
      const int oh = turned->height / (plane == 0 ? 1 : 2);
      struct TCorner {
        int sx, sy;
      } corners[] = {{0, 0}, {w - 1, 0}, {0, h - 1}};
      for (const TCorner& c : corners) {
        int x = c.sx, y = c.sy;
        if (rotation == 90) x = h - 1 - c.sy, y = c.sx;
        if (rotation == 180) x = w - 1 - c.sx, y = h - 1 - c.sy;
        if (rotation == 270) x = c.sy, y = w - 1 - c.sx;
        ASSERT_LT(x, ow);
        ASSERT_LT(y, oh);
        EXPECT_EQ(At(turned.get(), plane, x, y), At(source.get(), plane, c.sx, c.sy))
            << "plane " << plane << " corner " << c.sx << "," << c.sy;
      }
    }
  }
  // Packed 4:2:2 cannot be turned pixel by pixel: full-chroma planes instead.
  const AVFramePtr packed = NumberedPicture(AV_PIX_FMT_YUYV422, 8, 4);
  EXPECT_EQ(RotatedFormat(AV_PIX_FMT_YUYV422, 90), AV_PIX_FMT_YUV444P);
  EXPECT_EQ(RotatedFormat(AV_PIX_FMT_YUV422P, 180), AV_PIX_FMT_YUV422P);
  EXPECT_EQ(RotatedFormat(AV_PIX_FMT_NV12, 270), AV_PIX_FMT_NV12);
  const AVFramePtr turned = RotatePicture(packed.get(), 90, scaler);
  ASSERT_TRUE(turned);
  EXPECT_EQ(turned->format, AV_PIX_FMT_YUV444P);
  EXPECT_EQ(turned->width, 4);
  EXPECT_EQ(turned->height, 8);
  // A turn of 0 is the picture itself.
  const AVFramePtr same = RotatePicture(source.get(), 0, scaler);
  ASSERT_TRUE(same);
  EXPECT_EQ(same->data[0], source->data[0]);
}

TEST_F(PictureRotationTest, StreamMatrixReadsBackAsTheTurnWritten) {
  AVFormatContextPtr context(avformat.avformat_alloc_context());
  AVStream* stream = avformat.avformat_new_stream(context.get(), nullptr);
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(StreamRotation(stream), 0);  // no matrix
  int32_t matrix[9];
  EXPECT_FALSE(StreamDisplayMatrix(stream, matrix));
  for (int rotation : {90, 180, 270, 0}) {
    ASSERT_TRUE(SetStreamRotation(stream, rotation));
    EXPECT_EQ(StreamRotation(stream), rotation);
  }
  // What phones write for an upright recording: -90 degrees as the library
  // reads it, a clockwise quarter turn for display.
  avutil.av_display_rotation_set(matrix, 90);
  EXPECT_EQ(MatrixRotation(matrix), 90);
  EXPECT_NEAR(avutil.av_display_rotation_get(matrix), -90.0, 1e-6);
  avutil.av_display_rotation_set(matrix, -88.0);  // near enough a quarter turn
  EXPECT_EQ(MatrixRotation(matrix), 270);
}

}  // namespace
}  // namespace kelvane
