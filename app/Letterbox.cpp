#include "app/Letterbox.h"

#include <charconv>
#include <cmath>
#include <optional>

#include "app/TextUtils.h"
#include "engine/EncoderLimits.h"

namespace kelvane {
namespace {

struct TSize {
  double width;
  double height;
};

std::optional<TSize> ReadSize(const std::string& text) {
  const size_t x = text.find('x');
  if (x == std::string::npos) return std::nullopt;
  auto width = ParseDecimal(text.substr(0, x));
  auto height = ParseDecimal(text.substr(x + 1));
  if (!width || !height) return std::nullopt;
  return TSize{*width, *height};
}

// The value rounded to 15 significant digits, then stripped of its fraction:
// 639.99999999999999 counts as 640.
double WholeAt15Digits(double value) {
  char buffer[64];
  auto [end, error] =
      std::to_chars(buffer, buffer + sizeof(buffer), value, std::chars_format::general, 15);
  if (error != std::errc()) return std::trunc(value);
  double rounded = value;
  std::from_chars(buffer, end, rounded);
  return std::trunc(rounded);
}

std::string Number(double value) {
  char buffer[64];
  auto [end, error] = std::to_chars(buffer, buffer + sizeof(buffer), value);
  if (error != std::errc()) return std::string();
  return std::string(buffer, end);
}

void NoBars(TLetterbox& box) {
  box.BarSize = 0;
  box.OutputSize = box.LetterboxSourceSize;
}

// Shared by both bar computations: `along` is the target's length on the side
// that gets the bars, `scaled` the picture's exact length on that side. The
// result is one bar's even size, or nothing when it is not a whole number.
std::optional<double> EvenBar(double along, double scaled) {
  if (!std::isfinite(scaled)) return std::nullopt;
  const double picture = MakeEven(WholeAt15Digits(scaled));
  const double twice = std::fabs(along - picture);
  if (std::fmod(twice, 2.0) != 0) return std::nullopt;  // not a whole bar
  double bar = twice / 2;
  if (std::fmod(bar, 2.0) != 0) bar -= 1;
  return bar;
}

}  // namespace

std::string SizeWithoutLabel(const std::string& size) {
  const size_t paren = size.find('(');
  if (paren == std::string::npos) return size;
  // Drop the character in front of the "(" too: the space.
  return size.substr(0, paren == 0 ? 0 : paren - 1);
}

std::string SwappedSize(const std::string& size) {
  const size_t x = size.find('x');
  if (x == std::string::npos || !ReadSize(size)) return size;
  return size.substr(x + 1) + "x" + size.substr(0, x);
}

void TopBottomBars(TLetterbox& box) {
  auto source = ReadSize(box.LetterboxSourceSize);
  auto target = ReadSize(SizeWithoutLabel(box.TargetSize));
  if (!source || !target || source->height == 0) return NoBars(box);
  auto bar = EvenBar(target->height, target->width / (source->width / source->height));
  if (!bar) return NoBars(box);
  box.BarSize = *bar;
  box.OutputSize = Number(target->width) + "x" + Number(target->height - 2 * *bar);
}

void SideBars(TLetterbox& box) {
  auto source = ReadSize(box.LetterboxSourceSize);
  auto target = ReadSize(SizeWithoutLabel(box.TargetSize));
  if (!source || !target || source->height == 0) return NoBars(box);
  auto bar = EvenBar(target->width, (source->width / source->height) * target->height);
  if (!bar) return NoBars(box);
  box.BarSize = *bar;
  box.OutputSize = Number(target->width - 2 * *bar) + "x" + Number(target->height);
}

TLetterbox LetterboxDecision(const std::string& source_size, const std::string& video_size_text) {
  TLetterbox box;
  box.BarSize = 0;
  box.LetterboxSourceSize = source_size;
  const std::string chosen = Trim(video_size_text);
  const bool original = LowerCase(chosen) == "original size";
  box.TargetSize = original ? source_size : chosen;

  auto source = ReadSize(box.LetterboxSourceSize);
  if (!source) {
    NoBars(box);
    return box;
  }
  if (source->width == 0 || source->height == 0) {
    box.OutputSize = box.TargetSize;
    return box;
  }
  if (original) {
    box.TargetSize = Number(MakeEven(source->width)) + "x" + Number(MakeEven(source->height));
    box.OutputSize = box.TargetSize;
    return box;
  }
  const double ratio = source->width / source->height;
  box.TargetSize = SizeWithoutLabel(box.TargetSize);
  auto target = ReadSize(box.TargetSize);
  if (!target) {
    NoBars(box);
    return box;
  }
  const double height_at_target_width = target->width / ratio;
  if (height_at_target_width > target->height) {
    box.Decision = lbSideBars;
    SideBars(box);
  } else if (height_at_target_width < target->height) {
    box.Decision = lbTopBottom;
    TopBottomBars(box);
  } else {
    box.OutputSize = box.TargetSize;
  }
  return box;
}

}  // namespace kelvane
