#include "app/OutputName.h"

#include <filesystem>
#include <system_error>

#include "binding/FileUtils.h"

namespace kelvane {

std::string RemoveExtension(const std::string& path) {
  const size_t slash = path.rfind('/');
  const size_t name_start = slash == std::string::npos ? 0 : slash + 1;
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos || dot < name_start) return path;
  return path.substr(0, dot);
}

std::string UniqueOutputName(const std::string& path, const std::string& extension) {
  const std::string base = RemoveExtension(path);
  std::string candidate = base + extension;
  // Anything of that name counts as taken, a folder or a dangling link too. A
  // name that cannot be looked at (too long, below a file, in a folder that
  // cannot be searched) is not: every longer name would fail the same way, and
  // writing to it gives the user a clear message.
  auto taken = [](const std::string& name) {
    std::error_code error;
    const auto type = std::filesystem::symlink_status(name, error).type();
    return !error && type != std::filesystem::file_type::not_found;
  };
  for (long n = 1; taken(candidate); ++n) {
    candidate = base + "-" + std::to_string(n) + extension;
  }
  return candidate;
}

bool SameFile(const std::string& a, const std::string& b) {
  if (ExpandFileName(a) == ExpandFileName(b)) return true;
  std::error_code error;
  const bool same = std::filesystem::equivalent(a, b, error);
  return !error && same;
}

}  // namespace kelvane
