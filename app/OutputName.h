// Naming the output file of a split: the input's name with the preset's
// extension, in the output folder, with "-1", "-2", ... before the extension
// when existing files must not be replaced.
//
// Pure functions over the file system's current state; any thread.
#pragma once

#include <string>

namespace kelvane {

// `path` with the extension of its file name (the part from the last "." of
// the name) removed; a name without "." is returned unchanged.
std::string RemoveExtension(const std::string& path);

// base + extension when no such file exists, else the first
// base + "-" + n + extension (n = 1, 2, ...) that does not exist, base being
// `path` without its extension. For clip.avi and ".mp4", with clip.mp4 and
// clip-1.mp4 taken, the result is clip-2.mp4.
std::string UniqueOutputName(const std::string& path, const std::string& extension);

// True when both names lead to the same file: the same path after
// normalising, or the same existing file reached through links.
bool SameFile(const std::string& a, const std::string& b);

}  // namespace kelvane
