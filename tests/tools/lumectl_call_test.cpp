// lumectl's call and machine verbs and its handling of bad usage, run as a real program on
// a fresh machine image.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/registry.h"
#include "tests/support/machine_fixture.h"

namespace fs = std::filesystem;
using testing_support::RunProgram;

namespace {

class LumectlTest : public testing_support::MachineTest {
 protected:
  testing_support::ProcessResult Lumectl(const std::vector<std::string>& args,
                                         const std::vector<std::string>& env = {}) {
    return RunProgram(LUMECTL_BIN, args, env);
  }
  std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
      lines.push_back(text.substr(start, nl - start));
    return lines;
  }
};

TEST_F(LumectlTest, CallsRunInOrderInOneProcess) {
  auto r = Lumectl({"call", "save_settings", "bAutoLaunch", "b:true", "--", "load_settings",
                    "bAutoLaunch", "b:false", "--", "load_settings", "bAutoLaunch", "0", "--", "13",
                    "--", "GET_CONFIG", "--", "save_settings", "x", "r:1.5", "--", "log", "i:1",
                    "s:line", "--", "log", "0"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  auto lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 8u) << r.out;
  const std::string noCalls = ",\"pageCalls\":[],\"messageBoxes\":[]}";
  EXPECT_EQ(lines[0], "{\"command\":\"save_settings\",\"result\":{\"kind\":\"empty\"}" + noCalls);
  EXPECT_EQ(lines[1],
            "{\"command\":\"load_settings\",\"result\":{\"kind\":\"bool\",\"value\":true,\"raw\":-1}" + noCalls);
  EXPECT_EQ(lines[2], "{\"command\":\"load_settings\",\"result\":{\"kind\":\"i4\",\"value\":-1}" + noCalls);
  EXPECT_EQ(lines[3], "{\"command\":\"13\",\"result\":{\"kind\":\"string\",\"value\":\"Normal\"}" + noCalls);
  EXPECT_EQ(lines[4], "{\"command\":\"GET_CONFIG\",\"result\":{\"kind\":\"empty\"}" + noCalls);
  EXPECT_EQ(lines[5],
            "{\"command\":\"save_settings\",\"result\":{\"kind\":\"empty\"},\"pageCalls\":[],"
            "\"messageBoxes\":[{\"content\":\"save_settings第3个参数使用了不支持的类型！\","
            "\"mainInstruction\":\"错误\",\"title\":\"Haverly银行村镇银行网银助手\",\"icon\":5,"
            "\"form\":\"taskdialog\"}]}");
  EXPECT_EQ(lines[7],
            "{\"command\":\"log\",\"result\":{\"kind\":\"empty\"},\"pageCalls\":["
            "{\"function\":\"load_log\",\"args\":[{\"kind\":\"string\",\"value\":\"line\"}]},"
            "{\"function\":\"load_log\",\"args\":[{\"kind\":\"string\",\"value\":\"\"},"
            "{\"kind\":\"bool\",\"value\":true,\"raw\":-1}]}],\"messageBoxes\":[]}");

  // What lumectl saved is in Lumedesk's own settings key.
  platform::RegKey key;
  ASSERT_EQ(platform::RegKey::Open(platform::Hive::CurrentUser, u"Software\\Corvane\\Lumedesk\\Settings",
                                   platform::RegView::Process, key),
            0);
  uint32_t value = 0;
  ASSERT_EQ(key.GetDword(u"bAutoLaunch", value), 0);
  EXPECT_EQ(value, 0xFFFFFFFFu);
  EXPECT_NE(key.GetDword(u"x", value), 0);  // the unsupported value was not stored
}

TEST_F(LumectlTest, BadUsageRunsNothing) {
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    std::string message;
  } cases[] = {
      {{}, 2, "usage"},
      {{"frobnicate"}, 2, "unknown verb 'frobnicate'"},
      {{"call"}, 2, "usage"},
      {{"call", "save_settings", "a", "i:abc"}, 2, "'i:abc' is not a 32-bit integer"},
      {{"call", "save_settings", "a", "i:99999999999"}, 2, "not a 32-bit integer"},
      {{"call", "save_settings", "a", "b:yes"}, 2, "not a boolean"},
      {{"call", "save_settings", "a", "r:1.5x"}, 2, "not a number"},
      {{"call", "save_settings", "a", "e:x"}, 2, "empty value"},
      {{"call", "save_settings", "a", "1", "--"}, 2, "command name is missing"},
      {{"call", "save_settings", "a", "1", "2", "3", "4"}, 2, "at most four arguments"},
      {{"machine"}, 2, "usage"},
      {{"machine", "init"}, 2, "folder of the new image is missing"},
      {{"machine", "init", "x", "--os", "win95"}, 2, "unknown Windows release 'win95'"},
      {{"machine", "init", "x", "--arch"}, 2, "--arch needs a value"},
  };
  for (const auto& c : cases) {
    auto r = Lumectl(c.args);
    EXPECT_EQ(r.exitCode, c.exitCode) << testing::PrintToString(c.args);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
  // The save before the malformed argument did not run either.
  platform::RegKey key;
  uint32_t value = 0;
  if (platform::RegKey::Open(platform::Hive::CurrentUser, u"Software\\Corvane\\Lumedesk\\Settings",
                             platform::RegView::Process, key) == 0) {
    EXPECT_NE(key.GetDword(u"a", value), 0);
  }
  EXPECT_FALSE(fs::exists("x"));
}

TEST_F(LumectlTest, MachineImages) {
  fs::path missing = Dir() / "missing";
  auto r = Lumectl({"call", "13"}, {"LUMEDESK_MACHINE=" + missing.string()});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("does not exist"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(missing));

  // An image cannot be made over a folder that holds files.
  r = Lumectl({"machine", "init", Image().string()});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("not empty"), std::string::npos) << r.err;

  fs::path old = Dir() / "xp";
  r = Lumectl({"machine", "init", old.string(), "--os", "xp", "--arch", "x86"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  r = Lumectl({"call", "messagebox", "hi"}, {"LUMEDESK_MACHINE=" + old.string()});
  EXPECT_NE(r.out.find("\"form\":\"messagebox\""), std::string::npos) << r.out;

  // Without LUMEDESK_MACHINE the default image is created on first use.
  fs::path home = Dir() / "home";
  r = Lumectl({"call", "13"}, {"LUMEDESK_MACHINE=", "XDG_DATA_HOME=", "HOME=" + home.string()});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(fs::exists(home / ".local/share/lumedesk/machine/registry.db"));
}

}  // namespace
