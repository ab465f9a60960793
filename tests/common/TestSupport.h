// Helpers shared by the test programs: a scratch folder per test and the
// engine's libraries loaded once per process.
#pragma once

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

namespace kelvane::test {

// A fresh folder, removed with everything in it when the object goes away.
class TTempDir {
 public:
  TTempDir();
  ~TTempDir();
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;
  const std::filesystem::path& Path() const { return path_; }
  std::string File(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// Loads the engine's libraries through the system search; fails the test if
// they cannot be loaded.
void LoadEngineLibrariesOrFail();

// A fixture that loads the engine's libraries and gives each test its own folder.
class TMediaTest : public testing::Test {
 protected:
  void SetUp() override { LoadEngineLibrariesOrFail(); }
  TTempDir temp_;
};

}  // namespace kelvane::test
