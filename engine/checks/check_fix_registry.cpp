#include "engine/checks/check_fix_registry.h"

#include <algorithm>
#include <string>

#include "engine/checks/entry_view.h"
#include "platform/text.h"

namespace Corvane::Assistant {

using namespace platform;

namespace {

// Fixed read limits: longer values count as failed reads.
constexpr uint32_t kMaxStringUnits = 512;  // with the terminator
constexpr uint32_t kMaxBinaryBytes = 4096;

constexpr char16_t kPolicyKey[] = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Policies\\System";
constexpr char16_t kPolicyValue[] = u"Disableregistrytools";

enum class Read { Ok, Missing, Failed };

bool IsMissing(LSTATUS rc) { return rc == ERROR_FILE_NOT_FOUND || rc == ERROR_PATH_NOT_FOUND; }

Hive RootHive(std::string_view root) {
  std::string upper(root);
  for (char& c : upper)
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
  if (upper == "HKLM" || upper == "HKEY_LOCAL_MACHINE") return Hive::LocalMachine;
  if (upper == "HKCR" || upper == "HKEY_CLASSES_ROOT") return Hive::ClassesRoot;
  return Hive::CurrentUser;  // HKCU, HKEY_CURRENT_USER and any other name
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

uint32_t EntryMask(const ConfigEntry& entry) {
  const std::string& mask = entry.attributes.Get("mask");
  return mask.empty() ? 0xFFFFFFFFu : uint32_t(ReadDecimal(mask));
}

// A string value of at most 512 units with its terminator, REG_SZ or REG_EXPAND_SZ.
Read ReadString(const RegKey& key, std::u16string_view name, std::u16string& text) {
  uint8_t buffer[kMaxStringUnits * 2];
  uint32_t type = 0, size = sizeof(buffer);
  LSTATUS rc = key.QueryValue(name, &type, buffer, &size);
  if (IsMissing(rc)) return Read::Missing;
  if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return Read::Failed;
  text = FromRegSz(buffer, size);
  // Without a terminator in the data there must be room to add one.
  if (text.size() == size / 2 && text.size() + 1 > kMaxStringUnits) return Read::Failed;
  return Read::Ok;
}

// A binary value of at most 4096 bytes, REG_BINARY.
Read ReadBinary(const RegKey& key, std::u16string_view name, std::vector<uint8_t>& bytes) {
  bytes.assign(kMaxBinaryBytes, 0);
  uint32_t type = 0, size = kMaxBinaryBytes;
  LSTATUS rc = key.QueryValue(name, &type, bytes.data(), &size);
  if (IsMissing(rc)) return Read::Missing;
  if (rc != ERROR_SUCCESS || type != REG_BINARY) return Read::Failed;
  bytes.resize(size);
  return Read::Ok;
}

// A stored value passes when it is a prefix of the expected bytes (an empty one included).
bool BinaryMatches(const std::vector<uint8_t>& stored, const std::vector<uint8_t>& expected) {
  return stored.size() <= expected.size() &&
         std::equal(stored.begin(), stored.end(), expected.begin());
}

// Any other type: the value must exist and fit the 4096-byte buffer.
bool ValueExists(const RegKey& key, std::u16string_view name) {
  std::vector<uint8_t> buffer(kMaxBinaryBytes);
  uint32_t kind = 0, size = kMaxBinaryBytes;
  return key.QueryValue(name, &kind, buffer.data(), &size) == ERROR_SUCCESS;
}

CheckStatus Written(LSTATUS rc) { return rc == ERROR_SUCCESS ? kCheckOk : kCheckFailed; }

// Whether Disableregistrytools is set; `key` stays open for the repair.
bool RegistryToolsDisabled(RegKey& key) {
  if (RegKey::Open(Hive::CurrentUser, kPolicyKey, RegView::Process, key) != ERROR_SUCCESS)
    return false;
  uint32_t type = 0, value = 0, size = sizeof(value);
  return key.QueryValue(kPolicyValue, &type, reinterpret_cast<uint8_t*>(&value), &size) ==
             ERROR_SUCCESS &&
         type == REG_DWORD && size == sizeof(value) && value != 0;
}

}  // namespace

std::vector<uint8_t> DecodeHexBytes(std::string_view text) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 1 < text.size(); i += 2) {
    int high = HexDigit(text[i]), low = HexDigit(text[i + 1]);
    if (high < 0 || low < 0) break;
    bytes.push_back(uint8_t(high << 4 | low));
  }
  return bytes;
}

bool OpenEntryKey(const ConfigEntry& entry, bool create, RegKey& key) {
  size_t slash = entry.text.find('\\');
  if (slash == std::string::npos) return false;
  EntryView view(entry);  // redirection is restored when the key is open
  Hive hive = RootHive(std::string_view(entry.text).substr(0, slash));
  std::u16string subKey = Utf8ToUtf16(std::string_view(entry.text).substr(slash + 1));
  if (RegKey::Open(hive, subKey, view.View(), key) == ERROR_SUCCESS) return true;
  return create && RegKey::Create(hive, subKey, view.View(), key) == ERROR_SUCCESS;
}

CheckStatus CheckFixRegistry::BeginCheck() {
  RegKey policy;
  return RegistryToolsDisabled(policy) ? kCheckFailed : kCheckOk;
}

CheckStatus CheckFixRegistry::BeginFix() {
  RegKey policy;
  if (!RegistryToolsDisabled(policy)) return kCheckOk;
  return Written(policy.DeleteValue(kPolicyValue));
}

CheckStatus CheckFixRegistry::CheckEntry(ConfigEntry& entry) {
  try {
    if (!EntryAppliesHere(entry)) return kCheckOk;
    RegKey key;
    if (!OpenEntryKey(entry, false, key)) return kCheckFailed;
    const std::string& type = entry.attributes.Get("type");
    const std::string& value = entry.attributes.Get("value");
    std::u16string name = Utf8ToUtf16(entry.attributes.Get("name"));

    if (type == "reg_dword") {
      uint32_t stored = 0, kind = 0, size = sizeof(stored);
      uint32_t mask = EntryMask(entry);
      bool pass = key.QueryValue(name, &kind, reinterpret_cast<uint8_t*>(&stored), &size) ==
                      ERROR_SUCCESS &&
                  kind == REG_DWORD && (mask & uint32_t(ReadDecimal(value))) == (mask & stored);
      return pass ? kCheckOk : kCheckFailed;
    }
    if (type == "reg_sz") {
      std::u16string stored;
      return ReadString(key, name, stored) == Read::Ok && stored == Utf8ToUtf16(value)
                 ? kCheckOk
                 : kCheckFailed;
    }
    if (type == "reg_binary") {
      std::vector<uint8_t> stored;
      return ReadBinary(key, name, stored) == Read::Ok &&
                     BinaryMatches(stored, DecodeHexBytes(value))
                 ? kCheckOk
                 : kCheckFailed;
    }
    return ValueExists(key, name) ? kCheckOk : kCheckFailed;
  } catch (const std::exception&) {
    return kCheckFailed;
  }
}

CheckStatus CheckFixRegistry::FixEntry(ConfigEntry& entry) {
  try {
    if (!EntryAppliesHere(entry)) return kCheckOk;
    RegKey key;
    if (!OpenEntryKey(entry, true, key)) return kCheckFailed;
    const std::string& type = entry.attributes.Get("type");
    const std::string& value = entry.attributes.Get("value");
    std::u16string name = Utf8ToUtf16(entry.attributes.Get("name"));

    if (type == "reg_dword") {
      uint32_t wanted = uint32_t(ReadDecimal(value)), mask = EntryMask(entry);
      uint32_t stored = 0, kind = 0, size = sizeof(stored);
      LSTATUS rc = key.QueryValue(name, &kind, reinterpret_cast<uint8_t*>(&stored), &size);
      if (IsMissing(rc)) return Written(key.SetDword(name, wanted));
      if (rc != ERROR_SUCCESS || kind != REG_DWORD) return kCheckFailed;
      if ((mask & wanted) == (mask & stored)) return kCheckOk;
      return Written(key.SetDword(name, (stored & ~mask) | (wanted & mask)));
    }
    if (type == "reg_sz") {
      std::u16string stored, wanted = Utf8ToUtf16(value);
      Read read = ReadString(key, name, stored);
      if (read == Read::Failed) return kCheckFailed;
      if (read == Read::Ok && stored == wanted) return kCheckOk;
      return Written(key.SetString(name, wanted, REG_SZ));
    }
    if (type == "reg_binary") {
      std::vector<uint8_t> stored, wanted = DecodeHexBytes(value);
      Read read = ReadBinary(key, name, stored);
      if (read == Read::Failed) return kCheckFailed;  // another type, or too long
      if (read == Read::Ok && BinaryMatches(stored, wanted)) return kCheckOk;
      return Written(key.SetValue(name, REG_BINARY, wanted.data(), uint32_t(wanted.size())));
    }
    // A value of unknown kind cannot be made; one that exists already needs nothing (a
    // repair of a never-checked entry must not report it as failed).
    return ValueExists(key, name) ? kCheckOk : kCheckFailed;
  } catch (const std::exception&) {
    return kCheckFailed;
  }
}

}  // namespace Corvane::Assistant
