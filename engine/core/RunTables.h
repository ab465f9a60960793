// The run tables of one conversion run: per input file, per input stream and per
// output stream state, built from the task's records (TaskRecords.h).
//
// Ownership: the tables are built by TTranscoder (engine/core/Transcoder.h) when a
// run starts and released on every way out of it. Library objects that belong to
// the run (scalers, resamplers, FIFOs, temporary pictures, bitstream filters) are
// owned here through AVPtr.h; the format contexts, their streams and the decoder and
// encoder codec contexts belong to the task's input and output file records
// (TaskRecords.h) and are only pointed at.
//
// Who fills what:
//   - the core set-up (Transcoder.cpp) fills every field up to the video/audio
//     sections, the crop/pad fields, TempPicture and ScaleContext, and opens the
//     codecs (audio encoders through the audio path, which makes the Fifo);
//   - packet processing (PacketProcessing.cpp) keeps Pts/NextPts and the packed
//     16-bit audio conversion (ToS16*), hands decoded units to the audio path
//     (AudioPath.h) and video path (VideoPath.h), copies packets, drains the
//     encoders and writes every packet (CurrentPts);
//   - the audio and video paths own the per-stream fields of their sections after
//     set-up (resampler, converter, crop/pad/scale state, SyncOpts, FrameNumber
//     of encoded video, the Coded* fields, EncoderPts).
//
// Threads: only the task's worker thread (or the caller of a synchronous run)
// touches the tables; nothing here is locked.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "binding/AVPtr.h"
#include "engine/core/LibraryOwners.h"
#include "engine/core/TaskRecords.h"  // TStreamMapEntry, TMetaDataMap

namespace kelvane {

struct TInputFileState {
  bool EofReached = false;  // reading returned end of file or an error
  int32_t FirstStream = 0;  // global index of the file's stream 0
  int32_t StreamCount = 0;  // streams of the file when the run began
  AVFormatContext* Context = nullptr;
};

struct TInputStreamState {
  int32_t FileIndex = 0;
  int32_t StreamIndex = 0;
  AVStream* Stream = nullptr;
  // The stream's decoder context (owned by the task's input stream record); its
  // parameters are filled from the stream even when the stream is not decoded.
  AVCodecContext* Decoder = nullptr;
  const AVCodec* DecoderCodec = nullptr;  // chosen by the option layer, or null
  bool Discard = true;          // until an output stream takes this stream
  bool DecodingNeeded = false;  // some output stream re-encodes from it
  int64_t Start = 0;           // wall clock (µs) of the run start, rate emulation only
  int64_t NextPts = AV_NOPTS_VALUE;  // predicted timestamp (µs) of the next unit
  int64_t Pts = 0;                   // timestamp (µs) of the unit being processed
  bool IsStart = true;   // audio sync corrects any offset above 50 samples while set
  bool Flushed = false;  // drained already at the end of its file (join mode)
  float Quality = 0;    // quality of the last decoded picture (lambda units)

  // Video filter graph (filters in use only). FilterPicture is the frame last
  // taken from the sink; it stays valid until the next one is taken.
  AVFilterContext* FilterSink = nullptr;
  AVFilterContext* FilterSource = nullptr;
  AVFramePtr FilterPicture;

  // Decoding work state (packet processing).
  AVFramePtr Decoded;  // the frame the decoder fills
  // Decoded audio is turned into packed signed 16-bit at the decoder's own rate
  // and layout before volume, sync and the audio path see it.
  SwrContextPtr ToS16;
  int32_t ToS16Format = -1;
  int32_t ToS16Rate = 0;
  TChannelLayout ToS16Layout;
  AVCodecParserContext* Parser = nullptr;  // not owned; null when the stream has none
};

struct TOutputStreamState {
  int32_t FileIndex = 0;
  int32_t StreamIndex = 0;
  int32_t SourceIndex = 0;  // global index of the feeding input stream
  AVStream* Stream = nullptr;
  // The encoder context (owned by the task's output stream record). For stream
  // copy it only carries the copied parameters and is never opened.
  AVCodecContext* Encoder = nullptr;
  const AVCodec* EncoderCodec = nullptr;  // chosen by the option layer, or null
  bool EncodingNeeded = false;            // false for stream copy
  int32_t FrameNumber = 0;  // pictures encoded (video) or packets copied so far
  TInputStreamState* SyncInput = nullptr;
  int64_t SyncOpts = 0;  // output position in encoder time-base units

  // Encoder output as seen by the progress report: the quality and the
  // per-plane errors of the last packet, the accumulated errors, and whether it
  // was a key frame (from AV_PKT_DATA_QUALITY_STATS and the packet flags).
  int32_t CodedQuality = 0;
  uint64_t CodedError[4] = {0, 0, 0, 0};
  uint64_t TotalError[4] = {0, 0, 0, 0};
  int32_t CodedKeyFrame = 0;
  int64_t CodedPts = AV_NOPTS_VALUE;  // pts of the last packet, encoder time base

  // Where the stream's output has got to: the end (pts + duration) of the last
  // packet written, in the stream's time base.
  int64_t CurrentPts = 0;
  int64_t PacketsWritten = 0;  // handed to the muxer, to tell an empty output from a short one

  // Next timestamp (encoder time base) to stamp on a frame sent to the encoder.
  // The audio path advances it by the samples of each frame it encodes.
  int64_t EncoderPts = 0;

  // --- video path ---
  // Clockwise turn given to every picture first (the set-up's rotation), the
  // turned picture and the scaler for formats converted before turning.
  int32_t Rotation = 0;
  AVFramePtr TurnedPicture;
  SwsContextPtr TurnScaler;
  // The turn the output's display matrix asks for (kept from the source):
  // previews show the picture turned by it.
  int32_t DisplayRotation = 0;
  int32_t VideoResample = 0;
  AVFramePtr TempPicture;  // encoder size and pixel format
  SwsContextPtr ScaleContext;
  int32_t ResampleHeight = 0, ResampleWidth = 0, ResamplePixFmt = 0;
  int32_t InitialHeight = 0, InitialWidth = 0;
  int32_t VideoCrop = 0;
  int32_t CropTop = 0, CropBottom = 0, CropLeft = 0, CropRight = 0;
  int32_t InitialCropTop = 0, InitialCropBottom = 0, InitialCropLeft = 0, InitialCropRight = 0;
  int32_t VideoPad = 0;
  int32_t PadTop = 0, PadBottom = 0, PadLeft = 0, PadRight = 0;

  // --- audio path ---
  int32_t AudioResample = 0;
  SwrContextPtr Resampler;  // packed s16 at the decoder's rate -> encoder format
  int32_t ReformatPair = -6;
  SwrContextPtr Converter;  // packed s16 -> encoder sample format, same rate/layout
  // Samples waiting for a whole encoder frame, in the encoder's sample format
  // and channel count (made at set-up).
  AVAudioFifoPtr Fifo;

  TCFilePtr LogFile;  // pass-1 statistics

  // Bitstream filters applied to every packet written for this stream, in order.
  std::vector<AVBSFContextPtr> Bitstream;

  // Work objects reused per packet.
  AVPacketPtr Packet;
  AVFramePtr Frame;
};

}  // namespace kelvane
