// Path and file helpers shared by the loader, the engine, the probe and the
// application. Names are UTF-8 strings with "/" as the separator.
//
// Threads: every function may be called from any thread; none keeps state.
#pragma once

#include <cstdint>
#include <string>

namespace kelvane {

// `path` with a "/" appended unless it already ends with one ("" gives "/").
std::string IncludeTrailingPathDelimiter(const std::string& path);
// Everything up to and including the last "/" ("" when there is none).
std::string ExtractFilePath(const std::string& path);
// Everything after the last "/" (the whole text when there is none).
std::string ExtractFileName(const std::string& path);
// The name's extension with its dot (".mp4"), "" when the file name has none.
std::string ExtractFileExt(const std::string& path);
// An absolute, lexically normalised form of `path` (the file need not exist).
std::string ExpandFileName(const std::string& path);

// True when `path` exists and is not a directory.
bool FileExists(const std::string& path);
// True when `path` is an existing directory.
bool DirectoryExists(const std::string& path);
// The size in bytes, or -1 when the file does not exist or is a directory.
int64_t FileSize(const std::string& path);
// True when a new file can be made in the directory `path`: one is made and
// removed again, so read-only mounts, permissions and ACLs all count (for the
// superuser too). False with the system's reason in `reason` otherwise.
bool DirectoryWritable(const std::string& path, std::string& reason);

// The text before the first `separator` (the whole text when it is absent).
// With `remove`, that part and the separator are taken off `source`, which
// becomes empty when the separator is absent.
std::string SplitAtFirst(std::string& source, const std::string& separator, bool remove);

// The folder of the running program (from /proc/self/exe), with a trailing "/".
std::string ProgramFolder();

// Where a file that ships with the program (the help page) lies for a program
// in `program_folder`: beside it, as in a build folder, when it is there; else
// in the installed data folder found from there (<prefix>/bin/ gives
// <prefix>/share/kelvane/).
std::string ProgramDataFile(const std::string& program_folder, const std::string& name);

}  // namespace kelvane
