#include "engine/checks/check_fix_com.h"

#include "engine/checks/entry_view.h"
#include "engine/checks/verify_file.h"
#include "platform/environment.h"
#include "platform/registry.h"
#include "platform/text.h"

namespace Corvane::Assistant {

using namespace platform;

namespace {

constexpr uint32_t kMaxPathUnits = 260;  // MAX_PATH, with the terminator
constexpr uint32_t kAddonDisabled = 1;

std::u16string AddonSettingsKey(const ConfigEntry& entry) {
  return u"Software\\Microsoft\\Windows\\CurrentVersion\\Ext\\Settings\\" +
         Utf8ToUtf16(entry.text);
}

// The default value of the class's InprocServer32 key, at most 260 units.
bool ReadServerValue(const ConfigEntry& entry, RegView view, std::u16string& value) {
  RegKey key;
  std::u16string path = u"CLSID\\" + Utf8ToUtf16(entry.text) + u"\\InprocServer32";
  if (RegKey::Open(Hive::ClassesRoot, path, view, key) != ERROR_SUCCESS) return false;
  uint8_t buffer[kMaxPathUnits * 2];
  uint32_t type = 0, size = sizeof(buffer);
  if (key.QueryValue(u"", &type, buffer, &size) != ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ))
    return false;
  value = FromRegSz(buffer, size);
  return !(value.size() == size / 2 && value.size() + 1 > kMaxPathUnits);
}

// Flags = 1 under the add-on settings marks an add-on the user switched off; any other
// value, or no value, is not a refusal.
bool AddonDisabled(const ConfigEntry& entry, RegView view) {
  RegKey key;
  if (RegKey::Open(Hive::CurrentUser, AddonSettingsKey(entry), view, key) != ERROR_SUCCESS)
    return false;
  uint32_t type = 0, flags = 0, size = sizeof(flags);
  return key.QueryValue(u"Flags", &type, reinterpret_cast<uint8_t*>(&flags), &size) ==
             ERROR_SUCCESS &&
         type == REG_DWORD && size == sizeof(flags) && flags == kAddonDisabled;
}

}  // namespace

std::u16string ServerFilePath(std::u16string_view value) {
  auto blank = [](char16_t c) { return c == u' ' || c == u'\t'; };
  while (!value.empty() && blank(value.front())) value.remove_prefix(1);
  while (!value.empty() && blank(value.back())) value.remove_suffix(1);
  if (value.size() >= 2 && value.front() == u'"' && value.back() == u'"')
    value = value.substr(1, value.size() - 2);
  return ExpandEnvironmentStrings(value);
}

CheckStatus CheckFixCOM::CheckEntry(ConfigEntry& entry) {
  try {
    if (!EntryAppliesHere(entry)) return kCheckOk;
    EntryView view(entry);  // for the registry reads and the file test alike
    std::u16string server;
    if (!ReadServerValue(entry, view.View(), server)) return kCheckFailed;
    CheckStatus file = VerifyFile(entry, ServerFilePath(server));
    if (file != kCheckOk) return file;
    return AddonDisabled(entry, view.View()) ? kCheckDisabled : kCheckOk;
  } catch (const std::exception&) {
    return kCheckFailed;
  }
}

CheckStatus CheckFixCOM::FixEntry(ConfigEntry& entry) {
  CheckStatus status = CheckEntry(entry);
  if (status == kCheckDisabled) {
    try {
      // Removing the add-on's settings re-enables it. A removal that fails leaves it
      // disabled, and says so.
      EntryView view(entry);
      LSTATUS rc = RegDeleteKey(Hive::CurrentUser, AddonSettingsKey(entry), view.View());
      return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND ? kCheckOk : kCheckFailed;
    } catch (const std::exception&) {
      return kCheckFailed;
    }
  }
  // A missing registration is the installer's business.
  if (status == kCheckFailed) return kCheckUnsupported;
  return status;
}

}  // namespace Corvane::Assistant
