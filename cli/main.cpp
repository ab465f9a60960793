// kelvane-split: cuts a marked segment out of a media file from a terminal or a
// script, through the same window logic as the Kelvane window.
#include <clocale>
#include <cstdio>
#include <string>
#include <vector>

#include "binding/MainThread.h"
#include "cli/CliOptions.h"
#include "cli/SplitCommand.h"

int main(int argc, char** argv) {
  setlocale(LC_ALL, "");
  kelvane::SetMainThread();
  std::vector<std::string> args(argv + 1, argv + argc);
  kelvane::cli::TCliOptions options;
  std::string error;
  if (!kelvane::cli::ParseCommandLine(args, options, error)) {
    fprintf(stderr, "kelvane-split: %s\n", error.c_str());
    return kelvane::cli::kExitUsage;
  }
  return kelvane::cli::RunSplitCommand(options, stdout, stderr);
}
