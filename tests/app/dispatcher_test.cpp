// The command dispatcher, run in-process on a fresh machine image with the headless page
// and recorded message boxes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "app/assistant_app.h"
#include "app/command_dispatcher.h"
#include "platform/debug_trace.h"
#include "platform/message_box.h"
#include "platform/message_queue.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/shell.h"
#include "platform/text.h"
#include "services/browser/single_instance.h"
#include "tests/support/machine_fixture.h"
#include "ui/headless_dialog.h"

using platform::Variant;
using platform::VarType;

namespace {

class DispatcherTest : public testing_support::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    presenter_ = std::make_shared<platform::RecordingPresenter>();
    platform::SetMessagePresenter(presenter_);
    app_ = std::make_unique<CAssistantApp>(std::vector<std::u16string>{u"Lumedesk"},
                                           std::u16string(u"Lumedesk"));
  }
  void TearDown() override {
    app_.reset();
    platform::SetMessagePresenter(nullptr);
    MachineTest::TearDown();
  }

  Variant Call(const Variant& name, Variant a1 = {}, Variant a2 = {}, Variant a3 = {},
               Variant a4 = {}) {
    return DispatchCommand(&dialog_, name, a1, a2, a3, a4);
  }
  Variant Call(std::u16string name, Variant a1 = {}, Variant a2 = {}, Variant a3 = {}) {
    return Call(Variant::String(std::move(name)), a1, a2, a3);
  }

  std::vector<platform::MessageBoxRequest> Boxes() { return presenter_->Take(); }

  // The raw stored value of a setting.
  std::optional<uint32_t> StoredDword(std::u16string_view name) {
    platform::RegKey key;
    uint32_t value = 0;
    if (platform::RegKey::Open(platform::Hive::CurrentUser, u"Software\\Corvane\\Lumedesk\\Settings",
                               platform::RegView::Reg64, key) != 0 ||
        key.GetDword(name, value) != 0)
      return std::nullopt;
    return value;
  }

  std::shared_ptr<platform::RecordingPresenter> presenter_;
  std::unique_ptr<CAssistantApp> app_;
  Corvane::UI::HeadlessDialog dialog_;
};

TEST_F(DispatcherTest, CommandTableHoldsTheTwentyOneNames) {
  const CommandTable& table = app_->Commands();
  ASSERT_EQ(table.size(), 21u);
  EXPECT_EQ(table.at(u"get_config"), 1);
  EXPECT_EQ(table.at(u"do_extra_startup"), 13);
  EXPECT_EQ(table.at(u"shut_down"), 20);
  EXPECT_EQ(table.at(u"http_request"), 21);
}

TEST_F(DispatcherTest, NamesAndNumbersThatDoNothing) {
  const Variant cases[] = {
      Variant::String(u"http_request"), Variant::String(u"GET_CONFIG"),
      Variant::String(u"Get_Config"),   Variant::String(u"ui_notify"),
      Variant::String(u""),             Variant::Int(0),
      Variant::Int(22),                 Variant::Int(21),
      Variant::Int(-1),                 Variant::Real(13.0),
      Variant::Bool(true),              Variant(),
  };
  for (const auto& name : cases) {
    EXPECT_TRUE(Call(name).IsEmpty()) << Corvane::UI::VariantJson(name);
  }
  EXPECT_TRUE(Boxes().empty());
  EXPECT_TRUE(dialog_.TakeCalls().empty());
}

TEST_F(DispatcherTest, CommandsByNumber) {
  EXPECT_EQ(Call(Variant::Int(13)), Variant::String(u"Normal"));
  // 2 is save_settings: the number reaches the same command as the name.
  Call(Variant::Int(2), Variant::String(u"iUserType"), Variant::Int(3));
  EXPECT_EQ(Call(u"load_settings", Variant::String(u"iUserType"), Variant::Int(1)), Variant::Int(3));
}

TEST_F(DispatcherTest, StartupModeFromTheCommandLine) {
  struct Case {
    std::vector<std::u16string> args;
    std::u16string mode;
  } cases[] = {
      {{u"Lumedesk"}, u"Normal"},
      {{u"Lumedesk", u"tab3"}, u"tab3"},
      {{u"Lumedesk", u"a", u"b"}, u"Normal"},
      {{u"Lumedesk", u""}, u""},
  };
  for (const auto& c : cases) {
    app_.reset();
    app_ = std::make_unique<CAssistantApp>(c.args, std::u16string(u"Lumedesk"));
    EXPECT_EQ(Call(u"do_extra_startup"), Variant::String(c.mode));
  }
}

TEST_F(DispatcherTest, SettingsRoundTrips) {
  // A boolean true is stored as -1 and reads back by the kind of the default.
  Call(u"save_settings", Variant::String(u"bAutoLaunch"), Variant::Bool(true));
  EXPECT_EQ(StoredDword(u"bAutoLaunch"), 0xFFFFFFFFu);
  EXPECT_EQ(Call(u"load_settings", Variant::String(u"bAutoLaunch"), Variant::Bool(false)),
            Variant::BoolRaw(-1));
  EXPECT_EQ(Call(u"load_settings", Variant::String(u"bAutoLaunch"), Variant::Int(0)),
            Variant::Int(-1));

  // A stored 1 read as a boolean gives the VARIANT_BOOL value 1.
  Call(u"save_settings", Variant::String(u"bCloseToTray"), Variant::Int(1));
  EXPECT_EQ(Call(u"load_settings", Variant::String(u"bCloseToTray"), Variant::Bool(true)),
            Variant::BoolRaw(1));
  Call(u"save_settings", Variant::String(u"bCloseToTray"), Variant::Bool(false));
  EXPECT_EQ(StoredDword(u"bCloseToTray"), 0u);

  Call(u"save_settings", Variant::String(u"sKeyType"), Variant::String(u"nv_key 中文"));
  EXPECT_EQ(Call(u"load_settings", Variant::String(u"sKeyType"), Variant::String(u"")),
            Variant::String(u"nv_key 中文"));

  // Absent values give the default, of the default's kind.
  EXPECT_EQ(Call(u"load_settings", Variant::String(u"iMissing"), Variant::Int(7)), Variant::Int(7));
  EXPECT_EQ(Call(u"load_settings", Variant::String(u"sMissing"), Variant::String(u"d")),
            Variant::String(u"d"));
  EXPECT_EQ(Call(u"load_settings", Variant::String(u"bMissing"), Variant::Bool(true)),
            Variant::BoolRaw(-1));
  // A value stored as text is not an integer: the default comes back.
  EXPECT_EQ(Call(u"load_settings", Variant::String(u"sKeyType"), Variant::Int(5)), Variant::Int(5));
  EXPECT_TRUE(Boxes().empty());
}

TEST_F(DispatcherTest, ProgramSettingDefaults) {
  ProgramSettings settings(app_->Settings());
  EXPECT_EQ(settings.ConfigUrl(), kDefaultConfigUrl);
  EXPECT_EQ(settings.UserType(), 1);
  EXPECT_EQ(settings.AutoLaunch(), 0);
  EXPECT_EQ(settings.ResUrl(), u"");
  // Reading created the settings key on the way.
  platform::RegKey key;
  EXPECT_EQ(platform::RegKey::Open(platform::Hive::CurrentUser, u"Software\\Corvane\\Lumedesk\\Settings",
                                   platform::RegView::Reg64, key),
            0);
  // An empty stored address also means the default.
  Call(u"save_settings", Variant::String(u"ConfigUrl"), Variant::String(u""));
  EXPECT_EQ(settings.ConfigUrl(), kDefaultConfigUrl);
  Call(u"save_settings", Variant::String(u"ConfigUrl"), Variant::String(u"https://127.0.0.1:8443/c.xml"));
  EXPECT_EQ(settings.ConfigUrl(), u"https://127.0.0.1:8443/c.xml");
}

TEST_F(DispatcherTest, PageFromResUrlOrResources) {
  auto builtIn = app_->StartupDialogParameters();
  EXPECT_EQ(builtIn.htmlResourceId, 129u);
  EXPECT_EQ(builtIn.url, u"");
  EXPECT_EQ(builtIn.title, u"Haverly银行村镇银行网银助手");
  EXPECT_EQ(builtIn.scriptCallHandler, &DispatchCommand);
  Call(u"save_settings", Variant::String(u"ResUrl"), Variant::String(u"http://127.0.0.1:9000/page.html"));
  auto remote = app_->StartupDialogParameters();
  EXPECT_EQ(remote.htmlResourceId, 0u);
  EXPECT_EQ(remote.url, u"http://127.0.0.1:9000/page.html");
}

TEST_F(DispatcherTest, SettingsArgumentErrors) {
  struct Case {
    const char16_t* command;
    Variant a1, a2;
    const char16_t* message;
  } cases[] = {
      {u"save_settings", Variant::Int(1), Variant::Int(1), u"save_settings第2个参数应该为String类型！"},
      {u"save_settings", Variant::String(u"x"), Variant::Real(1.5),
       u"save_settings第3个参数使用了不支持的类型！"},
      {u"save_settings", Variant::String(u"x"), Variant(), u"save_settings第3个参数使用了不支持的类型！"},
      {u"save_settings", Variant::String(u"x"), Variant::Missing(),
       u"save_settings第3个参数使用了不支持的类型！"},
      {u"load_settings", Variant(), Variant::Int(1), u"load_settings第2个参数应该为String类型！"},
      {u"load_settings", Variant::String(u"x"), Variant::Real(2.5),
       u"load_settings第3个参数使用了不支持的类型！"},
      {u"log", Variant::String(u"1"), Variant(), u"log第2个参数应该为int类型！"},
  };
  for (const auto& c : cases) {
    EXPECT_TRUE(Call(c.command, c.a1, c.a2).IsEmpty()) << platform::Utf16ToUtf8(c.message);
    auto boxes = Boxes();
    ASSERT_EQ(boxes.size(), 1u) << platform::Utf16ToUtf8(c.message);
    EXPECT_EQ(boxes[0].content, c.message);
    EXPECT_EQ(boxes[0].mainInstruction, u"错误");
    EXPECT_EQ(boxes[0].title, u"Haverly银行村镇银行网银助手");
    EXPECT_EQ(boxes[0].icon, 5);
  }
  // Nothing was stored by the rejected writes.
  EXPECT_FALSE(StoredDword(u"x").has_value());
}

TEST_F(DispatcherTest, MessageBoxCommand) {
  Call(u"messagebox", Variant::String(u"请插入USB Key"), Variant::Int(5));
  auto boxes = Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].content, u"请插入USB Key");
  EXPECT_EQ(boxes[0].mainInstruction, u"");
  EXPECT_EQ(boxes[0].title, u"Haverly银行村镇银行网银助手");
  EXPECT_EQ(boxes[0].icon, 5);
  EXPECT_EQ(boxes[0].form, platform::BoxForm::TaskDialog);

  Call(u"messagebox", Variant::String(u"no icon"), Variant::String(u"5"));
  boxes = Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].icon, 0);

  Call(u"messagebox", Variant::Int(42), Variant::Int(5));
  EXPECT_TRUE(Boxes().empty());
}

TEST_F(DispatcherTest, DeviceIdentifiers) {
  struct Case {
    const char16_t* text;
    std::vector<uint32_t> ids;
  } cases[] = {
      {u"096e|0005,1ea8:c001", {0x096E, 0x0005, 0x1EA8}},
      {u"096e0005", {0x096E0005}},
      {u"||,,", {}},
      {u"", {}},
      {u" 0x1F|zz", {0x1F, 0}},
      {u"0x|0xg", {0, 0}},
      {u"-1", {0xFFFFFFFF}},
      {u"+a", {0xA}},
      {u"123456789", {0xFFFFFFFF}},
      {u"FFFFFFFF|100000000", {0xFFFFFFFF, 0xFFFFFFFF}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ParseDeviceIds(c.text), c.ids) << platform::Utf16ToUtf8(c.text);
  // No device is attached on a fresh machine; a non-string asks nothing.
  EXPECT_EQ(Call(u"is_key_connect", Variant::String(u"096e|0005")), Variant::Bool(false));
  EXPECT_TRUE(Call(u"is_key_connect", Variant::Int(5)).IsEmpty());
}

TEST_F(DispatcherTest, DebugPrintIsVerbatim) {
  std::string captured;
  platform::SetDebugSink([&](std::string_view text) { captured += text; });
  Call(u"debug_print", Variant::String(u"100% %s %d 完成"), Variant::Bool(true));
  Call(u"debug_print", Variant::String(u"no line end"), Variant::Bool(false));
  // The line end follows the 16-bit value of the second argument, also when the text is
  // missing.
  Call(u"debug_print", Variant::String(u"|int"), Variant::Int(-1));
  Call(u"debug_print", Variant::String(u"|int 1"), Variant::Int(1));
  Call(u"debug_print", Variant::Int(5), Variant::Bool(true));
  Call(u"debug_print", Variant::String(u"|text"), Variant::String(u"true"));
  platform::SetDebugSink({});
  EXPECT_EQ(captured, "100% %s %d 完成\r\nno line end|int\r\n|int 1\r\n|text");
}

TEST_F(DispatcherTest, KeyCommandsWithoutAKeyManager) {
  EXPECT_EQ(Call(u"change_pin", Variant::String(u"kx_key"), Variant::String(u"1"),
                 Variant::String(u"2")),
            Variant::Int(-3));
  EXPECT_EQ(Call(u"change_pin", Variant::String(u"kx_key"), Variant::Int(1), Variant::String(u"2")),
            Variant::Int(-3));
  EXPECT_EQ(Call(u"change_token_name", Variant::String(u"nv_key"), Variant::String(u"名字")),
            Variant::Int(-3));
  EXPECT_EQ(Call(u"get_token_name", Variant::String(u"nv_key")), Variant::String(u""));
  EXPECT_EQ(Call(u"get_token_name", Variant()), Variant::String(u""));
  EXPECT_TRUE(app_->Keys().empty());  // looking a type up never adds it

  EXPECT_TRUE(Call(u"update_key_info", Variant::Int(1)).IsEmpty());
  auto boxes = Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].content, u"update_key_info第2个参数应该为String类型！");
}

// Commands whose work has not arrived yet answer their default results; get_data of a name
// that no loaded configuration holds is the empty text.
TEST_F(DispatcherTest, DefaultResults) {
  EXPECT_EQ(Call(u"get_data", Variant::String(u"tips")), Variant::String(u""));
  EXPECT_TRUE(Call(u"get_data", Variant::Int(1)).IsEmpty());
  EXPECT_TRUE(Call(u"get_version", Variant::String(u"other")).IsEmpty());
  EXPECT_EQ(Call(u"check_update", Variant::Int(1)), Variant::Bool(false));
}

TEST_F(DispatcherTest, LogFileOperations) {
  Call(u"log", Variant::Int(1), Variant::String(u"第一行 first"));
  Call(u"log", Variant::Int(1), Variant::String(u"second"));
  Call(u"log", Variant::Int(1), Variant::Int(3));  // not a text: nothing appended
  Call(u"log", Variant::Int(7));                   // unknown operation: nothing

  // Stored in code page 936 with CR LF line ends.
  std::filesystem::path host;
  ASSERT_EQ(platform::MapToHost(app_->Log().FilePath(), host), 0);
  EXPECT_EQ(testing_support::ReadText(host), "\xB5\xDA\xD2\xBB\xD0\xD0 first\r\nsecond\r\n");

  Call(u"log", Variant::Int(0));
  auto calls = dialog_.TakeCalls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].function, u"load_log");
  EXPECT_EQ(calls[0].args, std::vector<Variant>{Variant::String(u"第一行 first")});
  EXPECT_EQ(calls[1].args, std::vector<Variant>{Variant::String(u"second")});
  EXPECT_EQ(calls[2].args, (std::vector<Variant>{Variant::String(u""), Variant::Bool(true)}));

  Call(u"log", Variant::Int(2));
  EXPECT_EQ(testing_support::ReadText(host), "");
  Call(u"log", Variant::Int(0));
  calls = dialog_.TakeCalls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].args, (std::vector<Variant>{Variant::String(u""), Variant::Bool(true)}));
  EXPECT_TRUE(Boxes().empty());
}

TEST_F(DispatcherTest, OpenIePassesTheAddressAsOneArgument) {
  std::filesystem::path record = Dir() / "browser-args";
  std::filesystem::path browser = Dir() / "browser";
  {
    std::ofstream script(browser);
    script << "#!/bin/sh\nfor a in \"$@\"; do printf '[%s]\\n' \"$a\"; done > '" << record.string()
           << ".tmp'\nmv '" << record.string() << ".tmp' '" << record.string() << "'\n";
  }
  std::filesystem::permissions(browser, std::filesystem::perms::owner_all);
  setenv(platform::kBrowserVariable, browser.c_str(), 1);
  Call(u"open_ie", Variant::String(u"https://bank.example/a b?x=1&y=\"2\" ; rm -rf /"));
  unsetenv(platform::kBrowserVariable);
  for (int i = 0; i < 500 && !std::filesystem::exists(record); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(testing_support::ReadText(record),
            "[https://bank.example/a b?x=1&y=\"2\" ; rm -rf /]\n");
  // A non-text address starts nothing.
  EXPECT_TRUE(Call(u"open_ie", Variant::Int(1)).IsEmpty());
}

TEST_F(DispatcherTest, ShutDownEndsTheLoopFromAnyThread) {
  ASSERT_EQ(AcquireSingleInstance(), 0);
  ASSERT_TRUE(SingleInstanceMutex().IsOpen());
  while (platform::UiQueue().TryGet()) {
  }
  std::thread worker([&] { Call(u"shut_down"); });
  worker.join();
  EXPECT_FALSE(app_->Running());
  EXPECT_FALSE(SingleInstanceMutex().IsOpen());
  auto message = platform::UiQueue().TryGet();
  ASSERT_TRUE(message.has_value());
  EXPECT_TRUE(message->quit);
  EXPECT_EQ(message->exitCode, 0);
  // The name is free again: a new instance could start.
  EXPECT_EQ(AcquireSingleInstance(), 0);
  SingleInstanceMutex().Close();
}

class OldWindowsDispatcherTest : public DispatcherTest {
  platform::MachineOptions Options() const override { return {"xp", "x86", "user"}; }
};

TEST_F(OldWindowsDispatcherTest, MessageBoxFormWithoutTaskDialogs) {
  Call(u"messagebox", Variant::String(u"text"), Variant::Int(3));
  auto boxes = Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].form, platform::BoxForm::MessageBox);
  EXPECT_EQ(boxes[0].icon, 3);
}

}  // namespace
