// The check drivers and the runner behind do_check / do_fix / do_install, with a scripted
// checker: every entry's attribute `s` is what its check returns, `f` what its repair
// returns (2 when absent).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "engine/check/check_runner.h"
#include "engine/check/checker_registry.h"
#include "engine/config/item_configuration.h"
#include "platform/text.h"
#include "services/process_state.h"
#include "tests/support/machine_fixture.h"
#include "ui/headless_dialog.h"

using namespace Corvane::Assistant;
using Corvane::Model::ItemConfiguration;
using Corvane::Model::TheItemConfiguration;
using Corvane::UI::HeadlessDialog;
using Corvane::UI::ScriptValueJson;
using platform::Variant;

namespace {

class ScriptedChecker : public ICheckFix {
 public:
  CheckStatus beginCheck = 2, endCheck = 2, beginFix = 2, endFix = 2;
  int endCheckCalls = 0, checked = 0, fixed = 0;

  CheckStatus BeginCheck() override { return beginCheck; }
  CheckStatus CheckEntry(ConfigEntry& e) override {
    ++checked;
    return e.attributes.Has("s") ? ReadDecimal(e.attributes.Get("s")) : 2;
  }
  CheckStatus EndCheck() override {
    ++endCheckCalls;
    return endCheck;
  }
  CheckStatus BeginFix() override { return beginFix; }
  CheckStatus FixEntry(ConfigEntry& e) override {
    ++fixed;
    return e.attributes.Has("f") ? ReadDecimal(e.attributes.Get("f")) : 2;
  }
  CheckStatus EndFix() override { return endFix; }
};

std::vector<ConfigEntry> Entries(std::initializer_list<int> statuses) {
  std::vector<ConfigEntry> entries;
  for (int s : statuses) {
    ConfigEntry e;
    e.text = "e" + std::to_string(entries.size());
    e.attributes.Set("s", std::to_string(s));
    e.status = 7;  // left by an earlier pass
    entries.push_back(e);
  }
  return entries;
}

std::vector<int> Statuses(const std::vector<ConfigEntry>& entries) {
  std::vector<int> out;
  for (const auto& e : entries) out.push_back(e.status);
  return out;
}

TEST(CheckDriverTest, CheckAllRules) {
  struct Case {
    const char* name;
    std::initializer_list<int> entries;
    bool stop;
    CheckStatus begin, end;
    CheckStatus expected;
    std::vector<int> statuses;
    int endCalls;
  } cases[] = {
      {"all pass", {2, 2}, false, 2, 2, 2, {2, 2}, 1},
      {"2/-2/2 goes on", {2, -2, 2}, false, 2, 2, -2, {2, -2, 2}, 0},
      {"2/-2/2 stops", {2, -2, 2}, true, 2, 2, -2, {2, -2, 0}, 0},
      {"last failure wins", {-3, 2, -2}, false, 2, 2, -2, {-3, 2, -2}, 0},
      {"upgrade wanted", {2, 1, 2}, true, 2, 2, 1, {2, 1, 2}, 1},
      {"end fails", {2, 1}, false, 2, -1, -1, {2, 1}, 1},
      {"begin fails", {2, 2}, false, -2, 2, -2, {7, 7}, 0},
      {"no entries", {}, false, 2, 2, 2, {}, 1},
  };
  for (const Case& c : cases) {
    ScriptedChecker checker;
    checker.beginCheck = c.begin;
    checker.endCheck = c.end;
    auto entries = Entries(c.entries);
    EXPECT_EQ(CheckAll(checker, entries, c.stop), c.expected) << c.name;
    EXPECT_EQ(Statuses(entries), c.statuses) << c.name;
    EXPECT_EQ(checker.endCheckCalls, c.endCalls) << c.name;
  }
}

TEST(CheckDriverTest, FixAllRepairsWhatDidNotPassAndStopsAtTheFirstFailure) {
  ScriptedChecker checker;
  auto entries = Entries({2, -2, 0, 1});
  for (size_t i = 0; i < entries.size(); ++i) entries[i].status = ReadDecimal(entries[i].attributes.Get("s"));
  entries[3].attributes.Set("f", "-2");
  EXPECT_EQ(FixAll(checker, entries), -2);
  EXPECT_EQ(Statuses(entries), (std::vector<int>{2, 2, 2, -2}));
  EXPECT_EQ(checker.fixed, 3);  // the passed entry is skipped

  ScriptedChecker refusing;
  refusing.beginFix = -2;
  auto untouched = Entries({-2});
  EXPECT_EQ(FixAll(refusing, untouched), -2);
  EXPECT_EQ(refusing.fixed, 0);

  ScriptedChecker ending;
  ending.endFix = -1;
  auto fresh = Entries({0, 0});  // never checked: every entry is repaired
  EXPECT_EQ(FixAll(ending, fresh), -1);
  EXPECT_EQ(ending.fixed, 2);
}

TEST(CheckDriverTest, GroupsWithoutCheckerGiveZero) {
  CheckGroup group{"no-such-type", Entries({2})};
  EXPECT_EQ(CheckGroupOf(group, false), 0);
  EXPECT_EQ(FixGroupOf(group), 0);
  EXPECT_EQ(ReadDecimal("  -12x"), -12);
  EXPECT_EQ(ReadDecimal("+3"), 3);
  EXPECT_EQ(ReadDecimal("x3"), 0);
}

// The runner over a loaded configuration, with scripted checkers in place of `service`
// and `dns` and the headless page.
class RunnerTest : public testing_support::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    TheItemConfiguration().Clear();
  }
  void TearDown() override {
    TheItemConfiguration().Clear();
    ConnectionState() = 2;
    MachineTest::TearDown();
  }
  void Load(const std::string& text) {
    auto& model = TheItemConfiguration();
    model.Clear();
    ASSERT_TRUE(Corvane::Model::ParseItemConfiguration(text, model));
  }
  // The result object as JSON, or "none".
  std::string Run(Variant argument, bool isCheck, int32_t userType = 1) {
    Variant result;
    RunCheckOrFix(argument, isCheck, &result, &page_, userType);
    return result.IsEmpty() ? "none" : ScriptValueJson(result);
  }
  std::string Run(const char* type, bool isCheck, int32_t userType = 1) {
    return Run(Variant::Utf8(type), isCheck, userType);
  }

  HeadlessDialog page_;
  ScriptedChecker service_, dns_, detect_;
  CheckerRegistry::Override serviceOverride_{"service", &service_};
  CheckerRegistry::Override dnsOverride_{"dns", &dns_};
  CheckerRegistry::Override detectOverride_{"scripted", &detect_};
};

TEST_F(RunnerTest, TypeResultsWithTheUserFilter) {
  Load(R"(<checkitems><config type="service">
      <entry s="2">b-ok</entry>
      <entry s="-2">a-bad</entry>
      <entry s="2" user="2">only-user-2</entry>
      <entry s="2" user="3">users-1-and-2</entry>
      <entry s="2" user=" +5x">user-5</entry>
      <entry s="2" user="abc">user-0</entry>
    </config></checkitems>)");
  EXPECT_EQ(Run("service", true),
            R"({"details":[{"key":"a-bad","value":"异常"},{"key":"b-ok","value":"正常"},)"
            R"({"key":"user-5","value":"正常"},{"key":"users-1-and-2","value":"正常"}],)"
            R"("result":false,"type":"service"})");
  EXPECT_EQ(Run("service", true, 2),
            R"({"details":[{"key":"a-bad","value":"异常"},{"key":"b-ok","value":"正常"},)"
            R"({"key":"only-user-2","value":"正常"},{"key":"users-1-and-2","value":"正常"}],)"
            R"("result":false,"type":"service"})");
  // The repair works on the failed entry only.
  EXPECT_EQ(Run("service", false, 4),
            R"({"details":[{"key":"a-bad","value":"正常"},{"key":"b-ok","value":"正常"},)"
            R"({"key":"user-5","value":"正常"}],"result":true,"type":"service"})");
  EXPECT_EQ(service_.fixed, 1);
}

TEST_F(RunnerTest, ResultsWithoutDetailsAndUnknownTypes) {
  Load(R"(<checkitems><config type="registry"><entry>HKCU\x</entry></config>
      <config type="bogus"><entry>HKCU\Software\Bogus</entry></config>
      <config type="cfca"/></checkitems>)");
  // A registry group never yields details; a group without checker is false with all
  // entries abnormal; an unknown type without group is false without details.
  EXPECT_EQ(Run("registry", true), R"({"result":false,"type":"registry"})");
  EXPECT_EQ(Run("bogus", true), R"({"details":[{"key":"HKCU\\Software\\Bogus","value":"异常"}],"result":false,"type":"bogus"})");
  EXPECT_EQ(Run("bogus", false), R"({"details":[{"key":"HKCU\\Software\\Bogus","value":"异常"}],"result":false,"type":"bogus"})");
  EXPECT_EQ(Run("nothing", true), R"({"result":false,"type":"nothing"})");
  EXPECT_EQ(Run(Variant::Bool(true), true), "none");
  // Without a page or a result slot nothing is returned.
  Variant result;
  RunCheckOrFix(Variant::Utf8("registry"), true, &result, nullptr);
  EXPECT_TRUE(result.IsEmpty());
}

TEST_F(RunnerTest, ChecksThatDidNotRunNeverReportNormal) {
  Load(R"(<checkitems><config type="dns"><entry s="2">bank</entry></config>
      <config type="service"><entry s="2">svc</entry></config></checkitems>)");
  ASSERT_EQ(Run("dns", true), R"({"details":[{"key":"bank","value":"正常"}],"result":true,"type":"dns"})");
  ConnectionState() = 0;
  EXPECT_EQ(Run("dns", true), R"({"details":[{"key":"bank","value":"异常"}],"result":false,"type":"dns"})");
  EXPECT_EQ(dns_.checked, 1);  // not checked without network

  ASSERT_EQ(Run("service", true), R"({"details":[{"key":"svc","value":"正常"}],"result":true,"type":"service"})");
  service_.beginCheck = -2;
  EXPECT_EQ(Run("service", true), R"({"details":[{"key":"svc","value":"异常"}],"result":false,"type":"service"})");
}

TEST_F(RunnerTest, TrustAndCompatibilityRepairDuringACheck) {
  ScriptedChecker trust;
  CheckerRegistry::Override o{"trust", &trust};
  Load(R"(<checkitems><config type="trust"><entry s="2">a</entry><entry s="-2">b</entry>
      <entry s="-2" f="2">c</entry></config></checkitems>)");
  EXPECT_EQ(Run("trust", true), R"({"details":[{"key":"a","value":"正常"},{"key":"b","value":"正常"},{"key":"c","value":"正常"}],"result":true,"type":"trust"})");
  EXPECT_EQ(trust.checked, 2);  // stopped at the first failure
  EXPECT_EQ(trust.fixed, 2);
}

TEST_F(RunnerTest, ItemStatuses) {
  struct Case {
    const char* detect;
    int status;
  } cases[] = {
      {R"(<detect dtype="scripted" s="2"/>)", 0},
      {R"(<detect dtype="scripted" s="1"/>)", 2},
      {R"(<detect dtype="scripted" s="-3"/>)", 1},
      {R"(<detect dtype="scripted" s="-2"/>)", 3},
      {R"(<detect dtype="scripted" s="-1"/>)", 3},
      {R"(<detect dtype="nochecker"/>)", 3},
      {R"(<detect dtype="scripted" s="1"/><detect dtype="scripted" s="-2"/>)", 3},
      {"", 0},  // no detect entries: installed
  };
  for (const Case& c : cases) {
    Load(std::string(R"(<checkitems><item type="ctl" name="x">)") + c.detect + "</item></checkitems>");
    EXPECT_EQ(Run(Variant::Int(0), true), R"({"result":)" + std::to_string(c.status) + R"(,"type":"ctl"})") << c.detect;
  }
  EXPECT_EQ(Run(Variant::Int(1), true), "none");  // out of range
  EXPECT_EQ(Run(Variant::Int(-1), true), "none");
}

TEST_F(RunnerTest, InstallingAnItemRepairsItsFailingDetectEntries) {
  Load(R"(<checkitems><item type="ctl"><detect dtype="scripted" s="-2">d</detect></item></checkitems>)");
  // The scripted check keeps failing, so the repair runs and the item stays not installed.
  EXPECT_EQ(Run(Variant::Int(0), false), R"({"result":3,"type":"ctl"})");
  EXPECT_EQ(detect_.fixed, 1);
  EXPECT_EQ(CurrentInstallIndex(), 0);
}

TEST_F(RunnerTest, PageObjectsAreFilledInNameOrder) {
  auto object = std::make_shared<Corvane::UI::JsonPageObject>(false);
  ASSERT_EQ(SetObjectProperties(object, {{u"type", Variant::Utf8("t")}, {u"details", Variant::Int(1)}}), 0);
  EXPECT_EQ(object->Json(), R"({"details":1,"type":"t"})");
  auto array = std::make_shared<Corvane::UI::JsonPageObject>(true);
  ASSERT_EQ(FillArray(array, {Variant::Int(1), Variant::Bool(false)}), 0);
  EXPECT_EQ(array->Json(), "[1,false]");
  EXPECT_EQ(array->Properties()[1].first, u"1");
  EXPECT_EQ(FillArray(nullptr, {}), platform::E_POINTER);
  EXPECT_EQ(Corvane::UI::VariantJson(Variant::Object(array)), R"({"kind":"object","value":[1,false]})");
}

}  // namespace
