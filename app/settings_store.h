// The persistent settings: values under HKCU\Software\Corvane\{AppName}\{section}, integers
// as REG_DWORD and strings as REG_SZ. Reading never fails towards the caller: a missing
// key or value gives the default.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

class SettingsStore {
 public:
  SettingsStore(std::u16string company, std::u16string appName);

  int32_t ReadInt(std::u16string_view section, std::u16string_view name, int32_t def) const;
  std::u16string ReadString(std::u16string_view section, std::u16string_view name,
                            std::u16string_view def) const;
  bool WriteInt(std::u16string_view section, std::u16string_view name, int32_t value) const;
  bool WriteString(std::u16string_view section, std::u16string_view name,
                   std::u16string_view value) const;

  // "Software\Corvane\Lumedesk\Settings"
  std::u16string KeyPath(std::u16string_view section) const;

 private:
  std::u16string company_;
  std::u16string appName_;
};

// The section every setting of the program lives in.
inline constexpr char16_t kSettingsSection[] = u"Settings";

// The bank's configuration server and the item configuration's path on it.
inline constexpr char16_t kDefaultConfigUrl[] =
    u"https://ebank.haverly.example/perbank/ocx/conf/item_HaverlyRX.xml";

// The settings the program itself reads, with their defaults. (The page keeps its own
// defaults for the settings only it reads.)
struct ProgramSettings {
  explicit ProgramSettings(const SettingsStore& store) : store_(store) {}
  // The page's address instead of the built-in page; empty for the built-in page.
  std::u16string ResUrl() const { return store_.ReadString(kSettingsSection, u"ResUrl", u""); }
  // The item configuration's address; a missing or empty value means the default.
  std::u16string ConfigUrl() const;
  // -1: register the tray companion for autostart at exit.
  int32_t AutoLaunch() const { return store_.ReadInt(kSettingsSection, u"bAutoLaunch", 0); }
  // -1: start the tray companion at exit.
  int32_t CloseToTray() const { return store_.ReadInt(kSettingsSection, u"bCloseToTray", 0); }
  // The check runner's detail filter.
  int32_t UserType() const { return store_.ReadInt(kSettingsSection, u"UserType", 1); }

 private:
  const SettingsStore& store_;
};
