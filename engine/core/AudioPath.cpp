// The audio path of a run: each block of sound kept in step with its sync
// input, resampled or converted into its encoder's format, and handed to the
// encoding side (AudioEncoding.cpp).
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

}  // namespace kelvane
