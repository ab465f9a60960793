// Owners for the library objects and files of the engine that binding/AVPtr.h
// has no pointer for: a channel layout (a value with an allocated map inside),
// a decoded subtitle, a C-runtime file opened through the helper table
// (`myutil`), a packet or frame that must be unreferenced on every way out of a
// block, and a loan of an owned pointer to a library call that takes T** and may
// free or replace what it is handed.
//
// Threads: none shared; each owner belongs to the code that made it.
#pragma once

#include <cstdio>
#include <memory>

#include "binding/FFmpegLoader.h"

namespace kelvane {

// An AVChannelLayout that is uninitialised when it goes.
class TChannelLayout {
 public:
  TChannelLayout() = default;
  ~TChannelLayout() { avutil.av_channel_layout_uninit(&layout_); }
  TChannelLayout(const TChannelLayout&) = delete;
  TChannelLayout& operator=(const TChannelLayout&) = delete;

  AVChannelLayout* get() { return &layout_; }
  const AVChannelLayout* get() const { return &layout_; }
  AVChannelLayout* operator->() { return &layout_; }
  const AVChannelLayout* operator->() const { return &layout_; }
  // Becomes a copy of `source`. 0 or a negative AVERROR code.
  int CopyFrom(const AVChannelLayout& source) {
    avutil.av_channel_layout_uninit(&layout_);
    return avutil.av_channel_layout_copy(&layout_, &source);
  }
  // Hands the layout (with its map) to `target`, which must be uninitialised,
  // and is left empty.
  void MoveTo(AVChannelLayout* target) {
    *target = layout_;
    layout_ = AVChannelLayout{};
  }

 private:
  AVChannelLayout layout_{};
};

// A subtitle filled by avcodec_decode_subtitle2, freed when it goes.
class TSubtitle {
 public:
  TSubtitle() = default;
  ~TSubtitle() { avcodec.avsubtitle_free(&subtitle_); }
  TSubtitle(const TSubtitle&) = delete;
  TSubtitle& operator=(const TSubtitle&) = delete;

  AVSubtitle* get() { return &subtitle_; }
  AVSubtitle& operator*() { return subtitle_; }

 private:
  AVSubtitle subtitle_{};
};

// A file of the C runtime the media libraries use, opened and closed through
// the helper table so that both sides share one runtime.
struct TCFileCloser {
  void operator()(FILE* file) const { myutil.my_fclose(file); }
};
using TCFilePtr = std::unique_ptr<FILE, TCFileCloser>;

// Unreferences a packet or frame (which stays allocated) when the block ends.
struct TPacketUnref {
  AVPacket* packet;
  ~TPacketUnref() { avcodec.av_packet_unref(packet); }
};
struct TFrameUnref {
  AVFrame* frame;
  ~TFrameUnref() { avutil.av_frame_unref(frame); }
};

// Lends what `owner` holds to a library call that takes T** and may free or
// replace it: whatever the call leaves there is owned by `owner` again when
// the loan ends, on every way out.
template <typename Owner>
class TPointerLoan {
 public:
  explicit TPointerLoan(Owner& owner) : owner_(owner), raw_(owner.release()) {}
  ~TPointerLoan() { owner_.reset(raw_); }
  TPointerLoan(const TPointerLoan&) = delete;
  TPointerLoan& operator=(const TPointerLoan&) = delete;

  typename Owner::pointer* Address() { return &raw_; }

 private:
  Owner& owner_;
  typename Owner::pointer raw_;
};

}  // namespace kelvane
