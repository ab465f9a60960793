// The output side of the video path: each picture cropped, scaled, padded and
// encoded, its packets written; previews and per-picture statistics.
#include "engine/core/VideoPath.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <exception>

#include "binding/FFmpegLogger.h"
#include "binding/PictureRotation.h"
#include "engine/core/FFmpegException.h"

namespace kelvane {

TVideoPath::~TVideoPath() = default;

void TVideoPath::LogAt(int level, const std::string& text) {
  GetLogger().Log(host_.LogSender(), TLogLevel(level), text);
}

// ---- output ----

bool TVideoPath::ReportPictureError(const char* text) {
  if (settings_.ExitOnError) throw FFmpegException(text);
  LogAt(llError, text);
  return false;
}

void TVideoPath::EnsureTempPicture(TOutputStreamState& ost) {
  if (ost.TempPicture) return;
  AVCodecContext* enc = ost.Encoder;
  ost.TempPicture.reset(avutil.av_frame_alloc());
  if (!ost.TempPicture) throw FFmpegException("Cannot allocate temp picture, check pix fmt");
  ost.TempPicture->format = enc->pix_fmt;
  ost.TempPicture->width = enc->width;
  ost.TempPicture->height = enc->height;
  if (avutil.av_frame_get_buffer(ost.TempPicture.get(), 0) < 0) {
    ost.TempPicture.reset();
    throw FFmpegException("Cannot allocate temp picture, check pix fmt");
  }
}

void TVideoPath::CheckGeometry(TOutputStreamState& ost, const TInputStreamState& ist,
                               const AVFrame* in) {
  AVCodecContext* enc = ost.Encoder;
  const int inner_width = enc->width - ost.PadLeft - ost.PadRight;
  const int inner_height = enc->height - ost.PadTop - ost.PadBottom;
  // Set-up records the geometry it made the scaler for; reaching the rebuild
  // below with a recorded geometry means the input changed.
  bool changed = ost.ResampleWidth > 0;
  if (!ost.VideoResample) {
    if (in->width - ost.CropLeft - ost.CropRight == inner_width &&
        in->height - ost.CropTop - ost.CropBottom == inner_height && in->format == enc->pix_fmt) {
      return;
    }
    // The input no longer has the encoder's geometry: scale from now on
    // rather than hand the encoder a picture of the wrong size.
    ost.VideoResample = 1;
    ost.InitialWidth = inner_width + ost.InitialCropLeft + ost.InitialCropRight;
    ost.InitialHeight = inner_height + ost.InitialCropTop + ost.InitialCropBottom;
    ost.ResampleWidth = ost.ResampleHeight = ost.ResamplePixFmt = -1;
    changed = true;
    EnsureTempPicture(ost);
  }
  if (in->width - ost.CropLeft - ost.CropRight == ost.ResampleWidth &&
      in->height - ost.CropTop - ost.CropBottom == ost.ResampleHeight &&
      in->format == ost.ResamplePixFmt && ost.ScaleContext) {
    return;
  }
  if (changed) {
    const char* name = avutil.av_get_pix_fmt_name(AVPixelFormat(in->format));
    GetLogger().Logf(host_.LogSender(), llQuiet,
                     "Input Stream #%d.%d frame size changed to %dx%d, %s", ist.FileIndex,
                     ist.StreamIndex, in->width, in->height, name != nullptr ? name : "none");
  }
  if (ost.VideoCrop) {
    ost.CropTop = ScaleCropBand(in->height, ost.InitialCropTop, ost.InitialHeight);
    ost.CropBottom = ScaleCropBand(in->height, ost.InitialCropBottom, ost.InitialHeight);
    ost.CropLeft = ScaleCropBand(in->width, ost.InitialCropLeft, ost.InitialWidth);
    ost.CropRight = ScaleCropBand(in->width, ost.InitialCropRight, ost.InitialWidth);
  }
  ost.ResampleWidth = in->width - ost.CropLeft - ost.CropRight;
  ost.ResampleHeight = in->height - ost.CropTop - ost.CropBottom;
  ost.ResamplePixFmt = in->format;
  ost.ScaleContext.reset(swscale.sws_getContext(
      ost.ResampleWidth, ost.ResampleHeight, AVPixelFormat(ost.ResamplePixFmt), inner_width,
      inner_height, enc->pix_fmt, settings_.SwsFlags, nullptr, nullptr, nullptr));
  if (!ost.ScaleContext) throw FFmpegException("Cannot get resampling context");
}

namespace {

// A view of the picture inside the stream's crop bands, in `view`; null when
// it cannot be made.
AVFrame* CroppedView(AVFramePtr& view, AVFrame* in, const TOutputStreamState& ost) {
  if (!view) view.reset(avutil.av_frame_alloc());
  if (!view || !CropPicture(view.get(), in, ost.CropTop, ost.CropLeft,
                            in->width - ost.CropLeft - ost.CropRight,
                            in->height - ost.CropTop - ost.CropBottom)) {
    return nullptr;
  }
  return view.get();
}

// Copies `source` into the middle of the padded picture `padded`, through
// `view`. False when the two do not fit together.
bool CopyIntoPadding(AVFramePtr& view, AVFrame* padded, const AVFrame* source,
                     const TOutputStreamState& ost) {
  const AVCodecContext* enc = ost.Encoder;
  if (!view) view.reset(avutil.av_frame_alloc());
  const int inner_width = std::min(source->width, enc->width - ost.PadLeft - ost.PadRight);
  const int inner_height = std::min(source->height, enc->height - ost.PadTop - ost.PadBottom);
  if (source->format != padded->format ||
      !CropPicture(view.get(), padded, ost.PadTop, ost.PadLeft, inner_width, inner_height)) {
    return false;
  }
  avutil.av_image_copy(view->data, view->linesize, const_cast<const uint8_t**>(source->data),
                       source->linesize, AVPixelFormat(source->format), inner_width,
                       inner_height);
  return true;
}

}  // namespace

bool TVideoPath::PreparePicture(TOutputStreamState& ost, TInputStreamState& ist, AVFrame* in,
                                AVFrame*& final_picture) {
  AVCodecContext* enc = ost.Encoder;
  const bool filters = settings_.FiltersInUse;
  if (!filters && ost.Rotation != 0) {
    // Upright first: the crop, the scaler and the bars work on what is seen.
    ost.TurnedPicture = RotatePicture(in, ost.Rotation, ost.TurnScaler);
    if (!ost.TurnedPicture) return ReportPictureError("error turning picture");
    in = ost.TurnedPicture.get();
  }
  if (!filters) CheckGeometry(ost, ist, in);

  AVFrame* formatted = in;
  if (!filters && ost.VideoCrop) {
    formatted = CroppedView(crop_view_, in, ost);
    if (formatted == nullptr) return ReportPictureError("error cropping picture");
  }

  const bool scaling = !filters && ost.VideoResample;
  if (ost.VideoPad || scaling) {
    EnsureTempPicture(ost);
    // The encoder may still hold the previous picture: never write into it.
    // Every pixel is written anew below, so a new buffer serves without
    // copying the old picture into it.
    if (!avutil.av_frame_is_writable(ost.TempPicture.get())) {
      ost.TempPicture.reset();
      EnsureTempPicture(ost);
    }
  }
  AVFrame* final = formatted;
  AVFrame* pad_source = formatted;
  AVFrame* scale_target = filters ? nullptr : ost.TempPicture.get();
  if (ost.VideoPad) {
    final = ost.TempPicture.get();
    if (scaling) {
      if (!scale_view_) scale_view_.reset(avutil.av_frame_alloc());
      if (!scale_view_ ||
          !CropPicture(scale_view_.get(), ost.TempPicture.get(), ost.PadTop, ost.PadLeft,
                       enc->width - ost.PadLeft - ost.PadRight,
                       enc->height - ost.PadTop - ost.PadBottom)) {
        return ReportPictureError("error padding picture");
      }
      scale_target = scale_view_.get();
    }
  }
  if (scaling) {
    pad_source = nullptr;
    final = ost.TempPicture.get();
    swscale.sws_scale(ost.ScaleContext.get(), formatted->data, formatted->linesize, 0,
                      ost.ResampleHeight, scale_target->data, scale_target->linesize);
  }
  if (ost.VideoPad) {
    if (pad_source != nullptr && !CopyIntoPadding(scale_view_, final, pad_source, ost))
      return ReportPictureError("error padding picture");
    FillBorders(final, ost.PadTop, ost.PadBottom, ost.PadLeft, ost.PadRight,
                settings_.PadColor);
  }
  final_picture = final;
  return true;
}

int TVideoPath::Output(TOutputStreamState& ost, TInputStreamState& ist, AVFrame* picture) {
  AVCodecContext* enc = ost.Encoder;
  if (enc == nullptr || picture == nullptr) return 0;
  TInputStreamState& sync = ost.SyncInput != nullptr ? *ost.SyncInput : ist;
  const AVFormatContext* output = host_.OutputContext(ost);

  TVideoSyncInput in;
  in.SyncMethod = settings_.SyncMethod;
  in.TimeBase = av_q2d(enc->time_base);
  in.Ipts = double(sync.Pts - settings_.StartTime) / 1000000.0;
  in.SyncOpts = ost.SyncOpts;
  in.VariableFrameRate =
      output != nullptr && output->oformat != nullptr &&
      (output->oformat->flags & AVFMT_VARIABLE_FPS) != 0;
  TVideoSyncStep step = ComputeVideoSync(in);
  ost.SyncOpts = step.SyncOpts;
  int64_t count = step.Count;
  if (count == 0) {
    ++DropFrames;
    if (settings_.Verbosity > 2) LogAt(llVerbose, "*** drop!");
  } else if (count > 1) {
    DupFrames += int32_t(count - 1);
    if (settings_.Verbosity > 2) LogAt(llVerbose, FormatText("*** %d dup!", int(count - 1)));
  }
  count = std::min<int64_t>(count, int64_t(settings_.MaxFrames) - ost.FrameNumber);
  if (count <= 0) return 0;

  AVFrame* final_picture = nullptr;
  int last_size = 0;
  if (PreparePicture(ost, ist, picture, final_picture)) {
    for (int64_t i = 0; i < count; ++i) {
      if (host_.StopRequested()) break;
      EncodePicture(ost, ist, final_picture, picture, last_size);
    }
  }
  if (crop_view_) avutil.av_frame_unref(crop_view_.get());
  if (scale_view_) avutil.av_frame_unref(scale_view_.get());
  ost.TurnedPicture.reset();
  return last_size;
}

void TVideoPath::EncodePicture(TOutputStreamState& ost, TInputStreamState& ist, AVFrame* source,
                               const AVFrame* in, int& last_size) {
  AVCodecContext* enc = ost.Encoder;
  if (!encode_frame_) encode_frame_.reset(avutil.av_frame_alloc());
  AVFrame* frame = encode_frame_.get();
  avutil.av_frame_unref(frame);
  if (frame == nullptr || avutil.av_frame_ref(frame, source) < 0) {
    throw FFmpegException("Video encoding failed");
  }
  // Encoders refuse a timestamp that does not grow; without a sync position
  // (sync method 0) two pictures can fall on the same encoder tick.
  auto last = last_pts_.find(enc);
  if (last != last_pts_.end() && ost.SyncOpts <= last->second) ost.SyncOpts = last->second + 1;
  last_pts_[enc] = ost.SyncOpts;
  frame->pts = ost.SyncOpts;
  frame->interlaced_frame = in->interlaced_frame;
  if (enc->flags & (AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME)) {
    frame->top_field_first =
        settings_.TopFieldFirst == -1 ? in->top_field_first : settings_.TopFieldFirst;
  }
  frame->quality = settings_.SameQuality ? int(std::lrint(ist.Quality)) : enc->global_quality;
  if (settings_.MeThreshold == 0) frame->pict_type = AV_PICTURE_TYPE_NONE;
  frame->key_frame = 0;

  if (avcodec.avcodec_send_frame(enc, frame) < 0) throw FFmpegException("Video encoding failed");
  std::vector<int> sizes;
  ReceivePackets(ost, &sizes);
  if (!sizes.empty()) Preview(frame, enc, ost.DisplayRotation);
  avutil.av_frame_unref(frame);
  ++ost.SyncOpts;
  ++ost.FrameNumber;
  for (int size : sizes) {
    last_size = size;
    if (!settings_.StatisticsFile.empty()) WriteStatistics(ost, size);
  }
}

void TVideoPath::ReceivePackets(TOutputStreamState& ost, std::vector<int>* sizes) {
  AVCodecContext* enc = ost.Encoder;
  if (!packet_) packet_.reset(avcodec.av_packet_alloc());
  AVPacket* packet = packet_.get();
  for (;;) {
    int result = avcodec.avcodec_receive_packet(enc, packet);
    if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return;
    if (result < 0) throw FFmpegException("Video encoding failed");
    size_t side_size = 0;
    const uint8_t* stats =
        avcodec.av_packet_get_side_data(packet, AV_PKT_DATA_QUALITY_STATS, &side_size);
    coded_pict_type_ = packet->flags & AV_PKT_FLAG_KEY ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    if (stats != nullptr && side_size >= 6) {
      ost.CodedQuality = int32_t(uint32_t(stats[0]) | uint32_t(stats[1]) << 8 |
                                 uint32_t(stats[2]) << 16 | uint32_t(stats[3]) << 24);
      coded_pict_type_ = AVPictureType(stats[4]);
      const int errors = std::min<int>(stats[5], 4);
      for (int i = 0; i < errors && size_t(8 + 8 * i + 8) <= side_size; ++i) {
        uint64_t value = 0;
        for (int b = 7; b >= 0; --b) value = value << 8 | stats[8 + 8 * i + b];
        ost.CodedError[i] = value;
        ost.TotalError[i] += value;
      }
    }
    ost.CodedKeyFrame = (packet->flags & AV_PKT_FLAG_KEY) ? 1 : 0;
    ost.CodedPts = packet->pts;
    packet->stream_index = ost.Stream != nullptr ? ost.Stream->index : ost.StreamIndex;
    if (ost.Stream != nullptr) {
      avcodec.av_packet_rescale_ts(packet, enc->time_base, ost.Stream->time_base);
    }
    const int size = packet->size;
    VideoSize += uint64_t(size);
    writer_(ost, packet);
    avcodec.av_packet_unref(packet);
    if (ost.LogFile && enc->stats_out != nullptr) {
      myutil.my_fprintf(ost.LogFile.get(), "%s", enc->stats_out);
    }
    if (sizes != nullptr) sizes->push_back(size);
  }
}

void TVideoPath::Drain(TOutputStreamState& ost) {
  AVCodecContext* enc = ost.Encoder;
  if (enc == nullptr || !avcodec.avcodec_is_open(enc)) return;
  if (avcodec.avcodec_send_frame(enc, nullptr) < 0) return;  // drained already
  std::vector<int> sizes;
  ReceivePackets(ost, &sizes);
  if (!settings_.StatisticsFile.empty()) {
    for (int size : sizes) WriteStatistics(ost, size);
  }
}

// ---- preview and statistics ----

void TVideoPath::Preview(const AVFrame* picture, const AVCodecContext* enc, int32_t rotation) {
  std::lock_guard<std::mutex> lock(host_.PreviewMutex());
  uint8_t flags = host_.PreviewFlagsLocked();
  if (flags == 0) return;
  const int64_t now = avutil.av_gettime();
  if (now - last_preview_ <= settings_.PreviewInterval) return;
  const int64_t pts = avutil.av_rescale_q(picture->pts, enc->time_base, AV_TIME_BASE_Q);
  // A picture the output's display matrix turns is previewed as it will be seen.
  AVFramePtr turned;
  if (rotation != 0) {
    turned = RotatePicture(picture, rotation, preview_turn_scaler_);
    if (turned) picture = turned.get();
  }
  if ((flags & 2) && host_.HasPreviewBitmap()) {
    if (ConvertToBitmap(preview_converter_, picture)) {
      host_.PreviewBitmap({preview_converter_.Bitmap.get(), HookFrameNumber, pts});
    } else {
      LogAt(llError, "Cannot initialize the toRGB conversion context");
      flags &= uint8_t(~2);
    }
    last_preview_ = now;
  } else if (flags & 1) {
    bool shown = ConvertToBitmap(preview_converter_, picture);
    if (!shown) {
      LogAt(llError, "Cannot initialize the toRGB conversion context");
    } else {
      shown = host_.ShowPreview({preview_converter_.Bitmap.get(), HookFrameNumber, pts});
    }
    if (!shown) flags &= uint8_t(~1);
    last_preview_ = now;
  }
  host_.StorePreviewFlagsLocked(flags);
}

void TVideoPath::WriteStatistics(TOutputStreamState& ost, int size) {
  if (!statistics_) {
    statistics_.reset(myutil.my_fopen(settings_.StatisticsFile.c_str(), "w"));
    if (!statistics_) throw FFmpegException("fopen fail: " + settings_.StatisticsFile);
  }
  const AVCodecContext* enc = ost.Encoder;
  myutil.my_fprintf(statistics_.get(), "frame= %5d q= %2.1f ", ost.FrameNumber,
                    ost.CodedQuality / double(FF_QP2LAMBDA));
  if (enc->flags & AV_CODEC_FLAG_PSNR) {
    myutil.my_fprintf(statistics_.get(), "PSNR= %6.2f ",
                      -10.0 * std::log10(double(ost.CodedError[0]) /
                                         (double(enc->width) * enc->height * 255.0 * 255.0)));
  }
  myutil.my_fprintf(statistics_.get(), "f_size= %6d ", size);
  const double tb = av_q2d(enc->time_base);
  double t = double(ost.SyncOpts) * tb;
  if (t < 0.01) t = 0.01;
  const double bitrate = tb > 0 ? size * 8 / tb / 1000.0 : 0;
  const double average = double(VideoSize) * 8 / t / 1000.0;
  myutil.my_fprintf(statistics_.get(),
                    "s_size= %8.0fkB time= %0.3f br= %7.1fkbits/s avg_br= %7.1fkbits/s ",
                    double(VideoSize) / 1024.0, t, bitrate, average);
  myutil.my_fprintf(statistics_.get(), "type= %c\n", avutil.av_get_picture_type_char(coded_pict_type_));
}

}  // namespace kelvane
