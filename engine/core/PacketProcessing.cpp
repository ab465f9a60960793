// Packet processing of a run: decoding through send/receive, the input
// timestamps, handing decoded units to the audio, video and subtitle outputs,
// stream copy (the copied packets themselves in CopiedPackets.cpp), the drain
// of the encoders, and the one packet writer.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "binding/FFmpegLogger.h"
#include "binding/KeyFrameSeek.h"
#include "engine/core/FFmpegException.h"
#include "engine/core/LibraryOwners.h"
#include "engine/core/Transcoder.h"

namespace kelvane {

namespace {

constexpr int kSubtitleBufferSize = 1024 * 1024;
// Sound held for the cut's first picture, at most (µs after the start time).
constexpr int64_t kMaxHeldAudioUs = 5000000;

int64_t ToMicroseconds(int64_t ts, AVRational tb) {
  return avutil.av_rescale_q(ts, tb, AV_TIME_BASE_Q);
}

// Length of one picture of the stream in µs, from the frame or the stream's rate.
int64_t PictureDuration(const TInputStreamState& ist, const AVFrame* frame) {
  if (frame != nullptr && frame->pkt_duration > 0)
    return ToMicroseconds(frame->pkt_duration, ist.Stream->time_base);
  AVRational rate = ist.Stream->avg_frame_rate;
  if (rate.num <= 0 || rate.den <= 0) rate = ist.Stream->r_frame_rate;
  if ((rate.num <= 0 || rate.den <= 0) && ist.Decoder != nullptr) rate = ist.Decoder->framerate;
  if (rate.num <= 0 || rate.den <= 0) return 0;
  int64_t duration = avutil.av_rescale(AV_TIME_BASE, rate.den, rate.num);
  if (frame != nullptr && frame->repeat_pict > 0) duration += duration * frame->repeat_pict / 2;
  return duration;
}

}  // namespace

uint64_t TTranscoder::AudioBytes() const {
  return AudioSize + (audio_path_ ? audio_path_->AudioSize : 0);
}

uint64_t TTranscoder::VideoBytes() const {
  return VideoSize + (video_path_ ? video_path_->VideoSize : 0);
}

int32_t TTranscoder::DupFrames() const { return video_path_ ? video_path_->DupFrames : 0; }

int32_t TTranscoder::DropFrames() const { return video_path_ ? video_path_->DropFrames : 0; }

int TTranscoder::ProcessPacket(TInputStreamState& ist, const AVPacket* packet) {
  if (ist.NextPts == AV_NOPTS_VALUE) ist.NextPts = ist.Pts;
  if (packet != nullptr && packet->dts != AV_NOPTS_VALUE)
    ist.Pts = ist.NextPts = ToMicroseconds(packet->dts, ist.Stream->time_base);

  const int type = ist.Stream->codecpar->codec_type;
  if (type != AVMEDIA_TYPE_AUDIO && type != AVMEDIA_TYPE_VIDEO && type != AVMEDIA_TYPE_SUBTITLE)
    return -1;
  if (!ist.DecodingNeeded) return CopyInputPacket(ist, packet);
  if (type == AVMEDIA_TYPE_SUBTITLE) return DecodeSubtitle(ist, packet);
  return DecodeFrames(ist, packet);
}

// A packet of a stream that is only copied: its duration moves the stream's
// clock, and the copying outputs write it. A null packet drains them.
int TTranscoder::CopyInputPacket(TInputStreamState& ist, const AVPacket* packet) {
  if (packet == nullptr) {
    if (drain_encoders_) DrainEncoders(ist);
    return 0;
  }
  const int type = ist.Stream->codecpar->codec_type;
  ist.Pts = ist.NextPts;
  int64_t duration =
      packet->duration > 0 ? ToMicroseconds(packet->duration, ist.Stream->time_base) : 0;
  if (duration == 0) {
    const AVCodecParameters* par = ist.Stream->codecpar;
    if (type == AVMEDIA_TYPE_AUDIO && par->sample_rate > 0)
      duration = int64_t(AV_TIME_BASE) * par->frame_size / par->sample_rate;
    else if (type == AVMEDIA_TYPE_VIDEO)
      duration = PictureDuration(ist, nullptr);
  }
  ist.NextPts += duration;
  RateEmulation(ist);
  if (settings_.smart_copy && !smart_videos_.empty() &&
      (type == AVMEDIA_TYPE_AUDIO || type == AVMEDIA_TYPE_SUBTITLE)) {
    CopySmartAudio(ist, packet);
    return 0;
  }
  const bool allowed = OutputAllowed(ist);
  for (auto& ost : OutputStreams) {
    if (ost->SourceIndex != IndexOf(ist) || ost->EncodingNeeded) continue;
    if (TSmartVideo* smart = SmartVideo(*ost)) {
      smart->Packet(packet);
      if (first_picture_ == AV_NOPTS_VALUE && smart->Zero() != AV_NOPTS_VALUE)
        SmartZeroKnown(*smart);
    } else if (allowed) {
      CopyPacket(*ost, ist, packet);
    }
  }
  return 0;
}

// A subtitle packet, decoded once for the outputs that encode it and copied
// for the others. -1 when it does not decode.
int TTranscoder::DecodeSubtitle(TInputStreamState& ist, const AVPacket* packet) {
  if (packet == nullptr) {
    if (drain_encoders_) DrainEncoders(ist);
    return 0;
  }
  TSubtitle subtitle;
  int got = 0;
  int ret = avcodec.avcodec_decode_subtitle2(ist.Decoder, subtitle.get(), &got,
                                             const_cast<AVPacket*>(packet));
  if (ret < 0) return -1;
  if (!got) return 0;
  ist.Pts = ist.NextPts;
  RateEmulation(ist);
  if (!OutputAllowed(ist)) return 0;
  for (auto& ost : OutputStreams) {
    if (ost->SourceIndex != IndexOf(ist)) continue;
    if (ost->EncodingNeeded)
      OutputSubtitle(*ost, ist, *subtitle, packet->pts);
    else
      CopyPacket(*ost, ist, packet);
  }
  return 0;
}

// An audio or video packet through the decoder; every frame it gives goes on
// to the outputs. A null packet drains the decoder (and the filters and
// encoders behind it). -1 when the packet does not decode.
int TTranscoder::DecodeFrames(TInputStreamState& ist, const AVPacket* packet) {
  const int type = ist.Stream->codecpar->codec_type;
  AVCodecContext* dec = ist.Decoder;
  int ret = avcodec.avcodec_send_packet(dec, packet);
  if (ret < 0 && ret != AVERROR_EOF) {
    if (packet == nullptr) return 0;
    return -1;
  }
  AVFrame* frame = ist.Decoded.get();
  for (;;) {
    ret = avcodec.avcodec_receive_frame(dec, frame);
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) break;
    if (ret < 0) return -1;
    TFrameUnref unref{frame};
    if (type == AVMEDIA_TYPE_AUDIO)
      OutputAudioFrame(ist, frame);
    else
      OutputVideoFrame(ist, frame);
  }
  if (packet == nullptr) {
    if (type == AVMEDIA_TYPE_VIDEO && ist.FilterSource != nullptr) FlushFilters(ist);
    if (drain_encoders_) DrainEncoders(ist);
  }
  return 0;
}

int TTranscoder::IndexOf(const TInputStreamState& ist) const {
  return InputFiles[ist.FileIndex].FirstStream + ist.StreamIndex;
}

void TTranscoder::RateEmulation(const TInputStreamState& ist) {
  if (!settings_.rate_emu) return;
  const int64_t target = ist.Pts;
  const int64_t now = avutil.av_gettime() - ist.Start;
  if (target - now > 1000)
    std::this_thread::sleep_for(std::chrono::milliseconds((target - now) / 1000));
}

// Units before the start time are decoded but not output; units at or after
// the end of the recording time are not output either, so that what the loop
// read past the end (interleaving, decoder delay) does not lengthen the output.
bool TTranscoder::OutputAllowed(const TInputStreamState& ist) const {
  if (join_parts_) {
    // Times a part of a join carries may lie a rounding off the exact
    // pictures' times; a picture is far longer than this.
    constexpr int64_t kRounding = 500;
    if (BeforeTarget(ist.Pts, part_start_ - kRounding, trFirstAtOrAfter) ||
        ist.Pts >= part_end_ - kRounding)
      return false;
  }
  if (settings_.start_time != 0 && BeforeTarget(ist.Pts, settings_.start_time, trFirstAtOrAfter))
    return false;
  return ist.Pts < RecordingEnd();
}

int64_t TTranscoder::RecordingEnd() const {
  if (settings_.recording_time >= INT64_MAX - settings_.start_time) return INT64_MAX;
  return settings_.start_time + settings_.recording_time;
}

void TTranscoder::OutputAudioFrame(TInputStreamState& ist, AVFrame* frame) {
  if (frame->best_effort_timestamp != AV_NOPTS_VALUE)
    ist.Pts = ToMicroseconds(frame->best_effort_timestamp, ist.Stream->time_base);
  else
    ist.Pts = ist.NextPts;
  if (!ToPackedS16(ist, frame)) return;
  const int channels = ist.ToS16Layout->nb_channels;
  if (ist.ToS16Rate > 0 && channels > 0)
    ist.NextPts = ist.Pts + (int64_t(AV_TIME_BASE) / 2) * audio_size_ /
                                (int64_t(ist.ToS16Rate) * channels);
  if (settings_.audio_volume != 256)
    AdjustVolume(audio_buffer_.data(), audio_size_, settings_.audio_volume);
  RateEmulation(ist);
  if (awaiting_picture_ && ist.NextPts > settings_.start_time) {
    if (ist.Pts - settings_.start_time <= kMaxHeldAudioUs) {
      held_audio_.push_back(
          {&ist, ist.Pts, std::vector<uint8_t>(audio_buffer_.begin(),
                                               audio_buffer_.begin() + audio_size_)});
      return;
    }
    // No picture so long after the start time: the sound goes out from there.
    ReleaseHeldAudio();
  }
  OutputAudioBlock(ist, audio_buffer_.data(), audio_size_);
}

void TTranscoder::OutputAudioBlock(TInputStreamState& ist, uint8_t* samples, int size) {
  const int channels = ist.ToS16Layout->nb_channels;
  if (ist.ToS16Rate <= 0 || channels <= 0) return;
  // A block that begins before the start and ends after it keeps only its
  // samples from the start on, so the output's sound begins with its picture.
  const int64_t start = join_parts_                       ? part_start_
                        : first_picture_ != AV_NOPTS_VALUE ? first_picture_
                                                           : settings_.start_time;
  const bool cut = start != 0 || join_parts_;
  const int64_t next = ist.Pts + int64_t(AV_TIME_BASE) * (size / (2 * channels)) / ist.ToS16Rate;
  if (cut && ist.Pts < start && next > start) {
    const int64_t skip = avutil.av_rescale(start - ist.Pts, ist.ToS16Rate, AV_TIME_BASE);
    const int64_t bytes = skip * channels * 2;
    if (bytes > 0 && bytes < size) {
      samples += bytes;
      size -= static_cast<int>(bytes);
      ist.Pts = start;
    }
  }
  if ((cut && ist.Pts < start) || ist.Pts >= OutputEnd(ist)) return;
  // A block reaching past the end is cut there.
  const int64_t end = OutputEnd(ist);
  if (end != INT64_MAX) {
    const int64_t keep = avutil.av_rescale(end - ist.Pts, ist.ToS16Rate, AV_TIME_BASE);
    if (keep * channels * 2 < size) size = static_cast<int>(keep) * channels * 2;
    if (size <= 0) return;
  }
  for (auto& ost : OutputStreams) {
    if (ost->SourceIndex != IndexOf(ist) || !ost->EncodingNeeded) continue;
    audio_path_->Output(*ost, ist, samples, size);
  }
}

void TTranscoder::FirstPictureOutput(TInputStreamState& ist, const AVFrame* frame) {
  awaiting_picture_ = false;
  first_picture_ = ist.Pts;
  picture_duration_ = PictureDuration(ist, frame);
  audio_path_->StartAt(first_picture_);
  video_path_->StartAt(first_picture_);
  ReleaseHeldAudio();
}

void TTranscoder::ReleaseHeldAudio() {
  awaiting_picture_ = false;
  std::vector<THeldAudio> held;
  held.swap(held_audio_);
  for (THeldAudio& block : held) {
    TInputStreamState& ist = *block.Stream;
    const int64_t pts = ist.Pts;
    ist.Pts = block.Pts;
    OutputAudioBlock(ist, block.Samples.data(), static_cast<int>(block.Samples.size()));
    ist.Pts = pts;
  }
}

int64_t TTranscoder::OutputEnd(const TInputStreamState& ist) const {
  // A joined part ends exactly: its end is that of its last picture.
  if (join_parts_) return std::min(part_end_, RecordingEnd());
  const int64_t end = RecordingEnd();
  if (ist.Stream->codecpar->codec_type != AVMEDIA_TYPE_AUDIO || end == INT64_MAX ||
      first_picture_ == AV_NOPTS_VALUE || picture_duration_ <= 0 || end <= first_picture_)
    return end;
  // Pictures are output up to the recording end; their last one lasts beyond it.
  const int64_t pictures = (end - first_picture_ + picture_duration_ - 1) / picture_duration_;
  return first_picture_ + pictures * picture_duration_;
}

void TTranscoder::OutputVideoFrame(TInputStreamState& ist, AVFrame* frame) {
  if (frame->best_effort_timestamp != AV_NOPTS_VALUE)
    ist.Pts = ToMicroseconds(frame->best_effort_timestamp, ist.Stream->time_base);
  else
    ist.Pts = ist.NextPts;
  ist.NextPts = ist.Pts + PictureDuration(ist, frame);
  ist.Quality = static_cast<float>(frame->quality);

  video_path_->RunFrameHooks(ist, frame);
  RateEmulation(ist);
  if (!OutputAllowed(ist)) return;
  if (awaiting_picture_) {
    for (auto& ost : OutputStreams) {
      if (ost->SourceIndex == IndexOf(ist) && ost->EncodingNeeded) {
        FirstPictureOutput(ist, frame);
        break;
      }
    }
  }

  if (ist.FilterSource != nullptr) {
    frame->pts = ist.Pts;
    if (avfilter.av_buffersrc_add_frame_flags(ist.FilterSource, frame,
                                              AV_BUFFERSRC_FLAG_KEEP_REF) < 0)
      throw FFmpegException("Error while feeding the filter graph");
    PullFilteredPictures(ist);
    return;
  }
  for (auto& ost : OutputStreams) {
    if (ost->SourceIndex != IndexOf(ist) || !ost->EncodingNeeded) continue;
    video_path_->Output(*ost, ist, frame);
  }
}

// Takes every picture the graph has ready and hands it to the video outputs.
void TTranscoder::PullFilteredPictures(TInputStreamState& ist) {
  if (!ist.FilterPicture) ist.FilterPicture.reset(avutil.av_frame_alloc());
  AVFrame* picture = ist.FilterPicture.get();
  const AVRational tb = avfilter.av_buffersink_get_time_base(ist.FilterSink);
  for (;;) {
    avutil.av_frame_unref(picture);
    int ret = avfilter.av_buffersink_get_frame(ist.FilterSink, picture);
    if (ret < 0) break;
    if (picture->pts != AV_NOPTS_VALUE) ist.Pts = avutil.av_rescale_q(picture->pts, tb,
                                                                      AV_TIME_BASE_Q);
    for (auto& ost : OutputStreams) {
      if (ost->SourceIndex != IndexOf(ist) || !ost->EncodingNeeded) continue;
      if (picture->sample_aspect_ratio.num > 0)
        ost->Encoder->sample_aspect_ratio = picture->sample_aspect_ratio;
      video_path_->Output(*ost, ist, picture);
    }
  }
  avutil.av_frame_unref(picture);
}

void TTranscoder::FlushFilters(TInputStreamState& ist) {
  if (avfilter.av_buffersrc_add_frame_flags(ist.FilterSource, nullptr, 0) >= 0)
    PullFilteredPictures(ist);
}

// Decoded audio becomes packed signed 16-bit at the decoder's rate and layout.
bool TTranscoder::ToPackedS16(TInputStreamState& ist, AVFrame* frame) {
  TChannelLayout layout;
  if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC || frame->ch_layout.nb_channels <= 0) {
    int channels = frame->ch_layout.nb_channels > 0 ? frame->ch_layout.nb_channels
                                                    : ist.Decoder->ch_layout.nb_channels;
    if (channels <= 0) return false;
    avutil.av_channel_layout_default(layout.get(), channels);
  } else {
    avutil.av_channel_layout_copy(layout.get(), &frame->ch_layout);
  }

  const int channels = layout->nb_channels;
  const int samples = frame->nb_samples;
  const AVSampleFormat format = static_cast<AVSampleFormat>(frame->format);
  if (!ist.ToS16 || format != ist.ToS16Format || frame->sample_rate != ist.ToS16Rate ||
      avutil.av_channel_layout_compare(layout.get(), ist.ToS16Layout.get()) != 0) {
    SwrContextPtr swr;
    int ret = 0;
    {
      TPointerLoan loan(swr);
      ret = swresample.swr_alloc_set_opts2(loan.Address(), layout.get(), AV_SAMPLE_FMT_S16,
                                           frame->sample_rate, layout.get(), format,
                                           frame->sample_rate, 0, nullptr);
    }
    if (ret < 0 || swresample.swr_init(swr.get()) < 0)
      throw FFmpegException("Cannot convert decoded audio to 16-bit samples");
    ist.ToS16 = std::move(swr);
    ist.ToS16Format = format;
    ist.ToS16Rate = frame->sample_rate;
    ist.ToS16Layout.CopyFrom(*layout.get());
  }
  const size_t needed = static_cast<size_t>(samples) * channels * 2;
  if (audio_buffer_.size() < needed) audio_buffer_.resize(needed);
  uint8_t* out[1] = {audio_buffer_.data()};
  int converted = swresample.swr_convert(ist.ToS16.get(), out, samples,
                                         const_cast<const uint8_t**>(frame->extended_data),
                                         samples);
  if (converted < 0) throw FFmpegException("Cannot convert decoded audio to 16-bit samples");
  audio_size_ = converted * channels * 2;
  return audio_size_ > 0;
}

void TTranscoder::DrainEncoders(TInputStreamState& ist) {
  for (auto& ost : OutputStreams) {
    if (ost->SourceIndex != IndexOf(ist) || !ost->EncodingNeeded) continue;
    switch (ost->Stream->codecpar->codec_type) {
      case AVMEDIA_TYPE_AUDIO:
        audio_path_->Drain(*ost);
        break;
      case AVMEDIA_TYPE_VIDEO:
        video_path_->Drain(*ost);
        break;
      default:
        break;
    }
  }
}

void TTranscoder::OutputSubtitle(TOutputStreamState& ost, TInputStreamState& ist,
                                 AVSubtitle& subtitle, int64_t pts) {
  if (pts == AV_NOPTS_VALUE) {
    if (settings_.exit_on_error) throw FFmpegException("Subtitle packets must have a pts");
    GetLogger().Log(host_.LogSender(), llError, "Subtitle packets must have a pts");
    return;
  }
  if (subtitle_buffer_.empty()) subtitle_buffer_.resize(kSubtitleBufferSize);
  AVCodecContext* enc = ost.Encoder;
  const int count = enc->codec_id == AV_CODEC_ID_DVB_SUBTITLE ? 2 : 1;
  const unsigned rects = subtitle.num_rects;
  // The rectangles are freed with the subtitle: their count must be back by then.
  struct TRestore {
    AVSubtitle& subtitle;
    unsigned rects;
    ~TRestore() { subtitle.num_rects = rects; }
  } restore{subtitle, rects};
  for (int i = 0; i < count; ++i) {
    subtitle.pts = avutil.av_rescale_q(pts, ist.Stream->time_base, AV_TIME_BASE_Q) +
                   avutil.av_rescale_q(subtitle.start_display_time, AVRational{1, 1000},
                                       AV_TIME_BASE_Q);
    subtitle.end_display_time -= subtitle.start_display_time;
    subtitle.start_display_time = 0;
    // DVB: the second packet clears the picture.
    if (i == 1) subtitle.num_rects = 0;
    int size = avcodec.avcodec_encode_subtitle(enc, subtitle_buffer_.data(),
                                               static_cast<int>(subtitle_buffer_.size()),
                                               &subtitle);
    if (size < 0) throw FFmpegException("Subtitle encoding failed");
    AVPacket* packet = ost.Packet.get();
    if (avcodec.av_new_packet(packet, size) < 0) throw FFmpegException("Subtitle encoding failed");
    TPacketUnref unref{packet};
    std::memcpy(packet->data, subtitle_buffer_.data(), static_cast<size_t>(size));
    packet->pts = avutil.av_rescale_q(subtitle.pts, AV_TIME_BASE_Q, ost.Stream->time_base);
    if (count == 2) {
      const int64_t display = i == 0 ? subtitle.start_display_time : subtitle.end_display_time;
      packet->pts += avutil.av_rescale_q(90 * display, AVRational{1, 90000},
                                         ost.Stream->time_base);
    }
    packet->dts = packet->pts;
    WritePacket(ost, packet);
  }
}

// Passes a packet through the stream's bitstream filters, from `stage` on, and
// writes what comes out.
void TTranscoder::FilterAndWrite(TOutputStreamState& ost, AVPacket* packet, size_t stage) {
  // In join mode every group writes through the first group's filters.
  TOutputStreamState& owner =
      JoinMode() ? *OutputStreams[ost.StreamIndex] : ost;
  if (stage >= owner.Bitstream.size()) {
    AVFormatContext* oc = OutputContext(ost);
    packet->stream_index = ost.Stream->index;
    const int64_t start = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
    if (start != AV_NOPTS_VALUE) {
      const int64_t end = start + std::max<int64_t>(packet->duration, 0);
      if (end > ost.CurrentPts) ost.CurrentPts = end;
    }
    int ret = avformat.av_interleaved_write_frame(oc, packet);
    if (ret < 0) throw FFmpegException(ErrorText("av_interleaved_write_frame()", ret));
    ++ost.PacketsWritten;
    return;
  }
  AVBSFContext* bsf = owner.Bitstream[stage].get();
  int ret = avcodec.av_bsf_send_packet(bsf, packet);
  if (ret < 0) {
    const std::string text = ErrorText(
        FormatText("%s failed for stream %d, codec %s", bsf->filter->name, packet->stream_index,
                   ost.EncodingNeeded && ost.Encoder && ost.Encoder->codec
                       ? ost.Encoder->codec->name
                       : "copy"),
        ret);
    if (settings_.exit_on_error) throw FFmpegException(text);
    GetLogger().Log(host_.LogSender(), llError, text);
    FilterAndWrite(ost, packet, stage + 1);
    return;
  }
  AVPacketPtr filtered(avcodec.av_packet_alloc());
  if (!filtered) throw FFmpegException("av_packet_alloc failed");
  while (avcodec.av_bsf_receive_packet(bsf, filtered.get()) >= 0) {
    TPacketUnref unref{filtered.get()};
    FilterAndWrite(ost, filtered.get(), stage + 1);
  }
}

void TTranscoder::WritePacket(TOutputStreamState& ost, AVPacket* packet) {
  if (settings_.smart_copy) MarkSoundEnd(ost, packet);
  FilterAndWrite(ost, packet, 0);
}

}  // namespace kelvane
