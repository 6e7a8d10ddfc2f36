#include "app/command_dispatcher.h"

#include <clocale>
#include <mutex>
#include <optional>
#include <string>

#include "app/show_message.h"
#include "engine/check/check_runner.h"
#include "engine/config/item_configuration.h"
#include "key/usb_devices.h"
#include "platform/codepage.h"
#include "platform/debug_trace.h"
#include "platform/environment.h"
#include "platform/process.h"
#include "platform/shell.h"
#include "platform/text.h"
#include "services/process_state.h"

using platform::Variant;
using platform::VarType;
using Corvane::UI::IBSDialog;

CommandTable BuildCommandTable() {
  return {
      {u"get_config", kGetConfig},         {u"save_settings", kSaveSettings},
      {u"load_settings", kLoadSettings},   {u"messagebox", kMessageBox},
      {u"open_ie", kOpenIe},               {u"get_data", kGetData},
      {u"is_key_connect", kIsKeyConnect},  {u"do_check", kDoCheck},
      {u"do_fix", kDoFix},                 {u"do_install", kDoInstall},
      {u"get_version", kGetVersion},       {u"debug_print", kDebugPrint},
      {u"do_extra_startup", kDoExtraStartup}, {u"check_update", kCheckUpdate},
      {u"update_key_info", kUpdateKeyInfo}, {u"change_pin", kChangePin},
      {u"change_token_name", kChangeTokenName}, {u"get_token_name", kGetTokenName},
      {u"log", kLog},                      {u"shut_down", kShutDown},
      {u"http_request", kHttpRequest},
  };
}

int32_t ResolveCommand(const CommandTable& table, const Variant& name) {
  if (name.Is(VarType::I4)) return name.AsInt();
  if (name.Is(VarType::Bstr)) {
    auto it = table.find(name.AsString());
    return it == table.end() ? -1 : it->second;
  }
  return -1;
}

namespace {

int HexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// wcstoul(text, nullptr, 16) with Windows' 32-bit unsigned long: leading white space, a
// sign and "0x" are accepted, reading stops at the first non-digit, nothing readable is 0
// and a value beyond 32 bits is 0xFFFFFFFF.
uint32_t ReadHex(std::u16string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == u' ' || (text[i] >= u'\t' && text[i] <= u'\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
  if (i + 2 < text.size() && text[i] == u'0' && (text[i + 1] == u'x' || text[i + 1] == u'X') &&
      HexDigit(text[i + 2]) >= 0)
    i += 2;
  uint64_t value = 0;
  bool any = false;
  for (; i < text.size() && HexDigit(text[i]) >= 0; ++i) {
    any = true;
    value = value * 16 + uint64_t(HexDigit(text[i]));
    if (value > 0xFFFFFFFFull) return 0xFFFFFFFFu;
  }
  if (!any) return 0;
  return negative ? uint32_t(0u - uint32_t(value)) : uint32_t(value);
}

}  // namespace

std::vector<uint32_t> ParseDeviceIds(std::u16string_view text) {
  std::vector<uint32_t> ids;
  std::u16string piece;
  auto flush = [&] {
    if (!piece.empty()) ids.push_back(ReadHex(piece));
    piece.clear();
  };
  for (char16_t c : text) {
    if (c == u'|' || c == u',')
      flush();
    else
      piece += c;
  }
  flush();
  return ids;
}

namespace {

std::string Utf8(const Variant& v) { return platform::Utf16ToUtf8(v.AsString()); }

// The 16-bit VARIANT_BOOL sign-extended, as the page's booleans are stored.
int32_t BoolAsInt(const Variant& v) { return int32_t(v.AsBool()); }

Variant SaveSettings(CAssistantApp& app, const Variant& a1, const Variant& a2) {
  if (!a1.Is(VarType::Bstr)) {
    ArgumentError(u"save_settings第2个参数应该为String类型！");
    return {};
  }
  SettingsStore& s = app.Settings();
  switch (a2.Type()) {
    case VarType::I4: s.WriteInt(kSettingsSection, a1.AsString(), a2.AsInt()); break;
    case VarType::Bstr: s.WriteString(kSettingsSection, a1.AsString(), a2.AsString()); break;
    case VarType::Bool: s.WriteInt(kSettingsSection, a1.AsString(), BoolAsInt(a2)); break;
    default: ArgumentError(u"save_settings第3个参数使用了不支持的类型！");
  }
  return {};
}

Variant LoadSettings(CAssistantApp& app, const Variant& a1, const Variant& a2) {
  if (!a1.Is(VarType::Bstr)) {
    ArgumentError(u"load_settings第2个参数应该为String类型！");
    return {};
  }
  SettingsStore& s = app.Settings();
  switch (a2.Type()) {
    case VarType::I4: return Variant::Int(s.ReadInt(kSettingsSection, a1.AsString(), a2.AsInt()));
    case VarType::Bstr:
      return Variant::String(s.ReadString(kSettingsSection, a1.AsString(), a2.AsString()));
    case VarType::Bool: {
      // The low 16 bits of the stored integer: -1 is true, 0 false, 1 the value 1.
      int32_t stored = s.ReadInt(kSettingsSection, a1.AsString(), BoolAsInt(a2));
      return Variant::BoolRaw(platform::VariantBool(uint16_t(uint32_t(stored) & 0xFFFF)));
    }
    default: ArgumentError(u"load_settings第3个参数使用了不支持的类型！");
  }
  return {};
}

void OpenIe(const Variant& a1) {
  if (!a1.Is(VarType::Bstr)) return;
  std::optional<std::u16string> programFiles = platform::GetEnvironmentVariable(u"ProgramFiles");
  if (!programFiles || programFiles->empty()) {
    platform::DebugTrace("%X\r\n", uint32_t(platform::E_FAIL));
    return;
  }
  // The address is handed over as one argument: a blank or a quote in it must not turn
  // into further arguments of the browser.
  platform::ShellExecute(*programFiles + u"\\Internet Explorer\\iexplore.exe ",
                         platform::QuoteArgument(a1.AsString()));
}

// The 16-bit value of a script value, as the VARIANT's boolean field reads it: the value of a
// boolean, the low 16 bits of an integer, 0 for anything else.
int16_t SixteenBitValue(const Variant& v) {
  if (v.Is(VarType::Bool)) return v.AsBool();
  if (v.Is(VarType::I4)) return int16_t(uint16_t(uint32_t(v.AsInt()) & 0xFFFF));
  return 0;
}

void DebugPrint(const Variant& a1, const Variant& a2) {
  if (a1.Is(VarType::Bstr)) platform::DebugOutput(a1.AsString());
  if (SixteenBitValue(a2) == platform::VARIANT_TRUE) platform::DebugOutput("\r\n");
}

// Loads the item configuration (only with a network) and hands every item attribute to the
// page. The load runs under the engine's lock; the page is called after it is released.
Variant GetConfig(CAssistantApp& app, IBSDialog* dialog) {
  using namespace Corvane::Model;
  std::u16string location = ProgramSettings(app.Settings()).ConfigUrl();
  bool loaded = false;
  struct Attribute {
    int32_t index;
    std::u16string name, value;
  };
  std::vector<Attribute> attributes;
  {
    std::lock_guard lock(EngineOperationLock());
    if (ConnectionState().load() == 2) {
      platform::DebugTrace("try to load xml from %s... ", platform::Utf16ToUtf8(location).c_str());
      loaded = LoadItemConfiguration(location) >= 0;
    }
    if (loaded) platform::DebugTrace("external successed!\r\n");
    const auto& items = TheItemConfiguration().items;
    for (size_t i = 0; i < items.size(); ++i)
      for (const auto& [name, value] : items[i].attributes)
        attributes.push_back({int32_t(i), platform::Utf8ToUtf16(name), platform::Utf8ToUtf16(value)});
  }
  if (!loaded) ArgumentError(u"您的网络未连接，助手部分功能无法使用，请检测您的网络！");
  // The key managers are rebuilt from the items here once the key manager exists.
  for (const Attribute& a : attributes) {
    if (!dialog) break;
    // Automation order: the last argument first.
    Variant args[3] = {Variant::String(a.value), Variant::String(a.name), Variant::Int(a.index)};
    dialog->CallPageFunction(u"setItemInfo", args, 3, nullptr);
  }
  // A successful load is followed by one key scan once the key manager exists.
  return Variant::Bool(loaded);
}

Variant GetData(const Variant& a1) {
  if (!a1.Is(VarType::Bstr)) return {};
  std::lock_guard lock(Corvane::Model::EngineOperationLock());
  return Variant::String(platform::Utf8ToUtf16(Corvane::Model::DataText(Utf8(a1))));
}

Variant RunCheck(CAssistantApp& app, IBSDialog* dialog, const Variant& a1, bool isCheck) {
  Variant result;
  Corvane::Assistant::RunCheckOrFix(a1, isCheck, &result, dialog,
                                    ProgramSettings(app.Settings()).UserType());
  return result;
}

Variant DoExtraStartup(CAssistantApp& app) {
  const auto& args = app.CommandLine();
  return Variant::String(args.size() == 2 ? args[1] : u"Normal");
}

UKey* FindKey(CAssistantApp& app, const Variant& type) {
  if (!type.Is(VarType::Bstr)) return nullptr;
  auto it = app.Keys().find(Utf8(type));  // find never adds an entry
  return it == app.Keys().end() ? nullptr : it->second.get();
}

Variant ChangePin(CAssistantApp& app, const Variant& a1, const Variant& a2, const Variant& a3) {
  if (!a2.Is(VarType::Bstr) || !a3.Is(VarType::Bstr)) return Variant::Int(-3);
  UKey* key = FindKey(app, a1);
  if (!key) return Variant::Int(-3);
  return Variant::Int(key->SetPin(Utf8(a2), Utf8(a3)));
}

Variant ChangeTokenName(CAssistantApp& app, const Variant& a1, const Variant& a2) {
  UKey* key = FindKey(app, a1);
  if (!key || !a2.Is(VarType::Bstr)) return Variant::Int(-3);
  // Key maker B's labels are in code page 936; every other key takes UTF-8.
  std::string name = Utf8(a1) == "nv_key" ? platform::Utf16ToCodePage(a2.AsString(), platform::CP_GBK)
                                          : Utf8(a2);
  return Variant::Int(key->SetTokenName(name));
}

Variant GetTokenName(CAssistantApp& app, const Variant& a1) {
  UKey* key = FindKey(app, a1);
  if (!key) return Variant::String(u"");
  std::string name;
  int32_t rc = key->QueryTokenName(name);
  if (rc != 0) {
    platform::DebugTrace("GetTokenName result %d\n", rc);
    return Variant::String(u"");
  }
  return Variant::String(Utf8(a1) == "nv_key" ? platform::CodePageToUtf16(name, platform::CP_GBK)
                                              : platform::Utf8ToUtf16(name));
}

// Switches the character-type locale category for the length of a log operation, as the
// log file's text handling expects (the "chs" locale of Windows is zh_CN here).
class ChsCharacterLocale {
 public:
  ChsCharacterLocale() {
    const char* current = std::setlocale(LC_CTYPE, nullptr);
    saved_ = current ? current : "C";
    for (const char* name : {"zh_CN.GBK", "zh_CN.gbk", "zh_CN.UTF-8", "C.UTF-8"})
      if (std::setlocale(LC_CTYPE, name)) break;
  }
  ~ChsCharacterLocale() { std::setlocale(LC_CTYPE, saved_.c_str()); }

 private:
  std::string saved_;
};

void Log(CAssistantApp& app, IBSDialog* dialog, const Variant& a1, const Variant& a2) {
  if (!a1.Is(VarType::I4)) {
    ArgumentError(u"log第2个参数应该为int类型！");
    return;
  }
  ChsCharacterLocale locale;
  switch (a1.AsInt()) {
    case 0: {
      auto callPage = [&](std::vector<Variant> args) {
        if (dialog) dialog->CallPageFunction(u"load_log", args.data(), int32_t(args.size()), nullptr);
      };
      app.Log().ReadLines([&](const std::u16string& line) { callPage({Variant::String(line)}); });
      // The last call carries the buffer after the final read, which is empty, and true.
      callPage({Variant::Bool(true), Variant::String(u"")});
      break;
    }
    case 1:
      if (a2.Is(VarType::Bstr)) {
        platform::LSTATUS rc = app.Log().Append(a2.AsString());
        if (rc != platform::ERROR_SUCCESS) platform::DebugTrace("log append failed: %d\n", rc);
      }
      break;
    case 2: {
      platform::LSTATUS rc = app.Log().Clear();
      if (rc != platform::ERROR_SUCCESS) platform::DebugTrace("log clear failed: %d\n", rc);
      break;
    }
    default: break;
  }
}

}  // namespace

Variant DispatchCommand(IBSDialog* dialog, const Variant& name, const Variant& a1,
                        const Variant& a2, const Variant& a3, const Variant& /*a4*/) {
  CAssistantApp* app = CAssistantApp::Instance();
  if (!app) return {};
  switch (ResolveCommand(app->Commands(), name)) {
    case kGetConfig: return GetConfig(*app, dialog);
    case kSaveSettings: return SaveSettings(*app, a1, a2);
    case kLoadSettings: return LoadSettings(*app, a1, a2);
    case kMessageBox:
      if (a1.Is(VarType::Bstr))
        ShowMessage(a1.AsString(), u"", kAppTitleString, a2.Is(VarType::I4) ? a2.AsInt() : 0);
      return {};
    case kOpenIe: OpenIe(a1); return {};
    case kGetData: return GetData(a1);
    case kIsKeyConnect:
      if (!a1.Is(VarType::Bstr)) return {};
      return Variant::Bool(IsAnyDeviceConnected(ParseDeviceIds(a1.AsString())));
    case kDoCheck: return RunCheck(*app, dialog, a1, true);
    case kDoFix:
    case kDoInstall: return RunCheck(*app, dialog, a1, false);
    case kGetVersion: return {};
    case kDebugPrint: DebugPrint(a1, a2); return {};
    case kDoExtraStartup: return DoExtraStartup(*app);
    case kCheckUpdate: return Variant::Bool(false);
    case kUpdateKeyInfo:
      if (!a1.Is(VarType::Bstr)) {
        ArgumentError(u"update_key_info第2个参数应该为String类型！");
        return {};
      }
      return Variant::String(u"");
    case kChangePin: return ChangePin(*app, a1, a2, a3);
    case kChangeTokenName: return ChangeTokenName(*app, a1, a2);
    case kGetTokenName: return GetTokenName(*app, a1);
    case kLog: Log(*app, dialog, a1, a2); return {};
    case kShutDown: app->ShutDown(); return {};
    default: return {};  // http_request, unknown names and ids outside 1..20
  }
}
