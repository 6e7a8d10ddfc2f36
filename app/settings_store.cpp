#include "app/settings_store.h"

#include "platform/registry.h"

using namespace platform;

SettingsStore::SettingsStore(std::u16string company, std::u16string appName)
    : company_(std::move(company)), appName_(std::move(appName)) {}

std::u16string SettingsStore::KeyPath(std::u16string_view section) const {
  return u"Software\\" + company_ + u"\\" + appName_ + u"\\" + std::u16string(section);
}

// Reading opens the key path and creates what is missing on the way, as the program
// always has; a failure to create it only means the default is returned.
int32_t SettingsStore::ReadInt(std::u16string_view section, std::u16string_view name,
                               int32_t def) const {
  RegKey key;
  if (RegKey::Create(Hive::CurrentUser, KeyPath(section), RegView::Process, key) != ERROR_SUCCESS)
    return def;
  uint32_t value = 0;
  if (key.GetDword(name, value) != ERROR_SUCCESS) return def;
  return int32_t(value);
}

std::u16string SettingsStore::ReadString(std::u16string_view section, std::u16string_view name,
                                         std::u16string_view def) const {
  RegKey key;
  if (RegKey::Create(Hive::CurrentUser, KeyPath(section), RegView::Process, key) != ERROR_SUCCESS)
    return std::u16string(def);
  std::u16string value;
  if (key.GetString(name, value) != ERROR_SUCCESS) return std::u16string(def);
  return value;
}

bool SettingsStore::WriteInt(std::u16string_view section, std::u16string_view name,
                             int32_t value) const {
  RegKey key;
  return RegKey::Create(Hive::CurrentUser, KeyPath(section), RegView::Process, key) ==
             ERROR_SUCCESS &&
         key.SetDword(name, uint32_t(value)) == ERROR_SUCCESS;
}

bool SettingsStore::WriteString(std::u16string_view section, std::u16string_view name,
                                std::u16string_view value) const {
  RegKey key;
  return RegKey::Create(Hive::CurrentUser, KeyPath(section), RegView::Process, key) ==
             ERROR_SUCCESS &&
         key.SetString(name, value) == ERROR_SUCCESS;
}

std::u16string ProgramSettings::ConfigUrl() const {
  std::u16string url = store_.ReadString(kSettingsSection, u"ConfigUrl", u"");
  return url.empty() ? std::u16string(kDefaultConfigUrl) : url;
}
