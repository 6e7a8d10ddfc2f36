#include "engine/checks/check_fix_com.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/environment.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "services/files/digest.h"
#include "tests/support/machine_fixture.h"
#include "tests/support/pe_file.h"

using namespace Corvane::Assistant;
using namespace platform;
namespace fs = std::filesystem;

namespace {

constexpr char kClsid[] = "{6C2E8A3D-4B1F-4E27-9A55-0D3C7B9E1F42}";
constexpr char16_t kServerKey[] = u"CLSID\\{6C2E8A3D-4B1F-4E27-9A55-0D3C7B9E1F42}\\InprocServer32";
constexpr char16_t kAddonKey[] =
    u"Software\\Microsoft\\Windows\\CurrentVersion\\Ext\\Settings\\"
    u"{6C2E8A3D-4B1F-4E27-9A55-0D3C7B9E1F42}";

ConfigEntry ComEntry(std::string version = {}, std::string md5 = {}, std::string bit = {}) {
  ConfigEntry entry;
  entry.text = kClsid;
  entry.attributes.Set("version", version);
  entry.attributes.Set("md5", md5);
  entry.attributes.Set("bit", bit);
  return entry;
}

class ComCheckTest : public testing_support::MachineTest {
 protected:
  // Writes a control of version 2.1.0.0 at drive_c/<relative> and returns its bytes.
  std::string WriteControl(const std::string& relative) {
    std::string image = testing_support::MakePeFile(2, 1, 0, 0);
    fs::path host = Image() / "drive_c" / relative;
    fs::create_directories(host.parent_path());
    std::ofstream(host, std::ios::binary) << image;
    return image;
  }
  void Register(std::u16string_view server, RegView view = RegView::Process,
                uint32_t type = REG_SZ) {
    RegKey key;
    ASSERT_EQ(RegKey::Create(Hive::ClassesRoot, kServerKey, view, key), 0);
    ASSERT_EQ(key.SetString(u"", server, type), 0);
  }
  void SetFlags(uint32_t flags) {
    RegKey key;
    ASSERT_EQ(RegKey::Create(Hive::CurrentUser, kAddonKey, RegView::Process, key), 0);
    ASSERT_EQ(key.SetDword(u"Flags", flags), 0);
  }
  bool AddonKeyExists() {
    RegKey key;
    return RegKey::Open(Hive::CurrentUser, kAddonKey, RegView::Process, key) == 0;
  }

  CheckFixCOM checker_;
};

TEST_F(ComCheckTest, RegistrationAndFileTest) {
  const std::string image = WriteControl("Program Files (x86)/Haverly/ctl.dll");
  const std::string md5 = DigestHex(image, kDigestMd5);
  Register(u"C:\\Program Files (x86)\\Haverly\\ctl.dll");
  struct Case {
    const char* what;
    ConfigEntry entry;
    CheckStatus check, fix;
  } cases[] = {
      {"registered, file present", ComEntry(), 2, 2},
      {"version wanted newer", ComEntry(">=2.2"), 1, 1},
      {"version satisfied", ComEntry(">=2.1", md5), 2, 2},
      {"digest not listed", ComEntry("", std::string(32, '0')), 1, 1},
  };
  for (Case& c : cases) {
    EXPECT_EQ(checker_.CheckEntry(c.entry), c.check) << c.what;
    EXPECT_EQ(checker_.FixEntry(c.entry), c.fix) << c.what;
  }

  // A server file that is gone fails; the repair leaves that to the item's installer.
  ConfigEntry entry = ComEntry();
  Register(u"C:\\Program Files (x86)\\Haverly\\gone.dll");
  EXPECT_EQ(checker_.CheckEntry(entry), -2);
  EXPECT_EQ(checker_.FixEntry(entry), -1);

  // No registration at all: the same.
  ASSERT_EQ(RegDeleteTree(Hive::ClassesRoot, kServerKey, RegView::Process), 0);
  EXPECT_EQ(checker_.CheckEntry(entry), -2);
  EXPECT_EQ(checker_.FixEntry(entry), -1);

  // A server path longer than 260 units is a failed read.
  Register(u"C:\\" + std::u16string(300, u'a') + u".dll");
  EXPECT_EQ(checker_.CheckEntry(entry), -2);
}

// Registrations written by installers often quote the path or use variables.
TEST_F(ComCheckTest, QuotedAndVariableServerPaths) {
  WriteControl("Windows/Haverly/ctl.dll");
  ASSERT_EQ(ExpandEnvironmentStrings(u"%SystemRoot%"), u"C:\\Windows");
  for (std::u16string server :
       {u"\"C:\\Windows\\Haverly\\ctl.dll\"", u"%SystemRoot%\\Haverly\\ctl.dll",
        u" \"%SystemRoot%\\Haverly\\ctl.dll\" "}) {
    for (uint32_t type : {REG_SZ, REG_EXPAND_SZ}) {
      Register(server, RegView::Process, type);
      ConfigEntry entry = ComEntry("2.1");
      EXPECT_EQ(checker_.CheckEntry(entry), 2) << Utf16ToUtf8(server);
    }
  }
}

TEST_F(ComCheckTest, DisabledAddonAndItsRepair) {
  WriteControl("Program Files (x86)/Haverly/ctl.dll");
  Register(u"C:\\Program Files (x86)\\Haverly\\ctl.dll");
  struct Case {
    const char* what;
    uint32_t flags;
    CheckStatus check;
  } cases[] = {{"Flags 1 disables", 1, -3}, {"Flags 0x401 does not", 0x401, 2}, {"Flags 0", 0, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetFlags(c.flags);
    ConfigEntry entry = ComEntry();
    EXPECT_EQ(checker_.CheckEntry(entry), c.check);
    EXPECT_EQ(checker_.FixEntry(entry), 2);
    // Only a disabled add-on has its settings removed.
    EXPECT_EQ(AddonKeyExists(), c.check != -3);
    EXPECT_EQ(checker_.CheckEntry(entry), 2);
    RegDeleteTree(Hive::CurrentUser, kAddonKey, RegView::Process);
  }

  // Flags as a string is no refusal.
  RegKey key;
  ASSERT_EQ(RegKey::Create(Hive::CurrentUser, kAddonKey, RegView::Process, key), 0);
  ASSERT_EQ(key.SetString(u"Flags", u"1"), 0);
  ConfigEntry entry = ComEntry();
  EXPECT_EQ(checker_.CheckEntry(entry), 2);
}

// When the settings key cannot be removed the add-on stays disabled: the repair says so.
TEST_F(ComCheckTest, FailedRemovalIsNotReportedAsSuccess) {
  WriteControl("Program Files (x86)/Haverly/ctl.dll");
  Register(u"C:\\Program Files (x86)\\Haverly\\ctl.dll");
  SetFlags(1);
  RegKey child;
  ASSERT_EQ(RegKey::Create(Hive::CurrentUser, std::u16string(kAddonKey) + u"\\iexplore",
                           RegView::Process, child),
            0);
  ConfigEntry entry = ComEntry();
  EXPECT_EQ(checker_.FixEntry(entry), -2);
  EXPECT_EQ(checker_.CheckEntry(entry), -3);
}

// bit="64": the 64-bit registration and the real System32; without it the 32-bit
// registration and the redirected System32 (SysWOW64).
TEST_F(ComCheckTest, SixtyFourBitServerOn64BitWindows) {
  WriteControl("Windows/System32/ctl64.dll");
  Register(u"C:\\Windows\\System32\\ctl64.dll", RegView::Reg64);
  ConfigEntry entry64 = ComEntry("2.1", "", "64");
  EXPECT_EQ(checker_.CheckEntry(entry64), 2);

  // The 32-bit view has no registration.
  ConfigEntry entry32 = ComEntry("2.1");
  EXPECT_EQ(checker_.CheckEntry(entry32), -2);
  // A 32-bit registration of the same path is looked for in SysWOW64.
  Register(u"C:\\Windows\\System32\\ctl64.dll", RegView::Reg32);
  EXPECT_EQ(checker_.CheckEntry(entry32), -2);
  WriteControl("Windows/SysWOW64/ctl64.dll");
  EXPECT_EQ(checker_.CheckEntry(entry32), 2);
}

class ComCheck32Test : public ComCheckTest {
 protected:
  MachineOptions Options() const override { return {"win10", "x86"}; }
};

TEST_F(ComCheck32Test, SixtyFourBitEntriesDoNotApplyOn32BitWindows) {
  ConfigEntry entry = ComEntry("", "", "64");
  EXPECT_EQ(checker_.CheckEntry(entry), 2);
  EXPECT_EQ(checker_.FixEntry(entry), 2);

  WriteControl("Windows/System32/ctl.dll");
  Register(u"C:\\Windows\\System32\\ctl.dll");
  ConfigEntry plain = ComEntry("2.1");
  EXPECT_EQ(checker_.CheckEntry(plain), 2);
  SetFlags(1);
  EXPECT_EQ(checker_.CheckEntry(plain), -3);
  EXPECT_EQ(checker_.FixEntry(plain), 2);
  EXPECT_EQ(checker_.CheckEntry(plain), 2);
}

}  // namespace
