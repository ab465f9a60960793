#include "binding/FrameHook.h"

#include <dlfcn.h>

#include <cstdarg>
#include <map>
#include <memory>
#include <mutex>
#include <new>

#include "binding/FFmpegLoader.h"
#include "binding/FFmpegLogger.h"
#include "binding/FileUtils.h"

namespace kelvane {
namespace {

// Loaded plug-in modules by the name they were given; kept for the process.
struct TModuleList {
  std::mutex mutex;
  // Guarded by mutex.
  std::map<std::string, void*> modules;
};

TModuleList& Modules() {
  static TModuleList* list = new TModuleList;  // modules stay loaded until exit
  return *list;
}

void LogError(const char* format, ...) __attribute__((format(printf, 1, 2)));
void LogError(const char* format, ...) {
  char text[2048];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  // Through the libraries' log when they are there, so it reads like their lines.
  if (avutil.av_log != nullptr) {
    avutil.av_log(nullptr, AV_LOG_ERROR, "%s", text);
  } else {
    std::string line = text;
    if (!line.empty() && line.back() == '\n') line.pop_back();
    GetLogger().Log(nullptr, llError, line);
  }
}

// Finds or loads the module; null with the system's reason in `why` on failure.
void* LoadPlugin(const std::string& file_name, std::string& why) {
  TModuleList& list = Modules();
  std::lock_guard<std::mutex> lock(list.mutex);
  auto known = list.modules.find(file_name);
  if (known != list.modules.end()) return known->second;
  // A bare name is looked for in the current folder first, as a user naming a
  // file expects; the system search comes next.
  std::string path = file_name;
  if (file_name.find('/') == std::string::npos && FileExists(file_name)) path = "./" + file_name;
  dlerror();
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* text = dlerror();
    why = text != nullptr ? text : "cannot load the plug-in";
    return nullptr;
  }
  list.modules.emplace(file_name, handle);
  return handle;
}

}  // namespace

TFrameHookChain::~TFrameHookChain() { ReleaseFrameHooks(*this); }

int AddFrameHook(TFrameHookChain& chain, const std::vector<std::string>& arguments) {
  if (arguments.empty()) return -2;
  const std::string& file_name = arguments[0];
  std::string why;
  void* module = LoadPlugin(file_name, why);
  if (module == nullptr) {
    LogError("%s\n", why.c_str());  // outside the list's lock: a log handler may add hooks
    return -1;
  }

  TFrameHookEntry entry;
  entry.Configure = reinterpret_cast<TFrameHookConfigureFn>(dlsym(module, "Configure"));
  entry.Process = reinterpret_cast<TFrameHookProcessFn>(dlsym(module, "Process"));
  entry.Release = reinterpret_cast<TFrameHookReleaseFn>(dlsym(module, "Release"));
  if (entry.Process == nullptr) {
    LogError("Failed to find Process entrypoint in %s\n", file_name.c_str());
    return -2;
  }
  if (entry.Configure == nullptr && arguments.size() > 1) {
    LogError("Failed to find Configure entrypoint in %s\n", file_name.c_str());
    return -2;
  }
  try {
    chain.entries_.reserve(chain.entries_.size() + 1);
    if (entry.Configure != nullptr) {
      // Plug-ins take mutable C strings; they live for the duration of the call.
      std::vector<std::string> copies = arguments;
      std::vector<char*> argv;
      for (std::string& argument : copies) argv.push_back(argument.data());
      argv.push_back(nullptr);
      if (entry.Configure(&entry.Context, static_cast<int>(arguments.size()), argv.data()) != 0) {
        LogError("Failed to Configure %s\n", file_name.c_str());
        return -22;
      }
    }
  } catch (const std::bad_alloc&) {
    return -12;
  }
  chain.entries_.push_back(entry);
  return 0;
}

void ProcessFrameHooks(TFrameHookChain& chain, TFrameHookPicture& picture, int pixel_format,
                       int width, int height, int64_t time) {
  for (const TFrameHookEntry& entry : chain.Entries()) {
    entry.Process(entry.Context, &picture, pixel_format, width, height, time);
  }
}

void ProcessFrameHooks(TFrameHookChain& chain, uint8_t* const data[], const int linesize[],
                       int pixel_format, int width, int height, int64_t time) {
  TFrameHookPicture picture;
  for (int i = 0; i < 4; ++i) {
    picture.data[i] = data[i];
    picture.linesize[i] = linesize[i];
  }
  ProcessFrameHooks(chain, picture, pixel_format, width, height, time);
}

void ReleaseFrameHooks(TFrameHookChain& chain) {
  for (const TFrameHookEntry& entry : chain.entries_) {
    if (entry.Release != nullptr) entry.Release(entry.Context);
  }
  chain.entries_.clear();
}

}  // namespace kelvane
