// A plain 24-bit picture in BGR byte order: what the frame converter fills for
// previews, custom hooks and the player's frame capture, and what the window
// paints (the Qt side wraps it in a QImage of format BGR888).
//
// Ownership: whoever creates it. Threads: writers and readers on different
// threads take Lock around touching Pixels or the size.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

namespace kelvane {

struct TBitmap {
  int Width = 0;
  int Height = 0;
  int Stride = 0;  // bytes per row: Width * 3 rounded up to a multiple of 4
  std::vector<uint8_t> Pixels;
  mutable std::mutex Lock;

  // Resizes the picture; the memory only grows. Caller holds Lock when shared.
  void SetSize(int width, int height) {
    Width = width > 0 ? width : 0;
    Height = height > 0 ? height : 0;
    Stride = (Width * 3 + 3) & ~3;
    Pixels.resize(static_cast<size_t>(Stride) * Height);
  }
  uint8_t* ScanLine(int y) { return Pixels.data() + static_cast<size_t>(y) * Stride; }
  const uint8_t* ScanLine(int y) const {
    return Pixels.data() + static_cast<size_t>(y) * Stride;
  }
  // A copy of size and pixels (under the source's lock).
  void CopyFrom(const TBitmap& other) {
    if (&other == this) return;
    std::lock_guard<std::mutex> lock(other.Lock);
    Width = other.Width;
    Height = other.Height;
    Stride = other.Stride;
    Pixels = other.Pixels;
  }
};

}  // namespace kelvane
