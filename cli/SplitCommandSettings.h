// kelvane-split's choices on the window model: the format and the settings
// list entries the command line names (each checked against the lists the
// window would offer, with a message listing the valid entries), and what
// --list-entries prints. Errors go to the given stream as
// "kelvane-split: ..." lines.
//
// Threads: the main thread only, like the rest of RunSplitCommand.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "app/MainWindowModel.h"
#include "cli/CliOptions.h"

namespace kelvane::cli {

// The opened input. An input without pictures may go to an audio-only
// format only, which the window does not offer for it.
struct TInput {
  bool AudioOnly = false;
  int64_t DurationUs = -1;  // -1 unknown
};

// Prints one error line, the message as plain text.
void PrintError(FILE* err, const std::string& text);

// The format and the settings lists as the command line names them; returns
// an exit status, or -1 to go on.
int ChooseSettings(TMainWindowModel& model, const TCliOptions& options, const TInput& input,
                   FILE* err);

// --list-entries: what an option that names a list entry accepts, one a line,
// for the format the command line names; the formats themselves without their
// group headers.
int PrintListEntries(TMainWindowModel& model, const TCliOptions& options, FILE* out, FILE* err);

}  // namespace kelvane::cli
