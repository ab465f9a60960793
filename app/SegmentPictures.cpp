#include "app/SegmentPictures.h"

#include <algorithm>
#include <mutex>
#include <utility>

#include "binding/AVPtr.h"
#include "binding/FFmpegLoader.h"
#include "binding/FrameConverter.h"
#include "binding/KeyFrameSeek.h"
#include "binding/MainThread.h"
#include "binding/UnicodeProtocol.h"

namespace kelvane {
namespace {

// The picture shown at `time` (the last one beginning at or before it) as a
// bitmap; null when there is none or the reading was cancelled.
std::shared_ptr<const TBitmap> PictureAt(AVFormatContext* ic, int video, AVCodecContext* decoder,
                                         int64_t time, const std::atomic<bool>& cancel) {
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
      if (at != AV_NOPTS_VALUE && at > target && have) {
        past = true;
      } else {
        avutil.av_frame_unref(shown.get());
        std::swap(shown, frame);
        have = true;
        if (at != AV_NOPTS_VALUE && at > target) past = true;  // the first after a late seek
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

void Read(const std::string& file, const std::vector<TSegmentPictures::TPart>& parts,
          const TSegmentPictures::TDone& done, const std::atomic<bool>& cancel) {
  TInputContext input;
  if (OpenInputContext(ToLibraryFileName(file), nullptr, nullptr, input) < 0) return;
  AVFormatContext* ic = input.Get();
  {
    std::lock_guard<std::mutex> lock(CodecLock());
    if (avformat.avformat_find_stream_info(ic, nullptr) < 0) return;
  }
  const int video = avformat.av_find_best_stream(ic, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (video < 0) return;
  for (unsigned i = 0; i < ic->nb_streams; ++i)
    if (static_cast<int>(i) != video) ic->streams[i]->discard = AVDISCARD_ALL;
  const AVStream* stream = ic->streams[video];
  const AVCodec* codec = avcodec.avcodec_find_decoder(stream->codecpar->codec_id);
  if (codec == nullptr) return;
  AVCodecContextPtr decoder(avcodec.avcodec_alloc_context3(codec));
  if (!decoder || avcodec.avcodec_parameters_to_context(decoder.get(), stream->codecpar) < 0)
    return;
  decoder->pkt_timebase = stream->time_base;
  {
    std::lock_guard<std::mutex> lock(CodecLock());
    if (avcodec.avcodec_open2(decoder.get(), codec, nullptr) < 0) return;
  }
  for (const TSegmentPictures::TPart& part : parts) {
    if (cancel.load()) return;
    auto first = PictureAt(ic, video, decoder.get(), part.first, cancel);
    auto last = PictureAt(ic, video, decoder.get(), std::max(part.second - 1, part.first), cancel);
    if (cancel.load()) return;
    if (!first || !last) continue;
    PostToMainThread([done, part, first, last] { done(part, first, last); });
  }
}

}  // namespace

TSegmentPictures::~TSegmentPictures() { Cancel(); }

void TSegmentPictures::Cancel() {
  if (cancel_) cancel_->store(true);
  if (thread_.joinable()) thread_.join();
  cancel_.reset();
}

void TSegmentPictures::Start(const std::string& file, std::vector<TPart> parts, TDone done) {
  Cancel();
  if (parts.empty()) return;
  cancel_ = std::make_shared<std::atomic<bool>>(false);
  // `done` is dropped once cancelled, even when posted before.
  TDone guarded = [cancel = cancel_, done = std::move(done)](TPart part,
                                                            std::shared_ptr<const TBitmap> first,
                                                            std::shared_ptr<const TBitmap> last) {
    if (!cancel->load()) done(part, std::move(first), std::move(last));
  };
  thread_ = std::thread([file, parts = std::move(parts), guarded, cancel = cancel_] {
    Read(file, parts, guarded, *cancel);
  });
}

}  // namespace kelvane
