// The process-wide logger: component messages and the media libraries' own
// av_log output, filtered by level and handed to one OnLog handler on the main
// thread.
//
// Library output arrives in fragments from any thread that calls into the
// libraries; the callback assembles the fragments into whole lines per thread
// (TLogList) and prefixes a line with "[<class item name> @ <address>]" of the
// object it is about. Finished lines and component messages are delivered to
// OnLog on the main thread in the order they were produced.
//
// Ownership: GetLogger() creates the single TFFLogger on first use; it lives
// until the process ends. The loader installs its av_log callback whenever the
// utility library loads and puts the library's default callback back before
// unloading it.
//
// Threads: Log, Logf and the library callback from any thread. A message made
// on the main thread is delivered before Log returns; one made on another thread
// is queued for the main thread and the caller goes on without waiting (a worker
// logging inside avcodec_open2 holds CodecLock, so waiting for a main thread that
// may itself be waiting for CodecLock would hang both). The main thread runs the
// queue whenever it pumps (PumpMessages, WaitOnMainThread, the toolkit's loop).
// OnLog and LogLevel may be changed from any thread.
#pragma once

#include <array>
#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "binding/EventSlot.h"

namespace kelvane {

enum TLogLevel : int {
  llQuiet,
  llPanic,
  llFatal,
  llError,
  llWarning,
  llInfo,
  llVerbose,
  llDebug,
};

// The levels' names as the libraries' own option spells them, by ordinal:
// "quiet", "panic", .. "debug".
extern const std::array<const char*, llDebug + 1> kLogLevelNames;
// The level named `name` in any letter case; nothing for any other text.
std::optional<TLogLevel> LogLevelByName(std::string_view name);

// (ordinal - 1) * 8: llQuiet -8, llPanic 0, llError 16, llInfo 32, llDebug 48.
int LogLevelToNumber(TLogLevel level);
// number / 8 (toward zero) + 1, limited to llQuiet..llDebug.
TLogLevel NumberToLogLevel(int number);

// The numeric level library messages are filtered with; starts at 32 (info).
extern std::atomic<int> LibraryLogLevel;

// The id of the calling thread as the system knows it (gettid), 32 bits.
uint32_t CurrentThreadId();

// `sender`: the object the message is about (the logger itself for library lines);
// for telling sources apart only, as a queued message may outlive its sender.
using TLogEvent = std::function<void(const void* sender, uint32_t thread_id, TLogLevel level,
                                     const std::string& message)>;

// Holds the OnLog handler so that it can be assigned and tested from any thread:
//   GetLogger().OnLog = [](const void*, uint32_t, TLogLevel, const std::string&) {...};
//   GetLogger().OnLog = nullptr;
using TLogEventSlot = TEventSlot<TLogEvent>;

class TFFLogger {
 public:
  TFFLogger(const TFFLogger&) = delete;
  TFFLogger& operator=(const TFFLogger&) = delete;

  // Messages above this level are dropped. Writing it also sets the libraries'
  // level (when the utility library is loaded) and LibraryLogLevel.
  TLogLevel LogLevel() const { return log_level_.load(); }
  void SetLogLevel(TLogLevel level);

  // "quiet".."debug" in any letter case, or a decimal number of the libraries'
  // scale. Throws std::invalid_argument for any other text.
  void SetLogLevelByName(const std::string& name);

  // Installs the library callback with av_log_set_callback; the utility library
  // must be loaded.
  void InstallLibraryCallback();

  // A component's message. Passes when `level` <= LogLevel, and llVerbose also
  // whenever LogLevel is above llQuiet.
  void Log(const void* sender, TLogLevel level, const std::string& text);
  void Logf(const void* sender, TLogLevel level, const char* format, ...)
      __attribute__((format(printf, 4, 5)));

  // One finished line of library output; not filtered by LogLevel again.
  void LogLibraryLine(uint32_t thread_id, int number_level, const std::string& text);

  TLogEventSlot OnLog;

 private:
  friend TFFLogger& GetLogger();
  TFFLogger();
  void Deliver(const void* sender, uint32_t thread_id, TLogLevel level, std::string text);

  std::atomic<TLogLevel> log_level_;
};

// The single logger, created on first use.
TFFLogger& GetLogger();

// The av_log callback the logger installs.
void LibraryLogCallback(void* object, int level, const char* format, va_list args);

// Library text that has not yet received its line feed, per thread.
struct TLogItem {
  uint32_t thread_id = 0;
  std::string pending;
};

class TLogList {
 public:
  // Appends `fragment` to the calling thread's pending text and returns the
  // finished lines (without their line feeds); the rest waits for the next
  // fragment of the same thread. `prefix` is put in front when the thread has
  // no pending text. Each line is limited to 2047 characters.
  std::vector<std::string> Add(uint32_t thread_id, const std::string& prefix,
                               const char* fragment);
  // The calling thread's unfinished text (for tests and diagnostics).
  std::string Pending(uint32_t thread_id);
  // Forgets every pending text.
  void Clear();

 private:
  std::mutex mutex_;
  // Guarded by mutex_.
  std::vector<TLogItem> items_;
};

TLogList& LogList();

}  // namespace kelvane
