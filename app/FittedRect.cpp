#include "app/FittedRect.h"

#include <cmath>

namespace kelvane {

std::optional<TRect> DrawFittedRect(int width, int height, const TRect& area) {
  if (static_cast<long long>(width) * height == 0 || area.Width() <= 0 || area.Height() <= 0) {
    return std::nullopt;
  }
  TRect d = area;
  const double a = static_cast<double>(width) / area.Width();
  const double b = static_cast<double>(height) / area.Height();
  // nearbyint rounds halves to even in the default rounding mode.
  if (a >= b) {
    const int m = static_cast<int>(std::nearbyint((area.Height() - height / a) / 2));
    d.Top += m;
    d.Bottom -= m;
  } else {
    const int m = static_cast<int>(std::nearbyint((area.Width() - width / b) / 2));
    d.Left += m;
    d.Right -= m;
  }
  return d;
}

}  // namespace kelvane
