// Test entry point: the thread running the tests is the program's main thread.
#include <clocale>

#include <gtest/gtest.h>

#include "binding/MainThread.h"

int main(int argc, char** argv) {
  setlocale(LC_ALL, "");
  kelvane::SetMainThread();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
