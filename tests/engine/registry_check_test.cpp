#include "engine/checks/check_fix_registry.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "engine/check/check_runner.h"
#include "engine/check/checker_registry.h"
#include "engine/checks/check_fix_com.h"
#include "platform/text.h"
#include "tests/support/machine_fixture.h"

using namespace Corvane::Assistant;
using namespace platform;

namespace {

constexpr char kKeyText[] = "HKCU\\Software\\Haverly\\Test";
constexpr char16_t kKeyPath[] = u"Software\\Haverly\\Test";
constexpr char16_t kPolicyKey[] = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Policies\\System";

struct Stored {
  uint32_t type;
  std::vector<uint8_t> bytes;
};

std::vector<uint8_t> Dword(uint32_t v) {
  return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}
std::vector<uint8_t> Sz(const std::string& utf8) { return ToRegSz(Utf8ToUtf16(utf8)); }

ConfigEntry RegistryEntry(std::string text, std::string type, std::string name,
                          std::string value, std::string mask = {}, std::string bit = {}) {
  ConfigEntry entry;
  entry.text = std::move(text);
  entry.attributes.Set("type", type);
  entry.attributes.Set("name", name);
  entry.attributes.Set("value", value);
  entry.attributes.Set("mask", mask);
  entry.attributes.Set("bit", bit);
  return entry;
}

class RegistryCheckTest : public testing_support::MachineTest {
 protected:
  void Put(Hive hive, std::u16string_view path, RegView view, std::u16string_view name,
           const Stored& value) {
    RegKey key;
    ASSERT_EQ(RegKey::Create(hive, path, view, key), 0);
    ASSERT_EQ(key.SetValue(name, value.type, value.bytes.data(), uint32_t(value.bytes.size())),
              0);
  }
  std::optional<Stored> Get(Hive hive, std::u16string_view path, RegView view,
                            std::u16string_view name) {
    RegKey key;
    Stored out;
    if (RegKey::Open(hive, path, view, key) != 0 || key.GetValue(name, out.type, out.bytes) != 0)
      return std::nullopt;
    return out;
  }

  CheckFixRegistry checker_;
};

// Every value kind: the check, the repair, and what the repair leaves in the registry.
TEST_F(RegistryCheckTest, ValueKindsMasksAndLimits) {
  const std::string long511(511, 'x'), long512(512, 'x');
  std::vector<uint8_t> big(4097, 0xAB);
  struct Case {
    const char* what;
    std::string type, value, mask;
    std::optional<Stored> before;
    CheckStatus check, fix;
    std::optional<Stored> after;  // nullopt: as before
  } cases[] = {
      {"dword bit set under mask", "reg_dword", "4", "4", Stored{REG_DWORD, Dword(13)}, 2, 2, {}},
      {"dword bit clear under mask", "reg_dword", "4", "4", Stored{REG_DWORD, Dword(0x11)}, -2, 2,
       Stored{REG_DWORD, Dword(0x15)}},
      {"dword masked bit cleared", "reg_dword", "0", "6", Stored{REG_DWORD, Dword(0xFF)}, -2, 2,
       Stored{REG_DWORD, Dword(0xF9)}},
      {"dword missing written unmasked", "reg_dword", "7", "4", std::nullopt, -2, 2,
       Stored{REG_DWORD, Dword(7)}},
      {"dword whole value", "reg_dword", "1", "", Stored{REG_DWORD, Dword(1)}, 2, 2, {}},
      {"dword different", "reg_dword", "1", "", Stored{REG_DWORD, Dword(0)}, -2, 2,
       Stored{REG_DWORD, Dword(1)}},
      {"dword negative wraps", "reg_dword", "-1", "", Stored{REG_DWORD, Dword(0xFFFFFFFF)}, 2, 2, {}},
      {"dword read like atoi", "reg_dword", "  12abc", "", Stored{REG_DWORD, Dword(12)}, 2, 2, {}},
      {"dword stored as string", "reg_dword", "1", "", Stored{REG_SZ, Sz("1")}, -2, -2, {}},
      {"dword stored as binary of 4 bytes", "reg_dword", "1", "", Stored{REG_BINARY, Dword(1)}, -2,
       -2, {}},
      {"sz equal", "reg_sz", "about:blank", "", Stored{REG_SZ, Sz("about:blank")}, 2, 2, {}},
      {"sz as expandable string", "reg_sz", "%windir%", "", Stored{REG_EXPAND_SZ, Sz("%windir%")}, 2,
       2, {}},
      {"sz case differs", "reg_sz", "Yes", "", Stored{REG_SZ, Sz("yes")}, -2, 2,
       Stored{REG_SZ, Sz("Yes")}},
      {"sz longer stored", "reg_sz", "ab", "", Stored{REG_SZ, Sz("abc")}, -2, 2, Stored{REG_SZ, Sz("ab")}},
      {"sz utf-8 text", "reg_sz", "网银", "", Stored{REG_SZ, Sz("网银")}, 2, 2, {}},
      {"sz missing", "reg_sz", "on", "", std::nullopt, -2, 2, Stored{REG_SZ, Sz("on")}},
      {"sz stored as dword", "reg_sz", "1", "", Stored{REG_DWORD, Dword(1)}, -2, -2, {}},
      {"sz of 511 units fits", "reg_sz", long511, "", Stored{REG_SZ, Sz(long511)}, 2, 2, {}},
      {"sz of 512 units is too long", "reg_sz", long512, "", Stored{REG_SZ, Sz(long512)}, -2, -2, {}},
      {"binary equal", "reg_binary", "0a0B0c", "", Stored{REG_BINARY, {0x0A, 0x0B, 0x0C}}, 2, 2, {}},
      {"binary stored prefix passes", "reg_binary", "0a0b0c", "", Stored{REG_BINARY, {0x0A, 0x0B}}, 2,
       2, {}},
      {"binary empty stored passes", "reg_binary", "0a0b0c", "", Stored{REG_BINARY, {}}, 2, 2, {}},
      {"binary stored longer", "reg_binary", "0a0b0c", "", Stored{REG_BINARY, {0x0A, 0x0B, 0x0C, 0x0D}},
       -2, 2, Stored{REG_BINARY, {0x0A, 0x0B, 0x0C}}},
      {"binary decoding stops at a bad pair", "reg_binary", "0A0Bzz0C", "",
       Stored{REG_BINARY, {0x0A, 0x0B, 0x0C}}, -2, 2, Stored{REG_BINARY, {0x0A, 0x0B}}},
      {"binary odd last digit ignored", "reg_binary", "0a0", "", Stored{REG_BINARY, {0x0B}}, -2, 2,
       Stored{REG_BINARY, {0x0A}}},
      {"binary missing", "reg_binary", "ff00", "", std::nullopt, -2, 2, Stored{REG_BINARY, {0xFF, 0x00}}},
      {"binary stored as string", "reg_binary", "00", "", Stored{REG_SZ, Sz("")}, -2, -2, {}},
      {"binary of 4097 bytes is too long", "reg_binary", "ab", "", Stored{REG_BINARY, big}, -2, -2, {}},
      {"exists: any kind", "", "", "", Stored{REG_MULTI_SZ, Sz("a")}, 2, 2, {}},
      {"exists: missing cannot be made", "reg_qword", "1", "", std::nullopt, -2, -2, {}},
      {"exists: larger than 4096 bytes", "", "", "", Stored{REG_BINARY, big}, -2, -2, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RegDeleteTree(Hive::CurrentUser, kKeyPath, RegView::Process);
    if (c.before) Put(Hive::CurrentUser, kKeyPath, RegView::Process, u"V", *c.before);
    ConfigEntry entry = RegistryEntry(kKeyText, c.type, "V", c.value, c.mask);
    EXPECT_EQ(checker_.CheckEntry(entry), c.check);
    EXPECT_EQ(checker_.FixEntry(entry), c.fix);
    std::optional<Stored> now = Get(Hive::CurrentUser, kKeyPath, RegView::Process, u"V");
    const std::optional<Stored>& expected = c.after ? c.after : c.before;
    ASSERT_EQ(now.has_value(), expected.has_value());
    if (now) {
      EXPECT_EQ(now->type, expected->type);
      EXPECT_EQ(now->bytes, expected->bytes);
    }
    // A repair that succeeded leaves a value that passes.
    if (c.fix == 2) {
      EXPECT_EQ(checker_.CheckEntry(entry), 2);
    }
  }
}

TEST_F(RegistryCheckTest, DefaultValueAndMissingKey) {
  ConfigEntry entry = RegistryEntry("HKCU\\Software\\Haverly\\New\\Deep", "reg_sz", "", "x");
  EXPECT_EQ(checker_.CheckEntry(entry), -2);
  EXPECT_EQ(checker_.FixEntry(entry), 2);  // the key is created
  auto value = Get(Hive::CurrentUser, u"Software\\Haverly\\New\\Deep", RegView::Process, u"");
  ASSERT_TRUE(value);
  EXPECT_EQ(value->bytes, Sz("x"));
  EXPECT_EQ(checker_.CheckEntry(entry), 2);
}

TEST_F(RegistryCheckTest, RootNames) {
  struct Case {
    const char* root;
    Hive hive;
  } cases[] = {
      {"HKLM", Hive::LocalMachine},        {"hklm", Hive::LocalMachine},
      {"HKEY_LOCAL_MACHINE", Hive::LocalMachine}, {"HKCU", Hive::CurrentUser},
      {"hkey_current_user", Hive::CurrentUser},   {"HKCR", Hive::ClassesRoot},
      {"HKEY_CLASSES_ROOT", Hive::ClassesRoot},   {"HKU", Hive::CurrentUser},
      {"Anything", Hive::CurrentUser},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.root);
    std::u16string path = u"Software\\Haverly\\Root" + Utf8ToUtf16(c.root);
    ConfigEntry entry =
        RegistryEntry(std::string(c.root) + "\\" + Utf16ToUtf8(path), "reg_dword", "R", "5");
    EXPECT_EQ(checker_.FixEntry(entry), 2);
    auto value = Get(c.hive, path, RegView::Process, u"R");
    ASSERT_TRUE(value);
    EXPECT_EQ(value->bytes, Dword(5));
    EXPECT_EQ(checker_.CheckEntry(entry), 2);
  }
}

TEST_F(RegistryCheckTest, TextWithoutBackslashFails) {
  ConfigEntry entry = RegistryEntry("HKCU", "reg_dword", "R", "5");
  EXPECT_EQ(checker_.CheckEntry(entry), -2);
  EXPECT_EQ(checker_.FixEntry(entry), -2);
}

// A 32-bit program on 64-bit Windows: bit="64" works in the 64-bit view, everything else
// in the redirected 32-bit view (HKLM\SOFTWARE\WOW6432Node).
TEST_F(RegistryCheckTest, SixtyFourBitViewOn64BitWindows) {
  struct Case {
    const char* bit;
    RegView written, notWritten;
  } cases[] = {
      {"64", RegView::Reg64, RegView::Reg32},
      {"32", RegView::Reg32, RegView::Reg64},
      {"", RegView::Reg32, RegView::Reg64},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("bit=") + c.bit);
    const std::u16string path = u"SOFTWARE\\Haverly\\View" + Utf8ToUtf16(c.bit);
    ConfigEntry entry =
        RegistryEntry("HKLM\\" + Utf16ToUtf8(path), "reg_dword", "D", "1", "", c.bit);
    EXPECT_EQ(checker_.CheckEntry(entry), -2);
    EXPECT_EQ(checker_.FixEntry(entry), 2);
    EXPECT_TRUE(Get(Hive::LocalMachine, path, c.written, u"D"));
    EXPECT_FALSE(Get(Hive::LocalMachine, path, c.notWritten, u"D"));
    EXPECT_EQ(checker_.CheckEntry(entry), 2);
  }
}

TEST_F(RegistryCheckTest, DisabledRegistryToolsFailTheWholeCheckUntilRepaired) {
  struct Case {
    const char* what;
    std::optional<Stored> policy;
    CheckStatus begin;
  } cases[] = {
      {"no policy", std::nullopt, 2},
      {"set to 1", Stored{REG_DWORD, Dword(1)}, -2},
      {"set to 2", Stored{REG_DWORD, Dword(2)}, -2},
      {"set to 0", Stored{REG_DWORD, Dword(0)}, 2},
      {"a string is not the policy", Stored{REG_SZ, Sz("1")}, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RegDeleteTree(Hive::CurrentUser, kPolicyKey, RegView::Process);
    if (c.policy) Put(Hive::CurrentUser, kPolicyKey, RegView::Process, u"Disableregistrytools", *c.policy);
    EXPECT_EQ(checker_.BeginCheck(), c.begin);
    EXPECT_EQ(checker_.BeginFix(), 2);
    EXPECT_EQ(checker_.BeginCheck(), 2);
    // The repair removes only a policy that is in force.
    EXPECT_EQ(Get(Hive::CurrentUser, kPolicyKey, RegView::Process, u"Disableregistrytools")
                  .has_value(),
              c.policy && c.begin == 2);
  }

  // Through the drivers: the check fails at once and leaves the statuses; the repair
  // lifts the policy and then repairs the entries.
  Put(Hive::CurrentUser, kPolicyKey, RegView::Process, u"Disableregistrytools",
      Stored{REG_DWORD, Dword(1)});
  std::vector<ConfigEntry> entries = {RegistryEntry(kKeyText, "reg_dword", "A", "1"),
                                      RegistryEntry(kKeyText, "reg_sz", "B", "b")};
  entries[0].status = 7;
  EXPECT_EQ(CheckAll(checker_, entries, false), -2);
  EXPECT_EQ(entries[0].status, 7);
  EXPECT_EQ(entries[1].status, 0);
  EXPECT_EQ(FixAll(checker_, entries), 2);
  EXPECT_EQ(CheckAll(checker_, entries, false), 2);
}

class RegistryCheck32Test : public RegistryCheckTest {
 protected:
  MachineOptions Options() const override { return {"win10", "x86"}; }
};

// On 32-bit Windows an entry with any `bit` does not apply: it passes without touching the
// registry; one without `bit` is checked as usual.
TEST_F(RegistryCheck32Test, BitEntriesDoNotApplyOn32BitWindows) {
  for (const char* bit : {"64", "32"}) {
    ConfigEntry entry = RegistryEntry("HKLM\\SOFTWARE\\Haverly\\Bit", "reg_dword", "D", "1", "", bit);
    EXPECT_EQ(checker_.CheckEntry(entry), 2) << bit;
    EXPECT_EQ(checker_.FixEntry(entry), 2) << bit;
    RegKey key;
    EXPECT_NE(RegKey::Open(Hive::LocalMachine, u"SOFTWARE\\Haverly\\Bit", RegView::Process, key), 0);
  }
  ConfigEntry plain = RegistryEntry("HKLM\\SOFTWARE\\Haverly\\Bit", "reg_dword", "D", "1");
  EXPECT_EQ(checker_.CheckEntry(plain), -2);
  EXPECT_EQ(checker_.FixEntry(plain), 2);
  EXPECT_TRUE(Get(Hive::LocalMachine, u"SOFTWARE\\Haverly\\Bit", RegView::Process, u"D"));
}

}  // namespace

namespace {

TEST(CheckerRegistryClassesTest, RegistryAndComCheckersAreRegistered) {
  EXPECT_NE(dynamic_cast<CheckFixRegistry*>(CheckerRegistry::Instance().Find("registry")), nullptr);
  EXPECT_NE(dynamic_cast<CheckFixCOM*>(CheckerRegistry::Instance().Find("clsid")), nullptr);
}

}  // namespace
