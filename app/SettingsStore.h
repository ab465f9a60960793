// Where the user's settings live between runs: named values of three kinds
// under the program's own key. The Qt window implements it over QSettings
// ("Orvath", "Kelvane"); tests keep the values in memory.
//
// Reads answer nothing when the value is missing or of another kind; writes
// answer false when the value could not be stored.
//
// Threads: main thread only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kelvane {

class TSettingsStore {
 public:
  virtual ~TSettingsStore() = default;
  virtual std::optional<std::string> ReadString(const std::string& name) = 0;
  virtual std::optional<int32_t> ReadInteger(const std::string& name) = 0;
  virtual std::optional<bool> ReadBool(const std::string& name) = 0;
  virtual bool WriteString(const std::string& name, const std::string& value) = 0;
  virtual bool WriteInteger(const std::string& name, int32_t value) = 0;
  virtual bool WriteBool(const std::string& name, bool value) = 0;
};

}  // namespace kelvane
