#include "app/WindowLinks.h"

#include <utility>

#include "binding/FrameConverter.h"
#include "engine/VideoTaskHost.h"

namespace kelvane {

void InstallPreviewWindows(std::function<std::shared_ptr<TPreviewer>()> make) {
  SetPreviewerFactory(std::move(make));
}

std::string PreviewCaption(int64_t time) { return FormatPreviewTime(time); }

}  // namespace kelvane
