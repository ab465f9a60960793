// An event handler that may be assigned on one thread and raised on another:
//   slot = [](int64_t pts) {...};   // or slot = nullptr;
//   slot.Call(position);             // false when no handler is set
// The handler is copied out under the lock and run without it, so a handler
// may clear or replace its own slot, and a slot cleared while a call is under
// way does not wait for that call (the owner waits for its threads instead).
//
// Threads: any.
#pragma once

#include <mutex>
#include <utility>

namespace kelvane {

template <typename THandler>
class TEventSlot {
 public:
  TEventSlot& operator=(THandler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    handler_ = std::move(handler);
    return *this;
  }
  explicit operator bool() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<bool>(handler_);
  }
  THandler Get() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return handler_;
  }
  // Runs the handler with `args`; false when none is set.
  template <typename... TArgs>
  bool Call(TArgs&&... args) const {
    THandler handler = Get();
    if (!handler) return false;
    handler(std::forward<TArgs>(args)...);
    return true;
  }

 private:
  mutable std::mutex mutex_;
  // Guarded by mutex_.
  THandler handler_;
};

}  // namespace kelvane
