// A plain 24-bit picture in BGR byte order: what the frame converter fills for
// previews, custom hooks and the player's frame capture, and what the window
// paints (the Qt side wraps it in a QImage of format BGR888).
//
// Its memory is laid out the way the libraries' scaler writes and reads
// pictures: the pixels start on a 64-byte boundary, each row has room for its
// width rounded up to 16 pixels in a multiple of 32 bytes, and slack follows
// the last row. The scaler's vector code converts whole blocks of pixels: it
// reaches past the last pixel of a row and past the last row, and where a row
// has no room for the last block it leaves the row's last pixels unconverted.
//
// Ownership: whoever creates it. Threads: writers and readers on different
// threads take Lock around touching Pixels or the size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <new>
#include <vector>

namespace kelvane {

// Hands out memory starting on an `Alignment`-byte boundary.
template <typename T, size_t Alignment>
struct TAlignedAllocator {
  using value_type = T;
  template <typename U>
  struct rebind {
    using other = TAlignedAllocator<U, Alignment>;
  };
  TAlignedAllocator() = default;
  template <typename U>
  TAlignedAllocator(const TAlignedAllocator<U, Alignment>&) {}
  T* allocate(size_t count) {
    return static_cast<T*>(::operator new(count * sizeof(T), std::align_val_t(Alignment)));
  }
  void deallocate(T* memory, size_t) { ::operator delete(memory, std::align_val_t(Alignment)); }
  template <typename U>
  bool operator==(const TAlignedAllocator<U, Alignment>&) const {
    return true;
  }
};

struct TBitmap {
  // Rows have room for a multiple of this many pixels (the scaler's blocks)...
  static constexpr int kRowPixels = 16;
  // ...in a multiple of this many bytes (the alignment it prefers).
  static constexpr int kRowAlignment = 32;
  // Bytes after the last row that the scaler may touch.
  static constexpr size_t kScalerSlack = 64;

  int Width = 0;
  int Height = 0;
  int Stride = 0;  // bytes per row, see RowBytes
  // Stride * Height bytes of picture, then kScalerSlack bytes of nothing.
  std::vector<uint8_t, TAlignedAllocator<uint8_t, 64>> Pixels;
  mutable std::mutex Lock;

  // Resizes the picture; the memory only grows. Caller holds Lock when shared.
  void SetSize(int width, int height) {
    Width = width > 0 ? width : 0;
    Height = height > 0 ? height : 0;
    Stride = RowBytes(Width, 3);
    Pixels.resize(static_cast<size_t>(Stride) * Height + kScalerSlack);
  }
  // The bytes a row of `width` pixels of `bytes_per_pixel` takes in memory the
  // scaler writes: the width rounded up to kRowPixels, then the bytes rounded
  // up to kRowAlignment.
  static int RowBytes(int width, int bytes_per_pixel) {
    const int pixels = (width + kRowPixels - 1) / kRowPixels * kRowPixels;
    return (pixels * bytes_per_pixel + kRowAlignment - 1) & ~(kRowAlignment - 1);
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
