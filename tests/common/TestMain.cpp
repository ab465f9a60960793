// Test entry point: the thread running the tests is the program's main thread.
// Sound, SDL windows and Qt run without devices unless the caller says otherwise.
#include <clocale>
#include <cstdlib>

#include <gtest/gtest.h>

#include "binding/MainThread.h"

int main(int argc, char** argv) {
  setenv("SDL_AUDIODRIVER", "dummy", 0);
  setenv("SDL_VIDEODRIVER", "dummy", 0);
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  setlocale(LC_ALL, "");
  kelvane::SetMainThread();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
