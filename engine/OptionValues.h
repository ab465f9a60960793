// Reading option values: the number forms of the option language and small
// text helpers shared by the option handlers, the presets and the set-up
// (their trim is binding/Text.h's Trim).
//
// Threads: no state; any thread.
#pragma once

#include <cstdint>
#include <string>

#include "binding/Text.h"

namespace kelvane {

// Integer form: optional sign, decimal digits, or hexadecimal after "$" or
// "0x". Raises "'%s' is not a valid integer value".
int32_t StrToInt(const std::string& text);
int64_t StrToInt64(const std::string& text);
bool TryStrToInt64(const std::string& text, int64_t& result);
int32_t StrToIntDef(const std::string& text, int32_t fallback);

// Decimal form with the locale's decimal separator. Raises
// "'%s' is not a valid floating point value".
double StrToFloat(const std::string& text);
bool TryStrToFloat(const std::string& text, double& result);

// C notation (as strtol with base 0): advances `p` past the number.
long CNumber(const char*& p);
// A decimal in C notation ("." separator); 0 when malformed.
double CDecimal(const char* p);

// Names of the option table in matching order.
int OptionNameCount();
const char* OptionName(int index);

}  // namespace kelvane
