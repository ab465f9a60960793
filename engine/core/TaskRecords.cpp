#include "engine/core/TaskRecords.h"

#include <sys/stat.h>
#include <unistd.h>

namespace kelvane {

TOutputFile::~TOutputFile() {
  if (!context) return;
  // The byte stream goes first, so that the file on disk has its final size.
  context.CloseIO();
  if (created_file && !file_name.empty()) {
    struct stat info {};
    if (stat(file_name.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size == 0) {
      unlink(file_name.c_str());
    }
  }
}

}  // namespace kelvane
