// A watchdog for tests that run code which might never return (a conversion
// stuck on a damaged file, a worker that is never joined). Armed on
// construction; if it is still alive after `limit`, it prints what was running
// and aborts the program, so the hang shows as a failed test instead of a test
// run that never ends. Disarmed by destruction.
//
// Threads: owned by the test's thread; the watch runs on a thread of its own.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace kelvane::test {

class TWatchdog {
 public:
  TWatchdog(std::chrono::seconds limit, std::string what);
  ~TWatchdog();
  TWatchdog(const TWatchdog&) = delete;
  TWatchdog& operator=(const TWatchdog&) = delete;

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  // Guarded by mutex_.
  bool done_ = false;
  std::thread thread_;
};

}  // namespace kelvane::test
