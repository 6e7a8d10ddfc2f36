#include "platform/environment.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>

#include "platform/text.h"
#include "tests/support/machine_fixture.h"

using platform::ExpandEnvironmentStrings;
using platform::GetEnvironmentVariable;
using platform::SetEnvironmentVariable;

namespace {

class EnvironmentTest : public testing_support::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    platform::ResetEnvironmentForTesting();
  }
  void TearDown() override {
    platform::ResetEnvironmentForTesting();
    MachineTest::TearDown();
  }
};

struct VariableCase {
  const char16_t* name;
  std::optional<std::u16string> value;
};

void ExpectVariables(std::initializer_list<VariableCase> cases) {
  for (const auto& c : cases)
    EXPECT_EQ(GetEnvironmentVariable(c.name), c.value) << platform::Utf16ToUtf8(c.name);
}

TEST_F(EnvironmentTest, DefaultsOf64BitImageSeenBy32BitProgram) {
  ExpectVariables({
      {u"SystemDrive", u"C:"},
      {u"SystemRoot", u"C:\\Windows"},
      {u"windir", u"C:\\Windows"},
      {u"ProgramData", u"C:\\ProgramData"},
      {u"ALLUSERSPROFILE", u"C:\\ProgramData"},
      {u"PUBLIC", u"C:\\Users\\Public"},
      {u"USERNAME", u"user"},
      {u"USERPROFILE", u"C:\\Users\\user"},
      {u"APPDATA", u"C:\\Users\\user\\AppData\\Roaming"},
      {u"LOCALAPPDATA", u"C:\\Users\\user\\AppData\\Local"},
      {u"TEMP", u"C:\\Users\\user\\AppData\\Local\\Temp"},
      {u"TMP", u"C:\\Users\\user\\AppData\\Local\\Temp"},
      {u"COMPUTERNAME", u"LUMEDESK-PC"},
      {u"OS", u"Windows_NT"},
      {u"ProgramFiles", u"C:\\Program Files (x86)"},
      {u"ProgramFiles(x86)", u"C:\\Program Files (x86)"},
      {u"ProgramW6432", u"C:\\Program Files"},
      {u"CommonProgramFiles", u"C:\\Program Files (x86)\\Common Files"},
      {u"CommonProgramFiles(x86)", u"C:\\Program Files (x86)\\Common Files"},
      {u"CommonProgramW6432", u"C:\\Program Files\\Common Files"},
      {u"PROCESSOR_ARCHITECTURE", u"x86"},
      {u"PROCESSOR_ARCHITEW6432", u"AMD64"},
      {u"NoSuchVariable", std::nullopt},
  });
}

TEST_F(EnvironmentTest, LinuxVariablesDoNotLeak) {
  setenv("TEMP", "/tmp", 1);
  setenv("LUMEDESK_TEST_ONLY", "1", 1);
  ExpectVariables({
      {u"TEMP", u"C:\\Users\\user\\AppData\\Local\\Temp"},
      {u"HOME", std::nullopt},
      {u"LUMEDESK_TEST_ONLY", std::nullopt},
      {u"PATH", u"C:\\Windows\\system32;C:\\Windows;C:\\Windows\\System32\\Wbem"},
  });
  unsetenv("TEMP");
  unsetenv("LUMEDESK_TEST_ONLY");
}

TEST_F(EnvironmentTest, SetRemoveAndCaseInsensitiveNames) {
  ASSERT_TRUE(SetEnvironmentVariable(u"AppPath", u"C:\\Program Files (x86)\\Lumedesk"));
  ASSERT_TRUE(SetEnvironmentVariable(u"Ölpreis", u"Jürgen 😀"));
  ASSERT_TRUE(SetEnvironmentVariable(u"Empty", u""));
  ASSERT_TRUE(SetEnvironmentVariable(u"temp", u"C:\\Elsewhere"));
  ExpectVariables({
      {u"APPPATH", u"C:\\Program Files (x86)\\Lumedesk"},
      {u"apppath", u"C:\\Program Files (x86)\\Lumedesk"},
      {u"öLPREIS", u"Jürgen 😀"},
      {u"EMPTY", u""},
      {u"TEMP", u"C:\\Elsewhere"},
  });

  // Removing hides a default of the image as well; setting it again brings it back.
  ASSERT_TRUE(SetEnvironmentVariable(u"AppPath", std::nullopt));
  ASSERT_TRUE(SetEnvironmentVariable(u"WINDIR", std::nullopt));
  ASSERT_TRUE(SetEnvironmentVariable(u"NeverSet", std::nullopt));
  ExpectVariables({{u"AppPath", std::nullopt}, {u"windir", std::nullopt}, {u"NeverSet", std::nullopt}});
  EXPECT_EQ(ExpandEnvironmentStrings(u"%windir%"), u"%windir%");
  ASSERT_TRUE(SetEnvironmentVariable(u"windir", u"C:\\Windows"));
  EXPECT_EQ(GetEnvironmentVariable(u"WinDir"), u"C:\\Windows");

  platform::ResetEnvironmentForTesting();
  ExpectVariables({{u"Ölpreis", std::nullopt}, {u"TEMP", u"C:\\Users\\user\\AppData\\Local\\Temp"}});
}

TEST_F(EnvironmentTest, RefusesInvalidNamesAndValues) {
  const std::u16string withZero(u"a\0b", 3);
  struct Case {
    std::u16string name;
    std::optional<std::u16string> value;
  } cases[] = {{u"", u"x"}, {u"A=B", u"x"}, {u"=C:", u"x"}, {withZero, u"x"}, {u"Name", withZero}};
  for (const auto& c : cases) {
    platform::SetLastError(0);
    EXPECT_FALSE(SetEnvironmentVariable(c.name, c.value)) << platform::Utf16ToUtf8(c.name);
    EXPECT_EQ(platform::GetLastError(), platform::ERROR_INVALID_PARAMETER);
  }
  EXPECT_EQ(GetEnvironmentVariable(u""), std::nullopt);
  EXPECT_EQ(GetEnvironmentVariable(u"Name"), std::nullopt);
}

TEST_F(EnvironmentTest, ExpandsKnownNamesOnly) {
  ASSERT_TRUE(SetEnvironmentVariable(u"Nested", u"%windir%"));
  ASSERT_TRUE(SetEnvironmentVariable(u"Percent", u"50%"));
  struct Case {
    const char16_t* text;
    const char16_t* expanded;
  } cases[] = {
      {u"%SystemRoot%\\System32", u"C:\\Windows\\System32"},
      {u"%appdata%\\Lumedesk\\%USERNAME%.log", u"C:\\Users\\user\\AppData\\Roaming\\Lumedesk\\user.log"},
      {u"%UNKNOWN%", u"%UNKNOWN%"},
      {u"%UNKNOWN%\\%windir%", u"%UNKNOWN%\\C:\\Windows"},
      {u"%UNKNOWN%%windir%", u"%UNKNOWN%C:\\Windows"},
      {u"100%", u"100%"},
      {u"%", u"%"},
      {u"%%", u"%%"},
      {u"a % b", u"a % b"},
      {u"%windir", u"%windir"},
      {u"%windir%%windir%", u"C:\\WindowsC:\\Windows"},
      {u"%Nested%", u"%windir%"},            // no second round
      {u"%Percent%windir%", u"50%windir%"},  // nor across the inserted text
      {u"", u""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ExpandEnvironmentStrings(c.text), c.expanded) << platform::Utf16ToUtf8(c.text);
}

TEST_F(EnvironmentTest, ChildProcessesInheritSetVariables) {
  ASSERT_TRUE(SetEnvironmentVariable(u"AppPath", u"C:\\Program Files (x86)\\Lumedesk"));
  auto result = testing_support::RunProgram("/usr/bin/env", {});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  EXPECT_NE(("\n" + result.out).find("\nLUMEDESK_ENV_APPPATH=C:\\Program Files (x86)\\Lumedesk\n"),
            std::string::npos)
      << result.out;
}

class Environment32Test : public EnvironmentTest {
 protected:
  platform::MachineOptions Options() const override { return {"win10", "x86", "anna"}; }
};

TEST_F(Environment32Test, DefaultsOf32BitImage) {
  ExpectVariables({
      {u"ProgramFiles", u"C:\\Program Files"},
      {u"CommonProgramFiles", u"C:\\Program Files\\Common Files"},
      {u"PROCESSOR_ARCHITECTURE", u"x86"},
      {u"ProgramFiles(x86)", std::nullopt},
      {u"ProgramW6432", std::nullopt},
      {u"CommonProgramFiles(x86)", std::nullopt},
      {u"CommonProgramW6432", std::nullopt},
      {u"PROCESSOR_ARCHITEW6432", std::nullopt},
      {u"USERNAME", u"anna"},
      {u"LOCALAPPDATA", u"C:\\Users\\anna\\AppData\\Local"},
  });
}

}  // namespace
