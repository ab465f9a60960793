#include "probe/PictureReader.h"

#include <mutex>
#include <utility>

#include "binding/AVPtr.h"
#include "binding/FFmpegLoader.h"
#include "binding/FrameConverter.h"
#include "binding/KeyFrameSeek.h"
#include "binding/UnicodeProtocol.h"

namespace kelvane {

struct TPictureReader::TOpened {
  TInputContext input;
  int video = -1;
  AVCodecContextPtr decoder;
};

TPictureReader::TPictureReader() = default;
TPictureReader::~TPictureReader() = default;

bool TPictureReader::Open(const std::string& file) {
  opened_.reset();
  auto opened = std::make_unique<TOpened>();
  if (OpenInputContext(ToLibraryFileName(file), nullptr, nullptr, opened->input) < 0) return false;
  AVFormatContext* ic = opened->input.Get();
  {
    std::lock_guard<std::mutex> lock(CodecLock());
    if (avformat.avformat_find_stream_info(ic, nullptr) < 0) return false;
  }
  const int video = avformat.av_find_best_stream(ic, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (video < 0) return false;
  for (unsigned i = 0; i < ic->nb_streams; ++i)
    if (static_cast<int>(i) != video) ic->streams[i]->discard = AVDISCARD_ALL;
  const AVStream* stream = ic->streams[video];
  const AVCodec* codec = avcodec.avcodec_find_decoder(stream->codecpar->codec_id);
  if (codec == nullptr) return false;
  AVCodecContextPtr decoder(avcodec.avcodec_alloc_context3(codec));
  if (!decoder || avcodec.avcodec_parameters_to_context(decoder.get(), stream->codecpar) < 0)
    return false;
  decoder->pkt_timebase = stream->time_base;
  {
    std::lock_guard<std::mutex> lock(CodecLock());
    if (avcodec.avcodec_open2(decoder.get(), codec, nullptr) < 0) return false;
  }
  opened->video = video;
  opened->decoder = std::move(decoder);
  opened_ = std::move(opened);
  return true;
}

std::shared_ptr<const TBitmap> TPictureReader::PictureAt(int64_t time,
                                                         const std::atomic<bool>& cancel) {
  if (!opened_) return nullptr;
  AVFormatContext* ic = opened_->input.Get();
  const int video = opened_->video;
  AVCodecContext* decoder = opened_->decoder.get();
  AVStream* stream = ic->streams[video];
  const int64_t target =
      avutil.av_rescale_q(time + InputOrigin(ic), AV_TIME_BASE_Q, stream->time_base);
  if (SeekKeyFrame(ic, target, video) < 0) return nullptr;
  avcodec.avcodec_flush_buffers(decoder);
  AVPacketPtr packet(avcodec.av_packet_alloc());
  AVFramePtr frame(avutil.av_frame_alloc());
  AVFramePtr shown(avutil.av_frame_alloc());
  bool have = false, past = false, ended = false;
  auto receive = [&] {
    while (!past && avcodec.avcodec_receive_frame(decoder, frame.get()) >= 0) {
      const int64_t at = frame->best_effort_timestamp;
      if (have && !BeforeTarget(at, target, trCovering)) {
        past = true;
      } else {
        avutil.av_frame_unref(shown.get());
        std::swap(shown, frame);
        have = true;
        if (LandedPastTarget(at, target)) past = true;  // the first after a late seek
      }
      avutil.av_frame_unref(frame.get());
    }
  };
  while (!past && !ended && !cancel.load()) {
    if (avformat.av_read_frame(ic, packet.get()) < 0) {
      ended = true;
      avcodec.avcodec_send_packet(decoder, nullptr);
    } else if (packet->stream_index == video) {
      avcodec.avcodec_send_packet(decoder, packet.get());
    }
    avcodec.av_packet_unref(packet.get());
    receive();
  }
  if (!have || cancel.load()) return nullptr;
  TFrameConverter converter;
  if (!ConvertToBitmap(converter, shown.get()) || !converter.Bitmap) return nullptr;
  return std::shared_ptr<const TBitmap>(std::move(converter.Bitmap));
}

}  // namespace kelvane
