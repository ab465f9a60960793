// Where a picture goes when it is drawn into an area without changing its
// shape: centred, filling the area's width or height, with equal bars on the
// other sides. The thumbnails of the marks are drawn this way.
//
// Pure function; any thread.
#pragma once

#include <optional>

namespace kelvane {

struct TRect {
  int Left = 0;
  int Top = 0;
  int Right = 0;  // exclusive
  int Bottom = 0;
  int Width() const { return Right - Left; }
  int Height() const { return Bottom - Top; }
  bool operator==(const TRect&) const = default;
};

// The part of `area` a `width` x `height` picture is stretched into; nothing
// for an empty picture. The bars are rounded half to even: 640x480 in 116x89
// gives 116x87 with one row of bar above and below.
std::optional<TRect> DrawFittedRect(int width, int height, const TRect& area);

}  // namespace kelvane
