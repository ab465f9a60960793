// Fuzz target "player": the player's reader and decode path on arbitrary
// bytes. The first byte chooses what the user does once the file opened:
//   bit 0  pause at once and step up to three pictures forward, then one back
//   bit 1  seek to the middle (to 0.2 s when the length is unknown)
//   bit 2  play without sound
//   bit 3  let it play for 0.1 s before stopping (else 20 ms)
// The rest is the file; it plays into a display that only records, with SDL's
// dummy sound device. A refused file is an answer; crashes, hangs (stopping
// included), leaks and undefined behaviour are findings.
#include <chrono>

#include "binding/MainThread.h"
#include "player/FFPlayer.h"
#include "player/RecordingDisplay.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

using namespace kelvane;
using namespace std::chrono_literals;

// Waits while the main thread serves the player's threads.
void Wait(std::chrono::milliseconds time) {
  WaitOnMainThread([] { return false; }, time);
}

void Act(TFFPlayer& player, uint8_t selector, int64_t duration) {
  if (selector & 1) {
    player.Pause();
    for (int step = 0; step < 3 && player.StepFrame(1); ++step) {
    }
    player.StepFrame(-1);
  }
  if (selector & 2) player.Seek(duration > 0 ? duration / 2 : 200000);
  Wait((selector & 8) ? 100ms : 20ms);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("SDL_AUDIODRIVER", "dummy", 0);
  setenv("SDL_VIDEODRIVER", "dummy", 0);
  fuzz::StartFuzzing(PlayerLibraries);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::TFuzzInput input(data, size);
  const uint8_t selector = input.Byte();
  const std::string file = fuzz::WriteRest(input, "input");
  if (file.empty()) return 0;
  {
    TRecordingDisplay display(64, 48);
    TFFPlayer player;
    int64_t duration = -1;
    player.OnFileOpen = [&duration](TFileOpenInfo& opened) { duration = opened.Duration; };
    player.DisableAudio = (selector & 4) != 0;
    if (player.Open(file, &display)) Act(player, selector, duration);
    player.Stop(true);
  }
  fuzz::RestoreProcessState();
  return 0;
}
