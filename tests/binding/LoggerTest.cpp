#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

#include "binding/FFmpegLoader.h"
#include "binding/FFmpegLogger.h"
#include "binding/MainThread.h"
#include "tests/common/TestSupport.h"

namespace kelvane {
namespace {

struct TLogged {
  const void* sender;
  uint32_t thread_id;
  TLogLevel level;
  std::string text;
};

const char* TesterItemName(void*) { return "tester"; }

// An object the libraries can log about: its first field points at its class.
struct TLogSubject {
  const AVClass* av_class;
};
AVClass MakeTesterClass() {
  AVClass av_class{};
  av_class.class_name = "Tester";
  av_class.item_name = TesterItemName;
  av_class.version = LIBAVUTIL_VERSION_INT;
  return av_class;
}
const AVClass kTesterClass = MakeTesterClass();

void LibraryLog(void* object, int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  LibraryLogCallback(object, level, format, args);
  va_end(args);
}

// Collects what reaches OnLog and puts the logger back as it found it.
class LoggerTest : public testing::Test {
 protected:
  void SetUp() override {
    test::LoadEngineLibrariesOrFail();
    saved_level_ = GetLogger().LogLevel();
    GetLogger().SetLogLevel(llInfo);
    LogList().Clear();
    GetLogger().OnLog = [this](const void* sender, uint32_t thread_id, TLogLevel level,
                               const std::string& text) {
      EXPECT_TRUE(IsMainThread());
      std::lock_guard<std::mutex> lock(mutex_);
      logged_.push_back({sender, thread_id, level, text});
    };
  }
  void TearDown() override {
    PumpMessages();
    GetLogger().OnLog = nullptr;
    GetLogger().SetLogLevel(saved_level_);
    LogList().Clear();
  }
  std::vector<TLogged> Logged() {
    PumpMessages();
    std::lock_guard<std::mutex> lock(mutex_);
    return logged_;
  }
  std::vector<std::string> Texts() {
    std::vector<std::string> texts;
    for (const TLogged& item : Logged()) texts.push_back(item.text);
    return texts;
  }

  TLogLevel saved_level_ = llInfo;
  std::mutex mutex_;
  std::vector<TLogged> logged_;
};

TEST(LogLevelRules, NumbersAndLevelsMapBothWays) {
  const struct {
    int number;
    TLogLevel level;
  } cases[] = {{-16, llQuiet}, {-15, llQuiet}, {-8, llQuiet}, {-7, llPanic}, {0, llPanic},
               {7, llPanic},   {8, llFatal},   {16, llError}, {20, llError}, {24, llWarning},
               {32, llInfo},   {40, llVerbose}, {48, llDebug}, {56, llDebug}, {1000, llDebug}};
  for (const auto& c : cases) EXPECT_EQ(NumberToLogLevel(c.number), c.level) << c.number;
  for (int level = llQuiet; level <= llDebug; ++level) {
    EXPECT_EQ(NumberToLogLevel(LogLevelToNumber(TLogLevel(level))), level);
  }
  EXPECT_EQ(LogLevelToNumber(llQuiet), -8);
  EXPECT_EQ(LogLevelToNumber(llDebug), 48);
}

TEST_F(LoggerTest, SetLogLevelByNameAcceptsNamesAndNumbers) {
  TFFLogger& logger = GetLogger();
  logger.SetLogLevelByName("Warning");
  EXPECT_EQ(logger.LogLevel(), llWarning);
  EXPECT_EQ(avutil.av_log_get_level(), AV_LOG_WARNING);
  EXPECT_EQ(LibraryLogLevel.load(), 24);
  logger.SetLogLevelByName("20");
  EXPECT_EQ(logger.LogLevel(), llError);
  logger.SetLogLevelByName("QUIET");
  EXPECT_EQ(logger.LogLevel(), llQuiet);
  EXPECT_THROW(logger.SetLogLevelByName("loud"), std::invalid_argument);
  EXPECT_THROW(logger.SetLogLevelByName(""), std::invalid_argument);
  EXPECT_EQ(logger.LogLevel(), llQuiet);
}

TEST_F(LoggerTest, ComponentMessagesAreFilteredByLevel) {
  TFFLogger& logger = GetLogger();
  int sender = 0;
  logger.SetLogLevel(llQuiet);
  logger.Log(&sender, llVerbose, "dropped when quiet");
  logger.Log(&sender, llError, "error when quiet");
  logger.SetLogLevel(llError);
  logger.Log(&sender, llVerbose, "verbose passes");
  logger.Log(&sender, llWarning, "warning dropped");
  logger.Logf(&sender, llError, "code %d", 7);
  auto logged = Logged();
  ASSERT_EQ(logged.size(), 2u);
  EXPECT_EQ(logged[0].text, "verbose passes");
  EXPECT_EQ(logged[0].sender, &sender);
  EXPECT_EQ(logged[0].thread_id, CurrentThreadId());
  EXPECT_EQ(logged[1].text, "code 7");
  EXPECT_EQ(logged[1].level, llError);
}

TEST_F(LoggerTest, LibraryFragmentsBecomeWholeLines) {
  TLogSubject subject{&kTesterClass};
  LibraryLog(&subject, AV_LOG_INFO, "first %s", "half");
  EXPECT_TRUE(Texts().empty());
  LibraryLog(&subject, AV_LOG_INFO, ", second half\nline two\nrest");
  char prefix[64];
  snprintf(prefix, sizeof prefix, "[tester @ %p]", static_cast<void*>(&subject));
  EXPECT_EQ(Texts(), (std::vector<std::string>{std::string(prefix) + "first half, second half",
                                               "line two"}));
  EXPECT_EQ(LogList().Pending(CurrentThreadId()), "rest");
  auto logged = Logged();
  EXPECT_EQ(logged[0].sender, &GetLogger());
  EXPECT_EQ(logged[0].level, llInfo);
}

TEST_F(LoggerTest, LibraryLevelAboveLibraryLogLevelIsDropped) {
  LibraryLog(nullptr, AV_LOG_DEBUG, "too chatty\n");
  LibraryLog(nullptr, AV_LOG_ERROR, "broken\n");
  EXPECT_EQ(Texts(), std::vector<std::string>{"broken"});
  EXPECT_EQ(Logged()[0].level, llError);
}

TEST_F(LoggerTest, RealLibraryMessagesArriveThroughTheInstalledCallback) {
  TLogSubject subject{&kTesterClass};
  avutil.av_log(&subject, AV_LOG_ERROR, "value %d refused\n", 42);
  ASSERT_EQ(Texts().size(), 1u);
  EXPECT_NE(Texts()[0].find("tester @ "), std::string::npos);
  EXPECT_NE(Texts()[0].find("]value 42 refused"), std::string::npos);
}

TEST_F(LoggerTest, OverlongMessageIsCutAt2047Characters) {
  std::string huge(5000, 'x');
  LibraryLog(nullptr, AV_LOG_INFO, "%s", huge.c_str());
  EXPECT_EQ(LogList().Pending(CurrentThreadId()).size(), 2047u);
  LibraryLog(nullptr, AV_LOG_INFO, "\n");
  LibraryLog(nullptr, AV_LOG_INFO, "next line\n");
  auto texts = Texts();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0], std::string(2047, 'x'));
  EXPECT_EQ(texts[1], "next line");
}

TEST_F(LoggerTest, WithoutHandlerLinesAreStillAssembled) {
  GetLogger().OnLog = nullptr;
  LibraryLog(nullptr, AV_LOG_INFO, "a\nb");
  EXPECT_EQ(LogList().Pending(CurrentThreadId()), "b");
  EXPECT_TRUE(Logged().empty());
}

TEST_F(LoggerTest, InterleavedThreadsKeepTheirOwnLines) {
  TLogSubject subject{&kTesterClass};
  constexpr int kLines = 50;
  uint32_t ids[2] = {0, 0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      ids[t] = CurrentThreadId();
      for (int i = 0; i < kLines; ++i) {
        LibraryLog(&subject, AV_LOG_INFO, "thread %d ", t);
        LibraryLog(nullptr, AV_LOG_INFO, "line %d", i);
        LibraryLog(nullptr, AV_LOG_INFO, " end\n");
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  auto logged = Logged();
  ASSERT_EQ(logged.size(), 2u * kLines);
  char prefix[64];
  snprintf(prefix, sizeof prefix, "[tester @ %p]", static_cast<void*>(&subject));
  int next[2] = {0, 0};
  for (const TLogged& item : logged) {
    int t = item.thread_id == ids[0] ? 0 : 1;
    ASSERT_EQ(item.thread_id, ids[t]);
    EXPECT_EQ(item.text, std::string(prefix) + "thread " + std::to_string(t) + " line " +
                             std::to_string(next[t]++) + " end");
  }
  EXPECT_EQ(next[0], kLines);
  EXPECT_EQ(next[1], kLines);
}

TEST_F(LoggerTest, WorkerMessagesReachTheMainThreadInOrder) {
  std::thread worker([] {
    for (int i = 0; i < 3; ++i) GetLogger().Logf(nullptr, llError, "worker %d", i);
  });
  worker.join();
  EXPECT_EQ(Texts(), (std::vector<std::string>{"worker 0", "worker 1", "worker 2"}));
}

}  // namespace
}  // namespace kelvane
