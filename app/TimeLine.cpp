#include "app/TimeLine.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "binding/MainThread.h"
#include "player/FFPlayer.h"

namespace kelvane {

void TTimeLineView::SetDuration(int64_t duration) {
  duration_ = std::max<int64_t>(duration, 0);
  start_ = 0;
  length_ = duration_;
}

void TTimeLineView::Clamp() {
  length_ = std::clamp<int64_t>(length_, std::min(kMinLength, duration_), duration_);
  start_ = std::clamp<int64_t>(start_, 0, duration_ - length_);
}

void TTimeLineView::Zoom(double factor, int64_t anchor) {
  if (duration_ <= 0 || factor <= 0) return;
  const bool in_view = anchor >= start_ && anchor <= End();
  const double fraction = in_view && length_ > 0 ? double(anchor - start_) / double(length_) : 0.5;
  length_ = static_cast<int64_t>(std::llround(double(length_) / factor));
  length_ = std::clamp<int64_t>(length_, std::min(kMinLength, duration_), duration_);
  start_ = anchor - static_cast<int64_t>(std::llround(fraction * double(length_)));
  Clamp();
}

void TTimeLineView::Scroll(int64_t delta) {
  start_ += delta;
  Clamp();
}

void TTimeLineView::KeepInView(int64_t position) {
  if (!Zoomed() || (position >= start_ && position <= End())) return;
  start_ = position < start_ ? position - length_ / 2 : position;
  Clamp();
}

double TTimeLineView::XOf(int64_t time, int width) const {
  if (length_ <= 0 || width <= 0) return 0;
  return double(time - start_) * double(width) / double(length_);
}

int64_t TTimeLineView::TimeAt(double x, int width) const {
  if (length_ <= 0 || width <= 0) return 0;
  const double time = double(start_) + x * double(length_) / double(width);
  return std::clamp<int64_t>(static_cast<int64_t>(std::llround(time)), 0, duration_);
}

int64_t NearestKeyFrame(const std::vector<int64_t>& key_frames, int64_t time) {
  if (key_frames.empty()) return time;
  const auto after = std::lower_bound(key_frames.begin(), key_frames.end(), time);
  if (after == key_frames.begin()) return *after;
  if (after == key_frames.end()) return key_frames.back();
  const int64_t before = *(after - 1);
  return time - before <= *after - time ? before : *after;
}

void TScrubber::MoveTo(int64_t time) {
  if (!dragging_) {
    dragging_ = true;
    seeks_sent_ = 0;
  }
  pending_ = std::max<int64_t>(time, 0);
  Tick();
}

void TScrubber::Tick() {
  if (pending_ < 0) return;
  if (seeks_sent_ > 0 && !player_.SeekSettled() &&
      std::chrono::steady_clock::now() - sent_at_ < kGiveUp) {
    return;
  }
  Send(std::exchange(pending_, -1));
}

void TScrubber::Send(int64_t time) {
  player_.SeekToKeyFrame(time);
  sent_at_ = std::chrono::steady_clock::now();
  ++seeks_sent_;
}

void TScrubber::Release(int64_t time) {
  dragging_ = false;
  pending_ = -1;
  // An earlier seek still pending would make the player ignore this one.
  // (The player's threads may be waiting for the main thread meanwhile.)
  WaitOnMainThread([this] { return player_.SeekSettled(); }, kGiveUp);
  player_.Seek(std::max<int64_t>(time, 0));
}

}  // namespace kelvane
