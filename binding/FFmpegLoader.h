// Run-time loading of the media libraries and SDL into typed entry-point tables.
//
// Nothing in Kelvane links against FFmpeg or SDL: every call goes through one of
// the global tables below (avcodec.avcodec_open2(...), avutil.av_frame_alloc(),
// ...), each entry typed from the library's real header. The tables are filled
// by TFFmpegLoader::LoadOne and cleared again when a library is unloaded.
//
// Threads: loading and unloading happen on the main thread only. Afterwards the
// tables are read without locking from every thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavdevice/avdevice.h>
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/cpu.h>
#include <libavutil/display.h>
#include <libavutil/fifo.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/parseutils.h>
#include <libavutil/pixdesc.h>
#include <libavutil/samplefmt.h>
#include <libavutil/time.h>
#include <libavutil/avstring.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
#include <SDL.h>
#include <opencore-amrnb/interf_enc.h>
}

#include "binding/FFmpegEntries.h"

namespace kelvane {

// Libraries in identifier order. The order of loading differs (see
// TFFmpegLoader::LoadOrder): dependencies first, so that copies bundled in the
// library folder are the ones the later libraries bind to.
enum TLibraryId : int {
  LibAVCodec,
  LibAVDevice,
  LibAVFilter,
  LibAVFormat,
  LibAVUtil,
  LibSwScale,
  LibSwResample,
  LibMyUtil,
  LibSDL,
  // AMR-NB encoder library; in no set: loaded on demand by the encoder that needs it.
  LibOpenCoreAmrNb,
};
constexpr int LibraryCount = LibOpenCoreAmrNb + 1;

const char* LibraryIdName(TLibraryId id);  // "LibAVCodec", ...

// A set of libraries; bit n stands for the n-th identifier.
class TLibrarySet {
 public:
  constexpr TLibrarySet() = default;
  constexpr TLibrarySet(std::initializer_list<TLibraryId> ids) {
    for (TLibraryId id : ids) bits_ |= 1u << id;
  }
  constexpr bool Contains(TLibraryId id) const { return (bits_ >> id) & 1u; }
  constexpr bool Empty() const { return bits_ == 0; }
  constexpr uint32_t Bits() const { return bits_; }

 private:
  uint32_t bits_ = 0;
};

inline constexpr TLibrarySet EngineLibraries{LibAVCodec, LibAVFilter, LibAVFormat, LibAVUtil,
                                             LibSwScale, LibSwResample, LibMyUtil};
inline constexpr TLibrarySet PlayerLibraries{LibAVCodec, LibAVFormat, LibAVUtil, LibSwScale,
                                             LibSwResample, LibMyUtil, LibSDL};

#define KELVANE_ENTRY_MEMBER(name) decltype(&::name) name = nullptr;
#define KELVANE_ENTRY_MEMBER_N(member, symbol) decltype(&::symbol) member = nullptr;

struct TAVUtilEntries { KELVANE_AVUTIL_ENTRIES(KELVANE_ENTRY_MEMBER) };
struct TSwResampleEntries { KELVANE_SWRESAMPLE_ENTRIES(KELVANE_ENTRY_MEMBER) };
struct TSwScaleEntries { KELVANE_SWSCALE_ENTRIES(KELVANE_ENTRY_MEMBER) };
struct TAVCodecEntries { KELVANE_AVCODEC_ENTRIES(KELVANE_ENTRY_MEMBER) };
struct TAVFormatEntries { KELVANE_AVFORMAT_ENTRIES(KELVANE_ENTRY_MEMBER) };
struct TAVFilterEntries { KELVANE_AVFILTER_ENTRIES(KELVANE_ENTRY_MEMBER) };
struct TAVDeviceEntries { KELVANE_AVDEVICE_ENTRIES(KELVANE_ENTRY_MEMBER) };
struct TMyUtilEntries { KELVANE_MYUTIL_ENTRIES(KELVANE_ENTRY_MEMBER, KELVANE_ENTRY_MEMBER_N) };
struct TSDLEntries { KELVANE_SDL_ENTRIES(KELVANE_ENTRY_MEMBER) };
struct TAmrNbEntries { KELVANE_AMRNB_ENTRIES(KELVANE_ENTRY_MEMBER) };

#undef KELVANE_ENTRY_MEMBER
#undef KELVANE_ENTRY_MEMBER_N

// The entry-point tables. Null entries mean the library is not loaded.
extern TAVUtilEntries avutil;
extern TSwResampleEntries swresample;
extern TSwScaleEntries swscale;
extern TAVCodecEntries avcodec;
extern TAVFormatEntries avformat;
extern TAVFilterEntries avfilter;
extern TAVDeviceEntries avdevice;
extern TMyUtilEntries myutil;
extern TSDLEntries sdl;
extern TAmrNbEntries amrnb;

// The process-wide loader. Created on first use of GetLoader(); lives until exit.
class TFFmpegLoader {
 public:
  bool LoadLibraries(TLibrarySet set);
  bool LibrariesLoaded(TLibrarySet set) const;
  bool LibraryLoaded(TLibraryId id) const;
  void UnloadLibraries(TLibrarySet set);
  bool LoadOne(TLibraryId id);
  void UnloadOne(TLibraryId id);

  // "libavcodec.so.59", "libSDL2-2.0.so.0", "libc.so.6", ...
  static std::string LibraryFileName(TLibraryId id);

  const std::string& LastError() const { return last_error_; }
  const std::string& LibraryPath() const { return library_path_; }
  void SetLibraryPath(const std::string& path) { library_path_ = path; }

  // Install the logger's callback whenever the utility library loads.
  bool HookLog = true;

  // The order LoadLibraries walks a set in.
  static const TLibraryId LoadOrder[LibraryCount];

 private:
  struct TLibraryStatus {
    void* handle = nullptr;
    bool loaded = false;
  };
  TLibraryStatus status_[LibraryCount];
  std::string last_error_;
  std::string library_path_;
};

TFFmpegLoader& GetLoader();

// Held around every codec open and close (engine, probe, player) and around
// reading an input's stream information. Always the innermost lock.
std::mutex& CodecLock();

}  // namespace kelvane
