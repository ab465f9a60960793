#include "app/OutputName.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
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

namespace {

// Anything of that name counts as taken, a folder or a dangling link too. A
// name that cannot be looked at (too long, below a file, in a folder that
// cannot be searched) is not: every longer name would fail the same way, and
// writing to it gives the user a clear message.
bool Taken(const std::string& name) {
  std::error_code error;
  const auto type = std::filesystem::symlink_status(name, error).type();
  return !error && type != std::filesystem::file_type::not_found;
}

// base + extension, or the first free base + "-n" + extension.
std::string FreeName(const std::string& base, const std::string& extension) {
  std::string candidate = base + extension;
  for (long n = 1; Taken(candidate); ++n) {
    candidate = base + "-" + std::to_string(n) + extension;
  }
  return candidate;
}

}  // namespace

std::string UniqueOutputName(const std::string& path, const std::string& extension) {
  return FreeName(RemoveExtension(path), extension);
}

bool SameFile(const std::string& a, const std::string& b) {
  if (ExpandFileName(a) == ExpandFileName(b)) return true;
  std::error_code error;
  const bool same = std::filesystem::equivalent(a, b, error);
  return !error && same;
}

std::string TemporaryOutputName(const std::string& final_path) {
  const size_t slash = final_path.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : final_path.substr(0, slash + 1);
  const std::string stem = RemoveExtension(final_path).substr(folder.size());
  const std::string extension = final_path.substr(folder.size() + stem.size());
  return FreeName(folder + "." + stem + ".part-" + std::to_string(getpid()), extension);
}

namespace {

// Renames without replacing anything; false with errno EEXIST when the name is taken.
bool RenameNoReplace(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // A file system without that kind of rename: a second link, then the old one goes.
  if (link(from.c_str(), to.c_str()) != 0) return false;
  unlink(from.c_str());
  return true;
}

}  // namespace

std::string CommitOutputName(const std::string& temporary, const std::string& final_path,
                             bool replace, std::string& error) {
  error.clear();
  if (replace) {
    if (rename(temporary.c_str(), final_path.c_str()) == 0) return final_path;
    error = std::strerror(errno);
    return std::string();
  }
  const std::string extension = final_path.substr(RemoveExtension(final_path).size());
  std::string name = final_path;
  // Another program may take each free name before the rename does.
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (RenameNoReplace(temporary, name)) return name;
    if (errno != EEXIST) break;
    name = UniqueOutputName(final_path, extension);
  }
  error = std::strerror(errno);
  return std::string();
}

}  // namespace kelvane
