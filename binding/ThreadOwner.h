// A check that a method runs on the thread its object belongs to: the thread
// that made it. A debug build stops at the first call from another thread
// (assert); a release build checks nothing.
//
//   class TSession { ... TThreadOwner thread_; };
//   void TSession::Stop() { thread_.Check(); ... }
//
// Threads: any; the owner is fixed when the object is made.
#pragma once

#include <cassert>
#include <thread>

namespace kelvane {

class TThreadOwner {
 public:
  TThreadOwner() : owner_(std::this_thread::get_id()) {}
  bool OnOwnerThread() const { return std::this_thread::get_id() == owner_; }
  void Check() const { assert(OnOwnerThread() && "called off the thread that owns the object"); }

 private:
  const std::thread::id owner_;
};

}  // namespace kelvane
