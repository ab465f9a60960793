#include "app/OutputName.h"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
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

namespace {

const char kPartMark[] = ".part-";

// This machine's name as temporary names carry it: letters and digits, "_"
// for anything else, so that it holds no "." or "-" of the name's own.
std::string MachineTag() {
  char name[256] = {0};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "_";
  std::string tag(name);
  for (char& c : tag) {
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) c = '_';
  }
  return tag;
}

// Leading decimal digits of `text` from `at`, moved past; false when none.
bool TakeNumber(const std::string& text, size_t& at, long long& number) {
  const size_t begin = at;
  number = 0;
  while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - begin < 18) {
    number = number * 10 + (text[at++] - '0');
  }
  return at > begin;
}

// The process and machine of a file name as TemporaryOutputName makes them:
// "." stem ".part-" pid "@" machine, an optional "-" n, then the extension
// (nothing, or "." and a name without dots).
bool ParseTemporaryName(const std::string& name, long long& pid, std::string& machine) {
  const size_t mark = name.rfind(kPartMark);
  if (name.size() < 2 || name[0] != '.' || mark == std::string::npos || mark < 2) return false;
  size_t at = mark + sizeof kPartMark - 1;
  if (!TakeNumber(name, at, pid) || pid <= 0 || at >= name.size() || name[at++] != '@') {
    return false;
  }
  const size_t machine_begin = at;
  while (at < name.size() && name[at] != '-' && name[at] != '.') ++at;
  machine = name.substr(machine_begin, at - machine_begin);
  const bool plain = std::all_of(machine.begin(), machine.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
  });
  if (machine.empty() || !plain) return false;
  long long n = 0;
  if (at < name.size() && name[at] == '-' && !TakeNumber(name, ++at, n)) return false;
  if (at == name.size()) return true;
  return name[at] == '.' && at + 1 < name.size() && name.find('.', at + 1) == std::string::npos;
}

// Whether a process of that number runs on this machine (one of another user too).
bool ProcessRuns(long long pid) {
  if (pid > INT32_MAX) return false;
  return kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH;
}

}  // namespace

std::string TemporaryOutputName(const std::string& final_path) {
  const size_t slash = final_path.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : final_path.substr(0, slash + 1);
  const std::string stem = RemoveExtension(final_path).substr(folder.size());
  const std::string extension = final_path.substr(folder.size() + stem.size());
  return FreeName(folder + "." + stem + kPartMark + std::to_string(getpid()) + "@" + MachineTag(),
                  extension);
}

std::vector<std::string> RemoveLeftoverOutputs(const std::string& folder) {
  std::vector<std::string> removed;
  const std::string machine = MachineTag();
  std::error_code error;
  std::filesystem::directory_iterator entries(folder.empty() ? "." : folder, error);
  for (; !error && entries != std::filesystem::directory_iterator(); entries.increment(error)) {
    const std::filesystem::directory_entry& entry = *entries;
    long long pid = 0;
    std::string writer;
    const std::string name = entry.path().filename().string();
    if (!ParseTemporaryName(name, pid, writer) || writer != machine || ProcessRuns(pid)) continue;
    std::error_code type_error;
    if (!entry.is_regular_file(type_error) || entry.is_symlink(type_error)) continue;
    if (std::filesystem::remove(entry.path(), type_error)) removed.push_back(entry.path().string());
  }
  return removed;
}

namespace {

// Sends the file's data to the disk; false with errno when writing it failed.
// A file that cannot be opened for it (no right to read it) and file systems
// that keep nothing to send count as done: the rename is then as durable as
// the file system makes it.
bool SyncFile(const std::string& path, int flags) {
  const int fd = open(path.c_str(), flags | O_CLOEXEC);
  if (fd < 0) return true;
  const bool synced = fsync(fd) == 0 || errno == EINVAL || errno == EROFS || errno == ENOTSUP;
  const int saved = errno;
  close(fd);
  errno = saved;
  return synced;
}

// The folder holding `path`, for syncing the rename itself.
std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

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

bool SyncOutputData(const std::string& path) { return SyncFile(path, O_RDONLY); }

std::string CommitOutputName(const std::string& temporary, const std::string& final_path,
                             bool replace, std::string& error) {
  error.clear();
  if (!SyncOutputData(temporary)) {
    error = std::string("its data could not be written to the disk: ") + std::strerror(errno);
    return std::string();
  }
  // Once renamed, the folder's new entry goes to the disk too.
  auto settled = [&final_path](const std::string& name) {
    SyncFile(FolderOf(final_path), O_RDONLY | O_DIRECTORY);
    return name;
  };
  if (replace) {
    if (rename(temporary.c_str(), final_path.c_str()) == 0) return settled(final_path);
    error = std::strerror(errno);
    return std::string();
  }
  const std::string extension = final_path.substr(RemoveExtension(final_path).size());
  std::string name = final_path;
  // Another program may take each free name before the rename does.
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (RenameNoReplace(temporary, name)) return settled(name);
    if (errno != EEXIST) break;
    name = UniqueOutputName(final_path, extension);
  }
  error = std::strerror(errno);
  return std::string();
}

}  // namespace kelvane
