// A run as a whole: the run's paths, its set-up in order, and the release of
// everything the run made. The steps of the set-up live beside it:
// TranscoderStreams.cpp (run tables, stream binding), TranscoderCodecs.cpp
// (codec parameters), TranscoderFilters.cpp (the video filter graph),
// TranscoderOpen.cpp (codecs, metadata, headers, the mapping report) and
// TranscoderParts.cpp (join mode's parts, chapters and smart copies).
#include "engine/core/Transcoder.h"

#include <memory>

#include "engine/core/FFmpegException.h"

namespace kelvane {

TTranscoder::TTranscoder(TRunHost& host)
    : host_(host),
      records_(host.Records()),
      settings_(records_.Settings),
      packet_(avcodec.av_packet_alloc()) {
  if (!packet_) throw FFmpegException("av_packet_alloc failed");
  TAudioPathSettings audio;
  audio.Volume = settings_.audio_volume;
  audio.SyncMethod = settings_.audio_sync_method;
  audio.DriftThreshold = settings_.audio_drift_threshold;
  audio.StartTime = settings_.start_time;
  audio.Verbosity = records_.Verbosity;
  audio.ExitOnError = settings_.exit_on_error;
  audio_path_ = std::make_unique<TAudioPath>(
      audio, [this](TOutputStreamState& ost, AVPacket* packet) { WritePacket(ost, packet); },
      host_.LogSender());

  TVideoPathSettings video;
  video.SyncMethod = settings_.video_sync_method;
  video.StartTime = settings_.start_time;
  video.Deinterlace = settings_.deinterlace;
  video.SameQuality = records_.SameQuality;
  video.MeThreshold = settings_.me_threshold;
  video.TopFieldFirst = settings_.top_field_first;
  video.SwsFlags = settings_.sws_flags;
  for (int i = 0; i < 3; ++i) video.PadColor[i] = settings_.pad_color[i];
  video.MaxFrames = settings_.max_frames[0];
  video.FiltersInUse = settings_.filters_in_use;
  video.ExitOnError = settings_.exit_on_error;
  video.Verbosity = records_.Verbosity;
  video.StatisticsFile = settings_.vstats_filename;
  video.PreviewInterval = records_.PreviewInterval;
  video_host_ = host_.MakeVideoHost(*this);
  video_path_ = std::make_unique<TVideoPath>(
      video, *video_host_,
      [this](TOutputStreamState& ost, AVPacket* packet) { WritePacket(ost, packet); });
}

TTranscoder::~TTranscoder() {
  CloseCodecs();
  Release();
}

bool TTranscoder::JoinMode() const { return settings_.join; }

int TTranscoder::OutputStreamsForSetUp() const {
  return JoinMode() ? group_size_ : static_cast<int>(OutputStreams.size());
}

AVFormatContext* TTranscoder::OutputContext(const TOutputStreamState& ost) const {
  return outputs_[ost.FileIndex]->context.Get();
}

AVFormatContext* TTranscoder::InputContext(const TInputStreamState& ist) const {
  return InputFiles[ist.FileIndex].Context;
}

void TTranscoder::Run() {
  // On a failure the destructor closes the codecs and releases the tables.
  SetUp();
  Loop();
  EndOfRun();
}

void TTranscoder::SetUp() {
  BuildInputTables();
  BindSources();
  // No output takes these streams: the demuxers need not even read them.
  for (auto& ist : InputStreams)
    if (ist->Discard) ist->Stream->discard = AVDISCARD_ALL;
  SetUpCodecParameters();
  OpenEncoders(false);
  OpenDecoders();
  // Subtitle encoders take the decoder's style header, known once it is open.
  OpenEncoders(true);
  for (auto& ist : InputStreams) {
    ist->Pts = 0;
    ist->NextPts = AV_NOPTS_VALUE;
    ist->IsStart = true;
  }
  // A cut's sound waits for its first encoded picture (see held_audio_).
  awaiting_picture_ = false;
  if (settings_.start_time > 0 && !JoinMode()) {
    for (const auto& ost : OutputStreams) {
      if (ost->EncodingNeeded && ost->Encoder != nullptr &&
          ost->Encoder->codec_type == AVMEDIA_TYPE_VIDEO)
        awaiting_picture_ = true;
    }
    if (!smart_videos_.empty()) awaiting_picture_ = true;
  }
  CopyMetadata();
  if (JoinMode()) {
    for (const auto& file : records_.InputFiles) join_parts_ = join_parts_ || file->part_length > 0;
    if (join_parts_) {
      BeginPart(0, 0);
      if (!LateChapters()) AddPartChapters();
      StartSmartPart(0);
    }
  }
  WriteHeaders();
  ReportMapping();
  SeekInputsAhead();
  TimerStart = avutil.av_gettime();
}

// Closes every codec the run opened that is still open (freed under CodecLock by
// its owner's deleter). Runs at the end of the run and on every way out.
void TTranscoder::CloseCodecs() {
  // The paths' encoders only wrap the contexts: they go first.
  audio_path_.reset();
  video_path_.reset();
  for (AVCodecContextPtr* owner : opened_encoders_) {
    if (*owner) avutil.av_freep(&(*owner)->stats_in);
    owner->reset();
  }
  opened_encoders_.clear();
  for (AVCodecContextPtr* owner : opened_decoders_) owner->reset();
  opened_decoders_.clear();
  for (auto& ost : OutputStreams) ost->Encoder = nullptr;
  for (auto& ist : InputStreams) ist->Decoder = nullptr;
}

// Releases the run tables and what they own. Harmless when run twice.
void TTranscoder::Release() {
  smart_videos_.clear();
  decoded_sound_.clear();
  OutputStreams.clear();
  InputStreams.clear();
  InputFiles.clear();
  read_ahead_.clear();
  graph_.reset();
}

}  // namespace kelvane
