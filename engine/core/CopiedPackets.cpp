// Copied packets of a run: their times moved onto the output's line, a smart
// copy's sound and subtitles held until the cut's first picture is known, and
// the end of a smart copy's sound marked on the packet that reaches past it.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <utility>

#include "engine/core/FFmpegException.h"
#include "engine/core/LibraryOwners.h"
#include "engine/core/Transcoder.h"

namespace kelvane {

// The sound of a smart copy is placed against the cut's first picture, which
// is known only once its group of pictures is settled: until then the packets
// wait. A packet is kept when it reaches into the pictures' time (the
// container trims its lead where it can say so) and begins before their end.
// Subtitle cues wait likewise, by their own times: a cue still showing at the
// first picture is kept from there.
void TTranscoder::CopySmartAudio(TInputStreamState& ist, const AVPacket* packet) {
  if (packet != nullptr) {
    AVPacketPtr copy(avcodec.av_packet_clone(packet));
    if (!copy) throw FFmpegException("av_packet_clone failed");
    int64_t pts = ist.Pts, next = ist.NextPts;
    if (ist.Stream->codecpar->codec_type == AVMEDIA_TYPE_SUBTITLE) {
      if (packet->pts == AV_NOPTS_VALUE) return;
      pts = avutil.av_rescale_q(packet->pts, ist.Stream->time_base, AV_TIME_BASE_Q);
      next = pts + avutil.av_rescale_q(std::max<int64_t>(packet->duration, 0),
                                       ist.Stream->time_base, AV_TIME_BASE_Q);
    }
    held_copies_.push_back({&ist, std::move(copy), pts, next});
  }
  if (first_picture_ != AV_NOPTS_VALUE) ReleaseHeldCopies();
}

void TTranscoder::SmartZeroKnown(const TSmartVideo& smart) {
  first_picture_ = smart.Zero();
  picture_duration_ = smart.PictureDuration();
  if (audio_path_) audio_path_->StartAt(first_picture_);
  ReleaseHeldAudio();
  ReleaseHeldCopies();
}

void TTranscoder::ReleaseHeldCopies() {
  const int64_t zero = first_picture_ != AV_NOPTS_VALUE ? first_picture_ : settings_.start_time;
  while (!held_copies_.empty()) {
    THeldCopy held = std::move(held_copies_.front());
    held_copies_.pop_front();
    TInputStreamState& ist = *held.Stream;
    if (held.Next <= zero || held.Pts >= OutputEnd(ist)) continue;
    for (auto& ost : OutputStreams)
      if (ost->SourceIndex == IndexOf(ist) && !ost->EncodingNeeded)
        CopyPacket(*ost, ist, held.Packet.get(), zero);
  }
}

void TTranscoder::CopyPacket(TOutputStreamState& ost, TInputStreamState& ist,
                             const AVPacket* packet, int64_t zero) {
  const AVRational otb = ost.Stream->time_base;
  const AVRational itb = ist.Stream->time_base;
  const int64_t s = avutil.av_rescale_q(zero != AV_NOPTS_VALUE ? zero : settings_.start_time,
                                        AV_TIME_BASE_Q, otb);
  if (!(packet->flags & AV_PKT_FLAG_KEY) && ost.FrameNumber == 0 &&
      !settings_.copy_initial_nonkeyframes)
    return;
  const int type = ost.Stream->codecpar->codec_type;
  if (type == AVMEDIA_TYPE_AUDIO) {
    AudioSize += static_cast<uint64_t>(packet->size);
  } else if (type == AVMEDIA_TYPE_VIDEO) {
    VideoSize += static_cast<uint64_t>(packet->size);
    ost.SyncOpts++;
  }
  ost.CodedKeyFrame = (packet->flags & AV_PKT_FLAG_KEY) ? 1 : 0;

  AVPacket* out = ost.Packet.get();
  if (avcodec.av_packet_ref(out, packet) < 0) throw FFmpegException("av_packet_ref failed");
  TPacketUnref unref{out};
  // A cut-off file ends in part of a sample; copied, it made the output's last
  // packet one that decoders refuse.
  const AVCodecParameters* par = ist.Stream->codecpar;
  if (type == AVMEDIA_TYPE_AUDIO && par->block_align > 0 && par->codec_id >= AV_CODEC_ID_PCM_S16LE &&
      par->codec_id < AV_CODEC_ID_ADPCM_IMA_QT) {
    out->size -= out->size % par->block_align;
    if (out->size == 0) return;
  }
  out->stream_index = ost.Stream->index;
  out->pts = packet->pts != AV_NOPTS_VALUE ? avutil.av_rescale_q(packet->pts, itb, otb) - s
                                           : AV_NOPTS_VALUE;
  out->dts = packet->dts != AV_NOPTS_VALUE
                 ? avutil.av_rescale_q(packet->dts, itb, otb) - s
                 : avutil.av_rescale_q(ist.Pts, AV_TIME_BASE_Q, otb) - s;
  out->duration = avutil.av_rescale_q(packet->duration, itb, otb);
  FitCopiedTimes(ost, out, s);
  out->flags = packet->flags;
  out->pos = -1;
  WritePacket(ost, out);
  ost.FrameNumber++;
}

// The copied packet's times (output time base, `s` the output's 0) where
// players and muxers need them to be.
void TTranscoder::FitCopiedTimes(const TOutputStreamState& ost, AVPacket* out, int64_t s) {
  const AVRational otb = ost.Stream->time_base;
  const int type = ost.Stream->codecpar->codec_type;
  // Opus's priming lies before 0 as read from Matroska and WebM, which write
  // it as the track's codec delay again: its first sample goes back to 0, or
  // the muxer would move every stream on by it and the sound play early.
  const AVCodecParameters* opar = ost.Stream->codecpar;
  if (type == AVMEDIA_TYPE_AUDIO && opar->initial_padding > 0 &&
      MuxerDelaysTrack(OutputContext(ost)->oformat, opar->codec_id)) {
    const int64_t delay =
        avutil.av_rescale_q(opar->initial_padding, AVRational{1, 48000}, otb);
    if (out->pts != AV_NOPTS_VALUE) out->pts += delay;
    if (out->dts != AV_NOPTS_VALUE) out->dts += delay;
  }
  // A cue of a smart copy that began before the first picture and still
  // shows there starts with it.
  if (type == AVMEDIA_TYPE_SUBTITLE && out->pts != AV_NOPTS_VALUE && out->pts < 0 &&
      settings_.smart_copy) {
    out->duration = std::max<int64_t>(0, out->duration + out->pts);
    out->pts = out->dts = 0;
  }
  // A cue that runs past the end of the cut ends with it: the file is no
  // longer than its pictures and sound.
  if (type == AVMEDIA_TYPE_SUBTITLE && out->pts != AV_NOPTS_VALUE && RecordingEnd() != INT64_MAX) {
    const int64_t end = avutil.av_rescale_q(RecordingEnd(), AV_TIME_BASE_Q, otb) - s;
    if (out->pts + out->duration > end) out->duration = std::max<int64_t>(0, end - out->pts);
  }
}


// The sound of a smart copy ends with the last picture: a packet that reaches
// past it says how many of its samples to leave out, for containers that carry
// it (Matroska's discard padding). Vorbis packets are decoded on the side to
// learn how far they reach.
void TTranscoder::MarkSoundEnd(TOutputStreamState& ost, AVPacket* packet) {
  // A joined file's sound is encoded across its joins and cut exactly there.
  if (join_parts_) return;
  const AVCodecParameters* par = ost.Stream->codecpar;
  if (par->codec_type != AVMEDIA_TYPE_AUDIO || par->sample_rate <= 0 ||
      first_picture_ == AV_NOPTS_VALUE || packet->pts == AV_NOPTS_VALUE || packet->duration <= 0)
    return;
  const int64_t end_us = OutputEnd(*InputStreams[ost.SourceIndex]);
  if (end_us == INT64_MAX) return;
  const AVRational tb = ost.Stream->time_base;
  const int64_t end = avutil.av_rescale_q(end_us - first_picture_, AV_TIME_BASE_Q, tb);
  int64_t samples = 0;
  if (par->codec_id == AV_CODEC_ID_VORBIS) {
    // Vorbis's last packet decodes to more than its duration says.
    samples = DecodedPastEnd(ost, packet, end);
  } else {
    const int64_t over = packet->pts + packet->duration - end;
    if (over <= 0 || over >= packet->duration) return;
    samples = avutil.av_rescale_q(over, tb, AVRational{1, par->sample_rate});
  }
  if (samples <= 0) return;
  uint8_t* side = avcodec.av_packet_new_side_data(packet, AV_PKT_DATA_SKIP_SAMPLES, 10);
  if (side == nullptr) return;
  std::memset(side, 0, 10);
  side[4] = static_cast<uint8_t>(samples & 0xff);
  side[5] = static_cast<uint8_t>((samples >> 8) & 0xff);
  side[6] = static_cast<uint8_t>((samples >> 16) & 0xff);
  side[7] = static_cast<uint8_t>((samples >> 24) & 0xff);
}

int64_t TTranscoder::DecodedPastEnd(const TOutputStreamState& ost, const AVPacket* packet,
                                    int64_t end) {
  auto sound = std::find_if(decoded_sound_.begin(), decoded_sound_.end(),
                            [&](const TDecodedSound& d) { return d.Stream == &ost; });
  if (sound == decoded_sound_.end()) {
    TDecodedSound made;
    made.Stream = &ost;
    const AVCodecParameters* par = ost.Stream->codecpar;
    const AVCodec* codec = avcodec.avcodec_find_decoder(par->codec_id);
    made.Decoder.reset(avcodec.avcodec_alloc_context3(codec));
    made.Frame.reset(avutil.av_frame_alloc());
    if (codec == nullptr || !made.Decoder || !made.Frame ||
        avcodec.avcodec_parameters_to_context(made.Decoder.get(), par) < 0)
      return -1;
    int ret;
    {
      std::lock_guard<std::mutex> lock(CodecLock());
      ret = avcodec.avcodec_open2(made.Decoder.get(), codec, nullptr);
    }
    if (ret < 0) return -1;
    made.First = packet->pts;
    decoded_sound_.push_back(std::move(made));
    sound = decoded_sound_.end() - 1;
  }
  if (avcodec.avcodec_send_packet(sound->Decoder.get(), packet) < 0) return -1;
  int64_t decoded = 0;
  while (avcodec.avcodec_receive_frame(sound->Decoder.get(), sound->Frame.get()) >= 0) {
    decoded += sound->Frame->nb_samples;
    avutil.av_frame_unref(sound->Frame.get());
  }
  sound->Samples += decoded;
  const AVRational rate{1, ost.Stream->codecpar->sample_rate};
  const int64_t past =
      sound->Samples - avutil.av_rescale_q(end - sound->First, ost.Stream->time_base, rate);
  return std::min(past, decoded);
}

}  // namespace kelvane
