// An opened audio encoder, whichever library does the encoding.
//
// The output stream's encoder context (an AVCodecContext made by the option
// layer) describes the stream in both cases: sample rate, channel layout, sample
// format, frame size, time base, bit rate. Most encoders are FFmpeg's own and
// the context is opened with avcodec_open2. AMR-NB has no encoder in Debian's
// FFmpeg; its names ("libopencore_amrnb", "libamr_nb") are served by
// TAmrNbEncoder over libopencore-amrnb, which fills the same context fields
// (frame size 160, 8000 Hz mono, signed 16-bit, bit rate snapped to a mode) but
// never opens it, so the muxer sees an ordinary AMR-NB stream.
//
// Both follow avcodec's send/receive rules: SendFrame with null drains, then
// ReceivePacket gives the delayed packets until AVERROR_EOF.
//
// Ownership: the encoder does not own the context; the context's owner frees it
// after the encoder (AVCodecContextPtr, under CodecLock). Threads: one at a time
// (the task's worker); opening takes CodecLock itself.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "binding/FFmpegLoader.h"

namespace kelvane {

class TAudioEncoder {
 public:
  explicit TAudioEncoder(AVCodecContext* context) : context_(context) {}
  virtual ~TAudioEncoder() = default;
  TAudioEncoder(const TAudioEncoder&) = delete;
  TAudioEncoder& operator=(const TAudioEncoder&) = delete;

  AVCodecContext* Context() const { return context_; }

  // Frames carry Context()'s sample format and layout; frame->pts is in the
  // context's time base. Null starts the drain.
  virtual int SendFrame(const AVFrame* frame) = 0;
  // 0 with a packet (pts/duration in the context's time base), AVERROR(EAGAIN)
  // when it needs more input, AVERROR_EOF when drained.
  virtual int ReceivePacket(AVPacket* packet) = 0;

  // Samples per frame the encoder takes; 0 or 1 for encoders that take any
  // count in one frame (PCM and the like).
  int FrameSize() const { return context_->frame_size; }
  // The last frame may be shorter than FrameSize().
  virtual bool AcceptsShortLastFrame() const = 0;
  // Codec name for messages.
  virtual const char* Name() const = 0;

 private:
  AVCodecContext* context_;
};

// True for the encoder names the AMR-NB encoder serves.
bool IsAmrNbEncoderName(std::string_view name);

// Loads libopencore-amrnb when not yet loaded. Safe from any thread (the
// encoder loads on demand from the worker); the option layer may call it on
// the main thread to fail early. On failure `error` gets the loader's text.
bool LoadAmrNbLibrary(std::string* error);

// Prepares `context` for AMR-NB before the stream header is written: codec
// id, 8000 Hz mono check, signed 16-bit, frame size 160, bit rate snapped to
// the nearest mode. Returns false with a message when the parameters cannot be
// encoded.
bool PrepareAmrNbContext(AVCodecContext* context, std::string* error);

// Opens an encoder for `context`. `codec` is the encoder chosen by name, or
// null: then an AMR-NB context (codec id AMR_NB) gets the AMR-NB encoder and
// every other id avcodec_find_encoder. `options` as for avcodec_open2.
// Returns null with `error` (and the library's code in *code when given) on failure.
std::unique_ptr<TAudioEncoder> OpenAudioEncoder(AVCodecContext* context, const AVCodec* codec,
                                                AVDictionary** options, std::string* error,
                                                int* code = nullptr);

// Wraps a context already opened with avcodec_open2 (no second open).
std::unique_ptr<TAudioEncoder> WrapOpenedAudioEncoder(AVCodecContext* context);

}  // namespace kelvane
