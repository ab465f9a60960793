#include "binding/FFmpegLoader.h"

#include <dlfcn.h>
#include <fenv.h>
#include <sys/stat.h>

#include <cassert>
#include <stdexcept>

#include "binding/LoaderFollowUps.h"

namespace kelvane {

TAVUtilEntries avutil;
TSwResampleEntries swresample;
TSwScaleEntries swscale;
TAVCodecEntries avcodec;
TAVFormatEntries avformat;
TAVFilterEntries avfilter;
TAVDeviceEntries avdevice;
TMyUtilEntries myutil;
TSDLEntries sdl;
TAmrNbEntries amrnb;

namespace {

struct TLibraryItem {
  TLibraryId id;
  const char* base_name;
  int version;  // -1: the file name carries no version
  void (*load)(const std::string& file_name, void* handle);
  void (*unload)();
};

// Raised by a load procedure when a name is missing; carries the full text.
struct TLoadFunctionError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

template <typename T>
void Resolve(T& entry, const char* symbol, const std::string& file_name, void* handle) {
  dlerror();
  void* address = dlsym(handle, symbol);
  if (address == nullptr) {
    const char* why = dlerror();
    char text[1024];
    snprintf(text, sizeof text, "Load function %s@%s error: %s", symbol, file_name.c_str(),
             why ? why : "symbol not found");
    throw TLoadFunctionError(text);
  }
  entry = reinterpret_cast<T>(address);
}

// Resolves into a scratch copy and publishes it whole, so that a failure leaves
// every entry of the library unset.
#define KELVANE_DEFINE_LIBRARY(Name, Table, Type, LIST)                                   \
  void Load##Name(const std::string& file_name, void* handle) {                         \
    Type scratch;                                                                        \
    LIST(KELVANE_RESOLVE)                                                                \
    Table = scratch;                                                                     \
  }                                                                                      \
  void Unload##Name() { Table = Type{}; }
#define KELVANE_RESOLVE(name) Resolve(scratch.name, #name, file_name, handle);
#define KELVANE_RESOLVE_N(member, symbol) Resolve(scratch.member, #symbol, file_name, handle);
#define KELVANE_MYUTIL_LIST(X) KELVANE_MYUTIL_ENTRIES(X, KELVANE_RESOLVE_N)

KELVANE_DEFINE_LIBRARY(AVUtil, avutil, TAVUtilEntries, KELVANE_AVUTIL_ENTRIES)
KELVANE_DEFINE_LIBRARY(SwResample, swresample, TSwResampleEntries, KELVANE_SWRESAMPLE_ENTRIES)
KELVANE_DEFINE_LIBRARY(SwScale, swscale, TSwScaleEntries, KELVANE_SWSCALE_ENTRIES)
KELVANE_DEFINE_LIBRARY(AVCodec, avcodec, TAVCodecEntries, KELVANE_AVCODEC_ENTRIES)
KELVANE_DEFINE_LIBRARY(AVFormat, avformat, TAVFormatEntries, KELVANE_AVFORMAT_ENTRIES)
KELVANE_DEFINE_LIBRARY(AVFilter, avfilter, TAVFilterEntries, KELVANE_AVFILTER_ENTRIES)
KELVANE_DEFINE_LIBRARY(AVDevice, avdevice, TAVDeviceEntries, KELVANE_AVDEVICE_ENTRIES)
KELVANE_DEFINE_LIBRARY(MyUtil, myutil, TMyUtilEntries, KELVANE_MYUTIL_LIST)
KELVANE_DEFINE_LIBRARY(SDL, sdl, TSDLEntries, KELVANE_SDL_ENTRIES)
KELVANE_DEFINE_LIBRARY(AmrNb, amrnb, TAmrNbEntries, KELVANE_AMRNB_ENTRIES)

#undef KELVANE_DEFINE_LIBRARY
#undef KELVANE_RESOLVE
#undef KELVANE_RESOLVE_N
#undef KELVANE_MYUTIL_LIST

const TLibraryItem kLibraries[LibraryCount] = {
    {LibAVCodec, "avcodec", 59, LoadAVCodec, UnloadAVCodec},
    {LibAVDevice, "avdevice", 59, LoadAVDevice, UnloadAVDevice},
    {LibAVFilter, "avfilter", 8, LoadAVFilter, UnloadAVFilter},
    {LibAVFormat, "avformat", 59, LoadAVFormat, UnloadAVFormat},
    {LibAVUtil, "avutil", 57, LoadAVUtil, UnloadAVUtil},
    {LibSwScale, "swscale", 6, LoadSwScale, UnloadSwScale},
    {LibSwResample, "swresample", 4, LoadSwResample, UnloadSwResample},
    {LibMyUtil, "c", 6, LoadMyUtil, UnloadMyUtil},
    {LibSDL, "SDL2-2.0", 0, LoadSDL, UnloadSDL},
    {LibOpenCoreAmrNb, "opencore-amrnb", 0, LoadAmrNb, UnloadAmrNb},
};

bool IsRegularFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

// Loads from the folder when the file is there, else by bare name through the
// system search. Returns the handle, or null with the loader's text in `why`.
void* LoadLibraryInFolder(const std::string& folder, const std::string& file_name,
                          std::string& why) {
  std::string path = file_name;
  if (!folder.empty() && IsRegularFile(folder + file_name)) path = folder + file_name;
  dlerror();
  // Unloading only forgets a module: the media libraries and the libraries they
  // pull in keep allocations and threads of their own, which unmapping them
  // would leave dangling.
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (handle == nullptr) {
    const char* text = dlerror();
    why = text ? text : "unknown error";
  }
  return handle;
}

// Floating-point exceptions stay masked for the life of the process; the
// environment found at start is put back at exit.
struct TFloatingPointGuard {
  fenv_t saved;
  TFloatingPointGuard() {
    fegetenv(&saved);
    fedisableexcept(FE_ALL_EXCEPT);
  }
  ~TFloatingPointGuard() { fesetenv(&saved); }
};
TFloatingPointGuard floating_point_guard;

}  // namespace

const TLibraryId TFFmpegLoader::LoadOrder[LibraryCount] = {
    LibMyUtil, LibAVUtil,  LibSwResample, LibSwScale, LibAVCodec,
    LibAVFormat, LibAVFilter, LibAVDevice, LibSDL, LibOpenCoreAmrNb,
};

const char* LibraryIdName(TLibraryId id) {
  static const char* const names[LibraryCount] = {
      "LibAVCodec", "LibAVDevice", "LibAVFilter",   "LibAVFormat", "LibAVUtil",
      "LibSwScale", "LibSwResample", "LibMyUtil", "LibSDL", "LibOpenCoreAmrNb"};
  return names[id];
}

std::string TFFmpegLoader::LibraryFileName(TLibraryId id) {
  const TLibraryItem& item = kLibraries[id];
  std::string name = "lib";
  name += item.base_name;
  name += ".so";
  if (item.version >= 0) {
    name += '.';
    name += std::to_string(item.version);
  }
  return name;
}

bool TFFmpegLoader::LoadLibraries(TLibrarySet set) {
  assert(!set.Empty() && "empty library set");
  for (TLibraryId id : LoadOrder) {
    if (!set.Contains(id)) continue;
    if (!LoadOne(id)) {
      UnloadLibraries(set);
      return false;
    }
  }
  return true;
}

bool TFFmpegLoader::LibrariesLoaded(TLibrarySet set) const {
  assert(!set.Empty() && "empty library set");
  for (int i = 0; i < LibraryCount; ++i) {
    if (set.Contains(TLibraryId(i)) && !LibraryLoaded(TLibraryId(i))) return false;
  }
  return true;
}

bool TFFmpegLoader::LibraryLoaded(TLibraryId id) const {
  return status_[id].handle != nullptr && status_[id].loaded;
}

void TFFmpegLoader::UnloadLibraries(TLibrarySet set) {
  assert(!set.Empty() && "empty library set");
  // Dependents first, so no library is closed while another still uses it.
  for (int i = LibraryCount - 1; i >= 0; --i) {
    if (set.Contains(LoadOrder[i])) UnloadOne(LoadOrder[i]);
  }
}

bool TFFmpegLoader::LoadOne(TLibraryId id) {
  TLibraryStatus& status = status_[id];
  const std::string file_name = LibraryFileName(id);
  if (status.handle == nullptr) {
    std::string folder = library_path_;
    if (!folder.empty() && folder.back() != '/') folder += '/';
    std::string why;
    void* handle = LoadLibraryInFolder(folder, file_name, why);
    if (handle == nullptr) {
      last_error_ = "Load library " + folder + file_name + " error: " + why;
      return false;
    }
    status.handle = handle;
  }
  if (!status.loaded) {
    try {
      kLibraries[id].load(file_name, status.handle);
      status.loaded = true;
    } catch (const TLoadFunctionError& e) {
      last_error_ = e.what();
    }
  }
  if (!status.loaded) {
    UnloadOne(id);
    return false;
  }
  if (id == LibAVUtil && HookLog) InstallLogHookAfterLoad();
  // The format library offers no protocol registration any more: names that need
  // the unicode protocol get a custom I/O context from whoever opens them.
  return true;
}

void TFFmpegLoader::UnloadOne(TLibraryId id) {
  TLibraryStatus& status = status_[id];
  if (status.loaded) {
    if (id == LibAVUtil) UninstallLogHookBeforeUnload();
    kLibraries[id].unload();
    status.loaded = false;
  }
  if (status.handle != nullptr) {
    dlclose(status.handle);
    status.handle = nullptr;
  }
}

TFFmpegLoader& GetLoader() {
  static TFFmpegLoader loader;
  return loader;
}

std::mutex& CodecLock() {
  static std::mutex lock;
  return lock;
}

}  // namespace kelvane
