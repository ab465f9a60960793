#include "binding/KeyFrameSeek.h"

namespace kelvane {

int64_t InputOrigin(const AVFormatContext* input) {
  return input->start_time != AV_NOPTS_VALUE ? input->start_time : 0;
}

bool SeekLandsLate(const AVFormatContext* input) {
  return (input->iformat->flags & AVFMT_TS_DISCONT) != 0;
}

int SeekKeyFrame(AVFormatContext* input, int64_t at, int stream) {
  return avformat.av_seek_frame(input, stream, at, AVSEEK_FLAG_BACKWARD);
}

int SeekNear(AVFormatContext* input, int64_t at, int64_t latest, int flags) {
  return avformat.avformat_seek_file(input, -1, INT64_MIN, at, latest, flags);
}

int SeekToByte(AVFormatContext* input, int64_t position) {
  return avformat.av_seek_frame(input, -1, position, AVSEEK_FLAG_BYTE);
}

int SeekToBeginning(AVFormatContext* input) {
  int ret = -1;
  // Their times are found by reading bytes: by bytes, the beginning is the beginning.
  if (SeekLandsLate(input)) ret = SeekToByte(input, 0);
  if (ret < 0) ret = SeekKeyFrame(input, InputOrigin(input));
  return ret;
}

bool BeforeTarget(int64_t at, int64_t target, TTargetRule rule) {
  if (at == AV_NOPTS_VALUE) return true;
  return rule == trCovering ? at <= target : at < target;
}

int64_t TSeekLeads::Lead(int steps) const {
  int64_t lead = First;
  for (int i = 0; i < steps; ++i) lead = Next(lead);
  return lead;
}

TSteppedSeek SeekSteppingBack(AVFormatContext* input, int64_t at, int64_t floor,
                              const TSeekLeads& leads, int stream,
                              const std::function<TSeekLanding(int64_t lead)>& landing) {
  TSteppedSeek seek;
  for (int64_t lead = leads.First; lead <= leads.Last; lead = leads.Next(lead)) {
    const int64_t target = at - lead;
    if (target <= floor) break;
    seek.Lead = lead;
    const int64_t point =
        stream < 0 ? target
                   : avutil.av_rescale_q(target, AV_TIME_BASE_Q, input->streams[stream]->time_base);
    if (SeekKeyFrame(input, point, stream) < 0) {
      seek.Outcome = TSteppedSeek::soSeekFailed;
      return seek;
    }
    switch (landing(lead)) {
      case slEarly:
        seek.Outcome = TSteppedSeek::soLanded;
        return seek;
      case slUnusable:
        seek.Outcome = TSteppedSeek::soUnusable;
        return seek;
      case slLate:
        break;
    }
  }
  seek.Outcome = TSteppedSeek::soNoneEarly;
  return seek;
}

}  // namespace kelvane
