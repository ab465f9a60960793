// The audio path of a run: from a decoded block of packed signed 16-bit samples
// (the decoder's rate and channel layout) to encoded packets of one output stream.
//
// For each block handed to an output stream that re-encodes audio it
//   1. keeps the output in step with the input timestamps: drops samples,
//      inserts silence, or lets the resampler stretch (audio sync methods);
//   2. resamples to the encoder's rate and channel layout, or only converts the
//      sample format (libswresample, from packed s16);
//   3. cuts the result into frames of the encoder's frame size through the
//      stream's FIFO (or hands PCM-like encoders the whole block) and encodes;
//   4. writes every packet through the run's packet writer.
// Drain() empties the FIFO at the end of the input (a short last frame, or a
// frame padded with silence) and takes the encoder's delayed packets.
//
// The volume rule (AdjustVolume) is applied by packet processing to each
// decoded block once, before the block reaches any output stream.
//
// Sync arithmetic runs in samples: the FIFO holds samples of the encoder's
// format, so "FIFO bytes / (2 × channels)" of a 16-bit FIFO is its sample count.
//
// Encoders that delay their output (the first samples they give back are
// priming: AAC, MP3, MP2, AC-3, AMR-NB, ...) declare the delay as the context's
// initial_padding and start their packet times that much below 0. MP4, MOV and
// 3GP carry such a start in an edit list and players skip the priming.
// Matroska and WebM keep Opus's as the track's codec delay, which the reader
// takes off every time: there the packet times start at 0 with the priming in
// them. Every other container plays the priming as sound, which puts the real
// sound late by the delay: for those the path drops the delay's worth of
// samples from the front of the stream's input and starts the packet times at
// 0, so the decoded sound lines up with the pictures (the priming takes the
// place of the dropped samples). The library's WMA decoders leave out two frames at the start, the
// priming and the frame after it, and give a frame's sound only with the next
// one: for WMA the path puts one frame of silence before the sound, starting
// the packet times that much earlier, and one after it, so the first and the
// last frame heard are the sound's own (ASF shifts the times as a whole).
//
// Entry points for the run (engine/core/Transcoder.*), in order:
//   TAudioPath path(settings, writer, sender)   once per run
//   path.OpenEncoder(ost, skips_priming, ...)   set-up, for each encoded audio stream
//   path.Output(ost, ist, block, bytes)         each decoded block, each such stream
//   path.Drain(ost)                             at the end of the stream's input
//   ~TAudioPath                                 releases the encoders it opened
// The run's TOutputStreamState keeps the per-stream objects (Resampler,
// Converter, Fifo, SyncOpts, EncoderPts); TAudioPath keeps the encoders.
//
// Threads: the task's worker only.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine/core/AudioEncoder.h"
#include "engine/core/RunTables.h"

namespace kelvane {

// The settings the audio path reads (the task's run settings).
struct TAudioPathSettings {
  int Volume = 256;            // 256 = unity
  int SyncMethod = 0;          // 0 none, 1 drop/insert, >1 also resampler compensation
  float DriftThreshold = 0.1f; // seconds
  int64_t StartTime = 0;       // µs
  int Verbosity = 1;
  bool ExitOnError = false;
};

// The volume rule on `size` bytes of packed signed 16-bit samples, in place:
// s := clip((s × volume + 128) >> 8). Volume 256 leaves every sample as it is.
void AdjustVolume(uint8_t* samples, int size, int volume);

// The largest block (silence included) the silence insertion builds.
constexpr int kMaxSilenceBlockBytes = 131072;
// Room a full last frame must fit into when the FIFO is drained.
constexpr int kAudioDecodeBufferBytes = 192000;

// What the sync step does with one block (pure arithmetic, see ComputeAudioSync).
struct TAudioSyncStep {
  enum TKind { skNone, skDrop, skSilence, skCompensate, skReset };
  TKind Kind = skNone;
  double Delta = 0;          // encoder samples the output is behind (+) or ahead (-)
  int Bytes = 0;             // skDrop: bytes dropped from the front; skSilence: bytes added
  int Compensation = 0;      // skCompensate: samples to stretch by
  int64_t SyncOpts = 0;      // skReset: the new output position
  bool IsStart = true;       // the input stream's IsStart afterwards
  bool BlockConsumed = false;  // skDrop: nothing of the block is left
};

struct TAudioSyncInput {
  int SyncMethod = 0;
  float DriftThreshold = 0.1f;
  double Ipts = 0;          // seconds since the start time
  int64_t SyncOpts = 0;     // output position, encoder samples
  int64_t FifoSamples = 0;  // samples waiting in the FIFO
  int EncoderRate = 0;
  int DecoderRate = 0;
  int DecoderChannels = 0;
  bool IsStart = true;
  int Size = 0;  // bytes of the block (packed s16)
};

TAudioSyncStep ComputeAudioSync(const TAudioSyncInput& in);

// True when players skip an encoder's priming in this container: the MP4
// family writes an edit list for a stream whose first time is negative; Ogg
// and Matroska store Opus's pre-skip.
bool MuxerSkipsPriming(const AVOutputFormat* format, AVCodecID codec);
// True when the container keeps the priming as the track's codec delay, which
// readers take off every packet's time (Opus in Matroska and WebM): the
// packets start at 0 with the priming in them, not below 0.
bool MuxerDelaysTrack(const AVOutputFormat* format, AVCodecID codec);

class TAudioPath {
 public:
  // Writes one finished packet of `ost` (timestamps already in the stream's
  // time base): the run's WritePacket (bitstream filters, interleaving).
  using TPacketWriter = std::function<void(TOutputStreamState& ost, AVPacket* packet)>;

  TAudioPath(const TAudioPathSettings& settings, TPacketWriter writer, const void* log_sender);
  ~TAudioPath();
  TAudioPath(const TAudioPath&) = delete;
  TAudioPath& operator=(const TAudioPath&) = delete;

  // Opens the encoder of `ost` (FFmpeg's, or the AMR-NB encoder for an AMR-NB
  // context without a library encoder) and creates the stream's FIFO. Unless
  // the muxer `skips_priming`, the encoder's delay is dropped from the front of
  // the stream's input; when it `delays_track`, the packet times start at 0.
  // False with the library's message and code on failure.
  bool OpenEncoder(TOutputStreamState& ost, bool skips_priming, std::string* error, int* code,
                   bool delays_track = false);

  // The run's cut begins at `start` (µs of input time) rather than at the
  // start time: the sync arithmetic counts from there.
  void StartAt(int64_t start) { settings_.StartTime = start; }

  // One decoded block of packed s16 at the decoder's rate and layout. Raises
  // FFmpegException on fatal failures; returns quietly when the sync step took
  // the whole block or a conversion failed without exit-on-error.
  void Output(TOutputStreamState& ost, TInputStreamState& ist, const uint8_t* block, int size);

  // End of the stream's input: the samples left in the FIFO as a last frame,
  // then the encoder's delayed packets. Raises "frame_bytes invalid." when a
  // padded last frame would not fit the decode buffer, "Audio encoding failed".
  void Drain(TOutputStreamState& ost);

  // The encoder of `ost` (opened here, or wrapped around a context the run
  // opened itself); null when the context is not open.
  TAudioEncoder* EncoderOf(TOutputStreamState& ost);

  // Bytes of audio packets written so far.
  uint64_t AudioSize = 0;

 private:
  bool EnsureResampler(TOutputStreamState& ost, TInputStreamState& ist);
  bool EnsureConverter(TOutputStreamState& ost, TInputStreamState& ist);
  void EnsureFifo(TOutputStreamState& ost);
  // Puts `samples` of silence into the stream's FIFO: before its first
  // samples (its times are shifted back by as much) or after its last.
  void LeadIn(TOutputStreamState& ost, int samples);
  // Drops what is left of the encoder's delay from the front of `samples`
  // samples at `data` (encoder format); returns the samples left.
  int DropPriming(TOutputStreamState& ost, const uint8_t** data, int samples);
  bool Sync(TOutputStreamState& ost, TInputStreamState& ist, const uint8_t*& block, int& size);
  int ToEncoderFormat(TOutputStreamState& ost, const uint8_t* block, int in_samples,
                      bool reformat, const uint8_t** planes);
  void EncodeSamples(TOutputStreamState& ost, const uint8_t** planes, int samples);
  // Converts `samples` packed-s16 samples through `swr` into work_; returns
  // the output sample count, or a negative error.
  int Convert(SwrContext* swr, const uint8_t* block, int samples, int out_capacity,
              TOutputStreamState& ost);
  AVFrame* NewFrame(const AVCodecContext* enc, int samples);
  void EncodeFrames(TOutputStreamState& ost, bool final_frame);
  void EncodeFrame(TOutputStreamState& ost, AVFrame* frame);
  void ReceivePackets(TOutputStreamState& ost, TAudioEncoder& encoder);
  void LogVerbose(const char* format, ...) __attribute__((format(printf, 2, 3)));

  TAudioPathSettings settings_;
  TPacketWriter writer_;
  const void* sender_;
  std::map<const AVCodecContext*, std::unique_ptr<TAudioEncoder>> encoders_;
  // The stream whose FIFO last fed each encoder (join mode hands the rest on).
  std::map<const AVCodecContext*, TOutputStreamState*> fifo_owner_;
  // Per encoder whose priming the container cannot skip: samples of its delay
  // still to drop from its input, and the encoder time-base units added to its
  // packet times (negative for WMA's lead-in).
  struct TPriming {
    int64_t ToDrop = 0;
    int64_t Shift = 0;
  };
  std::map<const AVCodecContext*, TPriming> priming_;
  // The encoders that were given sound.
  std::set<const AVCodecContext*> fed_;
  // Input rate and channel count each stream's resampler was made for.
  std::map<const TOutputStreamState*, std::pair<int, int>> resampler_input_;
  std::vector<uint8_t> silence_;  // silence work buffer
  // Converted samples (encoder format), one buffer per plane.
  std::vector<std::vector<uint8_t>> work_;
  AVFramePtr frame_;
  AVPacketPtr packet_;
};

}  // namespace kelvane
