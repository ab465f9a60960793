#include "app/MarkTime.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdint>

#include "app/TextUtils.h"

namespace kelvane {
namespace {

bool Digits(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

}  // namespace

std::optional<int64_t> MarkMicroseconds(const std::string& text) {
  std::string rest = Trim(text);
  // The seconds, with their decimals, follow the last ":".
  const size_t colon = rest.rfind(':');
  std::string seconds = colon == std::string::npos ? rest : rest.substr(colon + 1);
  rest = colon == std::string::npos ? std::string() : rest.substr(0, colon);
  const size_t dot = seconds.find('.');
  std::string fraction = dot == std::string::npos ? std::string() : seconds.substr(dot + 1);
  seconds = seconds.substr(0, dot);
  if (seconds.empty() && dot != std::string::npos && colon == std::string::npos) {
    seconds.push_back('0');  // ".4"
  }
  if (!Digits(seconds) || (dot != std::string::npos && !fraction.empty() && !Digits(fraction)) ||
      seconds.size() > 10) {
    return std::nullopt;
  }
  int64_t total = std::stoll(seconds);
  if (colon != std::string::npos) {
    // "m:ss" or "h:mm:ss": the parts after the first are below 60.
    const size_t hour_colon = rest.rfind(':');
    const std::string minutes =
        hour_colon == std::string::npos ? rest : rest.substr(hour_colon + 1);
    const std::string hours = hour_colon == std::string::npos ? "0" : rest.substr(0, hour_colon);
    if (!Digits(minutes) || !Digits(hours) || minutes.size() > 6 || hours.size() > 4 ||
        total >= 60 || (hour_colon != std::string::npos && std::stoll(minutes) >= 60)) {
      return std::nullopt;
    }
    total += std::stoll(minutes) * 60 + std::stoll(hours) * 3600;
  }
  fraction = (fraction + "000000").substr(0, 6);
  const int64_t microseconds = total * 1000000 + std::stoll(fraction);
  if (microseconds / 1000 > INT32_MAX) return std::nullopt;  // beyond 32-bit milliseconds
  return microseconds;
}

std::optional<int64_t> MarkHundredths(const std::string& text) {
  const std::optional<int64_t> microseconds = MarkMicroseconds(text);
  if (!microseconds) return std::nullopt;
  return *microseconds / 10000;
}

std::string MarkFromHundredths(int64_t hundredths) {
  const std::string fraction = std::to_string(100 + hundredths % 100).substr(1);
  return std::to_string(hundredths / 100) + "." + fraction;
}

std::optional<std::string> MarkText(const std::string& text) {
  const std::optional<int64_t> hundredths = MarkHundredths(text);
  if (!hundredths) return std::nullopt;
  return MarkFromHundredths(*hundredths);
}

std::string ReadableTime(int64_t microseconds, int64_t frame_duration) {
  const int64_t us = std::max<int64_t>(microseconds, 0);
  const int64_t ms = (us + 500) / 1000;
  char text[64];
  std::snprintf(text, sizeof text, "%lld:%02lld:%02lld.%03lld", static_cast<long long>(ms / 3600000),
                static_cast<long long>(ms / 60000 % 60), static_cast<long long>(ms / 1000 % 60),
                static_cast<long long>(ms % 1000));
  std::string readable = text;
  if (frame_duration > 0) {
    readable += " \xC2\xB7 frame " + std::to_string((us + frame_duration / 2) / frame_duration);
  }
  return readable;
}

std::string MarkForms() {
  return "seconds (83.46), minutes and seconds (1:23.46) or hours, minutes and seconds "
         "(0:01:23.46)";
}

}  // namespace kelvane
