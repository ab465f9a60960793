#include "player/PlayerEventQueue.h"

#include <algorithm>

namespace kelvane {

void TPlayerEventQueue::Push(const TPlayerEvent& event) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(event);
  }
  cond_.notify_one();
}

void TPlayerEventQueue::PushAfter(int milliseconds, const TPlayerEvent& event) {
  const auto due = TClock::now() + std::chrono::milliseconds(std::max(milliseconds, 1));
  {
    std::lock_guard<std::mutex> lock(mutex_);
    timers_.push_back({due, timer_order_++, event});
  }
  cond_.notify_one();
}

void TPlayerEventQueue::MoveDueTimersLocked(TClock::time_point now) {
  std::sort(timers_.begin(), timers_.end(), [](const TTimer& a, const TTimer& b) {
    return a.Due != b.Due ? a.Due < b.Due : a.Order < b.Order;
  });
  auto first_later = std::find_if(timers_.begin(), timers_.end(),
                                  [now](const TTimer& timer) { return timer.Due > now; });
  for (auto it = timers_.begin(); it != first_later; ++it) events_.push_back(it->Event);
  timers_.erase(timers_.begin(), first_later);
}

bool TPlayerEventQueue::Wait(TPlayerEvent& event, std::chrono::milliseconds timeout) {
  const auto deadline = TClock::now() + timeout;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    const auto now = TClock::now();
    MoveDueTimersLocked(now);
    if (!events_.empty()) {
      event = events_.front();
      events_.pop_front();
      return true;
    }
    if (now >= deadline) return false;
    auto until = deadline;
    if (!timers_.empty()) until = std::min(until, timers_.front().Due);
    cond_.wait_until(lock, until);
  }
}

}  // namespace kelvane
