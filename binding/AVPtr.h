// Owning pointers for the media libraries' objects.
//
// Each deleter frees through the entry-point tables, so an object must be
// released while its library is still loaded (the libraries stay loaded until
// the process ends once a component has loaded them).
#pragma once

#include <memory>

#include "binding/FFmpegLoader.h"

namespace kelvane {

struct AVFrameDeleter {
  void operator()(AVFrame* p) const { avutil.av_frame_free(&p); }
};
struct AVPacketDeleter {
  void operator()(AVPacket* p) const { avcodec.av_packet_free(&p); }
};
// Codec contexts are opened and closed under CodecLock.
struct AVCodecContextDeleter {
  void operator()(AVCodecContext* p) const {
    std::lock_guard<std::mutex> lock(CodecLock());
    avcodec.avcodec_free_context(&p);
  }
};
struct AVCodecParametersDeleter {
  void operator()(AVCodecParameters* p) const { avcodec.avcodec_parameters_free(&p); }
};
// For contexts opened with avformat_open_input.
struct AVInputFormatContextDeleter {
  void operator()(AVFormatContext* p) const { avformat.avformat_close_input(&p); }
};
// For contexts made with avformat_alloc_context / avformat_alloc_output_context2;
// the caller closes its own I/O context first.
struct AVFormatContextDeleter {
  void operator()(AVFormatContext* p) const { avformat.avformat_free_context(p); }
};
struct SwsContextDeleter {
  void operator()(SwsContext* p) const { swscale.sws_freeContext(p); }
};
struct SwrContextDeleter {
  void operator()(SwrContext* p) const { swresample.swr_free(&p); }
};
struct AVAudioFifoDeleter {
  void operator()(AVAudioFifo* p) const { avutil.av_audio_fifo_free(p); }
};
struct AVFilterGraphDeleter {
  void operator()(AVFilterGraph* p) const { avfilter.avfilter_graph_free(&p); }
};
struct AVBSFContextDeleter {
  void operator()(AVBSFContext* p) const { avcodec.av_bsf_free(&p); }
};
struct AVDictionaryDeleter {
  void operator()(AVDictionary* p) const { avutil.av_dict_free(&p); }
};
struct AVMemoryDeleter {
  void operator()(void* p) const { avutil.av_free(p); }
};

using AVFramePtr = std::unique_ptr<AVFrame, AVFrameDeleter>;
using AVPacketPtr = std::unique_ptr<AVPacket, AVPacketDeleter>;
using AVCodecContextPtr = std::unique_ptr<AVCodecContext, AVCodecContextDeleter>;
using AVCodecParametersPtr = std::unique_ptr<AVCodecParameters, AVCodecParametersDeleter>;
using AVInputFormatContextPtr = std::unique_ptr<AVFormatContext, AVInputFormatContextDeleter>;
using AVFormatContextPtr = std::unique_ptr<AVFormatContext, AVFormatContextDeleter>;
using SwsContextPtr = std::unique_ptr<SwsContext, SwsContextDeleter>;
using SwrContextPtr = std::unique_ptr<SwrContext, SwrContextDeleter>;
using AVAudioFifoPtr = std::unique_ptr<AVAudioFifo, AVAudioFifoDeleter>;
using AVFilterGraphPtr = std::unique_ptr<AVFilterGraph, AVFilterGraphDeleter>;
using AVBSFContextPtr = std::unique_ptr<AVBSFContext, AVBSFContextDeleter>;
using AVDictionaryPtr = std::unique_ptr<AVDictionary, AVDictionaryDeleter>;
template <typename T>
using AVMemoryPtr = std::unique_ptr<T, AVMemoryDeleter>;

}  // namespace kelvane
