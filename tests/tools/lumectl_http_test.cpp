// lumectl get and download against the demo bank server, run as a real program.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/support/demo_bank_server.h"
#include "tests/support/machine_fixture.h"

namespace fs = std::filesystem;
using testing_support::RunProgram;

namespace {

class LumectlHttpTest : public testing_support::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    site_ = Dir() / "site";
    fs::create_directories(site_ / "files");
    std::ofstream(site_ / "files/setup.exe") << std::string(200000, 'x');
    ASSERT_TRUE(server_.Start(site_, Dir() / "bank"));
  }
  void TearDown() override {
    server_.Stop();
    MachineTest::TearDown();
  }
  testing_support::ProcessResult Lumectl(const std::vector<std::string>& args) {
    return RunProgram(LUMECTL_BIN, args, {"LUMEDESK_CA_FILE=" + server_.caFile.string()});
  }

  fs::path site_;
  testing_support::DemoBankServer server_;
};

TEST_F(LumectlHttpTest, GetPrintsTheBodyAndRelativeUrlsFollowTheLastPath) {
  std::ofstream(site_ / "files/setup.exe.md5") << "digest";
  auto r = Lumectl({"get", server_.HttpsUrl("/files/setup.exe"), ".md5"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, std::string(200000, 'x') + "digest");
}

TEST_F(LumectlHttpTest, GetReportsStatusAndFailures) {
  auto notFound = Lumectl({"get", server_.HttpsUrl("/files/none")});
  EXPECT_EQ(notFound.exitCode, 1);
  EXPECT_EQ(notFound.out, "");
  EXPECT_NE(notFound.err.find("HTTP status 404"), std::string::npos) << notFound.err;
  auto untrusted = Lumectl({"get", "https://127.0.0.1:" + std::to_string(server_.untrustedPort) + "/"});
  EXPECT_EQ(untrusted.exitCode, 1);
  EXPECT_NE(untrusted.err.find("0x80072F8F"), std::string::npos) << untrusted.err;
  EXPECT_EQ(Lumectl({"get"}).exitCode, 2);
}

TEST_F(LumectlHttpTest, DownloadSavesLocalAndImageFilesAndNothingOnFailure) {
  const fs::path local = Dir() / "setup.exe";
  auto r = Lumectl({"download", server_.HttpsUrl("/files/setup.exe"), local.string()});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(testing_support::ReadText(local), std::string(200000, 'x'));

  fs::create_directories(Image() / "drive_c/Downloads");
  r = Lumectl({"download", server_.HttpUrl("/files/setup.exe"), "C:\\Downloads\\setup.exe"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(fs::file_size(Image() / "drive_c/Downloads/setup.exe"), 200000u);

  r = Lumectl({"download", server_.HttpsUrl("/__fault/short/files/setup.exe"), (Dir() / "short.exe").string()});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("0x80004005"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(Dir() / "short.exe"));
  EXPECT_EQ(Lumectl({"download", server_.HttpsUrl("/files/setup.exe")}).exitCode, 2);
}

}  // namespace
