// What the audio path does to the samples themselves: the volume, and the
// sync step that drops, pads or stretches a block.
#include "engine/core/AudioPath.h"

#include <algorithm>
#include <climits>
#include <cmath>

namespace kelvane {

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

}  // namespace kelvane
