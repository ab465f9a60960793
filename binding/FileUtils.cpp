#include "binding/FileUtils.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace kelvane {

std::string IncludeTrailingPathDelimiter(const std::string& path) {
  if (!path.empty() && path.back() == '/') return path;
  return path + '/';
}

std::string ExtractFilePath(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string ExtractFileName(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ExtractFileExt(const std::string& path) {
  const std::string name = ExtractFileName(path);
  size_t dot = name.rfind('.');
  return dot == std::string::npos ? std::string() : name.substr(dot);
}

std::string ExpandFileName(const std::string& path) {
  std::error_code error;
  std::filesystem::path absolute = std::filesystem::absolute(path, error);
  if (error) return path;
  return absolute.lexically_normal().string();
}

bool FileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool DirectoryWritable(const std::string& path, std::string& reason) {
  std::string name = IncludeTrailingPathDelimiter(path) + ".kelvane-write-check-XXXXXX";
  const int fd = mkstemp(name.data());
  if (fd < 0) {
    reason = std::strerror(errno);
    return false;
  }
  close(fd);
  unlink(name.c_str());
  reason.clear();
  return true;
}

int64_t FileSize(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return -1;
  return static_cast<int64_t>(st.st_size);
}

std::string SplitAtFirst(std::string& source, const std::string& separator, bool remove) {
  size_t at = separator.empty() ? std::string::npos : source.find(separator);
  if (at == std::string::npos) {
    std::string whole = source;
    if (remove) source.clear();
    return whole;
  }
  std::string head = source.substr(0, at);
  if (remove) source.erase(0, at + separator.size());
  return head;
}

std::string ProgramFolder() {
  std::error_code error;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return IncludeTrailingPathDelimiter(std::filesystem::current_path(error).string());
  return IncludeTrailingPathDelimiter(exe.parent_path().string());
}

std::string ProgramDataFile(const std::string& program_folder, const std::string& name) {
  const std::string folder = IncludeTrailingPathDelimiter(program_folder);
  if (FileExists(folder + name)) return folder + name;
  // The build tells the installed layout: the data folder relative to the programs'.
  return ExpandFileName(folder + KELVANE_DATA_FROM_BIN + "/" + name);
}

}  // namespace kelvane
