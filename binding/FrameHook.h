// The frame-hook chain of a conversion task: picture-processing plug-ins named
// in the task's "vhook" option, run over every decoded video picture in the
// order they were added (plug-in interface: binding/FrameHookPlugin.h).
//
// Ownership: the task owns its chain; releasing it (or destroying it) calls
// every plug-in's Release. Plug-in modules are loaded once per file name for
// the whole process and stay loaded until it ends, so a plug-in named twice is
// loaded once but configured twice, with two contexts.
//
// Threads: AddFrameHook from any thread (the module list has a lock); a chain
// is processed and released by one thread at a time (the task's worker).
#pragma once

#include <string>
#include <vector>

#include "binding/FrameHookPlugin.h"

namespace kelvane {

struct TFrameHookEntry {
  TFrameHookConfigureFn Configure = nullptr;
  TFrameHookProcessFn Process = nullptr;
  TFrameHookReleaseFn Release = nullptr;
  void* Context = nullptr;
};

class TFrameHookChain {
 public:
  TFrameHookChain() = default;
  ~TFrameHookChain();
  TFrameHookChain(const TFrameHookChain&) = delete;
  TFrameHookChain& operator=(const TFrameHookChain&) = delete;

  bool Empty() const { return entries_.empty(); }
  size_t Size() const { return entries_.size(); }
  const std::vector<TFrameHookEntry>& Entries() const { return entries_; }

 private:
  friend int AddFrameHook(TFrameHookChain&, const std::vector<std::string>&);
  friend void ReleaseFrameHooks(TFrameHookChain&);
  std::vector<TFrameHookEntry> entries_;
};

// Loads the plug-in `arguments[0]` (once per process) and configures it with
// all the arguments. Returns 0; -2 for no arguments, a missing "Process", or
// options without "Configure"; -1 when the module cannot be loaded; -22 when
// Configure refuses; -12 without memory. Failures are logged at error level.
int AddFrameHook(TFrameHookChain& chain, const std::vector<std::string>& arguments);

// Runs every plug-in's Process over the picture, in chain order.
void ProcessFrameHooks(TFrameHookChain& chain, TFrameHookPicture& picture, int pixel_format,
                       int width, int height, int64_t time);
void ProcessFrameHooks(TFrameHookChain& chain, uint8_t* const data[], const int linesize[],
                       int pixel_format, int width, int height, int64_t time);

// Calls every plug-in's Release (when it has one); the chain becomes empty.
void ReleaseFrameHooks(TFrameHookChain& chain);

}  // namespace kelvane
