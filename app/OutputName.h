// Naming the output file of a split: the input's name with the preset's
// extension, in the output folder, with "-1", "-2", ... before the extension
// when existing files must not be replaced. A split writes under a temporary
// name beside the final one and takes the final name only when its file is
// finished, so that a split that fails leaves the folder as it was.
//
// Pure functions over the file system's current state; any thread.
#pragma once

#include <string>
#include <vector>

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

// A free name in the folder of `final_path` to write the output under until it
// is finished: hidden, with the final name's extension (which picks the
// container), naming the process that writes it and its machine, for example
// "/out/.clip.part-4711@studio_pc.mp4" for "/out/clip.mp4" (the machine's name
// with "_" for anything but letters and digits).
std::string TemporaryOutputName(const std::string& final_path);

// Removes from `folder` the temporary files of splits that ended without
// settling them (the process was killed or the machine lost power): regular
// files named as TemporaryOutputName names them, written by a process of this
// machine that no longer runs. Files of running processes, of other machines
// (a shared folder) and every other file stay. Returns the paths removed.
std::vector<std::string> RemoveLeftoverOutputs(const std::string& folder);

// Sends the data of the file at `path` to the disk; false (errno saying why)
// when writing it failed. Slow for a big file on slow media: the split does it
// on a thread of the engine's as its task ends, before the main thread renames.
bool SyncOutputData(const std::string& path);

// Gives the finished file `temporary` its final name. With `replace`, a file
// of that name is replaced; without, a file that took the name meanwhile is
// kept and the first free "-n" name after it is used. The file's data reaches
// the disk before its new name does, so that after a power loss the name never
// stands for a file without its contents. Returns the name the file has now;
// empty (and the file left where it is, `error` saying why) when it could not
// be written to the disk or renamed.
std::string CommitOutputName(const std::string& temporary, const std::string& final_path,
                             bool replace, std::string& error);

}  // namespace kelvane
