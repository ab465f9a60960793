// The built-in option presets (apre, vpre, spre look them up by name, ignoring case).
//
// Threads: constant data.
#pragma once

namespace kelvane {

struct TOptionsPreset {
  const char* Name;
  const char* Text;  // option lines, each ending with a line feed
};

constexpr int BuiltInPresetCount = 16;
extern const TOptionsPreset BuiltInPresets[BuiltInPresetCount];

}  // namespace kelvane
