// Start-up, the message loop and the exit sequence of the real Lumedesk program, installed
// into a fresh machine image beside a stand-in tray companion that records how it was
// started.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "app/assistant_app.h"
#include "services/process_state.h"
#include "platform/environment.h"
#include "platform/paths.h"
#include "platform/message_queue.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "services/browser/single_instance.h"
#include "tests/support/machine_fixture.h"

namespace fs = std::filesystem;
using testing_support::ReadText;

namespace {

constexpr char16_t kRunKey[] = u"Software\\Microsoft\\Windows\\CurrentVersion\\Run";

class LifetimeTest : public testing_support::MachineTest {
 protected:
  fs::path ProgramFolder() const { return Image() / "drive_c" / "Program Files (x86)" / "Paylume"; }

  // Copies Lumedesk into the image under `name` and puts a tray companion beside it that
  // writes its arguments and AppPath to tray-args.
  fs::path Install(const std::string& name) {
    fs::create_directories(ProgramFolder());
    fs::path program = ProgramFolder() / name;
    fs::copy_file(LUMEDESK_BIN, program, fs::copy_options::overwrite_existing);
    std::ofstream tray(ProgramFolder() / "TrayletRX");
    tray << "#!/bin/sh\n{ for a in \"$@\"; do printf '[%s]' \"$a\"; done; printf '\\n%s\\n' "
            "\"$LUMEDESK_ENV_APPPATH\"; } > '"
         << TrayRecord().string() << ".tmp'\nmv '" << TrayRecord().string() << ".tmp' '"
         << TrayRecord().string() << "'\n";
    tray.close();
    fs::permissions(ProgramFolder() / "TrayletRX", fs::perms::owner_all);
    return program;
  }
  fs::path TrayRecord() const { return Dir() / "tray-args"; }
  fs::path DebugLog(const std::string& tag = "debug") const { return Dir() / (tag + ".log"); }

  void SetSetting(const std::u16string& app, const std::u16string& name, uint32_t value) {
    platform::RegKey key;
    ASSERT_EQ(platform::RegKey::Create(platform::Hive::CurrentUser,
                                       u"Software\\Corvane\\" + app + u"\\Settings",
                                       platform::RegView::Process, key),
              0);
    ASSERT_EQ(key.SetDword(name, value), 0);
  }

  std::optional<std::u16string> RunValue() {
    platform::RegKey key;
    std::u16string value;
    if (platform::RegKey::Open(platform::Hive::CurrentUser, kRunKey, platform::RegView::Process,
                               key) != 0 ||
        key.GetString(u"TrayletRX", value) != 0)
      return std::nullopt;
    return value;
  }

  // Starts the program, waits until it runs, and returns its pid.
  pid_t Start(const fs::path& program, std::vector<std::string> args = {},
              const std::string& tag = "debug") {
    pid_t pid = testing_support::StartProgram(
        program, args,
        {"LUMEDESK_DEBUG_LOG=" + DebugLog(tag).string(),
         "LUMEDESK_MESSAGES=" + (Dir() / "boxes").string()},
        Dir() / (tag + ".out"));
    EXPECT_GT(pid, 0);
    EXPECT_TRUE(testing_support::WaitForText(DebugLog(tag), "Lumedesk runs without a window"))
        << ReadText(Dir() / (tag + ".out"));
    return pid;
  }

  // Ends the program the way closing its window does and waits for the exit sequence.
  int Stop(pid_t pid) {
    kill(pid, SIGTERM);
    return testing_support::WaitProgram(pid);
  }
};

TEST_F(LifetimeTest, ExitSequenceFollowsTheStoredChoices) {
  struct Case {
    std::optional<uint32_t> autoLaunch, closeToTray;
    bool runValue, trayStarted;
  } cases[] = {
      {0xFFFFFFFF, 0xFFFFFFFF, true, true},
      {1, 1, false, false},
      {0, 0, false, false},
      {0xFFFFFFFF, 0, true, false},
      {std::nullopt, std::nullopt, false, false},
  };
  fs::path program = Install("Lumedesk");
  const std::u16string expected =
      u"\"C:\\Program Files (x86)\\Paylume\\TrayletRX.exe\" Lumedesk 103 102 128";
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "bAutoLaunch " << c.autoLaunch.value_or(-2)
                                    << " bCloseToTray " << c.closeToTray.value_or(-2));
    // An entry left from an earlier choice must follow this one.
    platform::RegKey run;
    ASSERT_EQ(platform::RegKey::Create(platform::Hive::CurrentUser, kRunKey,
                                       platform::RegView::Process, run),
              0);
    ASSERT_EQ(run.SetString(u"TrayletRX", u"stale"), 0);
    platform::RegKey settings;
    ASSERT_EQ(platform::RegKey::Create(platform::Hive::CurrentUser,
                                       u"Software\\Corvane\\Lumedesk\\Settings",
                                       platform::RegView::Process, settings),
              0);
    settings.DeleteValue(u"bAutoLaunch");
    settings.DeleteValue(u"bCloseToTray");
    if (c.autoLaunch) SetSetting(u"Lumedesk", u"bAutoLaunch", *c.autoLaunch);
    if (c.closeToTray) SetSetting(u"Lumedesk", u"bCloseToTray", *c.closeToTray);
    fs::remove(TrayRecord());
    fs::remove(DebugLog());

    EXPECT_EQ(Stop(Start(program)), 0);

    if (c.runValue)
      EXPECT_EQ(RunValue(), expected);
    else
      EXPECT_EQ(RunValue(), std::nullopt);
    if (c.trayStarted) {
      ASSERT_TRUE(testing_support::WaitForText(TrayRecord(), "\n"));
      EXPECT_EQ(ReadText(TrayRecord()),
                "[Lumedesk][103][102][128]\nC:\\Program Files (x86)\\Paylume\n");
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      EXPECT_FALSE(fs::exists(TrayRecord()));
    }
  }
  EXPECT_FALSE(fs::exists(Dir() / "boxes"));  // nothing was shown
}

TEST_F(LifetimeTest, RenamedProgramUsesItsOwnSettings) {
  struct Case {
    std::string file;
    std::u16string key;
    std::string trayArgs;
  } cases[] = {
      {"Paylume2", u"Paylume2", "[Paylume2][103][102][128]"},
      // A blank in the file name splits the tray companion's command line further.
      {"Lume desk", u"Lume desk", "[Lume][desk][103][102][128]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    fs::path program = Install(c.file);
    SetSetting(c.key, u"bCloseToTray", 0xFFFFFFFF);
    SetSetting(c.key, u"bAutoLaunch", 0xFFFFFFFF);
    SetSetting(u"Lumedesk", u"bAutoLaunch", 0);  // another program's key is not read
    fs::remove(TrayRecord());
    fs::remove(DebugLog());
    EXPECT_EQ(Stop(Start(program)), 0);
    ASSERT_TRUE(testing_support::WaitForText(TrayRecord(), "\n"));
    EXPECT_EQ(ReadText(TrayRecord()).substr(0, c.trayArgs.size() + 1), c.trayArgs + "\n");
    EXPECT_EQ(RunValue(),
              u"\"C:\\Program Files (x86)\\Paylume\\TrayletRX.exe\" " + platform::Utf8ToUtf16(c.file) +
                  u" 103 102 128");
  }
}

TEST_F(LifetimeTest, SecondInstanceExitsSilently) {
  fs::path program = Install("Lumedesk");
  pid_t first = Start(program);
  auto second = testing_support::RunProgram(
      program, {"tab3"},
      {"LUMEDESK_DEBUG_LOG=" + DebugLog("second").string(),
       "LUMEDESK_MESSAGES=" + (Dir() / "boxes").string()});
  EXPECT_EQ(second.exitCode, 0);
  EXPECT_EQ(second.out, "");
  EXPECT_EQ(ReadText(DebugLog("second")), "");
  EXPECT_FALSE(fs::exists(Dir() / "boxes"));
  EXPECT_EQ(Stop(first), 0);

  // Once the first has ended, the next start runs.
  EXPECT_EQ(Stop(Start(program, {}, "third")), 0);
}

TEST_F(LifetimeTest, MissingMachineImageIsReported) {
  fs::path program = Install("Lumedesk");
  auto result = testing_support::RunProgram(program, {},
                                            {"LUMEDESK_MACHINE=" + (Dir() / "nowhere").string()});
  EXPECT_NE(result.exitCode, 0);
  EXPECT_NE(result.err.find("does not exist"), std::string::npos) << result.err;
  EXPECT_FALSE(fs::exists(Dir() / "nowhere"));
}

// The message loop, in-process: tasks and a quit posted from worker threads reach it.
TEST_F(LifetimeTest, QuitFromAWorkerWakesTheLoop) {
  CAssistantApp app({u"Lumedesk"}, std::u16string(u"Lumedesk"));
  while (platform::UiQueue().TryGet()) {
  }
  std::vector<std::thread::id> ranOn;
  std::thread worker([&] {
    for (int i = 0; i < 3; ++i) platform::UiQueue().Post([&] { ranOn.push_back(std::this_thread::get_id()); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    platform::UiQueue().PostQuit(0);
  });
  app.RunMessageLoop();  // returns only when the quit arrives
  worker.join();
  ASSERT_EQ(ranOn.size(), 3u);
  for (auto id : ranOn) EXPECT_EQ(id, std::this_thread::get_id());
  EXPECT_TRUE(app.Running());  // a quit message ends the loop without touching the flag
}

TEST_F(LifetimeTest, StartupSetsAppPathAndOptions) {
  CAssistantApp app({u"Lumedesk"}, std::u16string(u"Lumedesk"));
  ASSERT_TRUE(app.ProcessSetup(true));
  app.SetOptions();
  EXPECT_EQ(platform::GetEnvironmentVariable(u"AppPath"), platform::ModuleFolder());
  EXPECT_EQ(OptionTable::Instance().Get(kOptionDownloadBesideProgram), 1);
  EXPECT_EQ(OptionTable::Instance().Get(kOptionCacheConfiguration), 0);
  EXPECT_EQ(OptionTable::Instance().Get(1001), 0);  // never set: reads 0
  app.ExitSequence();
  EXPECT_FALSE(SingleInstanceMutex().IsOpen());
}

}  // namespace
