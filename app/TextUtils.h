// Small text helpers of the window's logic (Trim and LowerCase come from
// binding/Text.h). Pure functions; any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "binding/Text.h"

namespace kelvane {

bool Contains(std::string_view text, std::string_view part);

// A message as the front ends show it: the window's texts break lines with
// "\n\r" (the engine's with "\r\n"); each such pair, and a lone "\r", becomes
// one "\n".
std::string PlainMessage(std::string_view text);

// The text, trimmed, up to (not including) its first space: "1200 Kbps" gives
// "1200", "29.97 fps" gives "29.97"; a text without a space gives "".
std::string NumberPart(std::string_view text);

// Whole decimal numbers and decimal fractions, read the way the settings lists
// and the marks write them ("." as decimal point whatever the locale). The whole
// text must be the number; surrounding spaces are allowed.
std::optional<long long> ParseInteger(std::string_view text);
std::optional<double> ParseDecimal(std::string_view text);

// `value` with a fixed number of decimals and "." as decimal point.
std::string FormatFixed(double value, int decimals);

}  // namespace kelvane
