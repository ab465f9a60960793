// Stored settings kept in memory, as the settings file would keep them, for
// the tests and the fuzz targets; a write limit makes the store refuse later
// writes.
#pragma once

#include <map>
#include <string>
#include <variant>
#include <vector>

#include "app/SettingsStore.h"

namespace kelvane::test {

class TMemoryStore : public TSettingsStore {
 public:
  using TValue = std::variant<std::string, int32_t, bool>;

  std::optional<std::string> ReadString(const std::string& name) override { return Get<std::string>(name); }
  std::optional<int32_t> ReadInteger(const std::string& name) override { return Get<int32_t>(name); }
  std::optional<bool> ReadBool(const std::string& name) override { return Get<bool>(name); }
  bool WriteString(const std::string& name, const std::string& value) override { return Put(name, value); }
  bool WriteInteger(const std::string& name, int32_t value) override { return Put(name, value); }
  bool WriteBool(const std::string& name, bool value) override { return Put(name, value); }

  std::map<std::string, TValue> values;
  std::vector<std::string> written;
  int writable = 1000;  // writes that succeed before the store refuses

 private:
  template <typename T>
  std::optional<T> Get(const std::string& name) {
    auto it = values.find(name);
    if (it == values.end() || !std::holds_alternative<T>(it->second)) return std::nullopt;
    return std::get<T>(it->second);
  }
  bool Put(const std::string& name, TValue value) {
    if (writable-- <= 0) return false;
    values[name] = std::move(value);
    written.push_back(name);
    return true;
  }
};

}  // namespace kelvane::test
