// Codec parameters of each output stream: stream copies (and their smart
// copies), and the video encoding set-up: colour, crop, pad and scaling.
#include "engine/core/Transcoder.h"

#include <memory>
#include <utility>

#include "binding/PictureRotation.h"
#include "engine/core/FFmpegException.h"

namespace kelvane {

// Stream copy parameters, or the encoding set-up of each output stream.
void TTranscoder::SetUpCodecParameters() {
  for (size_t i = 0; i < OutputStreams.size(); ++i) {
    TOutputStreamState& ost = *OutputStreams[i];
    TInputStreamState& ist = *InputStreams[ost.SourceIndex];
    // In join mode the groups after the first share the first group's streams.
    const bool shared = JoinMode() && static_cast<int>(i) >= group_size_;
    AVCodecContext* enc = ost.Encoder;
    AVCodecContext* dec = ist.Decoder;
    if (enc == nullptr || dec == nullptr) throw FFmpegException("invalid codec_type of output stream");

    if (!shared) {
      AVDictionaryEntry* lang = avutil.av_dict_get(ist.Stream->metadata, "language", nullptr, 0);
      if (lang && !avutil.av_dict_get(ost.Stream->metadata, "language", nullptr, 0))
        avutil.av_dict_set(&ost.Stream->metadata, "language", lang->value, 0);
      ost.Stream->disposition = ist.Stream->disposition;
      enc->bits_per_raw_sample = dec->bits_per_raw_sample;
      enc->chroma_sample_location = dec->chroma_sample_location;
    }

    if (!ost.EncodingNeeded) {
      if (!shared) SetUpStreamCopy(ost, ist);
      // Copied packets keep the input's time stamps, and some inputs (MPEG
      // program streams) leave the presentation time of reordered pictures
      // out; muxers such as Matroska refuse those. The demuxer fills them in.
      if (ist.Stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
        InputFiles[ist.FileIndex].Context->flags |= AVFMT_FLAG_GENPTS;
      continue;
    }

    switch (enc->codec_type) {
      case AVMEDIA_TYPE_AUDIO: {
        ost.ReformatPair = -6;
        ost.AudioResample =
            (enc->sample_rate != dec->sample_rate || settings_.audio_sync_method > 1) ? 1 : 0;
        ist.DecodingNeeded = true;
        break;
      }
      case AVMEDIA_TYPE_VIDEO:
        SetUpVideoEncoding(ost, ist);
        ist.DecodingNeeded = true;
        break;
      case AVMEDIA_TYPE_SUBTITLE:
        ist.DecodingNeeded = true;
        break;
      default:
        throw FFmpegException("invalid codec_type of output stream");
    }
    if (!shared && (enc->flags & (AV_CODEC_FLAG_PASS1 | AV_CODEC_FLAG_PASS2)))
      OpenTwoPassLog(ost, static_cast<int>(i));
  }
}

void TTranscoder::SetUpStreamCopy(TOutputStreamState& ost, TInputStreamState& ist) {
  AVCodecParameters* in = ist.Stream->codecpar;
  AVCodecParameters* out = ost.Stream->codecpar;
  AVCodecContext* enc = ost.Encoder;
  const uint32_t forced_tag = enc->codec_tag;
  const AVOutputFormat* format = OutputContext(ost)->oformat;

  CheckCopyAllowed(in->codec_type);
  if (avcodec.avcodec_parameters_copy(out, in) < 0) throw FFmpegException("av_mallocz fail");
  uint32_t tag = forced_tag;
  if (tag == 0) {
    const AVCodecTag* const* table = format->codec_tag;
    if (table == nullptr || avformat.av_codec_get_id(table, in->codec_tag) != AV_CODEC_ID_NONE ||
        avformat.av_codec_get_tag(table, in->codec_id) == 0)
      tag = in->codec_tag;
  }
  out->codec_tag = tag;
  if (out->codec_type == AVMEDIA_TYPE_AUDIO &&
      ((out->block_align == 1 && out->codec_id == AV_CODEC_ID_MP3) ||
       out->codec_id == AV_CODEC_ID_AC3))
    out->block_align = 0;

  // The copy context mirrors the stream so that reports and positions can use it.
  avcodec.avcodec_parameters_to_context(enc, out);
  AVRational tb = ist.Stream->time_base;
  const AVCodecContext* dec = ist.Decoder;
  if (dec->time_base.num > 0 && dec->time_base.den > 0 && dec->ticks_per_frame > 0 &&
      av_q2d(dec->time_base) * dec->ticks_per_frame > av_q2d(tb) && av_q2d(tb) < 0.001) {
    tb = dec->time_base;
    tb.num *= dec->ticks_per_frame;
  }
  enc->time_base = tb;
  ost.Stream->time_base = tb;
  ost.Stream->avg_frame_rate = ist.Stream->avg_frame_rate;
  ost.Stream->r_frame_rate = ist.Stream->r_frame_rate;
  ost.Stream->sample_aspect_ratio = ist.Stream->sample_aspect_ratio;
  if (settings_.smart_copy && in->codec_type == AVMEDIA_TYPE_VIDEO)
    StartSmartCopy(ost, ist, format);
}

// A copy's frames are not decoded: what needs them refuses the copy.
void TTranscoder::CheckCopyAllowed(int codec_type) const {
  switch (codec_type) {
    case AVMEDIA_TYPE_AUDIO:
      if (settings_.audio_volume != 256)
        throw FFmpegException("-acodec copy and -vol are incompatible (frames are not decoded)");
      break;
    case AVMEDIA_TYPE_VIDEO: {
      const TPictureWatchers watchers = host_.PictureWatchers();
      if (watchers.CustomHook)
        throw FFmpegException(
            "-vcodec copy and CustomHook are incompatible (frames are not decoded)");
      if (watchers.FrameHooks)
        throw FFmpegException("-vcodec copy and -vhook are incompatible (frames are not decoded)");
      // A smart copy decodes only its edges: previews show what there is.
      if (watchers.Previews && !settings_.smart_copy)
        throw FFmpegException(
            "-vcodec copy and PostHooks are incompatible (frames are not decoded)");
      break;
    }
    case AVMEDIA_TYPE_SUBTITLE:
      break;
    default:
      throw FFmpegException("invalid codec_type of output stream");
  }
}

void TTranscoder::StartSmartCopy(TOutputStreamState& ost, TInputStreamState& ist,
                                 const AVOutputFormat* format) {
  const AVCodecParameters* in = ist.Stream->codecpar;
  TCutReport& report = records_.CutReport != nullptr ? *records_.CutReport : own_cut_report_;
  report = TCutReport{};
  if (JoinMode()) RefuseSmartJoin(in, format);
  auto smart = std::make_unique<TSmartVideo>(*this, ost, ist, settings_.start_time,
                                             RecordingEnd(), settings_.smart_reencode,
                                             host_.LogSender(), report);
  smart->SetUp();
  if (JoinMode() && smart->Whole())
    throw FFmpegException("The segments cannot be joined without re-encoding them: " +
                         report.Reason);
  smart_videos_.emplace_back(&ost, std::move(smart));
}

namespace {

// The full-range ("J") twin of a studio-range YUV format, or none.
AVPixelFormat FullRangeTwin(AVPixelFormat format) {
  switch (format) {
    case AV_PIX_FMT_YUV420P: return AV_PIX_FMT_YUVJ420P;
    case AV_PIX_FMT_YUV422P: return AV_PIX_FMT_YUVJ422P;
    case AV_PIX_FMT_YUV444P: return AV_PIX_FMT_YUVJ444P;
    case AV_PIX_FMT_YUV440P: return AV_PIX_FMT_YUVJ440P;
    default: return AV_PIX_FMT_NONE;
  }
}

bool IsFullRangeFormat(AVPixelFormat format) {
  return format == AV_PIX_FMT_YUVJ420P || format == AV_PIX_FMT_YUVJ422P ||
         format == AV_PIX_FMT_YUVJ444P || format == AV_PIX_FMT_YUVJ440P ||
         format == AV_PIX_FMT_YUVJ411P;
}

bool Lists(const AVPixelFormat* list, AVPixelFormat format) {
  for (; list != nullptr && *list != AV_PIX_FMT_NONE; ++list) {
    if (*list == format) return true;
  }
  return false;
}

// The source's colour description goes with its pictures. A full-range source
// keeps its range in the encoder's full-range twin of the chosen format when
// the encoder takes it; otherwise the scaler brings it to the studio range
// that format means. RGB and palette pictures carry no YUV matrix or range.
void KeepColourDescription(AVCodecContext* enc, const AVCodec* codec, const AVCodecContext* dec) {
  const AVPixelFormat twin = FullRangeTwin(enc->pix_fmt);
  if (IsFullRangeFormat(dec->pix_fmt) && twin == dec->pix_fmt && codec != nullptr &&
      Lists(codec->pix_fmts, twin)) {
    enc->pix_fmt = twin;
  }
  if (enc->color_primaries == AVCOL_PRI_UNSPECIFIED) enc->color_primaries = dec->color_primaries;
  if (enc->color_trc == AVCOL_TRC_UNSPECIFIED) enc->color_trc = dec->color_trc;
  const AVPixFmtDescriptor* desc = avutil.av_pix_fmt_desc_get(enc->pix_fmt);
  if (desc == nullptr || (desc->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL)) ||
      desc->nb_components < 3) {
    return;
  }
  if (enc->colorspace == AVCOL_SPC_UNSPECIFIED) enc->colorspace = dec->colorspace;
  if (enc->color_range == AVCOL_RANGE_UNSPECIFIED) {
    if (IsFullRangeFormat(enc->pix_fmt)) {
      enc->color_range = AVCOL_RANGE_JPEG;
    } else if (IsFullRangeFormat(dec->pix_fmt)) {
      enc->color_range = AVCOL_RANGE_MPEG;
    } else {
      enc->color_range = dec->color_range;
    }
  }
}

// The picture an output stream's pictures are scaled or padded into, in the
// encoder's size and format.
void AllocTempPicture(TOutputStreamState& ost, const char* message) {
  const AVCodecContext* enc = ost.Encoder;
  ost.TempPicture.reset(avutil.av_frame_alloc());
  if (!ost.TempPicture) throw FFmpegException(message);
  ost.TempPicture->format = enc->pix_fmt;
  ost.TempPicture->width = enc->width;
  ost.TempPicture->height = enc->height;
  if (avutil.av_frame_get_buffer(ost.TempPicture.get(), 0) < 0) throw FFmpegException(message);
}

}  // namespace

void TTranscoder::SetUpVideoEncoding(TOutputStreamState& ost, TInputStreamState& ist) {
  AVCodecContext* enc = ost.Encoder;
  AVCodecContext* dec = ist.Decoder;
  const TRunSettings& s = settings_;
  if (enc->pix_fmt == AV_PIX_FMT_NONE)
    throw FFmpegException("Video pixel format is unknown, stream cannot be decoded");
  const TOutputStream& record = outputs_[ost.FileIndex]->streams[ost.StreamIndex];
  KeepColourDescription(enc, record.encoder, dec);
  // Without a frame rate of its own a variable-rate output keeps the source's
  // picture times, in the source's time base.
  if (record.source_times && ist.Stream->time_base.num > 0 && ist.Stream->time_base.den > 0)
    enc->time_base = ist.Stream->time_base;
  ost.VideoCrop = (s.crop_top + s.crop_bottom + s.crop_left + s.crop_right) != 0;
  ost.VideoPad = (s.pad_top + s.pad_bottom + s.pad_left + s.pad_right) != 0;
  // The pictures the path crops and scales are the decoded ones turned.
  const bool swapped = TurnSwapsSides(ost.Rotation);
  const int in_width = swapped ? dec->height : dec->width;
  const int in_height = swapped ? dec->width : dec->height;
  const AVPixelFormat in_format = RotatedFormat(dec->pix_fmt, ost.Rotation);
  const bool same_size =
      enc->width == in_width - s.crop_left - s.crop_right + s.pad_left + s.pad_right &&
      enc->height == in_height - s.crop_top - s.crop_bottom + s.pad_top + s.pad_bottom &&
      enc->pix_fmt == in_format;
  ost.VideoResample = same_size ? 0 : 1;
  if (ost.VideoCrop) {
    ost.CropTop = ost.InitialCropTop = s.crop_top;
    ost.CropBottom = ost.InitialCropBottom = s.crop_bottom;
    ost.CropLeft = ost.InitialCropLeft = s.crop_left;
    ost.CropRight = ost.InitialCropRight = s.crop_right;
  }
  if (ost.VideoPad) {
    ost.PadTop = s.pad_top;
    ost.PadBottom = s.pad_bottom;
    ost.PadLeft = s.pad_left;
    ost.PadRight = s.pad_right;
    if (!ost.VideoResample) AllocTempPicture(ost, "avpicture_alloc fail");
  }
  // With a filter graph the graph's sink gives the encoder its pictures.
  if (ost.VideoResample && !s.filters_in_use) SetUpScaler(ost, in_width, in_height, in_format);
  if (s.filters_in_use) ConfigureFilters(ost, ist);
}

// The scaler from the cropped, turned decoded pictures to the encoder's size
// inside the padding, and the picture it writes to.
void TTranscoder::SetUpScaler(TOutputStreamState& ost, int in_width, int in_height,
                              AVPixelFormat in_format) {
  AVCodecContext* enc = ost.Encoder;
  const TRunSettings& s = settings_;
  AllocTempPicture(ost, "Cannot allocate temp picture, check pix fmt");
  ost.ScaleContext.reset(swscale.sws_getContext(
      in_width - s.crop_left - s.crop_right, in_height - s.crop_top - s.crop_bottom,
      in_format, enc->width - s.pad_left - s.pad_right,
      enc->height - s.pad_top - s.pad_bottom, enc->pix_fmt, s.sws_flags, nullptr, nullptr,
      nullptr));
  if (!ost.ScaleContext) throw FFmpegException("Cannot get resampling context");
  if (s.filters_in_use) {
    ost.ResampleHeight = in_height;
  } else {
    ost.InitialWidth = in_width;
    ost.InitialHeight = in_height;
    ost.ResampleWidth = in_width - s.crop_left - s.crop_right;
    ost.ResampleHeight = in_height - s.crop_top - s.crop_bottom;
    ost.ResamplePixFmt = in_format;
  }
  enc->bits_per_raw_sample = 0;
}

}  // namespace kelvane
