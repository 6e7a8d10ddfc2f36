// The item configuration reader: the attribute rules, merged groups, items after the last
// data element, the base of a location, and documents that must not load.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "engine/config/item_configuration.h"
#include "platform/errors.h"
#include "platform/text.h"
#include "tests/support/demo_bank_server.h"
#include "tests/support/machine_fixture.h"

namespace fs = std::filesystem;
using namespace Corvane::Model;

namespace {

ItemConfiguration Parse(const std::string& text, bool* ok = nullptr) {
  ItemConfiguration model;
  bool parsed = ParseItemConfiguration(text, model);
  if (ok) *ok = parsed;
  return model;
}

TEST(AttributeMapTest, NamesLowerCasedEmptyValuesIgnoredLaterValuesWin) {
  AttributeMap map;
  map.Set("Name", "A");
  map.Set("name", "");   // empty: neither stored nor overwriting
  map.Set("TYPE", "x");
  map.Set("type", "y");  // same name once lower-cased: replaces
  map.Set("Empty", "");
  EXPECT_EQ(map.Get("name"), "A");
  EXPECT_EQ(map.Get("type"), "y");
  EXPECT_FALSE(map.Has("empty"));
  EXPECT_EQ(map.Get("Name"), "");  // lookups are exact
  EXPECT_EQ(map.size(), 2u);
}

TEST(ItemConfigurationParseTest, ItemsCountOnlyAfterTheLastDataElement) {
  struct Case {
    const char* text;
    size_t items;
  } cases[] = {
      {R"(<checkitems><data name="a">x</data><item type="k"/></checkitems>)", 1},
      {R"(<checkitems><item type="k"/><data name="a">x</data></checkitems>)", 0},
      {R"(<checkitems><item type="k"/><data name="a">x</data><item type="m"/></checkitems>)", 1},
      {R"(<checkitems><item type="k"/><item type="m"/></checkitems>)", 2},
  };
  for (const Case& c : cases) {
    bool ok = false;
    ItemConfiguration model = Parse(c.text, &ok);
    EXPECT_TRUE(ok) << c.text;
    EXPECT_EQ(model.items.size(), c.items) << c.text;
  }
}

TEST(ItemConfigurationParseTest, GroupsMergeByTypeAndEntriesKeepDocumentOrder) {
  ItemConfiguration model = Parse(R"(<checkitems>
      <config type="registry"><entry Name="A" name="">HKCU\a</entry></config>
      <config type="host"><entry>h1</entry></config>
      <config type="registry"><entry name="B">HKCU\b</entry><other>skip</other></config>
      <config><entry>untyped</entry></config>
      <config type="Registry"><entry>case matters</entry></config>
    </checkitems>)");
  ASSERT_EQ(model.groups.size(), 4u);
  CheckGroup* registry = FindCheckGroup(model, "registry", false);
  ASSERT_NE(registry, nullptr);
  ASSERT_EQ(registry->entries.size(), 2u);
  EXPECT_EQ(registry->entries[0].text, "HKCU\\a");
  EXPECT_EQ(registry->entries[0].attributes.Get("name"), "A");
  EXPECT_EQ(registry->entries[1].attributes.Get("name"), "B");
  EXPECT_EQ(registry->entries[0].status, 0);
  EXPECT_NE(FindCheckGroup(model, "", false), nullptr);  // config without type
  EXPECT_EQ(FindCheckGroup(model, "Registry", false)->entries[0].text, "case matters");
  EXPECT_EQ(FindCheckGroup(model, "file", false), nullptr);
  EXPECT_NE(FindCheckGroup(model, "file", true), nullptr);  // created on request
  EXPECT_EQ(model.groups.size(), 5u);
}

TEST(ItemConfigurationParseTest, ItemsDataAndApplication) {
  ItemConfiguration model = Parse(R"(<checkitems Base="http://bank/b/" Version="3">
      <data name="tip">a &amp; b</data><data name="tip">second</data><data>no name</data>
      <data name="Case"></data>
      <item TYPE="kx" cls="key" keyid="096e|0005">
        <installer md5="ab">setup.exe</installer>
        <detect dtype="registry">HKLM\x</detect>
        <uninstaller type="cmd">u.exe</uninstaller>
        <detect dtype="clsid">{1}</detect>
      </item>
      <appinfo name="app" version="1"><detect dtype="file">a.exe</detect></appinfo>
      <appinfo version="2" imperative=""><installer>up.exe</installer></appinfo>
    </checkitems>)");
  EXPECT_EQ(model.documentAttributes.Get("base"), "http://bank/b/");
  EXPECT_EQ(model.documentAttributes.Get("version"), "3");
  EXPECT_EQ(model.data.at("tip"), "second");
  EXPECT_EQ(model.data.at(""), "no name");
  ASSERT_TRUE(model.data.count("Case"));  // names as written; empty texts stored
  EXPECT_EQ(model.data.at("Case"), "");
  ASSERT_EQ(model.items.size(), 1u);
  const ConfigItem& item = model.items[0];
  EXPECT_EQ(item.attributes.Get("type"), "kx");
  ASSERT_EQ(item.detect.size(), 2u);
  EXPECT_EQ(item.detect[1].text, "{1}");
  ASSERT_EQ(item.installer.size(), 1u);
  EXPECT_EQ(item.installer[0].attributes.Get("md5"), "ab");
  ASSERT_EQ(item.uninstaller.size(), 1u);
  EXPECT_EQ(model.application.attributes.Get("name"), "app");
  EXPECT_EQ(model.application.attributes.Get("version"), "2");  // merged, later wins
  EXPECT_FALSE(model.application.attributes.Has("imperative"));
  EXPECT_EQ(model.application.detect.size(), 1u);
  EXPECT_EQ(model.application.installer.size(), 1u);
}

TEST(ItemConfigurationParseTest, DocumentsThatDoNotParse) {
  for (const char* text : {
           "",
           "<checkitems><config type=\"registry\"></checkitems>",  // not well-formed
           "<items><config type=\"registry\"/></items>",           // wrong root
           "<checkitems/><checkitems/>",                            // second root
           "<checkitems/><other/>",
       }) {
    bool ok = true;
    Parse(text, &ok);
    EXPECT_FALSE(ok) << text;
  }
}

TEST(ItemConfigurationBaseTest, BaseOfALocationAndRemoteUrls) {
  struct Case {
    const char* location;
    const char* base;
  } cases[] = {
      {"https://bank.example/dir/conf.xml", "https://bank.example/dir/"},
      {"https://bank.example/conf.xml", "https://bank.example/"},
      {"https://bank.example", "https://bank.example/"},  // the host is kept
      {"https://bank.example:8443", "https://bank.example:8443/"},
      {"conf.xml", "conf.xml"},
  };
  for (const Case& c : cases) EXPECT_EQ(ConfigurationBase(c.location), c.base) << c.location;

  ItemConfiguration model;
  model.documentAttributes.Set("base", "https://bank.example/dir/");
  EXPECT_EQ(ResolveRemoteUrl(model, "sub/f.exe"), "https://bank.example/dir/sub/f.exe");
  EXPECT_EQ(ResolveRemoteUrl(model, "http://other/f.exe"), "http://other/f.exe");
  EXPECT_EQ(ResolveRemoteUrl(model, ""), "");
}

class ItemConfigurationLoadTest : public testing_support::MachineTest {
 protected:
  void TearDown() override {
    TheItemConfiguration().Clear();
    MachineTest::TearDown();
  }
  std::u16string WriteImageFile(const std::string& name, const std::string& text) {
    fs::create_directories(Image() / "drive_c/conf");
    std::ofstream(Image() / "drive_c/conf" / name, std::ios::binary) << text;
    return u"C:\\conf\\" + platform::Utf8ToUtf16(name);
  }
};

TEST_F(ItemConfigurationLoadTest, FromAFileAndFailuresLeaveTheModelEmpty) {
  auto good = WriteImageFile("good.xml", R"(<checkitems><data name="d">t</data><item type="k"/></checkitems>)");
  ASSERT_EQ(LoadItemConfiguration(good), 0);
  EXPECT_EQ(DataText("d"), "t");
  EXPECT_EQ(DataText("absent"), "");
  ASSERT_NE(ItemAt(0), nullptr);
  EXPECT_EQ(ItemAt(1), nullptr);
  EXPECT_EQ(DocumentAttribute("base"), "");  // files have no base

  for (const char* bad : {"<checkitems>", "<root/>", "<checkitems/><checkitems/>"}) {
    ASSERT_EQ(LoadItemConfiguration(good), 0);
    EXPECT_EQ(LoadItemConfiguration(WriteImageFile("bad.xml", bad)), platform::E_FAIL) << bad;
    EXPECT_TRUE(TheItemConfiguration().items.empty()) << bad;
    EXPECT_TRUE(TheItemConfiguration().data.empty()) << bad;
  }
  ASSERT_EQ(LoadItemConfiguration(good), 0);
  EXPECT_LT(LoadItemConfiguration(u"C:\\conf\\missing.xml"), 0);
  EXPECT_TRUE(TheItemConfiguration().items.empty());
}

TEST_F(ItemConfigurationLoadTest, OverHttpTheBaseIsTheLocationsFolder) {
  fs::path site = Dir() / "site";
  fs::create_directories(site / "perbank/conf");
  std::ofstream(site / "perbank/conf/item.xml")
      << R"(<checkitems><config type="file"><entry remote="sub/f.exe">C:\f.exe</entry></config></checkitems>)";
  testing_support::DemoBankServer server;
  ASSERT_TRUE(server.Start(site, Dir() / "bank"));

  ASSERT_EQ(LoadItemConfiguration(platform::Utf8ToUtf16(server.HttpUrl("/perbank/conf/item.xml"))), 0);
  EXPECT_EQ(DocumentAttribute("base"), server.HttpUrl("/perbank/conf/"));
  EXPECT_EQ(ResolveRemoteUrl("sub/f.exe"), server.HttpUrl("/perbank/conf/sub/f.exe"));
  ASSERT_NE(FindCheckGroup("file", false), nullptr);

  // A failed fetch: the status of the agent, and the model empty but for the base.
  EXPECT_LT(LoadItemConfiguration(platform::Utf8ToUtf16(server.HttpUrl("/perbank/conf/none.xml"))), 0);
  EXPECT_EQ(FindCheckGroup("file", false), nullptr);
}

}  // namespace
