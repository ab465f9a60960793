// The encoding side of the audio path: opening an encoder, the encoder's
// priming, whole encoder frames through the FIFO, the packets written, and the
// drain at the end.
#include "engine/core/AudioPath.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "binding/FFmpegLogger.h"
#include "engine/core/FFmpegException.h"
#include "engine/core/LibraryOwners.h"

namespace kelvane {

bool MuxerSkipsPriming(const AVOutputFormat* format, AVCodecID codec) {
  if (format == nullptr || format->name == nullptr) return false;
  for (const char* name : {"mp4", "mov", "3gp", "3g2", "psp", "ipod", "ismv", "f4v"}) {
    if (std::strcmp(format->name, name) == 0) return true;
  }
  // The MP3 muxer writes the encoder's delay and padding into its LAME
  // header, which readers honour.
  if (codec == AV_CODEC_ID_MP3 && std::strcmp(format->name, "mp3") == 0) return true;
  // Ogg and Matroska carry Opus's pre-skip, which every Opus decoder honours.
  if (codec == AV_CODEC_ID_OPUS) {
    for (const char* name : {"ogg", "oga", "opus", "matroska", "webm"}) {
      if (std::strcmp(format->name, name) == 0) return true;
    }
  }
  return false;
}

bool MuxerDelaysTrack(const AVOutputFormat* format, AVCodecID codec) {
  return codec == AV_CODEC_ID_OPUS && format != nullptr && format->name != nullptr &&
         (std::strcmp(format->name, "matroska") == 0 || std::strcmp(format->name, "webm") == 0);
}

bool TAudioPath::OpenEncoder(TOutputStreamState& ost, bool skips_priming, std::string* error,
                             int* code, bool delays_track) {
  encoders_.erase(ost.Encoder);
  priming_.erase(ost.Encoder);
  std::unique_ptr<TAudioEncoder> encoder =
      OpenAudioEncoder(ost.Encoder, ost.EncoderCodec, nullptr, error, code);
  if (!encoder) return false;
  encoders_[ost.Encoder] = std::move(encoder);
  AVCodecContext* enc = ost.Encoder;
  // The library's WMA decoders leave out the first frame after the priming
  // as well, so the stream begins with a frame of silence before the sound,
  // and its times start that much earlier.
  const bool decoder_skips =
      enc->codec_id == AV_CODEC_ID_WMAV1 || enc->codec_id == AV_CODEC_ID_WMAV2;
  const bool delayed = enc->initial_padding > 0 && enc->sample_rate > 0;
  if (!skips_priming && !decoder_skips && delayed) {
    TPriming& priming = priming_[enc];
    priming.ToDrop = enc->initial_padding;
    priming.Shift = avutil.av_rescale_q(enc->initial_padding, AVRational{1, enc->sample_rate},
                                        enc->time_base);
  }
  // The reader takes the codec delay off every time: the priming's first
  // sample goes at 0, so that the sound after it lines up with the pictures
  // (below 0, the muxer moved every stream on by the delay instead).
  if (skips_priming && delays_track && delayed) {
    priming_[enc].Shift = avutil.av_rescale_q(enc->initial_padding,
                                              AVRational{1, enc->sample_rate}, enc->time_base);
  }
  EnsureFifo(ost);
  if (decoder_skips && delayed && enc->frame_size > 1) {
    priming_[enc].Shift = -avutil.av_rescale_q(enc->frame_size, AVRational{1, enc->sample_rate},
                                               enc->time_base);
    LeadIn(ost, enc->frame_size);
  }
  return true;
}

void TAudioPath::LeadIn(TOutputStreamState& ost, int samples) {
  const AVCodecContext* enc = ost.Encoder;
  const int channels = enc->ch_layout.nb_channels;
  const bool planar = avutil.av_sample_fmt_is_planar(enc->sample_fmt);
  const int planes = planar ? channels : 1;
  const int bytes =
      samples * avutil.av_get_bytes_per_sample(enc->sample_fmt) * (planar ? 1 : channels);
  if (bytes <= 0 || planes > AV_NUM_DATA_POINTERS) return;
  // Zero bytes are silence in every sample format the encoders take.
  std::vector<uint8_t> silence(size_t(bytes) * size_t(planes), 0);
  void* pointers[AV_NUM_DATA_POINTERS] = {};
  for (int p = 0; p < planes; ++p) pointers[p] = silence.data() + size_t(p) * size_t(bytes);
  if (avutil.av_audio_fifo_write(ost.Fifo.get(), pointers, samples) < samples) {
    throw FFmpegException("av_fifo_realloc2() failed");
  }
  // Not output time: the sync arithmetic must not count them.
  ost.SyncOpts -= samples;
}

int TAudioPath::DropPriming(TOutputStreamState& ost, const uint8_t** data, int samples) {
  auto found = priming_.find(ost.Encoder);
  if (found == priming_.end() || found->second.ToDrop <= 0 || samples <= 0) return samples;
  const int drop = int(std::min<int64_t>(found->second.ToDrop, samples));
  found->second.ToDrop -= drop;
  // The dropped samples still count as output: the sync arithmetic must not
  // fill them in again.
  ost.SyncOpts += drop;
  const AVCodecContext* enc = ost.Encoder;
  const bool planar = avutil.av_sample_fmt_is_planar(enc->sample_fmt);
  const int channels = enc->ch_layout.nb_channels;
  const int64_t step = int64_t(drop) * avutil.av_get_bytes_per_sample(enc->sample_fmt) *
                       (planar ? 1 : channels);
  for (int p = 0; p < (planar ? channels : 1) && p < AV_NUM_DATA_POINTERS; ++p) data[p] += step;
  return samples - drop;
}

TAudioEncoder* TAudioPath::EncoderOf(TOutputStreamState& ost) {
  auto found = encoders_.find(ost.Encoder);
  if (found != encoders_.end()) return found->second.get();
  if (ost.Encoder == nullptr || !avcodec.avcodec_is_open(ost.Encoder)) return nullptr;
  // Opened by the run itself: wrap it without opening again.
  auto wrapped = WrapOpenedAudioEncoder(ost.Encoder);
  TAudioEncoder* result = wrapped.get();
  encoders_[ost.Encoder] = std::move(wrapped);
  return result;
}

// Samples in the encoder's format go out: through the FIFO in whole encoder
// frames, or, for PCM-like encoders, as one frame of their own.
void TAudioPath::EncodeSamples(TOutputStreamState& ost, const uint8_t** planes, int samples) {
  AVCodecContext* enc = ost.Encoder;
  fed_.insert(enc);
  if (enc->frame_size > 1) {
    if (avutil.av_audio_fifo_write(ost.Fifo.get(),
                                   reinterpret_cast<void**>(const_cast<uint8_t**>(planes)),
                                   samples) < samples) {
      throw FFmpegException("av_fifo_realloc2() failed");
    }
    EncodeFrames(ost, false);
    return;
  }
  ost.SyncOpts += samples;
  AVFrame* frame = NewFrame(enc, samples);
  avutil.av_samples_copy(frame->extended_data, const_cast<uint8_t* const*>(planes), 0, 0,
                         samples, enc->ch_layout.nb_channels, enc->sample_fmt);
  EncodeFrame(ost, frame);
}

// The path's work frame, emptied and given room for `samples` samples in the
// encoder's format.
AVFrame* TAudioPath::NewFrame(const AVCodecContext* enc, int samples) {
  if (!frame_) frame_.reset(avutil.av_frame_alloc());
  AVFrame* frame = frame_.get();
  avutil.av_frame_unref(frame);
  frame->nb_samples = samples;
  frame->format = enc->sample_fmt;
  frame->sample_rate = enc->sample_rate;
  avutil.av_channel_layout_copy(&frame->ch_layout, &enc->ch_layout);
  if (avutil.av_frame_get_buffer(frame, 0) < 0) throw FFmpegException("av_malloc failed");
  return frame;
}

void TAudioPath::EncodeFrames(TOutputStreamState& ost, bool final_frame) {
  AVCodecContext* enc = ost.Encoder;
  const int frame_size = enc->frame_size;
  for (;;) {
    int available = avutil.av_audio_fifo_size(ost.Fifo.get());
    if (available <= 0) return;
    if (available < frame_size && !final_frame) return;
    int take = std::min(available, frame_size);
    int nb_samples = take;
    if (final_frame && take < frame_size) {
      TAudioEncoder* encoder = EncoderOf(ost);
      if (encoder == nullptr || !encoder->AcceptsShortLastFrame()) {
        int bytes = avutil.av_get_bytes_per_sample(enc->sample_fmt) * enc->ch_layout.nb_channels *
                    frame_size;
        if (bytes > kAudioDecodeBufferBytes) throw FFmpegException("frame_bytes invalid.");
        nb_samples = frame_size;
      }
    }
    AVFrame* frame = NewFrame(enc, nb_samples);
    if (nb_samples > take) {
      avutil.av_samples_set_silence(frame->extended_data, take, nb_samples - take,
                                    enc->ch_layout.nb_channels, enc->sample_fmt);
    }
    if (avutil.av_audio_fifo_read(ost.Fifo.get(), reinterpret_cast<void**>(frame->extended_data),
                                  take) < take) {
      throw FFmpegException("Audio encoding failed");
    }
    EncodeFrame(ost, frame);
    ost.SyncOpts += frame_size;
  }
}

void TAudioPath::EncodeFrame(TOutputStreamState& ost, AVFrame* frame) {
  TAudioEncoder* encoder = EncoderOf(ost);
  if (encoder == nullptr) throw FFmpegException("Audio encoding failed");
  frame->pts = ost.EncoderPts;
  ost.EncoderPts += frame->nb_samples;
  if (encoder->SendFrame(frame) < 0) throw FFmpegException("Audio encoding failed");
  ReceivePackets(ost, *encoder);
}

void TAudioPath::ReceivePackets(TOutputStreamState& ost, TAudioEncoder& encoder) {
  if (!packet_) packet_.reset(avcodec.av_packet_alloc());
  AVPacket* packet = packet_.get();
  for (;;) {
    int result = encoder.ReceivePacket(packet);
    if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return;
    if (result < 0) throw FFmpegException("Audio encoding failed");
    auto priming = priming_.find(ost.Encoder);
    if (priming != priming_.end()) {
      if (packet->pts != AV_NOPTS_VALUE) packet->pts += priming->second.Shift;
      if (packet->dts != AV_NOPTS_VALUE) packet->dts += priming->second.Shift;
    }
    ost.CodedPts = packet->pts;
    ost.CodedKeyFrame = 1;
    packet->flags |= AV_PKT_FLAG_KEY;
    packet->stream_index = ost.Stream != nullptr ? ost.Stream->index : ost.StreamIndex;
    if (ost.Stream != nullptr) {
      avcodec.av_packet_rescale_ts(packet, ost.Encoder->time_base, ost.Stream->time_base);
    }
    AudioSize += uint64_t(packet->size);
    writer_(ost, packet);
    avcodec.av_packet_unref(packet);
  }
}

void TAudioPath::Drain(TOutputStreamState& ost) {
  TAudioEncoder* encoder = EncoderOf(ost);
  if (encoder == nullptr) return;
  if (ost.Fifo && ost.Encoder->frame_size > 1 && fed_.count(ost.Encoder) == 0) {
    // No sound at all: the lead-in alone would make a stream of silence.
    avutil.av_audio_fifo_drain(ost.Fifo.get(), avutil.av_audio_fifo_size(ost.Fifo.get()));
  } else if (ost.Fifo && ost.Encoder->frame_size > 1) {
    AVCodecContext* enc = ost.Encoder;
    auto priming = priming_.find(enc);
    const bool wma = priming != priming_.end() && priming->second.Shift < 0;
    // An encoder with a delay that gives no delayed packets at the end holds
    // the sound's last samples back: silence as long as its delay brings
    // them out.
    const bool flushes = enc->codec != nullptr && (enc->codec->capabilities & AV_CODEC_CAP_DELAY);
    if (!wma && !flushes && enc->initial_padding > 0) LeadIn(ost, enc->initial_padding);
    EncodeFrames(ost, true);
    // WMA's decoders give a frame's sound only with the next frame: one more
    // frame of silence brings out the last one.
    if (wma) {
      LeadIn(ost, enc->frame_size);
      EncodeFrames(ost, true);
    }
  }
  if (encoder->SendFrame(nullptr) < 0) return;  // already drained
  ReceivePackets(ost, *encoder);
}

}  // namespace kelvane
