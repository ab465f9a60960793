#include "tests/common/Watchdog.h"

#include <cstdio>
#include <cstdlib>

namespace kelvane::test {

TWatchdog::TWatchdog(std::chrono::seconds limit, std::string what) {
  thread_ = std::thread([this, limit, what = std::move(what)] {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!wake_.wait_for(lock, limit, [this] { return done_; })) {
      std::fprintf(stderr, "Watchdog: '%s' still running after %lld s; aborting.\n", what.c_str(),
                   static_cast<long long>(limit.count()));
      std::fflush(stderr);
      std::abort();
    }
  });
}

TWatchdog::~TWatchdog() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

}  // namespace kelvane::test
