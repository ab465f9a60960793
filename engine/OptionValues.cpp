// The number forms of the option language (OptionValues.h).
#include <cctype>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/OptionValues.h"
#include "engine/core/FFmpegException.h"

namespace kelvane {

bool TryStrToInt64(const std::string& text, int64_t& result) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
    negative = text[i] == '-';
    ++i;
  }
  int base = 10;
  if (i < text.size() && text[i] == '$') {
    base = 16;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i >= text.size()) return false;
  uint64_t value = 0;
  auto [end, error] = std::from_chars(text.data() + i, text.data() + text.size(), value, base);
  if (error != std::errc() || end != text.data() + text.size()) return false;
  if (base == 10) {
    if (negative ? value > uint64_t(INT64_MAX) + 1 : value > uint64_t(INT64_MAX)) return false;
    result = negative ? int64_t(0 - value) : int64_t(value);
  } else {
    // Hexadecimal values take the bit pattern.
    result = int64_t(negative ? 0 - value : value);
  }
  return true;
}

int64_t StrToInt64(const std::string& text) {
  int64_t value = 0;
  if (!TryStrToInt64(text, value)) RaiseFFmpeg("'%s' is not a valid integer value", text.c_str());
  return value;
}

int32_t StrToInt(const std::string& text) {
  int64_t value = 0;
  bool hex = text.find('$') != std::string::npos || text.find("0x") != std::string::npos ||
             text.find("0X") != std::string::npos;
  if (!TryStrToInt64(text, value) || (hex ? value < INT32_MIN || value > UINT32_MAX
                                          : value < INT32_MIN || value > INT32_MAX)) {
    RaiseFFmpeg("'%s' is not a valid integer value", text.c_str());
  }
  return static_cast<int32_t>(value);
}

int32_t StrToIntDef(const std::string& text, int32_t fallback) {
  int64_t value = 0;
  if (!TryStrToInt64(text, value) || value < INT32_MIN || value > INT32_MAX) return fallback;
  return static_cast<int32_t>(value);
}

bool TryStrToFloat(const std::string& text, double& result) {
  std::string trimmed = Trim(text);
  if (trimmed.empty()) return false;
  // Only digits, signs, the locale's decimal separator and an exponent; no
  // hexadecimal, infinity or NaN forms.
  const char* point = std::localeconv()->decimal_point;
  char separator = point && point[0] ? point[0] : '.';
  for (char c : trimmed) {
    if (!(std::isdigit(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == 'e' ||
          c == 'E' || c == separator)) {
      return false;
    }
  }
  char* end = nullptr;
  double value = std::strtod(trimmed.c_str(), &end);
  if (end != trimmed.c_str() + trimmed.size() || !std::isfinite(value)) return false;
  result = value;
  return true;
}

double StrToFloat(const std::string& text) {
  double value = 0;
  if (!TryStrToFloat(text, value)) {
    RaiseFFmpeg("'%s' is not a valid floating point value", text.c_str());
  }
  return value;
}

// C notation numbers (strtol with base 0 / "." decimals), as the map options read them.
long CNumber(const char*& p) {
  char* end = nullptr;
  long value = std::strtol(p, &end, 0);
  p = end;
  return value;
}

double CDecimal(const char* p) {
  while (*p == ' ') ++p;
  double value = 0;
  const char* end = p + std::strlen(p);
  if (*p == '+') ++p;
  auto result = std::from_chars(p, end, value);
  if (result.ec != std::errc()) return 0;
  return value;
}

}  // namespace kelvane
