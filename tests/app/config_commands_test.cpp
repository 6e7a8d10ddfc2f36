// get_config, get_data and do_check through the dispatcher: the connection gate, the debug
// traces, the network message and the item attributes handed to the page.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "app/assistant_app.h"
#include "app/command_dispatcher.h"
#include "engine/config/item_configuration.h"
#include "platform/debug_trace.h"
#include "platform/message_box.h"
#include "platform/text.h"
#include "services/process_state.h"
#include "tests/support/demo_bank_server.h"
#include "tests/support/machine_fixture.h"
#include "ui/headless_dialog.h"

namespace fs = std::filesystem;
using platform::Variant;

namespace {

constexpr char16_t kNetworkMessage[] = u"您的网络未连接，助手部分功能无法使用，请检测您的网络！";

class ConfigCommandsTest : public testing_support::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    presenter_ = std::make_shared<platform::RecordingPresenter>();
    platform::SetMessagePresenter(presenter_);
    platform::SetDebugSink([this](std::string_view text) { trace_ += text; });
    app_ = std::make_unique<CAssistantApp>(std::vector<std::u16string>{u"Lumedesk"},
                                           std::u16string(u"Lumedesk"));
    site_ = Dir() / "site";
    fs::create_directories(site_ / "conf");
    std::ofstream(site_ / "conf/item.xml") << R"(<checkitems>
        <config type="bogus"><entry user="2">HKCU\Software\Two</entry><entry>HKCU\Software\All</entry></config>
        <data name="help">帮助 &amp; tips</data>
        <item type="kx_key" cls="key" Name="驱动" keyid="096e"/>
        <item type="ctl" user="3"/>
      </checkitems>)";
    std::ofstream(site_ / "conf/broken.xml") << "<checkitems><item>";
    ASSERT_TRUE(server_.Start(site_, Dir() / "bank"));
  }
  void TearDown() override {
    server_.Stop();
    app_.reset();
    Corvane::Model::TheItemConfiguration().Clear();
    ConnectionState() = 2;
    platform::SetDebugSink({});
    platform::SetMessagePresenter(nullptr);
    MachineTest::TearDown();
  }
  Variant Call(const char16_t* name, Variant a1 = {}) {
    return DispatchCommand(&dialog_, Variant::String(name), a1, {}, {}, {});
  }
  void UseConfig(const std::string& path) {
    app_->Settings().WriteString(u"Settings", u"ConfigUrl", platform::Utf8ToUtf16(server_.HttpUrl(path)));
  }
  std::string PageCalls() {
    std::string out;
    for (const auto& call : dialog_.TakeCalls()) out += Corvane::UI::PageCallJson(call) + "\n";
    return out;
  }

  std::shared_ptr<platform::RecordingPresenter> presenter_;
  std::unique_ptr<CAssistantApp> app_;
  Corvane::UI::HeadlessDialog dialog_;
  testing_support::DemoBankServer server_;
  fs::path site_;
  std::string trace_;
};

TEST_F(ConfigCommandsTest, LoadsAndHandsEveryItemAttributeToThePageInNameOrder) {
  UseConfig("/conf/item.xml");
  EXPECT_EQ(Call(u"get_config"), Variant::Bool(true));
  EXPECT_EQ(trace_, "try to load xml from " + server_.HttpUrl("/conf/item.xml") + "... external successed!\r\n");
  EXPECT_TRUE(presenter_->Take().empty());
  const std::string s = R"({"function":"setItemInfo","args":[{"kind":"i4","value":)";
  auto str = [](const char* v) { return std::string(R"({"kind":"string","value":")") + v + "\"}"; };
  EXPECT_EQ(PageCalls(),
            s + "0}," + str("cls") + "," + str("key") + "]}\n" +
            s + "0}," + str("keyid") + "," + str("096e") + "]}\n" +
            s + "0}," + str("name") + "," + str("驱动") + "]}\n" +
            s + "0}," + str("type") + "," + str("kx_key") + "]}\n" +
            s + "1}," + str("type") + "," + str("ctl") + "]}\n" +
            s + "1}," + str("user") + "," + str("3") + "]}\n");
  EXPECT_EQ(Call(u"get_data", Variant::String(u"help")), Variant::String(u"帮助 & tips"));
  EXPECT_EQ(Call(u"get_data", Variant::String(u"none")), Variant::String(u""));
  EXPECT_TRUE(Call(u"get_data", Variant::Int(1)).IsEmpty());
}

TEST_F(ConfigCommandsTest, WithoutNetworkNothingIsLoadedAndTheModelStays) {
  UseConfig("/conf/item.xml");
  ASSERT_EQ(Call(u"get_config"), Variant::Bool(true));
  dialog_.TakeCalls();
  trace_.clear();
  UseConfig("/conf/broken.xml");
  ConnectionState() = 0;
  EXPECT_EQ(Call(u"get_config"), Variant::Bool(false));
  EXPECT_EQ(trace_, "");
  auto boxes = presenter_->Take();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].content, kNetworkMessage);
  EXPECT_EQ(boxes[0].mainInstruction, u"错误");
  // The previous items are handed out again.
  EXPECT_NE(PageCalls().find("kx_key"), std::string::npos);
  EXPECT_EQ(Call(u"get_data", Variant::String(u"help")), Variant::String(u"帮助 & tips"));
}

TEST_F(ConfigCommandsTest, AFailedLoadEmptiesTheModelAndShowsTheMessage) {
  for (const char* path : {"/conf/broken.xml", "/conf/missing.xml"}) {
    UseConfig("/conf/item.xml");
    ASSERT_EQ(Call(u"get_config"), Variant::Bool(true));
    dialog_.TakeCalls();
    presenter_->Take();
    UseConfig(path);
    EXPECT_EQ(Call(u"get_config"), Variant::Bool(false)) << path;
    auto boxes = presenter_->Take();
    ASSERT_EQ(boxes.size(), 1u) << path;
    EXPECT_EQ(boxes[0].content, kNetworkMessage);
    EXPECT_EQ(PageCalls(), "") << path;
    EXPECT_EQ(Call(u"get_data", Variant::String(u"help")), Variant::String(u"")) << path;
  }
}

TEST_F(ConfigCommandsTest, ChecksUseTheUserTypeSetting) {
  UseConfig("/conf/item.xml");
  ASSERT_EQ(Call(u"get_config"), Variant::Bool(true));
  auto json = [&](const char16_t* command, Variant a1) {
    return Corvane::UI::ScriptValueJson(Call(command, a1));
  };
  EXPECT_EQ(json(u"do_check", Variant::String(u"bogus")),
            R"({"details":[{"key":"HKCU\\Software\\All","value":"异常"}],"result":false,"type":"bogus"})");
  app_->Settings().WriteInt(u"Settings", u"UserType", 2);
  EXPECT_EQ(json(u"do_fix", Variant::String(u"bogus")),
            R"({"details":[{"key":"HKCU\\Software\\All","value":"异常"},{"key":"HKCU\\Software\\Two","value":"异常"}],"result":false,"type":"bogus"})");
  EXPECT_EQ(json(u"do_install", Variant::Int(1)), R"({"result":0,"type":"ctl"})");
  EXPECT_TRUE(Call(u"do_check", Variant::Int(2)).IsEmpty());
}

}  // namespace
