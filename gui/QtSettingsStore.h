// The user's stored settings in QSettings("Orvath", "Kelvane") (an INI file
// under ~/.config/Orvath/). Integers are stored as numbers and booleans as the
// integers 0 and 1; a value that is missing or does not read back as its kind
// counts as missing.
//
// Threads: main thread only.
#pragma once

#include <QSettings>

#include "app/SettingsStore.h"

namespace kelvane {

class TQtSettingsStore : public TSettingsStore {
 public:
  TQtSettingsStore() : settings_(QStringLiteral("Orvath"), QStringLiteral("Kelvane")) {}

  std::optional<std::string> ReadString(const std::string& name) override;
  std::optional<int32_t> ReadInteger(const std::string& name) override;
  std::optional<bool> ReadBool(const std::string& name) override;
  bool WriteString(const std::string& name, const std::string& value) override;
  bool WriteInteger(const std::string& name, int32_t value) override;
  bool WriteBool(const std::string& name, bool value) override;

 private:
  bool Written();

  QSettings settings_;
};

}  // namespace kelvane
