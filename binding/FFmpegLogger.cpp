#include "binding/FFmpegLogger.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include <strings.h>

#include "binding/FFmpegLoader.h"
#include "binding/LoaderFollowUps.h"
#include "binding/MainThread.h"

namespace kelvane {

std::atomic<int> LibraryLogLevel{AV_LOG_INFO};

namespace {

// What the libraries hand over in one call, and the longest line assembled.
constexpr size_t kLogBufferSize = 2048;
constexpr size_t kMaxLogText = kLogBufferSize - 1;

}  // namespace

const std::array<const char*, llDebug + 1> kLogLevelNames = {
    "quiet", "panic", "fatal", "error", "warning", "info", "verbose", "debug"};

std::optional<TLogLevel> LogLevelByName(std::string_view name) {
  for (size_t i = 0; i < kLogLevelNames.size(); ++i) {
    const std::string_view candidate = kLogLevelNames[i];
    if (name.size() == candidate.size() &&
        strncasecmp(name.data(), candidate.data(), name.size()) == 0) {
      return static_cast<TLogLevel>(i);
    }
  }
  return std::nullopt;
}

int LogLevelToNumber(TLogLevel level) { return (static_cast<int>(level) - 1) * 8; }

TLogLevel NumberToLogLevel(int number) {
  int ordinal = number / 8 + 1;
  return static_cast<TLogLevel>(std::clamp(ordinal, static_cast<int>(llQuiet),
                                           static_cast<int>(llDebug)));
}

uint32_t CurrentThreadId() { return static_cast<uint32_t>(syscall(SYS_gettid)); }

TFFLogger::TFFLogger() : log_level_(NumberToLogLevel(LibraryLogLevel.load())) {}

TFFLogger& GetLogger() {
  static TFFLogger* logger = new TFFLogger;  // outlives every thread that may log at exit
  return *logger;
}

void TFFLogger::SetLogLevel(TLogLevel level) {
  log_level_ = level;
  const int number = LogLevelToNumber(level);
  if (avutil.av_log_set_level != nullptr) {
    avutil.av_log_set_level(number);
    LibraryLogLevel = number;
  }
}

void TFFLogger::SetLogLevelByName(const std::string& name) {
  int number = 0;
  if (const std::optional<TLogLevel> named = LogLevelByName(name)) {
    number = LogLevelToNumber(*named);
  } else {
    const char* text = name.c_str();
    char* end = nullptr;
    errno = 0;
    long value = strtol(text, &end, 10);
    while (end != nullptr && *end == ' ') ++end;
    if (name.empty() || end == text || *end != '\0' || errno == ERANGE || value < INT32_MIN ||
        value > INT32_MAX) {
      throw std::invalid_argument("'" + name + "' is not a valid integer value");
    }
    number = static_cast<int>(value);
  }
  SetLogLevel(NumberToLogLevel(number));
}

void TFFLogger::InstallLibraryCallback() {
  assert(avutil.av_log_set_callback != nullptr && "the utility library is not loaded");
  if (avutil.av_log_set_callback != nullptr) avutil.av_log_set_callback(&LibraryLogCallback);
}

void TFFLogger::Log(const void* sender, TLogLevel level, const std::string& text) {
  if (!OnLog) return;
  const TLogLevel limit = LogLevel();
  if (level <= limit || (level == llVerbose && limit > llQuiet)) {
    Deliver(sender, CurrentThreadId(), level, text);
  }
}

void TFFLogger::Logf(const void* sender, TLogLevel level, const char* format, ...) {
  if (!OnLog) return;
  char buffer[kLogBufferSize];
  va_list args;
  va_start(args, format);
  vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  Log(sender, level, buffer);
}

void TFFLogger::LogLibraryLine(uint32_t thread_id, int number_level, const std::string& text) {
  if (!OnLog) return;
  Deliver(this, thread_id, NumberToLogLevel(number_level), text);
}

void TFFLogger::Deliver(const void* sender, uint32_t thread_id, TLogLevel level,
                        std::string text) {
  // Each message carries its own fields, so deliveries from several threads
  // never share state and keep their order in the main thread's queue.
  auto raise = [this, sender, thread_id, level, text = std::move(text)] {
    TLogEvent handler = OnLog.Get();
    if (handler) handler(sender, thread_id, level, text);
  };
  if (IsMainThread()) {
    raise();
  } else {
    PostToMainThread(std::move(raise));
  }
}

std::vector<std::string> TLogList::Add(uint32_t thread_id, const std::string& prefix,
                                       const char* fragment) {
  std::vector<std::string> lines;
  std::lock_guard<std::mutex> lock(mutex_);
  TLogItem* item = nullptr;
  TLogItem* idle = nullptr;
  for (TLogItem& candidate : items_) {
    if (candidate.thread_id == thread_id) {
      item = &candidate;
      break;
    }
    if (idle == nullptr && candidate.pending.empty()) idle = &candidate;
  }
  // An item without pending text serves whichever thread comes next, so the
  // list stays as long as the number of threads with unfinished lines.
  if (item == nullptr) item = idle;
  if (item == nullptr) item = &items_.emplace_back();
  item->thread_id = thread_id;

  std::string text = std::move(item->pending);
  item->pending.clear();
  if (text.empty()) text = prefix;
  text += fragment;

  // Each line is limited, not the text as a whole: an over-long line loses its
  // tail, but its line feed still ends it, so later lines of the thread survive.
  size_t start = 0;
  for (size_t feed; (feed = text.find('\n', start)) != std::string::npos; start = feed + 1) {
    lines.emplace_back(text, start, std::min(feed - start, kMaxLogText));
  }
  item->pending.assign(text, start, kMaxLogText);
  return lines;
}

std::string TLogList::Pending(uint32_t thread_id) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const TLogItem& item : items_) {
    if (item.thread_id == thread_id) return item.pending;
  }
  return {};
}

void TLogList::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  items_.clear();
}

TLogList& LogList() {
  static TLogList* list = new TLogList;  // library threads may log during exit
  return *list;
}

void LibraryLogCallback(void* object, int level, const char* format, va_list args) {
  // Callers may add colour bits above the level's own byte.
  const int number = level >= 0 ? (level & 0xff) : level;
  if (number > LibraryLogLevel.load()) return;

  const uint32_t thread_id = CurrentThreadId();
  std::string prefix;
  if (object != nullptr) {
    const AVClass* av_class = *static_cast<const AVClass* const*>(object);
    const char* item_name = nullptr;
    if (av_class != nullptr) {
      item_name = av_class->item_name != nullptr ? av_class->item_name(object)
                                                 : av_class->class_name;
    }
    char head[256];
    snprintf(head, sizeof head, "[%s @ %p]", item_name != nullptr ? item_name : "NULL", object);
    prefix = head;
  }
  char message[kLogBufferSize];
  va_list copy;
  va_copy(copy, args);
  vsnprintf(message, sizeof message, format, copy);
  va_end(copy);

  TFFLogger& logger = GetLogger();
  for (const std::string& line : LogList().Add(thread_id, prefix, message)) {
    logger.LogLibraryLine(thread_id, number, line);
  }
}

void InstallLogHookAfterLoad() { GetLogger().InstallLibraryCallback(); }

void UninstallLogHookBeforeUnload() {
  if (avutil.av_log_set_callback != nullptr && avutil.av_log_default_callback != nullptr) {
    avutil.av_log_set_callback(avutil.av_log_default_callback);
  }
}

}  // namespace kelvane
