#include "platform/registry.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/text.h"
#include "tests/support/machine_fixture.h"

using namespace platform;

namespace {

constexpr char16_t kSid[] = u"S-1-5-21-1000-1000-1000-1001";  // the fixture image's user

std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
  std::vector<uint8_t> out;
  for (int v : values) out.push_back(uint8_t(v));
  return out;
}

std::u16string U16(const std::string& text) { return Utf8ToUtf16(text); }

class RegistryTest : public testing_support::MachineTest {
 protected:
  // Creates `path` below `hive` in `view`, failing the test when it cannot.
  RegKey Create(Hive hive, std::u16string_view path, RegView view = RegView::Reg64) {
    RegKey key;
    EXPECT_EQ(RegKey::Create(hive, path, view, key), ERROR_SUCCESS) << Utf16ToUtf8(path);
    return key;
  }
  // The error code of opening `path`, or 0 with `key` open.
  LSTATUS Open(Hive hive, std::u16string_view path, RegView view, RegKey& key) {
    return RegKey::Open(hive, path, view, key);
  }
};

class RegistryX86Test : public RegistryTest {
 protected:
  MachineOptions Options() const override {
    MachineOptions options;
    options.arch = "x86";
    return options;
  }
};

// ---- values

TEST_F(RegistryTest, ValuesKeepTheirTypeAndBytes) {
  struct Case {
    const char* name;
    uint32_t type;
    std::vector<uint8_t> data;
  };
  std::vector<uint8_t> large(100000);
  for (size_t i = 0; i < large.size(); ++i) large[i] = uint8_t(i * 7);
  const Case cases[] = {
      {"sz", REG_SZ, ToRegSz(u"Hello, Welt \u00e4\u4e2d")},
      {"sz without terminator", REG_SZ, Bytes({'a', 0, 'b', 0})},
      {"expand", REG_EXPAND_SZ, ToRegSz(u"%SystemRoot%\\system32")},
      {"multi", REG_MULTI_SZ, ToRegMultiSz({u"one", u"two", u"three"})},
      {"binary", REG_BINARY, Bytes({0, 1, 0xFF, 0x80, 0})},
      {"dword", REG_DWORD, Bytes({0x78, 0x56, 0x34, 0x12})},
      {"dword of three bytes is stored as given", REG_DWORD, Bytes({1, 2, 3})},
      {"qword", REG_QWORD, Bytes({1, 2, 3, 4, 5, 6, 7, 0x88})},
      {"none, empty", REG_NONE, {}},
      {"large binary", REG_BINARY, large},
      {"", REG_SZ, ToRegSz(u"the default value")},
  };
  RegKey key = Create(Hive::CurrentUser, u"Software\\Values");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::u16string name = U16(c.name);
    ASSERT_EQ(key.SetValue(name, c.type, c.data.data(), uint32_t(c.data.size())), ERROR_SUCCESS);

    uint32_t type = 99;
    std::vector<uint8_t> data;
    ASSERT_EQ(key.GetValue(name, type, data), ERROR_SUCCESS);
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(data, c.data);

    // Null data reports the size.
    uint32_t size = 0;
    type = 99;
    ASSERT_EQ(key.QueryValue(name, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, c.data.size());
    EXPECT_EQ(type, c.type);

    // A buffer one byte short: ERROR_MORE_DATA and the size needed.
    if (!c.data.empty()) {
      std::vector<uint8_t> buffer(c.data.size() - 1);
      size = uint32_t(buffer.size());
      EXPECT_EQ(key.QueryValue(name, nullptr, buffer.data(), &size), ERROR_MORE_DATA);
      EXPECT_EQ(size, c.data.size());
    }
    // A larger buffer: the bytes and their count.
    std::vector<uint8_t> buffer(c.data.size() + 8, 0xEE);
    size = uint32_t(buffer.size());
    ASSERT_EQ(key.QueryValue(name, &type, buffer.data(), &size), ERROR_SUCCESS);
    ASSERT_EQ(size, c.data.size());
    EXPECT_TRUE(std::equal(c.data.begin(), c.data.end(), buffer.begin()));
  }

  // The values survive reopening the database.
  RegKey again;
  ASSERT_EQ(Open(Hive::CurrentUser, u"Software\\Values", RegView::Reg64, again), ERROR_SUCCESS);
  uint32_t count = 0;
  ASSERT_EQ(again.QueryInfo(nullptr, &count), ERROR_SUCCESS);
  EXPECT_EQ(count, std::size(cases));
}

TEST_F(RegistryTest, TypedHelpers) {
  RegKey key = Create(Hive::CurrentUser, u"Software\\Typed");
  ASSERT_EQ(key.SetDword(u"n", 0xDEADBEEF), ERROR_SUCCESS);
  ASSERT_EQ(key.SetString(u"s", u"text"), ERROR_SUCCESS);
  ASSERT_EQ(key.SetString(u"e", u"%TEMP%", REG_EXPAND_SZ), ERROR_SUCCESS);
  uint32_t n = 0;
  std::u16string s;
  EXPECT_EQ(key.GetDword(u"n", n), ERROR_SUCCESS);
  EXPECT_EQ(n, 0xDEADBEEF);
  EXPECT_EQ(key.GetString(u"s", s), ERROR_SUCCESS);
  EXPECT_EQ(s, u"text");
  EXPECT_EQ(key.GetString(u"e", s), ERROR_SUCCESS);
  EXPECT_EQ(s, u"%TEMP%");
  // The wrong type is refused rather than misread.
  EXPECT_EQ(key.GetDword(u"s", n), ERROR_INVALID_DATA);
  EXPECT_EQ(key.GetString(u"n", s), ERROR_INVALID_DATA);
  EXPECT_EQ(key.GetDword(u"missing", n), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, NamesKeepTheirCaseAndMatchWithoutIt) {
  RegKey key = Create(Hive::CurrentUser, u"Software\\MixedCase\\\u00c4rger");
  RegKey same;
  ASSERT_EQ(Open(Hive::CurrentUser, u"SOFTWARE\\mixedcase\\\u00e4RGER", RegView::Reg64, same),
            ERROR_SUCCESS);
  EXPECT_EQ(same.Path(), std::u16string(u"HKEY_USERS\\") + kSid +
                             u"\\Software\\MixedCase\\\u00c4rger");
  bool created = true;
  ASSERT_EQ(RegKey::Create(Hive::CurrentUser, u"software\\MIXEDCASE", RegView::Reg64, same,
                           &created),
            ERROR_SUCCESS);
  EXPECT_FALSE(created);

  ASSERT_EQ(key.SetString(u"ValueName", u"1"), ERROR_SUCCESS);
  ASSERT_EQ(key.SetString(u"VALUENAME", u"2"), ERROR_SUCCESS);  // replaces, keeps the name
  std::u16string name, text;
  ASSERT_EQ(key.EnumValue(0, name, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(name, u"ValueName");
  EXPECT_EQ(key.EnumValue(1, name, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(key.GetString(u"valuename", text), ERROR_SUCCESS);
  EXPECT_EQ(text, u"2");
}

TEST_F(RegistryTest, EnumerationOrder) {
  RegKey key = Create(Hive::CurrentUser, u"Software\\Order");
  for (auto sub : {u"beta", u"Alpha", u"gamma", u"ALPHA2", u"Delta"}) {
    RegKey child;
    ASSERT_EQ(key.CreateSubKey(sub, child), ERROR_SUCCESS);
  }
  std::vector<std::u16string> keys;
  std::u16string name;
  for (uint32_t i = 0; key.EnumKey(i, name) == ERROR_SUCCESS; ++i) keys.push_back(name);
  EXPECT_EQ(keys, (std::vector<std::u16string>{u"Alpha", u"ALPHA2", u"beta", u"Delta", u"gamma"}));
  EXPECT_EQ(key.EnumKey(5, name), ERROR_NO_MORE_ITEMS);

  for (auto v : {u"z", u"a", u"m"}) ASSERT_EQ(key.SetDword(v, 1), ERROR_SUCCESS);
  ASSERT_EQ(key.SetDword(u"a", 2), ERROR_SUCCESS);  // replacing keeps the place
  ASSERT_EQ(key.DeleteValue(u"z"), ERROR_SUCCESS);
  ASSERT_EQ(key.SetDword(u"z", 3), ERROR_SUCCESS);  // re-created: goes last
  std::vector<std::u16string> values;
  for (uint32_t i = 0; key.EnumValue(i, name, nullptr, nullptr) == ERROR_SUCCESS; ++i)
    values.push_back(name);
  EXPECT_EQ(values, (std::vector<std::u16string>{u"a", u"m", u"z"}));
  EXPECT_EQ(key.EnumValue(3, name, nullptr, nullptr), ERROR_NO_MORE_ITEMS);

  uint32_t subKeys = 0, valueCount = 0;
  ASSERT_EQ(key.QueryInfo(&subKeys, &valueCount), ERROR_SUCCESS);
  EXPECT_EQ(subKeys, 5u);
  EXPECT_EQ(valueCount, 3u);
}

// ---- predefined keys

TEST_F(RegistryTest, CurrentUserAndClassesRootAreViewsOfStoredKeys) {
  auto db = CurrentRegistry();
  ASSERT_TRUE(db);
  EXPECT_EQ(db->CurrentUserSid(), kSid);

  Create(Hive::CurrentUser, u"Software\\Mapped").SetDword(u"x", 7);
  RegKey viaUsers;
  ASSERT_EQ(Open(Hive::Users, std::u16string(kSid) + u"\\Software\\Mapped", RegView::Reg64,
                 viaUsers),
            ERROR_SUCCESS);
  uint32_t x = 0;
  EXPECT_EQ(viaUsers.GetDword(u"x", x), ERROR_SUCCESS);
  EXPECT_EQ(x, 7u);

  Create(Hive::ClassesRoot, u".lume").SetString(u"", u"Lume.File");
  RegKey viaMachine;
  ASSERT_EQ(Open(Hive::LocalMachine, u"SOFTWARE\\Classes\\.lume", RegView::Reg64, viaMachine),
            ERROR_SUCCESS);
  std::u16string progId;
  EXPECT_EQ(viaMachine.GetString(u"", progId), ERROR_SUCCESS);
  EXPECT_EQ(progId, u"Lume.File");
}

TEST_F(RegistryTest, CurrentUserSidIsTheFirstUserProfile) {
  std::shared_ptr<RegistryDatabase> db;
  ASSERT_EQ(RegistryDatabase::Open(Dir() / "other.db", db), ERROR_SUCCESS);
  EXPECT_EQ(db->CurrentUserSid(), u"S-1-5-21-1000-1000-1000-1001");  // no profiles yet
  const std::u16string list = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\";
  for (auto sid : {u"S-1-5-18", u"S-1-5-21-9-9-9-1002", u"S-1-5-21-9-9-9-1001"}) {
    RegKey key;
    ASSERT_EQ(db->CreateKey(Hive::LocalMachine, list + sid, RegView::Reg64, key, nullptr),
              ERROR_SUCCESS);
  }
  EXPECT_EQ(db->CurrentUserSid(), u"S-1-5-21-9-9-9-1001");
  RegKey user;
  ASSERT_EQ(db->CreateKey(Hive::CurrentUser, u"Software", RegView::Reg64, user, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(user.Path(), u"HKEY_USERS\\S-1-5-21-9-9-9-1001\\Software");
}

TEST_F(RegistryTest, ArchitectureComesFromTheImage) {
  EXPECT_TRUE(CurrentRegistry()->Is64BitMachine());
  std::shared_ptr<RegistryDatabase> db;
  ASSERT_EQ(RegistryDatabase::Open(Dir() / "other.db", db), ERROR_SUCCESS);
  EXPECT_TRUE(db->Is64BitMachine());  // not recorded: the default image is 64-bit
  RegKey env;
  ASSERT_EQ(db->CreateKey(Hive::LocalMachine,
                          u"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment",
                          RegView::Reg64, env, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(env.SetString(u"PROCESSOR_ARCHITECTURE", u"x86"), ERROR_SUCCESS);
  EXPECT_FALSE(db->Is64BitMachine());
}

// ---- WOW64 views

TEST_F(RegistryTest, ThirtyTwoBitViewRedirects) {
  const std::u16string user = std::u16string(u"HKEY_USERS\\") + kSid;
  struct Case {
    Hive hive;
    const char16_t* path;
    RegView view;
    std::u16string stored;  // where the key lands
  };
  const Case cases[] = {
      {Hive::LocalMachine, u"SOFTWARE\\Vendor", RegView::Reg32,
       u"HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Vendor"},
      {Hive::LocalMachine, u"software\\Vendor2", RegView::Process,
       u"HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Vendor2"},
      {Hive::LocalMachine, u"SOFTWARE\\Vendor3", RegView::Reg64,
       u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor3"},
      {Hive::LocalMachine, u"SOFTWARE\\WOW6432Node\\Vendor4", RegView::Reg32,
       u"HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Vendor4"},
      {Hive::LocalMachine, u"SOFTWARE\\Clients\\Mail", RegView::Reg32,
       u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Clients\\Mail"},
      {Hive::LocalMachine, u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\X",
       RegView::Reg32,
       u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\X"},
      {Hive::LocalMachine, u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\a.exe",
       RegView::Reg32,
       u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\a.exe"},
      {Hive::LocalMachine, u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", RegView::Reg32,
       u"HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Run"},
      {Hive::LocalMachine, u"SOFTWARE\\Classes\\.txt", RegView::Reg32,
       u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\.txt"},
      {Hive::LocalMachine, u"SOFTWARE\\Classes\\CLSID\\{A}", RegView::Reg32,
       u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\WOW6432Node\\CLSID\\{A}"},
      {Hive::ClassesRoot, u"Interface\\{B}", RegView::Process,
       u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\WOW6432Node\\Interface\\{B}"},
      {Hive::ClassesRoot, u"CLSID\\{C}", RegView::Reg64,
       u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\CLSID\\{C}"},
      {Hive::CurrentUser, u"Software\\Vendor", RegView::Reg32, user + u"\\Software\\Vendor"},
      {Hive::CurrentUser, u"Software\\Classes\\CLSID\\{D}", RegView::Reg32,
       user + u"\\Software\\Classes\\WOW6432Node\\CLSID\\{D}"},
      {Hive::CurrentUser, u"Software\\Classes\\.lume", RegView::Reg32,
       user + u"\\Software\\Classes\\.lume"},
      {Hive::LocalMachine, u"SYSTEM\\Setup", RegView::Reg32, u"HKEY_LOCAL_MACHINE\\SYSTEM\\Setup"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Utf16ToUtf8(c.path));
    RegKey key = Create(c.hive, c.path, c.view);
    EXPECT_EQ(key.Path(), c.stored);
    ASSERT_EQ(key.SetString(u"marker", c.path), ERROR_SUCCESS);

    // The 64-bit view finds the value at the stored place.
    const bool machine = c.stored.starts_with(u"HKEY_LOCAL_MACHINE\\");
    std::u16string below = c.stored.substr(c.stored.find(u'\\') + 1);
    RegKey stored;
    ASSERT_EQ(Open(machine ? Hive::LocalMachine : Hive::Users, below, RegView::Reg64, stored),
              ERROR_SUCCESS);
    std::u16string marker;
    EXPECT_EQ(stored.GetString(u"marker", marker), ERROR_SUCCESS);
    EXPECT_EQ(marker, c.path);
  }
  // A redirected write is not visible at the unredirected place in the 64-bit view.
  RegKey key;
  EXPECT_EQ(Open(Hive::LocalMachine, u"SOFTWARE\\Vendor", RegView::Reg64, key),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Open(Hive::ClassesRoot, u"CLSID\\{A}", RegView::Reg64, key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Open(Hive::ClassesRoot, u"CLSID\\{A}", RegView::Reg32, key), ERROR_SUCCESS);
}

TEST_F(RegistryTest, SubkeysOfAHandleFollowItsView) {
  RegKey software;
  ASSERT_EQ(Open(Hive::LocalMachine, u"SOFTWARE", RegView::Reg32, software), ERROR_SUCCESS);
  EXPECT_EQ(software.Path(), u"HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node");

  RegKey vendor, classes, clsid;
  ASSERT_EQ(software.CreateSubKey(u"Vendor", vendor), ERROR_SUCCESS);
  EXPECT_EQ(vendor.Path(), u"HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Vendor");
  // A shared key below the redirected SOFTWARE is the shared key, not a copy.
  ASSERT_EQ(software.CreateSubKey(u"Classes", classes), ERROR_SUCCESS);
  EXPECT_EQ(classes.Path(), u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes");
  ASSERT_EQ(classes.CreateSubKey(u"CLSID\\{E}", clsid), ERROR_SUCCESS);
  EXPECT_EQ(clsid.Path(), u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\WOW6432Node\\CLSID\\{E}");

  // Deleting through the 32-bit view deletes the redirected key.
  ASSERT_EQ(RegDeleteKey(Hive::LocalMachine, u"SOFTWARE\\Vendor", RegView::Process),
            ERROR_SUCCESS);
  RegKey gone;
  EXPECT_EQ(Open(Hive::LocalMachine, u"SOFTWARE\\WOW6432Node\\Vendor", RegView::Reg64, gone),
            ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryX86Test, ThirtyTwoBitImageHasNoRedirection) {
  EXPECT_FALSE(CurrentRegistry()->Is64BitMachine());
  for (RegView view : {RegView::Process, RegView::Reg32, RegView::Reg64}) {
    EXPECT_EQ(Create(Hive::LocalMachine, u"SOFTWARE\\Vendor", view).Path(),
              u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor");
    EXPECT_EQ(Create(Hive::ClassesRoot, u"CLSID\\{A}", view).Path(),
              u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\CLSID\\{A}");
  }
  RegKey key;
  EXPECT_EQ(Open(Hive::LocalMachine, u"SOFTWARE\\WOW6432Node", RegView::Reg64, key),
            ERROR_FILE_NOT_FOUND);
}

// ---- errors

TEST_F(RegistryTest, BadKeyNamesAreRefused) {
  const std::u16string longName(kMaxKeyNameLength + 1, u'k');
  std::u16string deep = u"SOFTWARE";
  for (size_t i = 1; i < kMaxKeyDepth; ++i) deep += u"\\d";  // 512 levels: allowed
  struct Case {
    const char* what;
    Hive hive;
    std::u16string path;
    bool create;
    LSTATUS expected;
  };
  const Case cases[] = {
      {"missing key", Hive::CurrentUser, u"Software\\Missing", false, ERROR_FILE_NOT_FOUND},
      {"leading backslash (create)", Hive::CurrentUser, u"\\Software\\X", true,
       ERROR_BAD_PATHNAME},
      {"leading backslash (open)", Hive::LocalMachine, u"\\SOFTWARE", false, ERROR_BAD_PATHNAME},
      {"leading backslash under HKCR is skipped", Hive::ClassesRoot, u"\\CLSID", false,
       ERROR_SUCCESS},
      {"empty name between backslashes", Hive::CurrentUser, u"Software\\\\X", true,
       ERROR_INVALID_PARAMETER},
      {"trailing backslash is tolerated", Hive::CurrentUser, u"Software\\Trail\\", true,
       ERROR_SUCCESS},
      {"name of 256 characters", Hive::CurrentUser, u"Software\\" + longName, true,
       ERROR_INVALID_PARAMETER},
      {"name of 255 characters", Hive::CurrentUser, u"Software\\" + longName.substr(1), true,
       ERROR_SUCCESS},
      {"NUL in a name", Hive::CurrentUser, std::u16string(u"Software\\a\0b", 12), true,
       ERROR_INVALID_PARAMETER},
      {"512 levels", Hive::LocalMachine, deep, true, ERROR_SUCCESS},
      {"513 levels", Hive::LocalMachine, deep + u"\\d", true, ERROR_INVALID_PARAMETER},
  };
  Create(Hive::ClassesRoot, u"CLSID");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    RegKey key;
    LSTATUS status = c.create ? RegKey::Create(c.hive, c.path, RegView::Reg64, key)
                              : RegKey::Open(c.hive, c.path, RegView::Reg64, key);
    EXPECT_EQ(status, c.expected);
    EXPECT_EQ(key.IsOpen(), c.expected == ERROR_SUCCESS);
  }
  RegKey trail;
  EXPECT_EQ(Open(Hive::CurrentUser, u"Software\\Trail", RegView::Reg64, trail), ERROR_SUCCESS);
}

TEST_F(RegistryTest, ValueErrors) {
  RegKey key = Create(Hive::CurrentUser, u"Software\\ValueErrors");
  uint32_t size = 0, type = 0;
  std::vector<uint8_t> data;
  EXPECT_EQ(key.QueryValue(u"missing", &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key.GetValue(u"missing", type, data), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key.DeleteValue(u"missing"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key.GetValue(u"", type, data), ERROR_FILE_NOT_FOUND);  // default value not set

  const std::u16string longest(kMaxValueNameLength, u'v');
  EXPECT_EQ(key.SetDword(longest, 1), ERROR_SUCCESS);
  EXPECT_EQ(key.SetDword(longest + u"v", 1), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(key.SetValue(u"x", REG_BINARY, nullptr, 4), ERROR_INVALID_PARAMETER);
  uint8_t buffer[4];
  ASSERT_EQ(key.SetDword(u"x", 1), ERROR_SUCCESS);
  EXPECT_EQ(key.QueryValue(u"x", nullptr, buffer, nullptr), ERROR_INVALID_PARAMETER);

  RegKey closed;
  EXPECT_EQ(closed.SetDword(u"x", 1), ERROR_INVALID_HANDLE);
  EXPECT_EQ(closed.OpenSubKey(u"x", closed), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryTest, DeletingKeys) {
  RegKey parent = Create(Hive::CurrentUser, u"Software\\Del\\Child\\Grandchild");
  ASSERT_EQ(Open(Hive::CurrentUser, u"Software\\Del", RegView::Reg64, parent), ERROR_SUCCESS);
  parent.SetDword(u"keep", 1);

  EXPECT_EQ(parent.DeleteSubKey(u"Child"), ERROR_ACCESS_DENIED);  // it has a subkey
  EXPECT_EQ(parent.DeleteSubKey(u"Missing"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(parent.DeleteSubKey(u"Child\\Grandchild"), ERROR_SUCCESS);
  EXPECT_EQ(parent.DeleteSubKey(u"Child"), ERROR_SUCCESS);

  // The predefined keys and the stored hive roots cannot be deleted.
  for (Hive hive : {Hive::LocalMachine, Hive::Users, Hive::CurrentUser, Hive::ClassesRoot})
    EXPECT_EQ(RegDeleteKey(hive, u"", RegView::Reg64), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteTree(Hive::LocalMachine, u"", RegView::Reg64), ERROR_ACCESS_DENIED);

  // DeleteTree removes everything; with no subkey it empties the key and keeps it.
  RegKey tree = Create(Hive::CurrentUser, u"Software\\Del\\Tree\\A\\B");
  tree.SetDword(u"v", 1);
  ASSERT_EQ(parent.DeleteTree(u""), ERROR_SUCCESS);
  uint32_t subKeys = 9, values = 9;
  ASSERT_EQ(parent.QueryInfo(&subKeys, &values), ERROR_SUCCESS);
  EXPECT_EQ(subKeys, 0u);
  EXPECT_EQ(values, 0u);
  Create(Hive::CurrentUser, u"Software\\Del\\Tree\\A\\B");
  EXPECT_EQ(RegDeleteTree(Hive::CurrentUser, u"Software\\Del\\Tree", RegView::Reg64),
            ERROR_SUCCESS);
  RegKey gone;
  EXPECT_EQ(Open(Hive::CurrentUser, u"Software\\Del\\Tree", RegView::Reg64, gone),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteTree(Hive::CurrentUser, u"Software\\Del\\Tree", RegView::Reg64),
            ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, KeyDeletedUnderAnOpenHandle) {
  RegKey key = Create(Hive::CurrentUser, u"Software\\Doomed");
  ASSERT_EQ(key.SetDword(u"v", 1), ERROR_SUCCESS);
  RegKey copy = key;
  ASSERT_EQ(RegDeleteTree(Hive::CurrentUser, u"Software\\Doomed", RegView::Reg64), ERROR_SUCCESS);
  // Re-creating the same name does not revive the old handle.
  Create(Hive::CurrentUser, u"Software\\Doomed");

  uint32_t type = 0, size = 0, count = 0;
  std::vector<uint8_t> data;
  std::u16string name;
  RegKey out;
  EXPECT_EQ(copy.QueryValue(u"v", &type, nullptr, &size), ERROR_KEY_DELETED);
  EXPECT_EQ(copy.GetValue(u"v", type, data), ERROR_KEY_DELETED);
  EXPECT_EQ(copy.SetDword(u"v", 2), ERROR_KEY_DELETED);
  EXPECT_EQ(copy.DeleteValue(u"v"), ERROR_KEY_DELETED);
  EXPECT_EQ(copy.EnumKey(0, name), ERROR_KEY_DELETED);
  EXPECT_EQ(copy.EnumValue(0, name, nullptr, nullptr), ERROR_KEY_DELETED);
  EXPECT_EQ(copy.QueryInfo(&count, &count), ERROR_KEY_DELETED);
  EXPECT_EQ(copy.OpenSubKey(u"", out), ERROR_KEY_DELETED);
  EXPECT_EQ(copy.CreateSubKey(u"child", out), ERROR_KEY_DELETED);
  EXPECT_EQ(copy.DeleteTree(u""), ERROR_KEY_DELETED);
}

TEST_F(RegistryTest, UnusableDatabaseFilesAreReported) {
  std::shared_ptr<RegistryDatabase> db;
  const auto garbage = Dir() / "garbage.db";
  std::ofstream(garbage, std::ios::binary) << std::string(4096, 'x');
  EXPECT_EQ(RegistryDatabase::Open(garbage, db), ERROR_REGISTRY_CORRUPT);
  EXPECT_FALSE(db);
  EXPECT_EQ(RegistryDatabase::Open(Dir() / "no" / "such" / "dir.db", db), ERROR_CANTOPEN);
  EXPECT_FALSE(db);
}

TEST_F(RegistryTest, SwitchingImagesSwitchesRegistries) {
  Create(Hive::CurrentUser, u"Software\\FirstImage");
  std::string error;
  const auto second = Dir() / "second";
  ASSERT_EQ(CreateMachineImage(second, MachineOptions{}, &error), ERROR_SUCCESS) << error;
  ASSERT_EQ(SelectMachine(second, &error), ERROR_SUCCESS) << error;
  RegKey key;
  EXPECT_EQ(Open(Hive::CurrentUser, u"Software\\FirstImage", RegView::Reg64, key),
            ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(SelectMachine(Image(), &error), ERROR_SUCCESS) << error;
  EXPECT_EQ(Open(Hive::CurrentUser, u"Software\\FirstImage", RegView::Reg64, key), ERROR_SUCCESS);
}

// ---- concurrency

// Writes 300 values and keys through its own connection; the exit code says whether all
// writes succeeded. Runs in a forked child, so no test macros here.
int WriteFromChild(const std::filesystem::path& file, int child, int startFd) {
  char go;
  if (read(startFd, &go, 1) < 0) return 3;  // wait until both children are ready
  std::shared_ptr<RegistryDatabase> db;
  if (RegistryDatabase::Open(file, db) != ERROR_SUCCESS) return 4;
  RegKey shared;
  if (db->CreateKey(Hive::LocalMachine, u"SOFTWARE\\Shared", RegView::Reg64, shared, nullptr))
    return 5;
  for (int i = 0; i < 300; ++i) {
    std::u16string name = U16("c" + std::to_string(child) + "_" + std::to_string(i));
    if (shared.SetDword(name, uint32_t(i)) != ERROR_SUCCESS) return 6;
    RegKey key;
    if (db->CreateKey(Hive::LocalMachine, u"SOFTWARE\\Shared\\Keys\\" + name, RegView::Reg64,
                      key, nullptr) != ERROR_SUCCESS)
      return 7;
  }
  return 0;
}

TEST_F(RegistryTest, TwoProcessesWritingAtOnceLoseNothing) {
  // A database file that this process has never opened, so the children share nothing.
  const std::filesystem::path file = Dir() / "concurrent.db";
  int start[2];
  ASSERT_EQ(pipe(start), 0);
  pid_t children[2];
  for (int c = 0; c < 2; ++c) {
    children[c] = fork();
    ASSERT_GE(children[c], 0);
    if (children[c] == 0) {
      close(start[1]);
      _exit(WriteFromChild(file, c, start[0]));
    }
  }
  close(start[0]);
  close(start[1]);  // both children start now
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }

  std::shared_ptr<RegistryDatabase> db;
  ASSERT_EQ(RegistryDatabase::Open(file, db), ERROR_SUCCESS);
  RegKey shared, keys;
  ASSERT_EQ(db->OpenKey(Hive::LocalMachine, u"SOFTWARE\\Shared", RegView::Reg64, shared),
            ERROR_SUCCESS);
  ASSERT_EQ(shared.OpenSubKey(u"Keys", keys), ERROR_SUCCESS);
  uint32_t values = 0, subKeys = 0;
  ASSERT_EQ(shared.QueryInfo(nullptr, &values), ERROR_SUCCESS);
  ASSERT_EQ(keys.QueryInfo(&subKeys, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(values, 600u);
  EXPECT_EQ(subKeys, 600u);
  for (int c = 0; c < 2; ++c) {
    for (int i = 0; i < 300; ++i) {
      std::u16string name = U16("c" + std::to_string(c) + "_" + std::to_string(i));
      uint32_t v = 0;
      ASSERT_EQ(shared.GetDword(name, v), ERROR_SUCCESS) << Utf16ToUtf8(name);
      EXPECT_EQ(v, uint32_t(i));
    }
  }
}

TEST_F(RegistryTest, ThreadsShareOneDatabase) {
  RegKey key = Create(Hive::CurrentUser, u"Software\\Threads");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([key, t] {
      for (int i = 0; i < 100; ++i) {
        RegKey sub;
        std::u16string name = U16("t" + std::to_string(t) + "_" + std::to_string(i));
        EXPECT_EQ(key.CreateSubKey(name, sub), ERROR_SUCCESS);
        EXPECT_EQ(key.SetDword(name, uint32_t(i)), ERROR_SUCCESS);
      }
    });
  }
  for (auto& t : threads) t.join();
  uint32_t subKeys = 0, values = 0;
  ASSERT_EQ(key.QueryInfo(&subKeys, &values), ERROR_SUCCESS);
  EXPECT_EQ(subKeys, 400u);
  EXPECT_EQ(values, 400u);
}

}  // namespace
