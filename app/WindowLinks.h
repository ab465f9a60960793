// What the window takes from the layers below the app, named in one place so
// that it reaches them only through app/:
//   - TBitmap (binding/Bitmap.h): the pictures it paints;
//   - TDisplayTarget and TDisplayFrame (player/DisplayTarget.h): the player's
//     display target, which its preview panel implements;
//   - TPreviewer (binding/Previewer.h): a split's floating preview window,
//     which it implements and installs with InstallPreviewWindows, captioned
//     with PreviewCaption;
//   - TMainThreadBackend, SetMainThread, SetMainThreadBackend and
//     PostToMainThread (binding/MainThread.h): the main-thread hook its event
//     loop implements;
//   - ProgramFolder and ProgramDataFile (binding/FileUtils.h): where the
//     program and its user guide lie.
// Everything else the window needs comes with the app's own headers
// (TMainWindowModel, TPreviewControl, TSegmentControl, ...).
//
// Threads: as each header says; InstallPreviewWindows on the main thread
// before splits start, PreviewCaption on any.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "binding/Bitmap.h"
#include "binding/FileUtils.h"
#include "binding/MainThread.h"
#include "binding/Previewer.h"
#include "player/DisplayTarget.h"

namespace kelvane {

// Every split's preview window from now on is made by `make` (the default keeps
// the previews in memory, THeadlessPreviewer).
void InstallPreviewWindows(std::function<std::shared_ptr<TPreviewer>()> make);

// A preview picture's caption: its time (µs) as "01:02:03.004".
std::string PreviewCaption(int64_t time);

}  // namespace kelvane
