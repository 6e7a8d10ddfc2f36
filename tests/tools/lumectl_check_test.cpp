// lumectl check as a program: the demo bank's sample configuration over HTTPS, the registry
// check and its repair end to end, and configurations that must change nothing.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "engine/check/checker_registry.h"
#include "engine/checks/check_fix_registry.h"
#include "platform/registry.h"
#include "tests/support/demo_bank_server.h"
#include "tests/support/machine_fixture.h"

namespace fs = std::filesystem;
using testing_support::ProcessResult;
using testing_support::RunProgram;

namespace {

const fs::path kDemoSite = fs::path(__FILE__).parent_path().parent_path().parent_path() / "demo/site";

class LumectlCheckTest : public testing_support::MachineTest {
 protected:
  ProcessResult Lumectl(const std::vector<std::string>& args) {
    return RunProgram(LUMECTL_BIN, args, {"LUMEDESK_CA_FILE=" + server_.caFile.string()});
  }
  // HKCU and HKLM as reg export writes them.
  std::string RegistrySnapshot() {
    std::string all;
    for (const char* root : {"HKCU", "HKLM"}) {
      fs::path file = Dir() / "snapshot.reg";
      fs::remove(file);
      ProcessResult r = Lumectl({"reg", "export", root, file.string(), "/y"});
      EXPECT_EQ(r.exitCode, 0) << r.err;
      all += testing_support::ReadText(file);
    }
    return all;
  }
  std::optional<uint32_t> Dword(platform::Hive hive, const char16_t* path, const char16_t* name,
                                platform::RegView view) {
    platform::RegKey key;
    uint32_t value = 0;
    if (platform::RegKey::Open(hive, path, view, key) != 0 || key.GetDword(name, value) != 0)
      return std::nullopt;
    return value;
  }

  testing_support::DemoBankServer server_;
};

TEST_F(LumectlCheckTest, RegistryCheckAndRepairAgainstTheDemoBank) {
  if (!dynamic_cast<Corvane::Assistant::CheckFixRegistry*>(
          Corvane::Assistant::CheckerRegistry::Instance().Find("registry")))
    GTEST_SKIP() << "the registry checker is not registered in this build";
  ASSERT_TRUE(server_.Start(kDemoSite, Dir() / "bank"));
  const std::string url = server_.HttpsUrl("/perbank/ocx/conf/item_HaverlyRX.xml");
  ASSERT_EQ(Lumectl({"call", "save_settings", "ConfigUrl", "s:" + url}).exitCode, 0);

  ProcessResult config = Lumectl({"call", "get_config"});
  ASSERT_EQ(config.exitCode, 0) << config.err;
  EXPECT_NE(config.out.find(R"("result":{"kind":"bool","value":true)"), std::string::npos) << config.out;
  EXPECT_NE(config.out.find(R"({"kind":"string","value":"kx_key"})"), std::string::npos) << config.out;

  ProcessResult before = Lumectl({"check", "registry", "--json"});
  EXPECT_EQ(before.exitCode, 1) << before.err;
  EXPECT_NE(before.out.find(R"("result":{"result":false,"type":"registry"})"), std::string::npos) << before.out;
  EXPECT_NE(before.out.find(R"("name":"SecureProtocols","type":"reg_dword","value":"2688","status":-2)"),
            std::string::npos) << before.out;
  EXPECT_NE(before.out.find(R"("name":"PrintMode")"), std::string::npos) << before.out;
  EXPECT_EQ(before.out.find(R"("name":"ProgramFilesDir")"), std::string::npos) << before.out;

  ProcessResult fix = Lumectl({"check", "registry", "--fix", "--json"});
  EXPECT_EQ(fix.exitCode, 0) << fix.out << fix.err;
  EXPECT_NE(fix.out.find(R"("result":{"result":true,"type":"registry"})"), std::string::npos) << fix.out;

  using platform::Hive;
  using platform::RegView;
  EXPECT_EQ(Dword(Hive::CurrentUser, u"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings",
                  u"SecureProtocols", RegView::Process), 2688u);
  // SafeInput in the program's own (32-bit) view, PrintMode (bit="64") in the 64-bit view.
  EXPECT_EQ(Dword(Hive::LocalMachine, u"SOFTWARE\\Haverly\\Controls", u"SafeInput", RegView::Reg32), 1u);
  EXPECT_EQ(Dword(Hive::LocalMachine, u"SOFTWARE\\Haverly\\Controls", u"SafeInput", RegView::Reg64), std::nullopt);
  EXPECT_EQ(Dword(Hive::LocalMachine, u"SOFTWARE\\Haverly\\Controls", u"PrintMode", RegView::Reg64), 3u);
  EXPECT_EQ(Dword(Hive::LocalMachine, u"SOFTWARE\\Haverly\\Controls", u"PrintMode", RegView::Reg32), std::nullopt);

  ProcessResult after = Lumectl({"check", "registry"});
  EXPECT_EQ(after.exitCode, 0) << after.out << after.err;
  EXPECT_EQ(after.out, "registry: 正常\n");
}

TEST_F(LumectlCheckTest, BadConfigurationsChangeNothing) {
  fs::path site = Dir() / "site";
  fs::create_directories(site / "conf");
  std::ofstream(site / "conf/broken.xml") << R"(<checkitems><config type="registry"><entry type="reg_dword" name="X" value="1">HKCU\Software\Bad</entry></checkitems>)";
  std::ofstream(site / "conf/wrongroot.xml") << R"(<items><config type="registry"><entry type="reg_dword" name="X" value="1">HKCU\Software\Bad</entry></config></items>)";
  std::ofstream(site / "conf/unknown.xml") << R"(<checkitems><config type="registri"><entry type="reg_dword" name="X" value="1">HKCU\Software\Bad</entry></config></checkitems>)";
  ASSERT_TRUE(server_.Start(site, Dir() / "bank"));

  for (const char* name : {"broken.xml", "wrongroot.xml"}) {
    // Through ConfigUrl, as the page loads it: the network message and false.
    ASSERT_EQ(Lumectl({"call", "save_settings", "ConfigUrl", "s:" + server_.HttpsUrl(std::string("/conf/") + name)}).exitCode, 0);
    ProcessResult page = Lumectl({"call", "get_config"});
    EXPECT_NE(page.out.find(R"("result":{"kind":"bool","value":false,"raw":0})"), std::string::npos) << page.out;
    EXPECT_NE(page.out.find("您的网络未连接"), std::string::npos) << page.out;
  }

  const std::string before = RegistrySnapshot();
  for (const char* name : {"broken.xml", "wrongroot.xml"}) {
    ProcessResult r = Lumectl({"check", "--all", "--fix", "--config", server_.HttpsUrl(std::string("/conf/") + name)});
    EXPECT_EQ(r.exitCode, 1) << name;
    EXPECT_NE(r.err.find("0x80004005"), std::string::npos) << name << r.err;
    EXPECT_EQ(r.out, "") << name;
    ProcessResult viaSettings = Lumectl({"check", "registry", "--fix"});
    EXPECT_EQ(viaSettings.exitCode, 1) << name;
    EXPECT_EQ(viaSettings.out, "") << name;
  }

  ProcessResult unknown = Lumectl({"check", "registri", "--fix", "--json", "--config", server_.HttpsUrl("/conf/unknown.xml")});
  EXPECT_EQ(unknown.exitCode, 1);
  EXPECT_EQ(unknown.out, R"({"command":"do_fix","argument":"registri","result":{"details":[{"key":"HKCU\\Software\\Bad","value":"异常"}],"result":false,"type":"registri"}})" "\n");
  ProcessResult all = Lumectl({"check", "--all", "--fix", "--config", server_.HttpsUrl("/conf/unknown.xml")});
  EXPECT_EQ(all.exitCode, 1);
  EXPECT_NE(all.out.find("注册表: 异常"), std::string::npos) << all.out;

  EXPECT_TRUE(RegistrySnapshot() == before);  // nothing written
  EXPECT_EQ(Lumectl({"check"}).exitCode, 2);
  EXPECT_EQ(Lumectl({"check", "registry", "--all"}).exitCode, 2);
  EXPECT_EQ(Lumectl({"check", "registry", "--bogus"}).exitCode, 2);
}

TEST_F(LumectlCheckTest, ItemsAndAFullPassOverTheSample) {
  ASSERT_TRUE(server_.Start(kDemoSite, Dir() / "bank"));
  const std::string url = server_.HttpsUrl("/perbank/ocx/conf/item_HaverlyRX.xml");
  ProcessResult item = Lumectl({"check", "2", "--json", "--config", url});
  EXPECT_EQ(item.out, R"({"command":"do_check","argument":2,"result":{"result":3,"type":"edit_control"}})" "\n");
  EXPECT_EQ(Lumectl({"check", "3", "--config", url}).exitCode, 1);  // no such item

  ProcessResult all = Lumectl({"check", "--all", "--json", "--config", url});
  EXPECT_EQ(all.exitCode, 1);
  // Eleven fixed checks and three items, one line each.
  EXPECT_EQ(std::count(all.out.begin(), all.out.end(), '\n'), 14) << all.out;
  EXPECT_NE(all.out.find(R"("argument":"trust","result":{"details":[{"key":"https://ebank.haverly.example")"),
            std::string::npos) << all.out;
}

}  // namespace
