// kelvane-split's work: uses the window model the Qt window uses to open the
// input and choose the format and the settings list entries the command line
// names, then runs the split through the model's split session (the same API
// the window's Start drives) with the command line's marks and folder, and
// reports it until its end.
//
// Ctrl-C stops the task (stop with wait), so the output is still finished with
// its trailer; pressed during the check of the finished file, it stops the
// check. Ctrl-Z pauses the task before the process stops, and it resumes when
// the process is continued.
//
// Threads: the main thread runs everything; the component's events are carried
// to it through the main-thread dispatcher.
#pragma once

#include <cstdio>

#include "cli/CliOptions.h"

namespace kelvane::cli {

// Exit statuses.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitInterrupted = 130;

// Runs the command the options describe; returns the exit status.
int RunSplitCommand(const TCliOptions& options, FILE* out, FILE* err);

}  // namespace kelvane::cli
