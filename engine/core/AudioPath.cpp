#include "engine/core/AudioPath.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstring>

#include "binding/FFmpegLogger.h"
#include "engine/core/FFmpegException.h"
#include "engine/core/LibraryOwners.h"

namespace kelvane {

namespace {

// A layout swresample can rematrix: native order, or the default for the count.
// `result` must be empty.
void UsableLayout(const AVChannelLayout& layout, int channels, TChannelLayout& result) {
  if (layout.order == AV_CHANNEL_ORDER_NATIVE && layout.nb_channels == channels) {
    avutil.av_channel_layout_copy(result.get(), &layout);
  } else {
    avutil.av_channel_layout_default(result.get(), channels);
  }
}

int DecoderChannels(const TInputStreamState& ist) {
  if (ist.ToS16Layout->nb_channels > 0) return ist.ToS16Layout->nb_channels;
  return ist.Decoder != nullptr ? ist.Decoder->ch_layout.nb_channels : 0;
}

int DecoderRate(const TInputStreamState& ist) {
  if (ist.ToS16Rate > 0) return ist.ToS16Rate;
  return ist.Decoder != nullptr ? ist.Decoder->sample_rate : 0;
}

void DecoderLayout(const TInputStreamState& ist, TChannelLayout& result) {
  int channels = DecoderChannels(ist);
  const bool converted = ist.ToS16Layout->nb_channels > 0;
  UsableLayout(converted ? *ist.ToS16Layout.get() : ist.Decoder->ch_layout, channels, result);
}

const char* SampleFormatName(AVSampleFormat format) {
  const char* name = avutil.av_get_sample_fmt_name(format);
  return name != nullptr ? name : "none";
}

}  // namespace

void AdjustVolume(uint8_t* samples, int size, int volume) {
  if (samples == nullptr || size <= 0) return;
  const int count = size / 2;
  for (int i = 0; i < count; ++i) {
    int16_t sample;
    std::memcpy(&sample, samples + 2 * i, 2);
    // Arithmetic shift keeps the sign; the product fits 32 bits for any
    // volume the option layer accepts (at most 65535).
    int64_t v = (int64_t(sample) * volume + 128) >> 8;
    sample = int16_t(std::clamp<int64_t>(v, -32768, 32767));
    std::memcpy(samples + 2 * i, &sample, 2);
  }
}

TAudioSyncStep ComputeAudioSync(const TAudioSyncInput& in) {
  TAudioSyncStep step;
  step.IsStart = in.IsStart;
  if (in.SyncMethod == 0) {
    step.Kind = TAudioSyncStep::skReset;
    step.SyncOpts = std::llrint(in.Ipts * in.EncoderRate) - in.FifoSamples;
    return step;
  }
  const double delta = in.EncoderRate * in.Ipts - double(in.SyncOpts) - double(in.FifoSamples);
  step.Delta = delta;
  if (std::fabs(delta) <= 50) return step;

  const int frame_bytes = 2 * std::max(in.DecoderChannels, 1);
  if (in.IsStart || std::fabs(delta) > in.DriftThreshold * in.EncoderRate) {
    // Whole sample frames only, so the channels of the block stay in place.
    double idelta = delta * in.DecoderRate / in.EncoderRate;
    idelta = std::clamp(idelta, -double(INT_MAX / frame_bytes), double(INT_MAX / frame_bytes));
    int64_t byte_delta = int64_t(std::trunc(idelta)) * frame_bytes;
    if (byte_delta < 0) {
      step.Kind = TAudioSyncStep::skDrop;
      step.Bytes = int(std::min<int64_t>(-byte_delta, in.Size));
      if (step.Bytes >= in.Size) {
        step.BlockConsumed = true;
        return step;
      }
      step.IsStart = false;
    } else {
      step.Kind = TAudioSyncStep::skSilence;
      if (byte_delta + in.Size > kMaxSilenceBlockBytes) {
        // A block that alone fills the limit gets no silence; the rest of the
        // gap is closed by the next blocks while IsStart stays set.
        int room = std::max(kMaxSilenceBlockBytes - in.Size, 0);
        byte_delta = room / frame_bytes * frame_bytes;
      } else {
        step.IsStart = false;
      }
      step.Bytes = int(byte_delta);
    }
    return step;
  }
  if (in.SyncMethod > 1) {
    step.Kind = TAudioSyncStep::skCompensate;
    double limited = std::clamp(std::trunc(delta), -double(in.SyncMethod), double(in.SyncMethod));
    step.Compensation = int(limited);
  }
  return step;
}

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

TAudioPath::TAudioPath(const TAudioPathSettings& settings, TPacketWriter writer,
                       const void* log_sender)
    : settings_(settings), writer_(std::move(writer)), sender_(log_sender) {}

TAudioPath::~TAudioPath() = default;

void TAudioPath::LogVerbose(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = VFormatText(format, args);
  va_end(args);
  GetLogger().Log(sender_, llVerbose, text);
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

void TAudioPath::EnsureFifo(TOutputStreamState& ost) {
  if (ost.Fifo) {
    fifo_owner_.emplace(ost.Encoder, &ost);
    return;
  }
  AVCodecContext* enc = ost.Encoder;
  ost.Fifo.reset(avutil.av_audio_fifo_alloc(enc->sample_fmt, enc->ch_layout.nb_channels,
                                            std::max(enc->frame_size, 1024)));
  if (!ost.Fifo) throw FFmpegException("av_fifo_alloc fail");
  // Joined inputs feed one encoder through one output stream per input: the
  // samples the previous stream left short of a whole frame carry over.
  auto owner = fifo_owner_.find(enc);
  if (owner != fifo_owner_.end() && owner->second != &ost && owner->second->Fifo) {
    AVAudioFifo* previous = owner->second->Fifo.get();
    const int left = avutil.av_audio_fifo_size(previous);
    if (left > 0) {
      const int planes = avutil.av_sample_fmt_is_planar(enc->sample_fmt)
                             ? enc->ch_layout.nb_channels
                             : 1;
      std::vector<std::vector<uint8_t>> buffers(static_cast<size_t>(planes));
      std::vector<void*> pointers(static_cast<size_t>(planes));
      const int bytes = avutil.av_samples_get_buffer_size(nullptr, enc->ch_layout.nb_channels, left,
                                                          enc->sample_fmt, 1);
      for (int p = 0; p < planes; ++p) {
        buffers[size_t(p)].resize(size_t(std::max(bytes, 0)));
        pointers[size_t(p)] = buffers[size_t(p)].data();
      }
      if (bytes > 0 && avutil.av_audio_fifo_read(previous, pointers.data(), left) == left) {
        avutil.av_audio_fifo_write(ost.Fifo.get(), pointers.data(), left);
      }
    }
  }
  fifo_owner_[enc] = &ost;
}

bool TAudioPath::EnsureResampler(TOutputStreamState& ost, TInputStreamState& ist) {
  AVCodecContext* enc = ost.Encoder;
  const int dec_channels = DecoderChannels(ist);
  const int dec_rate = DecoderRate(ist);
  // The resampler stays for the run; only a decoder that changes its rate or
  // channel count mid-stream needs a new one (the old one would play the new
  // samples at the wrong speed).
  auto& made_for = resampler_input_[&ost];
  if (ost.Resampler && made_for.first == dec_rate && made_for.second == dec_channels) {
    return true;
  }
  ost.Resampler.reset();
  made_for = {dec_rate, dec_channels};
  if (ist.Decoder != nullptr && ist.Decoder->sample_fmt != AV_SAMPLE_FMT_S16 &&
      settings_.Verbosity > 0) {
    LogVerbose("Warning, using s16 intermediate sample format for resampling");
  }
  TChannelLayout in_layout;
  TChannelLayout out_layout;
  DecoderLayout(ist, in_layout);
  UsableLayout(enc->ch_layout, enc->ch_layout.nb_channels, out_layout);
  SwrContextPtr owner;
  int result = 0;
  {
    TPointerLoan loan(owner);
    result = swresample.swr_alloc_set_opts2(loan.Address(), out_layout.get(), enc->sample_fmt,
                                            enc->sample_rate, in_layout.get(), AV_SAMPLE_FMT_S16,
                                            dec_rate, 0, nullptr);
  }
  SwrContext* swr = owner.get();
  if (result >= 0) {
    // The resampler's filter: 16 taps, 2^10 phases, no interpolation, cutoff 0.8.
    avutil.av_opt_set_int(swr, "filter_size", 16, 0);
    avutil.av_opt_set_int(swr, "phase_shift", 10, 0);
    avutil.av_opt_set_int(swr, "linear_interp", 0, 0);
    avutil.av_opt_set(swr, "cutoff", "0.8", 0);
    // Sync methods above 1 stretch through the resampler even at equal rates.
    if (settings_.SyncMethod > 1) avutil.av_opt_set_int(swr, "flags", SWR_FLAG_RESAMPLE, 0);
    // Mono goes to every output channel as a copy at full level; the library
    // would mix it in at 1/sqrt(2).
    if (dec_channels == 1 && enc->ch_layout.nb_channels > 1) {
      avutil.av_opt_set(swr, "rematrix_volume", "1.4142135623730951", 0);
    }
    result = swresample.swr_init(swr);
  }
  if (result < 0) {
    RaiseFFmpeg("Can not resample %d channels @ %d Hz to %d channels @ %d Hz", dec_channels,
                dec_rate, enc->ch_layout.nb_channels, enc->sample_rate);
  }
  ost.Resampler = std::move(owner);
  return true;
}

bool TAudioPath::EnsureConverter(TOutputStreamState& ost, TInputStreamState& ist) {
  AVCodecContext* enc = ost.Encoder;
  // The pair is encoded as encoder format + 5 × source format.
  const int pair = int(enc->sample_fmt) + 5 * int(AV_SAMPLE_FMT_S16);
  if (ost.Converter && pair == ost.ReformatPair) return true;
  ost.Converter.reset();
  const int channels = enc->ch_layout.nb_channels;
  const int rate = DecoderRate(ist);
  TChannelLayout layout;
  UsableLayout(enc->ch_layout, channels, layout);
  SwrContextPtr owner;
  int result = 0;
  {
    TPointerLoan loan(owner);
    result = swresample.swr_alloc_set_opts2(loan.Address(), layout.get(), enc->sample_fmt, rate,
                                            layout.get(), AV_SAMPLE_FMT_S16, rate, 0, nullptr);
  }
  if (result >= 0) result = swresample.swr_init(owner.get());
  if (result < 0) {
    RaiseFFmpeg("Cannot convert %s sample format to %s sample format",
                SampleFormatName(AV_SAMPLE_FMT_S16), SampleFormatName(enc->sample_fmt));
  }
  ost.Converter = std::move(owner);
  ost.ReformatPair = pair;
  return true;
}

int TAudioPath::Convert(SwrContext* swr, const uint8_t* block, int samples, int out_capacity,
                        TOutputStreamState& ost) {
  AVCodecContext* enc = ost.Encoder;
  const int channels = enc->ch_layout.nb_channels;
  const bool planar = avutil.av_sample_fmt_is_planar(enc->sample_fmt);
  const int planes = planar ? channels : 1;
  const int plane_bytes = out_capacity * avutil.av_get_bytes_per_sample(enc->sample_fmt) *
                          (planar ? 1 : channels);
  if (int(work_.size()) < planes) work_.resize(size_t(planes));
  uint8_t* out[AV_NUM_DATA_POINTERS] = {};
  for (int p = 0; p < planes && p < AV_NUM_DATA_POINTERS; ++p) {
    if (int(work_[size_t(p)].size()) < plane_bytes) work_[size_t(p)].resize(size_t(plane_bytes));
    out[p] = work_[size_t(p)].data();
  }
  if (planes > AV_NUM_DATA_POINTERS) return AVERROR(EINVAL);
  const uint8_t* in[1] = {block};
  return swresample.swr_convert(swr, out, out_capacity, in, samples);
}

void TAudioPath::Output(TOutputStreamState& ost, TInputStreamState& ist, const uint8_t* block,
                        int size) {
  AVCodecContext* enc = ost.Encoder;
  TAudioEncoder* encoder = EncoderOf(ost);
  if (enc == nullptr || encoder == nullptr) throw FFmpegException("Audio encoding failed");
  const int dec_channels = DecoderChannels(ist);
  const int dec_rate = DecoderRate(ist);
  const int enc_channels = enc->ch_layout.nb_channels;
  const int enc_rate = enc->sample_rate;
  if (dec_channels <= 0 || dec_rate <= 0 || enc_channels <= 0 || enc_rate <= 0) {
    RaiseFFmpeg("Can not resample %d channels @ %d Hz to %d channels @ %d Hz", dec_channels,
                dec_rate, enc_channels, enc_rate);
  }
  const int in_frame_bytes = 2 * dec_channels;
  size = size / in_frame_bytes * in_frame_bytes;

  if (enc_channels != dec_channels || enc_rate != dec_rate) ost.AudioResample = 1;
  if (ost.AudioResample) EnsureResampler(ost, ist);
  const bool reformat = !ost.AudioResample && enc->sample_fmt != AV_SAMPLE_FMT_S16;
  if (reformat) EnsureConverter(ost, ist);
  EnsureFifo(ost);

  if (!Sync(ost, ist, block, size)) return;
  const uint8_t* planes[AV_NUM_DATA_POINTERS] = {};
  int samples = ToEncoderFormat(ost, block, size / in_frame_bytes, reformat, planes);
  if (samples < 0) return;
  samples = DropPriming(ost, planes, samples);
  if (samples <= 0) return;
  EncodeSamples(ost, planes, samples);
}

// Keeps the sound in step with its sync input: drops the start of the block,
// puts silence before it, or has the resampler stretch it. False when the
// whole block was dropped.
bool TAudioPath::Sync(TOutputStreamState& ost, TInputStreamState& ist, const uint8_t*& block,
                      int& size) {
  const int enc_rate = ost.Encoder->sample_rate;
  TInputStreamState& sync = ost.SyncInput != nullptr ? *ost.SyncInput : ist;
  TAudioSyncInput in;
  in.SyncMethod = settings_.SyncMethod;
  in.DriftThreshold = settings_.DriftThreshold;
  in.Ipts = double(sync.Pts - settings_.StartTime) / 1000000.0;
  in.SyncOpts = ost.SyncOpts;
  in.FifoSamples = avutil.av_audio_fifo_size(ost.Fifo.get());
  in.EncoderRate = enc_rate;
  in.DecoderRate = DecoderRate(ist);
  in.DecoderChannels = DecoderChannels(ist);
  in.IsStart = ist.IsStart;
  in.Size = size;
  TAudioSyncStep step = ComputeAudioSync(in);
  switch (step.Kind) {
    case TAudioSyncStep::skReset:
      ost.SyncOpts = step.SyncOpts;
      break;
    case TAudioSyncStep::skDrop:
      if (settings_.Verbosity > 2) LogVerbose("discarding %d audio samples", int(-step.Delta));
      if (step.BlockConsumed) return false;
      block += step.Bytes;
      size -= step.Bytes;
      ist.IsStart = false;
      break;
    case TAudioSyncStep::skSilence:
      silence_.assign(size_t(step.Bytes), 0);
      silence_.insert(silence_.end(), block, block + size);
      block = silence_.data();
      size += step.Bytes;
      ist.IsStart = step.IsStart;
      if (settings_.Verbosity > 2) {
        LogVerbose("adding %d audio samples of silence", int(step.Delta));
      }
      break;
    case TAudioSyncStep::skCompensate:
      if (settings_.Verbosity > 2) {
        LogVerbose("compensating audio timestamp drift:%f compensation:%d in:%d", step.Delta,
                   step.Compensation, enc_rate);
      }
      if (ost.Resampler) {
        swresample.swr_set_compensation(ost.Resampler.get(), step.Compensation, enc_rate);
      }
      break;
    case TAudioSyncStep::skNone:
      break;
  }
  return true;
}

// Resamples or converts `in_samples` packed 16-bit samples into the encoder's
// format; `planes` receives where they are. The number of samples, or -1 when
// the conversion failed (and was logged).
int TAudioPath::ToEncoderFormat(TOutputStreamState& ost, const uint8_t* block, int in_samples,
                                bool reformat, const uint8_t** planes) {
  int samples = in_samples;
  if (ost.AudioResample) {
    int capacity = swresample.swr_get_out_samples(ost.Resampler.get(), in_samples);
    int got = capacity < 0 ? capacity : Convert(ost.Resampler.get(), block, in_samples,
                                                std::max(capacity, 1), ost);
    if (got < 0) {
      if (settings_.ExitOnError) throw FFmpegException("audio_resample() failed");
      GetLogger().Log(sender_, llError, "audio_resample() failed");
      return -1;
    }
    samples = got;
  } else if (reformat) {
    int got = Convert(ost.Converter.get(), block, in_samples, std::max(in_samples, 1), ost);
    if (got < 0) {
      if (settings_.ExitOnError) throw FFmpegException("av_audio_convert() failed");
      GetLogger().Log(sender_, llError, "av_audio_convert() failed");
      return -1;
    }
    samples = got;
  }
  if (ost.AudioResample || reformat) {
    for (size_t p = 0; p < work_.size() && p < AV_NUM_DATA_POINTERS; ++p) {
      planes[p] = work_[p].data();
    }
  } else {
    planes[0] = block;
  }
  return samples;
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
