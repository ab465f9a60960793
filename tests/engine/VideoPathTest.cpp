// The video path against a test host: sync arithmetic, the hook stage, crop,
// pad, scale, frame limits, stop requests, preview and the statistics file,
// with real encoders (rawvideo, so packets can be read back byte for byte).
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "binding/AVPtr.h"
#include "binding/FFmpegLogger.h"
#include "engine/FFmpegException.h"
#include "engine/core/VideoPath.h"
#include "tests/common/TestSupport.h"

namespace kelvane {
namespace {

TEST(VideoSyncTest, DuplicatesOnAJumpAhead) {
  TVideoSyncInput in;
  in.TimeBase = 0.04;
  in.SyncOpts = 10;
  in.Ipts = 0.6;  // frame 15: five frames ahead
  TVideoSyncStep step = ComputeVideoSync(in);
  EXPECT_EQ(step.Count, 5);
  EXPECT_EQ(step.SyncOpts, 10);
  // The same jump into a variable-frame-rate format only moves the position.
  in.VariableFrameRate = true;
  step = ComputeVideoSync(in);
  EXPECT_EQ(step.Count, 1);
  EXPECT_EQ(step.SyncOpts, 15);
}

TEST(VideoSyncTest, DropsPicturesBehindThePosition) {
  TVideoSyncInput in;
  in.TimeBase = 0.04;
  in.SyncOpts = 20;
  in.Ipts = 0.7;  // frame 17.5
  EXPECT_EQ(ComputeVideoSync(in).Count, 0);
  in.Ipts = 0.78;  // 19.5: within 1.1
  EXPECT_EQ(ComputeVideoSync(in).Count, 1);
  in.SyncMethod = 2;  // drop from 0.6 behind
  EXPECT_EQ(ComputeVideoSync(in).Count, 1);
  in.Ipts = 0.775;  // 19.375
  EXPECT_EQ(ComputeVideoSync(in).Count, 0);
}

TEST(VideoSyncTest, MethodZeroAndFineTimeBasesFollowTheInput) {
  TVideoSyncInput in;
  in.SyncMethod = 0;
  in.TimeBase = 0.04;
  in.SyncOpts = 3;
  in.Ipts = 2.0;
  TVideoSyncStep step = ComputeVideoSync(in);
  EXPECT_EQ(step.Count, 1);
  EXPECT_EQ(step.SyncOpts, 50);
  in.SyncMethod = -1;
  in.TimeBase = 0.001;  // automatic: no sync position at 1 ms
  EXPECT_EQ(ComputeVideoSync(in).SyncOpts, 2000);
}

TEST(VideoSyncTest, CropBandsFollowTheNewSize) {
  EXPECT_EQ(ScaleCropBand(720, 10, 480), 14);
  EXPECT_EQ(ScaleCropBand(1280, 20, 640), 40);
  EXPECT_EQ(ScaleCropBand(480, 0, 480), 0);
}

// The task side of the video path, as plain fields.
class TTestHost : public TVideoHost {
 public:
  const void* LogSender() const override { return this; }
  bool StopRequested() const override { return stop; }
  AVFormatContext* OutputContext(const TOutputStreamState&) const override { return nullptr; }
  bool HasBeforeHook() const override { return bool(before); }
  void BeforeHook(int64_t pts, THookAction& action) override { before(pts, action); }
  bool HasCustomHook() const override { return bool(custom); }
  void CustomHook(THookPicture& p) override {
    custom(p.Bitmap, p.FrameNumber, p.PTS, p.Update, p.StopHook);
  }
  void ClearCustomHook() override { custom = nullptr; }
  bool HasPreviewBitmap() const override { return bool(preview); }
  void PreviewBitmap(const TPreviewPicture& p) override {
    preview(p.Bitmap, p.FrameNumber, p.PTS);
  }
  bool& FrameHooksActive() override { return hooks_active; }
  THookAction& HookAction() override { return action; }
  const std::vector<TVideoHookRange>& HookRanges() const override { return ranges; }
  int& HookRangeIndex() override { return range_index; }
  void ProcessFrameHooks(AVFrame*, int64_t pts) override { plugin_calls.push_back(pts); }
  std::mutex& PreviewMutex() override { return preview_lock; }
  uint8_t PreviewFlagsLocked() const override { return preview_flags; }
  void StorePreviewFlagsLocked(uint8_t flags) override { preview_flags = flags; }
  bool ShowPreview(const TPreviewPicture&) override { return ++shown < 3; }

  bool stop = false;
  std::function<void(int64_t, THookAction&)> before;
  std::function<void(TBitmap*, int32_t, int64_t, bool&, bool&)> custom;
  std::function<void(TBitmap*, int32_t, int64_t)> preview;
  bool hooks_active = false;
  THookAction action = haContinue;
  std::vector<TVideoHookRange> ranges;
  int range_index = 0;
  std::vector<int64_t> plugin_calls;
  std::mutex preview_lock;
  uint8_t preview_flags = 0;
  int shown = 0;
};

AVFramePtr Picture(int width, int height, uint8_t luma, AVPixelFormat format = AV_PIX_FMT_YUV420P) {
  AVFramePtr frame(avutil.av_frame_alloc());
  frame->format = format;
  frame->width = width;
  frame->height = height;
  EXPECT_GE(avutil.av_frame_get_buffer(frame.get(), 0), 0);
  for (int y = 0; y < height; ++y) std::memset(frame->data[0] + y * frame->linesize[0], luma, width);
  if (format == AV_PIX_FMT_YUV420P) {
    for (int p = 1; p < 3; ++p) {
      for (int y = 0; y < height / 2; ++y) {
        std::memset(frame->data[p] + y * frame->linesize[p], 128, width / 2);
      }
    }
  }
  return frame;
}

class VideoPathTest : public test::TMediaTest {
 protected:
  // A rawvideo encoder: packets are the pictures, planes one after another.
  void MakeEncoder(int width, int height, AVRational time_base = {1, 25},
                   const char* name = "rawvideo") {
    const AVCodec* codec = avcodec.avcodec_find_encoder_by_name(name);
    ASSERT_NE(codec, nullptr);
    encoder_.reset(avcodec.avcodec_alloc_context3(codec));
    encoder_->width = width;
    encoder_->height = height;
    encoder_->pix_fmt = AV_PIX_FMT_YUV420P;
    encoder_->time_base = time_base;
    encoder_->bit_rate = 400000;
    encoder_->flags |= extra_flags_;
    ASSERT_EQ(avcodec.avcodec_open2(encoder_.get(), codec, nullptr), 0);
    ost_.Encoder = encoder_.get();
    ost_.SyncInput = &ist_;
    decoder_.reset(avcodec.avcodec_alloc_context3(nullptr));
    ist_.Decoder = decoder_.get();
  }

  void MakePath() {
    path_ = std::make_unique<TVideoPath>(settings_, host_,
                                         [this](TOutputStreamState&, AVPacket* packet) {
                                           packets_.emplace_back(packet->data,
                                                                 packet->data + packet->size);
                                           pts_.push_back(packet->pts);
                                           if (stop_after_ > 0 && int(packets_.size()) >= stop_after_)
                                             host_.stop = true;
                                         });
  }

  int Send(AVFrame* picture, int64_t pts_us) {
    ist_.Pts = pts_us;
    return path_->Output(ost_, ist_, picture);
  }

  // Luma of the packet `index` at (x, y) for a rawvideo yuv420p picture.
  uint8_t Luma(size_t index, int x, int y) const {
    return packets_.at(index).at(size_t(y) * size_t(encoder_->width) + size_t(x));
  }

  TVideoPathSettings settings_;
  TTestHost host_;
  int extra_flags_ = 0;
  AVCodecContextPtr encoder_;
  AVCodecContextPtr decoder_;
  TInputStreamState ist_;
  TOutputStreamState ost_;
  std::unique_ptr<TVideoPath> path_;
  std::vector<std::vector<uint8_t>> packets_;
  std::vector<int64_t> pts_;
  int stop_after_ = 0;
};

TEST_F(VideoPathTest, ThirtyFramesASecondIntoTwentyFiveKeepsTheDuration) {
  MakeEncoder(64, 48);
  MakePath();
  AVFramePtr picture = Picture(64, 48, 100);
  const int inputs = 90;  // 3 s at 30 fps
  for (int i = 0; i < inputs; ++i) Send(picture.get(), int64_t(i) * 1000000 / 30);
  const int written = int(packets_.size());
  EXPECT_NEAR(written, 75, 1);  // 3 s at 25 fps, within one frame
  EXPECT_EQ(written, inputs - path_->DropFrames + path_->DupFrames);
  EXPECT_EQ(ost_.FrameNumber, written);
  EXPECT_GT(path_->DropFrames, 0);
  for (size_t i = 1; i < pts_.size(); ++i) EXPECT_EQ(pts_[i], pts_[i - 1] + 1);
}

TEST_F(VideoPathTest, MethodZeroKeepsTimestampsGrowingWhenPicturesShareATick) {
  settings_.SyncMethod = 0;
  MakeEncoder(64, 48, {1, 25}, "mpeg4");
  MakePath();
  AVFramePtr picture = Picture(64, 48, 100);
  for (int i = 0; i < 30; ++i) Send(picture.get(), int64_t(i) * 1000000 / 30);
  path_->Drain(ost_);
  EXPECT_EQ(packets_.size(), 30u);
  EXPECT_EQ(path_->DropFrames + path_->DupFrames, 0);
  for (size_t i = 1; i < pts_.size(); ++i) EXPECT_GT(pts_[i], pts_[i - 1]);
}

TEST_F(VideoPathTest, SlowInputIsDuplicated) {
  MakeEncoder(64, 48);
  MakePath();
  AVFramePtr picture = Picture(64, 48, 100);
  for (int i = 0; i < 10; ++i) Send(picture.get(), int64_t(i) * 100000);  // 10 fps
  path_->Drain(ost_);
  EXPECT_EQ(int(packets_.size()), 10 - path_->DropFrames + path_->DupFrames);
  EXPECT_GE(path_->DupFrames, 10);
  EXPECT_EQ(path_->DropFrames, 0);
}

TEST_F(VideoPathTest, StopRequestEndsADuplicationAtOnce) {
  MakeEncoder(64, 48);
  MakePath();
  AVFramePtr picture = Picture(64, 48, 100);
  Send(picture.get(), 0);
  stop_after_ = 3;
  Send(picture.get(), 440000);  // ten frames ahead: encoded 10 times unless stopped
  EXPECT_EQ(path_->DupFrames, 9);
  EXPECT_EQ(packets_.size(), 3u);
}

TEST_F(VideoPathTest, FrameLimitEndsTheOutput) {
  settings_.MaxFrames = 5;
  MakeEncoder(64, 48);
  MakePath();
  AVFramePtr picture = Picture(64, 48, 100);
  for (int i = 0; i < 8; ++i) Send(picture.get(), int64_t(i) * 40000);
  EXPECT_EQ(packets_.size(), 5u);
  EXPECT_EQ(ost_.FrameNumber, 5);
}

TEST_F(VideoPathTest, LetterboxPadsGiveBlackBars) {
  // 640x480 inside 720x480: 40 columns left and right.
  MakeEncoder(720, 480);
  ost_.VideoPad = 1;
  ost_.PadLeft = ost_.PadRight = 40;
  ost_.TempPicture = Picture(720, 480, 0);
  MakePath();
  AVFramePtr picture = Picture(640, 480, 200);
  Send(picture.get(), 0);
  ASSERT_EQ(packets_.size(), 1u);
  EXPECT_EQ(Luma(0, 0, 0), 16);
  EXPECT_EQ(Luma(0, 39, 240), 16);
  EXPECT_EQ(Luma(0, 40, 240), 200);
  EXPECT_EQ(Luma(0, 679, 479), 200);
  EXPECT_EQ(Luma(0, 680, 100), 16);
  EXPECT_EQ(Luma(0, 719, 479), 16);
  // Chroma of the bars is neutral (128) as for the picture.
  const size_t u_plane = 720 * 480;
  EXPECT_EQ(packets_[0][u_plane], 128);
}

TEST_F(VideoPathTest, PadsAroundAScaledPicture) {
  MakeEncoder(320, 240);
  ost_.VideoPad = 1;
  ost_.PadTop = ost_.PadBottom = 20;
  ost_.VideoResample = 1;
  ost_.TempPicture = Picture(320, 240, 0);
  ost_.ResampleWidth = 640;
  ost_.ResampleHeight = 480;
  ost_.ResamplePixFmt = AV_PIX_FMT_YUV420P;
  ost_.InitialWidth = 640;
  ost_.InitialHeight = 480;
  ost_.ScaleContext.reset(swscale.sws_getContext(640, 480, AV_PIX_FMT_YUV420P, 320, 200,
                                                 AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr,
                                                 nullptr, nullptr));
  settings_.PadColor[0] = 235;  // white bars
  MakePath();
  AVFramePtr picture = Picture(640, 480, 90);
  Send(picture.get(), 0);
  ASSERT_EQ(packets_.size(), 1u);
  EXPECT_EQ(Luma(0, 10, 5), 235);
  EXPECT_NEAR(Luma(0, 160, 120), 90, 1);
  EXPECT_EQ(Luma(0, 10, 235), 235);
}

TEST_F(VideoPathTest, CropCutsTheBands) {
  MakeEncoder(600, 440);
  ost_.VideoCrop = 1;
  ost_.CropTop = ost_.InitialCropTop = 20;
  ost_.CropBottom = ost_.InitialCropBottom = 20;
  ost_.CropLeft = ost_.InitialCropLeft = 20;
  ost_.CropRight = ost_.InitialCropRight = 20;
  MakePath();
  AVFramePtr picture = Picture(640, 480, 50);
  // A bright mark at (20, 20) of the input lands at (0, 0) of the output.
  picture->data[0][20 * picture->linesize[0] + 20] = 250;
  Send(picture.get(), 0);
  ASSERT_EQ(packets_.size(), 1u);
  EXPECT_EQ(Luma(0, 0, 0), 250);
  EXPECT_EQ(Luma(0, 1, 1), 50);
}

TEST_F(VideoPathTest, OddCropOfSubsampledPictureIsRefused) {
  MakeEncoder(639, 480);
  ost_.VideoCrop = 1;
  ost_.CropLeft = ost_.InitialCropLeft = 1;
  MakePath();
  AVFramePtr picture = Picture(640, 480, 50);
  EXPECT_EQ(Send(picture.get(), 0), 0);
  EXPECT_TRUE(packets_.empty());
  settings_.ExitOnError = true;
  MakePath();
  try {
    Send(picture.get(), 40000);
    FAIL() << "no exception";
  } catch (const FFmpegException& e) {
    EXPECT_STREQ(e.what(), "error cropping picture");
  }
}

TEST_F(VideoPathTest, PictureGrowingMidStreamIsScaledWithRecomputedBands) {
  MakeEncoder(640, 470);
  ost_.VideoCrop = 1;
  ost_.CropTop = ost_.InitialCropTop = 10;
  MakePath();
  AVFramePtr small = Picture(640, 480, 60);
  Send(small.get(), 0);
  EXPECT_EQ(ost_.VideoResample, 0);
  AVFramePtr large = Picture(1280, 720, 60);
  std::vector<std::string> lines;
  GetLogger().OnLog = [&](const void*, uint32_t, TLogLevel level, const std::string& text) {
    if (level == llQuiet) lines.push_back(text);
  };
  ist_.FileIndex = 0;
  ist_.StreamIndex = 1;
  Send(large.get(), 40000);
  GetLogger().OnLog = nullptr;
  EXPECT_EQ(lines, std::vector<std::string>{"Input Stream #0.1 frame size changed to 1280x720, yuv420p"});
  EXPECT_EQ(ost_.VideoResample, 1);
  EXPECT_EQ(ost_.CropTop, 14);  // 720 * 10 / 480 = 15, rounded down to even
  EXPECT_EQ(ost_.ResampleWidth, 1280);
  EXPECT_EQ(ost_.ResampleHeight, 706);
  ASSERT_EQ(packets_.size(), 2u);
  EXPECT_EQ(packets_[1].size(), packets_[0].size());
  EXPECT_NEAR(Luma(1, 320, 200), 60, 1);
}

TEST_F(VideoPathTest, StatisticsFileHasOneLinePerEncodedFrame) {
  settings_.StatisticsFile = temp_.File("vstats.log");
  MakeEncoder(64, 48, {1, 25}, "mpeg4");
  MakePath();
  AVFramePtr picture = Picture(64, 48, 100);
  for (int i = 0; i < 12; ++i) Send(picture.get(), int64_t(i) * 40000);
  path_->Drain(ost_);
  path_.reset();  // closes the file
  std::ifstream file(settings_.StatisticsFile);
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), packets_.size());
  EXPECT_EQ(lines.size(), 12u);
  EXPECT_EQ(lines[0].rfind("frame=     1 q= ", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find(" f_size= "), std::string::npos);
  EXPECT_NE(lines[0].find("type= I"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find("type= P"), std::string::npos) << lines[1];
}

TEST_F(VideoPathTest, StatisticsFileThatCannotBeOpenedRaises) {
  settings_.StatisticsFile = temp_.File("missing/vstats.log");
  MakeEncoder(64, 48);
  MakePath();
  AVFramePtr picture = Picture(64, 48, 100);
  try {
    Send(picture.get(), 0);
    FAIL() << "no exception";
  } catch (const FFmpegException& e) {
    EXPECT_EQ(std::string(e.what()), "fopen fail: " + settings_.StatisticsFile);
  }
}

TEST_F(VideoPathTest, PreviewBitmapsAreRateLimited) {
  MakeEncoder(64, 48, {1, 25});
  host_.preview_flags = 2;
  int previews = 0;
  host_.preview = [&](TBitmap* bitmap, int32_t, int64_t) {
    ++previews;
    EXPECT_EQ(bitmap->Width, 64);
  };
  MakePath();
  AVFramePtr picture = Picture(64, 48, 100);
  for (int i = 0; i < 20; ++i) Send(picture.get(), int64_t(i) * 40000);
  EXPECT_EQ(previews, 1);  // all within 100 ms of wall-clock time
  EXPECT_EQ(host_.preview_flags, 2);
}

TEST_F(VideoPathTest, ClosedPreviewWindowClearsItsBit) {
  MakeEncoder(64, 48, {1, 25});
  host_.preview_flags = 1;
  settings_.PreviewInterval = -1;  // every picture
  MakePath();
  AVFramePtr picture = Picture(64, 48, 100);
  for (int i = 0; i < 5; ++i) Send(picture.get(), int64_t(i) * 40000);
  EXPECT_EQ(host_.shown, 3);  // the third answer said "closed"
  EXPECT_EQ(host_.preview_flags, 0);
}

// ---- the frame-hook stage ----

class VideoHookTest : public VideoPathTest {
 protected:
  void Hook(AVFrame* picture, double seconds) {
    ist_.Pts = int64_t(seconds * 1000000);
    path_->RunFrameHooks(ist_, picture);
  }
};

TEST_F(VideoHookTest, RangesDecideWhichPicturesAreHooked) {
  host_.hooks_active = true;
  host_.ranges = {{0, 2000000}, {5000000, 6000000}};
  MakePath();
  AVFramePtr picture = Picture(64, 48, 10);
  Hook(picture.get(), 1.0);
  Hook(picture.get(), 3.0);
  EXPECT_EQ(host_.action, haIgnore);
  Hook(picture.get(), 5.5);
  EXPECT_EQ(host_.range_index, 1);
  Hook(picture.get(), 7.0);
  EXPECT_EQ(host_.action, haStop);
  EXPECT_FALSE(host_.hooks_active);
  Hook(picture.get(), 5.5);  // off for good
  EXPECT_EQ(host_.plugin_calls, (std::vector<int64_t>{1000000, 5500000}));
  EXPECT_EQ(path_->HookFrameNumber, 5);
}

TEST_F(VideoHookTest, BeforeHookStopStopsThePluginChain) {
  host_.hooks_active = true;
  int asked = 0;
  host_.before = [&](int64_t, THookAction& action) {
    ++asked;
    action = asked == 1 ? haContinue : asked == 2 ? haIgnore : haStop;
  };
  MakePath();
  AVFramePtr picture = Picture(64, 48, 10);
  for (int i = 0; i < 5; ++i) Hook(picture.get(), i * 0.04);
  EXPECT_EQ(asked, 3);
  EXPECT_EQ(host_.plugin_calls.size(), 1u);
  EXPECT_FALSE(host_.hooks_active);
}

TEST_F(VideoHookTest, RaisingBeforeHookCountsAsStop) {
  host_.hooks_active = true;
  host_.before = [](int64_t, THookAction&) { throw std::runtime_error("boom"); };
  MakePath();
  AVFramePtr picture = Picture(64, 48, 10);
  Hook(picture.get(), 0);
  EXPECT_EQ(host_.action, haStop);
  EXPECT_FALSE(host_.hooks_active);
  EXPECT_TRUE(host_.plugin_calls.empty());
}

TEST_F(VideoHookTest, CustomHookPaintsIntoThePicture) {
  int calls = 0;
  host_.custom = [&](TBitmap* bitmap, int32_t frame, int64_t, bool&, bool&) {
    ++calls;
    EXPECT_EQ(frame, calls);
    // A white square at (8, 8)..(23, 23).
    for (int y = 8; y < 24; ++y) std::memset(bitmap->ScanLine(y) + 8 * 3, 255, 16 * 3);
  };
  MakePath();
  AVFramePtr picture = Picture(64, 48, 16);
  Hook(picture.get(), 0);
  EXPECT_EQ(calls, 1);
  EXPECT_GT(picture->data[0][16 * picture->linesize[0] + 16], 200);
  EXPECT_LT(picture->data[0][40 * picture->linesize[0] + 40], 30);
}

TEST_F(VideoHookTest, CustomHookWithoutUpdateLeavesThePicture) {
  host_.custom = [&](TBitmap* bitmap, int32_t, int64_t, bool& update, bool&) {
    std::memset(bitmap->ScanLine(0), 255, bitmap->Stride);
    update = false;
  };
  MakePath();
  AVFramePtr picture = Picture(64, 48, 16);
  Hook(picture.get(), 0);
  EXPECT_EQ(picture->data[0][0], 16);
}

TEST_F(VideoHookTest, StopHookOnTheFirstFrameCallsItOnce) {
  int calls = 0;
  host_.custom = [&](TBitmap*, int32_t, int64_t, bool&, bool& stop_hook) {
    ++calls;
    stop_hook = true;
  };
  host_.hooks_active = true;
  MakePath();
  AVFramePtr picture = Picture(64, 48, 16);
  for (int i = 0; i < 4; ++i) Hook(picture.get(), i * 0.04);
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(host_.HasCustomHook());
  EXPECT_EQ(host_.action, haStop);
  EXPECT_FALSE(host_.hooks_active);
  EXPECT_TRUE(host_.plugin_calls.empty());
}

TEST_F(VideoHookTest, RaisingCustomHookKeepsThePictureAndGoesOn) {
  int calls = 0;
  host_.custom = [&](TBitmap* bitmap, int32_t, int64_t, bool&, bool&) {
    ++calls;
    std::memset(bitmap->ScanLine(0), 255, bitmap->Stride);
    throw std::runtime_error("handler failed");
  };
  MakePath();
  AVFramePtr picture = Picture(64, 48, 16);
  Hook(picture.get(), 0);
  Hook(picture.get(), 0.04);
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(picture->data[0][0], 16);
}

TEST_F(VideoHookTest, DeinterlaceBlendsTheOddLines) {
  settings_.Deinterlace = true;
  MakePath();
  AVFramePtr picture = Picture(64, 48, 0);
  for (int y = 0; y < 48; y += 2) std::memset(picture->data[0] + y * picture->linesize[0], 200, 64);
  Hook(picture.get(), 0);
  // Even lines are kept; each odd line is rebuilt from its neighbours
  // ((-0 + 4*200 + 2*0 + 4*200 - 0 + 4) >> 3 = 200): the combing is gone.
  for (int y = 2; y < 46; ++y) EXPECT_EQ(picture->data[0][y * picture->linesize[0] + 7], 200) << y;
  // At the edges the missing neighbours repeat the nearest line.
  EXPECT_EQ(picture->data[0][1 * picture->linesize[0]], (-200 + 800 + 0 + 800 - 0 + 4) >> 3);
  EXPECT_EQ(picture->data[0][47 * picture->linesize[0]], (-0 + 800 + 0 + 0 - 0 + 4) >> 3);
}

TEST_F(VideoHookTest, DeinterlaceOfAnOddSizeIsLeftAlone) {
  settings_.Deinterlace = true;
  MakePath();
  AVFramePtr picture = Picture(66, 48, 0);
  for (int y = 0; y < 48; y += 2) std::memset(picture->data[0] + y * picture->linesize[0], 200, 66);
  Hook(picture.get(), 0);
  EXPECT_EQ(picture->data[0][5 * picture->linesize[0]], 0);
}

}  // namespace
}  // namespace kelvane
