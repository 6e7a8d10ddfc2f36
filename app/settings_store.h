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
