#include "app/TextUtils.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace kelvane {

bool Contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

std::string PlainMessage(std::string_view text) {
  std::string plain;
  plain.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\n' || c == '\r') {
      plain += '\n';
      const char pair = c == '\n' ? '\r' : '\n';
      if (i + 1 < text.size() && text[i + 1] == pair) ++i;
    } else {
      plain += c;
    }
  }
  return plain;
}

std::string NumberPart(std::string_view text) {
  const std::string trimmed = Trim(text);
  const size_t space = trimmed.find(' ');
  if (space == std::string::npos) return std::string();
  return trimmed.substr(0, space);
}

std::optional<long long> ParseInteger(std::string_view text) {
  const std::string trimmed = Trim(text);
  if (trimmed.empty()) return std::nullopt;
  const char* first = trimmed.data();
  const char* last = first + trimmed.size();
  if (*first == '+') ++first;
  long long value = 0;
  auto [end, error] = std::from_chars(first, last, value);
  if (error != std::errc() || end != last) return std::nullopt;
  return value;
}

std::optional<double> ParseDecimal(std::string_view text) {
  const std::string trimmed = Trim(text);
  if (trimmed.empty()) return std::nullopt;
  // Only digits, one ".", and a leading sign: no exponents, no "inf"/"nan".
  bool seen_digit = false;
  bool seen_point = false;
  for (size_t i = 0; i < trimmed.size(); ++i) {
    const char c = trimmed[i];
    if (c >= '0' && c <= '9') {
      seen_digit = true;
    } else if (c == '.' && !seen_point) {
      seen_point = true;
    } else if ((c == '-' || c == '+') && i == 0) {
    } else {
      return std::nullopt;
    }
  }
  if (!seen_digit) return std::nullopt;
  const char* first = trimmed.data();
  const char* last = first + trimmed.size();
  if (*first == '+') ++first;
  double value = 0;
  auto [end, error] = std::from_chars(first, last, value, std::chars_format::fixed);
  if (error != std::errc() || end != last || !std::isfinite(value)) return std::nullopt;
  return value;
}

std::string FormatFixed(double value, int decimals) {
  char buffer[64];
  // to_chars never looks at the locale, unlike printf.
  auto [end, error] =
      std::to_chars(buffer, buffer + sizeof(buffer), value, std::chars_format::fixed, decimals);
  if (error != std::errc()) return std::string();
  return std::string(buffer, end);
}

}  // namespace kelvane
