// Shared pieces of the option and set-up tests: a task with the engine's
// libraries loaded, the log captured, and input files made once per program.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "binding/FFmpegLogger.h"
#include "engine/FFmpeg.h"
#include "engine/FFmpegException.h"
#include "tests/common/MediaAssertions.h"
#include "tests/common/TestSupport.h"

namespace kelvane::test {

// Input files shared by every test of the program (made on first use).
struct TSetupMedia {
  std::string Video640;   // mp4, 640x480, 25 fps, 2 s, AAC audio
  std::string Video3s;    // mp4, 320x240, 25 fps, 3 s, AAC audio
  std::string AudioOnly;  // wav, 1 s
  std::string NotMedia;   // random bytes
};
const TSetupMedia& SetupMedia();

// A fresh task with the libraries loaded; the log is recorded.
class TTaskTest : public TMediaTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The message of the FFmpegException `SetOption(name, value)` raises ("" for none).
  std::string ErrorOf(const std::string& name, const std::string& value);
  std::string ErrorOfLines(const std::string& text, TOptionGroup group = ogGeneral);
  bool Logged(const std::string& part) const;
  std::vector<std::string> Lines() const;
  int64_t VideoTemplateInt(const char* name) const;

  std::unique_ptr<TFFmpeg> task_;

 private:
  mutable std::mutex log_mutex_;
  std::vector<std::string> log_;
  TLogLevel saved_level_ = llInfo;
};

}  // namespace kelvane::test
