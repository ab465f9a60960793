#include "gui/QtSettingsStore.h"

namespace kelvane {
namespace {

QString Key(const std::string& name) { return QString::fromStdString(name); }

}  // namespace

std::optional<std::string> TQtSettingsStore::ReadString(const std::string& name) {
  const QVariant value = settings_.value(Key(name));
  if (!value.isValid()) return std::nullopt;
  return value.toString().toStdString();
}

std::optional<int32_t> TQtSettingsStore::ReadInteger(const std::string& name) {
  const QVariant value = settings_.value(Key(name));
  if (!value.isValid()) return std::nullopt;
  bool ok = false;
  const int number = value.toString().trimmed().toInt(&ok);
  if (!ok) return std::nullopt;
  return number;
}

std::optional<bool> TQtSettingsStore::ReadBool(const std::string& name) {
  const std::optional<int32_t> number = ReadInteger(name);
  if (!number || (*number != 0 && *number != 1)) return std::nullopt;
  return *number == 1;
}

bool TQtSettingsStore::Written() {
  settings_.sync();
  return settings_.status() == QSettings::NoError && settings_.isWritable();
}

bool TQtSettingsStore::WriteString(const std::string& name, const std::string& value) {
  settings_.setValue(Key(name), QString::fromStdString(value));
  return Written();
}

bool TQtSettingsStore::WriteInteger(const std::string& name, int32_t value) {
  settings_.setValue(Key(name), value);
  return Written();
}

bool TQtSettingsStore::WriteBool(const std::string& name, bool value) {
  return WriteInteger(name, value ? 1 : 0);
}

}  // namespace kelvane
