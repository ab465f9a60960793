// Text helpers every layer shares: the one trim and the one ASCII lower case.
// Pure functions; any thread.
#pragma once

#include <string>
#include <string_view>

namespace kelvane {

// Without leading and trailing spaces and control characters.
std::string Trim(std::string_view text);
// ASCII lower case; other bytes unchanged.
std::string LowerCase(std::string_view text);

}  // namespace kelvane
