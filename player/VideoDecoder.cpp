// The video decode thread: packets to pictures in the one-picture queue.
//
// After an exact seek the decoder starts at the key frame at or before the
// target and every picture before the target is dropped: the picture kept is
// the last one whose time is at or before the target (the frame on screen at
// that time, binding/KeyFrameSeek.h's trCovering), queued once the next
// picture shows it was the last. When the
// first picture after a seek already lies past the target the demuxer landed
// too late (MPEG-TS and MPEG-PS do); the seek is then made again from further
// back.
#include <algorithm>
#include <climits>
#include <cstring>

#include "binding/FFmpegLogger.h"
#include "binding/KeyFrameSeek.h"
#include "binding/PictureRotation.h"
#include "player/FFPlayer.h"
#include "player/PlaybackContext.h"

namespace kelvane {
namespace {

// A seek that landed late goes further back: 1, 2, 4, 8 s before the target.
constexpr TSeekLeads kRetryLeads{0, 1000000, 8000000};

int64_t AttemptPoint(int64_t target, int32_t attempt) {
  return target - kRetryLeads.Lead(attempt);
}

}  // namespace

struct TPlaybackContext::TVideoDecodeState {
  int32_t serial = 0;
  int64_t target = AV_NOPTS_VALUE;  // drop pictures before it
  int32_t attempt = 0;
  bool first_after_flush = false;
  bool discard = false;  // a seek from further back is on its way
  bool drained = false;  // the decoder was asked for its last pictures
  int64_t next_pts = 0;  // the time a picture without one gets
  AVFramePtr held;       // the latest picture at or before the target
  int64_t held_pts = 0;
  int64_t held_duration = 0;
};

void TPlaybackContext::VideoThread() {
  AVFramePtr frame(avutil.av_frame_alloc());
  TVideoDecodeState state;
  state.next_pts = video_start_ == AV_NOPTS_VALUE ? 0 : video_start_;
  for (;;) {
    TQueuedPacket packet;
    if (video_queue_.Get(packet, true) < 0) break;
    if (packet.Kind == TQueuedPacket::pkFlush) {
      if (packet.Seek) avcodec.avcodec_flush_buffers(video_decoder_.get());
      state.serial = packet.Serial;
      state.target = packet.Target;
      state.attempt = packet.Attempt;
      state.first_after_flush = packet.Seek;
      state.discard = false;
      state.drained = false;
      state.held.reset();
      video_finished_ = false;
      continue;
    }
    if (state.discard) continue;
    if (!DecodeVideoPacket(state, packet, frame.get())) break;
  }
}

bool TPlaybackContext::DecodeVideoPacket(TVideoDecodeState& state, TQueuedPacket& packet,
                                         AVFrame* frame) {
  AVCodecContext* decoder = video_decoder_.get();
  AVPacket* data = nullptr;
  if (packet.Kind == TQueuedPacket::pkEmpty) {
    if (state.drained) return true;
    state.drained = true;
  } else {
    data = packet.Packet.get();
  }
  int sent = avcodec.avcodec_send_packet(decoder, data);
  if (sent == AVERROR_EOF && data != nullptr) {
    // Packets after the end (a stream that goes on): start decoding afresh.
    avcodec.avcodec_flush_buffers(decoder);
    state.drained = false;
    sent = avcodec.avcodec_send_packet(decoder, data);
  }
  int result = 0;
  for (;;) {
    while (!state.discard && (result = avcodec.avcodec_receive_frame(decoder, frame)) == 0) {
      const bool go_on = HandleVideoFrame(state, frame);
      avutil.av_frame_unref(frame);
      if (!go_on) return false;
    }
    // A decoder that holds finished pictures takes the packet once they are out.
    if (sent != AVERROR(EAGAIN) || state.discard) break;
    sent = avcodec.avcodec_send_packet(decoder, data);
  }
  if (result == AVERROR_EOF && !state.discard) {
    // Landed so late that no key frame followed before the end.
    if (state.target != AV_NOPTS_VALUE && state.first_after_flush && RetrySeekEarlier(state)) {
      return true;
    }
    // The last picture at or before a target beyond the end is the last one.
    if (state.held &&
        !QueuePicture(std::move(state.held), state.held_pts, state.held_duration, state.serial)) {
      return false;
    }
    state.target = AV_NOPTS_VALUE;
    video_finished_ = true;
  }
  return true;
}

bool TPlaybackContext::HandleVideoFrame(TVideoDecodeState& state, AVFrame* frame) {
  const AVRational time_base = video_stream_->time_base;
  int64_t pts = state.next_pts;
  if (frame->best_effort_timestamp != AV_NOPTS_VALUE) {
    pts = avutil.av_rescale_q(frame->best_effort_timestamp, time_base, AV_TIME_BASE_Q);
  }
  int64_t duration = static_cast<int64_t>(frame_period_ * 1e6);
  if (frame->pkt_duration > 0) {
    duration = avutil.av_rescale_q(frame->pkt_duration, time_base, AV_TIME_BASE_Q);
  }
  duration += duration * frame->repeat_pict / 2;
  state.next_pts = pts + duration;

  if (state.target != AV_NOPTS_VALUE) {
    if (state.first_after_flush) {
      state.first_after_flush = false;
      if (LandedPastTarget(pts, state.target) && RetrySeekEarlier(state)) return true;
    }
    if (BeforeTarget(pts, state.target, trCovering)) {
      state.held.reset(avutil.av_frame_clone(frame));
      state.held_pts = pts;
      state.held_duration = duration;
      return true;
    }
    state.target = AV_NOPTS_VALUE;
    if (state.held &&
        !QueuePicture(std::move(state.held), state.held_pts, state.held_duration, state.serial)) {
      return false;
    }
  }
  state.first_after_flush = false;
  return QueuePicture(AVFramePtr(avutil.av_frame_clone(frame)), pts, duration, state.serial);
}

bool TPlaybackContext::RetrySeekEarlier(TVideoDecodeState& state) {
  AVFormatContext* ic = input_.Get();
  const int64_t start = InputOrigin(ic);
  // Nothing lies before the first picture, and a seek to the start cannot land later.
  if (video_start_ != AV_NOPTS_VALUE && state.target < video_start_) return false;
  if (kRetryLeads.Lead(state.attempt + 1) > kRetryLeads.Last ||
      AttemptPoint(state.target, state.attempt) <= start) {
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(seek_mutex_);
    // A seek of the user's own is on its way; it replaces this one.
    if (!seek_.Pending) {
      seek_.Pending = true;
      seek_.FromUser = false;
      seek_.Target = state.target;
      seek_.Attempt = state.attempt + 1;
      seek_.Point = std::max(AttemptPoint(state.target, seek_.Attempt), start);
      seek_.Flags = 0;
      seek_.Exact = true;
      seek_.Serial = ++seek_serial_;
    }
  }
  state.discard = true;
  state.held.reset();
  return true;
}

AVFramePtr TPlaybackContext::HookPicture(const AVFrame* frame, int64_t pts) {
  if (!player_.Hook() || !player_.OnHook) return nullptr;
  if (!ConvertToBitmap(hook_converter_, frame)) {
    Log(llError, "Cannot initialize the toRGB conversion context");
    return nullptr;
  }
  TBitmap& bitmap = *hook_converter_.Bitmap;
  AVFramePtr hooked(avutil.av_frame_alloc());
  {
    std::lock_guard<std::mutex> canvas(bitmap.Lock);
    try {
      player_.OnHook.Call(&bitmap, pts - start_offset_.load());
    } catch (const std::exception& e) {
      Log(llError, std::string("Error occurs OnHook: ") + e.what());
      return nullptr;
    } catch (...) {
      Log(llError, "Error occurs OnHook: ");
      return nullptr;
    }
    hooked->format = AV_PIX_FMT_BGR24;
    hooked->width = bitmap.Width;
    hooked->height = bitmap.Height;
    if (avutil.av_frame_get_buffer(hooked.get(), 0) < 0) return nullptr;
    for (int y = 0; y < bitmap.Height; ++y) {
      memcpy(hooked->data[0] + static_cast<ptrdiff_t>(y) * hooked->linesize[0], bitmap.ScanLine(y),
             static_cast<size_t>(bitmap.Width) * 3);
    }
  }
  hooked->sample_aspect_ratio = frame->sample_aspect_ratio;
  return hooked;
}

std::shared_ptr<TBitmap> TPlaybackContext::ScalePicture(SwsContextPtr& scaler,
                                                        const AVFrame* source,
                                                        const TDisplayRect& rect) {
  auto image = std::make_shared<TBitmap>();
  if (rect.Width <= 0 || rect.Height <= 0) return image;  // nothing to paint into
  const auto format = static_cast<AVPixelFormat>(source->format);
  // The scaler aborts the process on formats it does not know; ask it first.
  if (!swscale.sws_isSupportedInput(format)) return nullptr;
  SwsContext* context = swscale.sws_getCachedContext(
      scaler.release(), source->width, source->height, format, rect.Width, rect.Height,
      AV_PIX_FMT_BGR24, SWS_BICUBIC, nullptr, nullptr, nullptr);
  scaler.reset(context);
  if (context == nullptr) return nullptr;
  image->SetSize(rect.Width, rect.Height);
  uint8_t* planes[4] = {image->Pixels.data(), nullptr, nullptr, nullptr};
  int strides[4] = {image->Stride, 0, 0, 0};
  swscale.sws_scale(context, source->data, source->linesize, 0, source->height, planes, strides);
  return image;
}

bool TPlaybackContext::WaitForAllocationLocked(std::unique_lock<std::mutex>& lock, int width,
                                               int height) {
  if (allocated_ && allocated_width_ == width && allocated_height_ == height) return true;
  allocated_ = false;
  allocated_width_ = width;
  allocated_height_ = height;
  events_.Push({evAllocate, width, height});
  picture_cond_.wait(lock, [this] { return allocated_ || picture_abort_; });
  return !picture_abort_;
}

bool TPlaybackContext::QueuePicture(AVFramePtr source, int64_t pts, int64_t duration,
                                    int32_t serial) {
  if (video_rotation_ != 0) {
    // Turned here, once: the hook, the display, captures and thumbnails all
    // see the picture upright.
    AVFramePtr turned = RotatePicture(source.get(), video_rotation_, rotate_scaler_);
    if (turned) {
      source = std::move(turned);
    } else {
      Log(llError, "Cannot turn the picture upright.");
    }
  }
  AVFramePtr hooked = HookPicture(source.get(), pts);
  TDisplayRect rect;
  int32_t area_width;
  int32_t area_height;
  {
    std::unique_lock<std::mutex> lock(picture_mutex_);
    // A seek asked for meanwhile makes this picture useless: drop it.
    picture_cond_.wait(lock, [&] {
      return picture_count_ == 0 || picture_abort_ || StaleSerial(serial);
    });
    if (picture_abort_) return false;
    if (StaleSerial(serial)) return true;
    if (!WaitForAllocationLocked(lock, source->width, source->height)) return false;
    area_width = area_width_;
    area_height = area_height_;
  }
  rect = PictureRect(area_width, area_height);
  std::shared_ptr<TBitmap> image;
  if (hooked) {
    // What the hook drew is what is shown (and captured).
    image = ScalePicture(decode_scaler_, hooked.get(), rect);
    if (image) {
      source = std::move(hooked);
    } else {
      Log(llError, "Cannot initialize the fromRGB conversion context");
    }
  }
  if (!image) image = ScalePicture(decode_scaler_, source.get(), rect);
  if (!image) {
    Log(llError, "Cannot initialize the conversion context.");
    return false;
  }
  std::lock_guard<std::mutex> lock(picture_mutex_);
  if (picture_abort_) return false;
  picture_.Source = std::move(source);
  picture_.Image = std::move(image);
  picture_.Rect = rect;
  picture_.AreaWidth = area_width;
  picture_.AreaHeight = area_height;
  picture_.Pts = pts;
  picture_.Duration = duration;
  picture_.Serial = serial;
  picture_count_ = 1;
  return true;
}

}  // namespace kelvane
