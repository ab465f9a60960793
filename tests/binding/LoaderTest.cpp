// Loading library sets from folders, failures and their texts, and the
// main-thread dispatcher the binding layer delivers through.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "binding/FFmpegLoader.h"
#include "binding/FFmpegLogger.h"
#include "binding/MainThread.h"
#include "tests/common/TestSupport.h"

namespace kelvane {
namespace {

namespace fs = std::filesystem;

constexpr TLibrarySet kAllLibraries{LibAVCodec, LibAVDevice,   LibAVFilter, LibAVFormat, LibAVUtil,
                                    LibSwScale, LibSwResample, LibMyUtil,   LibSDL};
const char* const kSystemLibraryFolder = "/usr/lib/x86_64-linux-gnu/";

// The file an entry point was resolved from.
std::string ModuleOf(const void* entry) {
  Dl_info info{};
  if (entry == nullptr || dladdr(entry, &info) == 0 || info.dli_fname == nullptr) return "";
  return info.dli_fname;
}

void WriteGarbage(const std::string& path) {
  std::ofstream(path, std::ios::binary) << "this is not a shared object, only some bytes\n";
}

// Every test starts with nothing loaded and leaves the engine's set loaded from
// the system again, as the other tests of the program expect.
class LoaderTest : public testing::Test {
 protected:
  void SetUp() override {
    loader_.UnloadLibraries(kAllLibraries);
    loader_.SetLibraryPath("");
  }
  void TearDown() override {
    loader_.UnloadLibraries(kAllLibraries);
    loader_.SetLibraryPath("");
    ASSERT_TRUE(loader_.LoadLibraries(EngineLibraries)) << loader_.LastError();
  }
  void ExpectNothingOf(TLibrarySet set) {
    for (int id = 0; id < LibraryCount; ++id) {
      if (set.Contains(TLibraryId(id))) {
        EXPECT_FALSE(loader_.LibraryLoaded(TLibraryId(id))) << LibraryIdName(TLibraryId(id));
      }
    }
  }

  TFFmpegLoader& loader_ = GetLoader();
  test::TTempDir folder_;
};

TEST(LoaderNames, LibraryFileNames) {
  const struct {
    TLibraryId id;
    const char* file;
  } cases[] = {{LibAVCodec, "libavcodec.so.59"},       {LibAVDevice, "libavdevice.so.59"},
               {LibAVFilter, "libavfilter.so.8"},      {LibAVFormat, "libavformat.so.59"},
               {LibAVUtil, "libavutil.so.57"},         {LibSwScale, "libswscale.so.6"},
               {LibSwResample, "libswresample.so.4"},  {LibMyUtil, "libc.so.6"},
               {LibSDL, "libSDL2-2.0.so.0"}};
  for (const auto& c : cases) EXPECT_EQ(TFFmpegLoader::LibraryFileName(c.id), c.file);
}

TEST_F(LoaderTest, EmptyFolderFallsBackToTheSystemSearch) {
  loader_.SetLibraryPath(folder_.Path().string());
  ASSERT_TRUE(loader_.LoadLibraries(EngineLibraries)) << loader_.LastError();
  EXPECT_TRUE(loader_.LibrariesLoaded(EngineLibraries));
  EXPECT_FALSE(loader_.LibraryLoaded(LibSDL));
  EXPECT_FALSE(loader_.LibraryLoaded(LibAVDevice));
  EXPECT_EQ(ModuleOf(reinterpret_cast<void*>(avutil.av_malloc)).find(folder_.Path().string()),
            std::string::npos);
  EXPECT_STREQ(avutil.av_get_pix_fmt_name(AV_PIX_FMT_YUV420P), "yuv420p");
}

TEST_F(LoaderTest, CopiesInTheFolderAreTheOnesLoaded) {
  for (TLibraryId id : {LibAVUtil, LibSwResample, LibSwScale, LibAVCodec, LibAVFormat,
                        LibAVFilter}) {
    const std::string file = TFFmpegLoader::LibraryFileName(id);
    fs::copy_file(kSystemLibraryFolder + file, folder_.Path() / file);
  }
  loader_.SetLibraryPath(folder_.Path().string() + "/");
  ASSERT_TRUE(loader_.LoadLibraries(EngineLibraries)) << loader_.LastError();
  EXPECT_EQ(ModuleOf(reinterpret_cast<void*>(avutil.av_malloc)),
            (folder_.Path() / "libavutil.so.57").string());
  EXPECT_EQ(ModuleOf(reinterpret_cast<void*>(avcodec.avcodec_open2)),
            (folder_.Path() / "libavcodec.so.59").string());
  // The copies work: find a codec and run a library call that logs.
  EXPECT_NE(avcodec.avcodec_find_encoder(AV_CODEC_ID_PCM_S16LE), nullptr);
}

TEST_F(LoaderTest, BrokenLibraryFailsTheWholeSet) {
  const std::string broken = (folder_.Path() / "libavcodec.so.59").string();
  WriteGarbage(broken);
  loader_.SetLibraryPath(folder_.Path().string());
  EXPECT_FALSE(loader_.LoadLibraries(EngineLibraries));
  const std::string expected = "Load library " + broken + " error: ";
  EXPECT_EQ(loader_.LastError().substr(0, expected.size()), expected) << loader_.LastError();
  EXPECT_GT(loader_.LastError().size(), expected.size()) << "the system's reason follows";
  ExpectNothingOf(EngineLibraries);
  EXPECT_FALSE(loader_.LibrariesLoaded(EngineLibraries));
  EXPECT_EQ(avutil.av_malloc, nullptr);
  EXPECT_EQ(avcodec.avcodec_open2, nullptr);
  EXPECT_EQ(swscale.sws_scale, nullptr);
  EXPECT_EQ(myutil.my_snprintf, nullptr);

  // The same folder spelt with a trailing "/" names the same file.
  loader_.SetLibraryPath(folder_.Path().string() + "/");
  EXPECT_FALSE(loader_.LoadLibraries(EngineLibraries));
  EXPECT_EQ(loader_.LastError().substr(0, expected.size()), expected);
}

TEST_F(LoaderTest, MissingEntryPointLeavesEveryEntryUnset) {
  // Another library under the scaling library's name lacks its functions.
  fs::copy_file(std::string(kSystemLibraryFolder) + "libswresample.so.4",
                folder_.Path() / "libswscale.so.6");
  loader_.SetLibraryPath(folder_.Path().string());
  EXPECT_FALSE(loader_.LoadLibraries(EngineLibraries));
  EXPECT_EQ(loader_.LastError().rfind("Load function sws_getContext@libswscale.so.6 error: ", 0),
            0u)
      << loader_.LastError();
  EXPECT_EQ(swscale.sws_getContext, nullptr);
  EXPECT_EQ(swscale.swscale_version, nullptr);
  ExpectNothingOf(EngineLibraries);
}

TEST_F(LoaderTest, FailedPlayerSetAlsoUnloadsWhatTheEngineShares) {
  ASSERT_TRUE(loader_.LoadLibraries(EngineLibraries)) << loader_.LastError();
  WriteGarbage((folder_.Path() / "libSDL2-2.0.so.0").string());
  loader_.SetLibraryPath(folder_.Path().string());
  EXPECT_FALSE(loader_.LoadLibraries(PlayerLibraries));
  EXPECT_NE(loader_.LastError().find("libSDL2-2.0.so.0"), std::string::npos);
  ExpectNothingOf(PlayerLibraries);
  EXPECT_FALSE(loader_.LibrariesLoaded(EngineLibraries));
  EXPECT_TRUE(loader_.LibraryLoaded(LibAVFilter)) << "not a member of the player's set";
}

TEST_F(LoaderTest, LoadingTwiceKeepsTheModulesAndReinstallsTheLogHook) {
  ASSERT_TRUE(loader_.LoadLibraries(EngineLibraries));
  auto* open = avcodec.avcodec_open2;
  // Someone replaced the library's callback meanwhile.
  avutil.av_log_set_callback(avutil.av_log_default_callback);
  ASSERT_TRUE(loader_.LoadLibraries(EngineLibraries));
  EXPECT_EQ(avcodec.avcodec_open2, open);

  std::vector<std::string> lines;
  GetLogger().OnLog = [&](const void*, uint32_t, TLogLevel, const std::string& text) {
    lines.push_back(text);
  };
  avutil.av_log(nullptr, AV_LOG_ERROR, "hooked again\n");
  PumpMessages();
  GetLogger().OnLog = nullptr;
  EXPECT_EQ(lines, std::vector<std::string>{"hooked again"});
}

TEST_F(LoaderTest, UnloadPutsTheDefaultLogCallbackBack) {
  ASSERT_TRUE(loader_.LoadLibraries(EngineLibraries));
  void* module = dlopen("libavutil.so.57", RTLD_NOW);  // keeps the library mapped
  ASSERT_NE(module, nullptr);
  auto* av_log = reinterpret_cast<decltype(&::av_log)>(dlsym(module, "av_log"));
  loader_.UnloadOne(LibAVUtil);
  EXPECT_FALSE(loader_.LibraryLoaded(LibAVUtil));
  std::vector<std::string> lines;
  GetLogger().OnLog = [&](const void*, uint32_t, TLogLevel, const std::string& text) {
    lines.push_back(text);
  };
  av_log(nullptr, AV_LOG_DEBUG, "no longer ours\n");  // below the default level: silent
  PumpMessages();
  GetLogger().OnLog = nullptr;
  EXPECT_TRUE(lines.empty());
  dlclose(module);
}

// ---- the main-thread dispatcher --------------------------------------------

TEST(MainThreadDispatcher, WorkersCallInMainThreadWhileItWaits) {
  constexpr int kWorkers = 4, kCalls = 25;
  std::atomic<int> on_main{0}, off_main{0}, finished{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&] {
      for (int i = 0; i < kCalls; ++i) {
        CallInMainThread([&] { (IsMainThread() ? on_main : off_main)++; });
      }
      ++finished;
      NotifyMainThread();
    });
  }
  ASSERT_TRUE(WaitOnMainThread([&] { return finished == kWorkers; }, std::chrono::seconds(30)));
  for (std::thread& worker : workers) worker.join();
  EXPECT_EQ(on_main.load(), kWorkers * kCalls);
  EXPECT_EQ(off_main.load(), 0);
}

TEST(MainThreadDispatcher, ExceptionsReachTheCallerAndPostsKeepTheirOrder) {
  std::string failure;
  std::atomic<bool> done{false};
  std::thread worker([&] {
    try {
      CallInMainThread([] { throw std::runtime_error("refused on the main thread"); });
    } catch (const std::runtime_error& e) {
      failure = e.what();
    }
    done = true;
    NotifyMainThread();
  });
  ASSERT_TRUE(WaitOnMainThread([&] { return done.load(); }, std::chrono::seconds(30)));
  worker.join();
  EXPECT_EQ(failure, "refused on the main thread");

  std::vector<int> order;
  std::thread poster([&] {
    for (int i = 0; i < 5; ++i) PostToMainThread([&order, i] { order.push_back(i); });
  });
  poster.join();
  EXPECT_TRUE(order.empty()) << "posted work waits for the main thread";
  PumpMessages();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
  bool ran = false;
  CallInMainThread([&] { ran = true; });
  EXPECT_TRUE(ran) << "on the main thread the call runs at once";
}

}  // namespace
}  // namespace kelvane
