#include "engine/check/check_runner.h"

#include <atomic>
#include <mutex>

#include "engine/check/checker_registry.h"
#include "engine/check/item_operations.h"
#include "platform/text.h"
#include "services/process_state.h"
#include "ui/page_object.h"

namespace Corvane::Assistant {

using Corvane::Model::EngineOperationLock;
using Corvane::UI::IBSDialog;

CheckStatus CheckAll(ICheckFix& checker, std::vector<ConfigEntry>& entries, bool stopOnFailure) {
  CheckStatus r = checker.BeginCheck();
  if (r != kCheckOk) return r;
  for (ConfigEntry& entry : entries) entry.status = kCheckNotChecked;
  bool upgrade = false;
  bool failed = false;
  for (ConfigEntry& entry : entries) {
    CheckStatus s = checker.CheckEntry(entry);
    entry.status = s;
    if (s == kCheckUpgrade) upgrade = true;
    if (s != kCheckUpgrade && s != kCheckOk) {
      if (stopOnFailure) return s;
      failed = true;
      r = s;
    }
  }
  if (failed) return r;
  CheckStatus e = checker.EndCheck();
  if (e != kCheckOk) return e;
  return upgrade ? kCheckUpgrade : kCheckOk;
}

CheckStatus FixAll(ICheckFix& checker, std::vector<ConfigEntry>& entries) {
  CheckStatus r = checker.BeginFix();
  if (r != kCheckOk) return r;
  for (ConfigEntry& entry : entries) {
    if (entry.status == kCheckOk) continue;
    entry.status = checker.FixEntry(entry);
    if (entry.status != kCheckOk) return entry.status;
  }
  return checker.EndFix();
}

CheckStatus CheckGroupOf(CheckGroup& group, bool stopOnFailure) {
  ICheckFix* checker = CheckerRegistry::Instance().Find(group.type);
  return checker ? CheckAll(*checker, group.entries, stopOnFailure) : kCheckNotChecked;
}

CheckStatus FixGroupOf(CheckGroup& group) {
  ICheckFix* checker = CheckerRegistry::Instance().Find(group.type);
  return checker ? FixAll(*checker, group.entries) : kCheckNotChecked;
}

namespace {

std::atomic<int32_t> g_installIndex{-1};

// Statuses left by an earlier pass must not show as "正常" for a check that did not run
// (a failed BeginCheck, no network): the entries become unchecked again.
void ForgetStatuses(CheckGroup& group) {
  for (ConfigEntry& entry : group.entries) entry.status = kCheckNotChecked;
}

}  // namespace

bool RunGroupCheckOrFix(const std::string& type, bool isCheck, int32_t userType,
                        TypeOutcome& outcome) {
  std::lock_guard lock(EngineOperationLock());
  CheckGroup* group = Corvane::Model::FindCheckGroup(type, false);
  if (!group) return false;
  if (type == "trust" || type == "compatibility") {
    // These repair during a check as well.
    ForgetStatuses(*group);
    outcome.ok = CheckGroupOf(*group, true) == kCheckOk || FixGroupOf(*group) == kCheckOk;
  } else if (isCheck) {
    ForgetStatuses(*group);
    if ((type == "url" || type == "dns") && ConnectionState().load() != 2)
      outcome.ok = false;
    else
      outcome.ok = CheckGroupOf(*group, false) == kCheckOk;
  } else {
    outcome.ok = FixGroupOf(*group) == kCheckOk;
  }
  if (type == "registry") return true;
  for (const ConfigEntry& entry : group->entries) {
    const std::string& user = entry.attributes.Get("user");
    if (!user.empty() && (ReadDecimal(user) & userType) == 0) continue;
    outcome.details[platform::Utf8ToUtf16(entry.text)] = entry.status == kCheckOk ? u"正常" : u"异常";
  }
  return true;
}

bool RunItemCheckOrFix(uint32_t index, bool isCheck, int32_t& status, std::string& type,
                       IBSDialog* /*page*/) {
  std::lock_guard lock(EngineOperationLock());
  ConfigItem* item = Corvane::Model::ItemAt(index);
  if (!item) return false;
  type = item->attributes.Get("type");
  if (!isCheck) {
    g_installIndex = int32_t(index);
    CheckStatus state = DetectItem(*item, false);
    const bool keyItem = item->attributes.Get("cls") == "key";
    if (state == kCheckUpgrade || state == kCheckFailed) {
      KeyLibraryHooks& hooks = KeyHooks();
      const bool managed = keyItem && hooks.hasManager && hooks.hasManager(type);
      if (managed && hooks.unload) hooks.unload(type);
      if (ConnectionState().load() > 0 || !keyItem) InstallItem(*item, nullptr);
      if (managed && hooks.reload) hooks.reload(type);
    } else if (state == kCheckDisabled) {
      EnableItem(*item);
    }
  }
  switch (DetectItem(*item, true)) {
    case kCheckDisabled: status = 1; break;
    case kCheckUpgrade: status = 2; break;
    case kCheckOk: status = 0; break;
    default: status = 3; break;
  }
  return true;
}

HRESULT SetObjectProperties(const std::shared_ptr<platform::ScriptObject>& object,
                            const std::map<std::u16string, Variant>& properties) {
  if (!object) return platform::E_POINTER;
  auto* target = dynamic_cast<Corvane::UI::PageObject*>(object.get());
  if (!target) return platform::E_NOINTERFACE;
  for (const auto& [name, value] : properties) {
    HRESULT hr = target->PutProperty(name, value);
    if (hr < 0) return hr;
  }
  return platform::S_OK;
}

HRESULT FillArray(const std::shared_ptr<platform::ScriptObject>& array,
                  const std::vector<Variant>& values) {
  if (!array) return platform::E_POINTER;
  auto* target = dynamic_cast<Corvane::UI::PageObject*>(array.get());
  if (!target) return platform::E_NOINTERFACE;
  for (size_t i = 0; i < values.size(); ++i) {
    HRESULT hr = target->PutProperty(platform::Utf8ToUtf16(std::to_string(i)), values[i]);
    if (hr < 0) return hr;
  }
  return platform::S_OK;
}

namespace {

// A page object of `constructor` filled by `fill`; empty when it could not be made.
Variant CreateObject(IBSDialog* page, std::u16string_view constructor,
                     const std::function<HRESULT(const std::shared_ptr<platform::ScriptObject>&)>& fill) {
  std::shared_ptr<platform::ScriptObject> object;
  HRESULT hr = page->CreatePageObject(constructor, &object, fill);
  if (hr < 0 || !object) return {};
  return Variant::Object(object);
}

}  // namespace

Variant MakeTypeResult(IBSDialog* page, const std::u16string& type, const TypeOutcome& outcome) {
  if (!page) return {};
  std::vector<Variant> details;
  for (const auto& [key, value] : outcome.details) {
    std::map<std::u16string, Variant> props{{u"key", Variant::String(key)},
                                            {u"value", Variant::String(value)}};
    Variant detail = CreateObject(page, u"Object", [&](const auto& o) { return SetObjectProperties(o, props); });
    if (!detail.IsEmpty()) details.push_back(detail);
  }
  std::map<std::u16string, Variant> props{{u"result", Variant::Bool(outcome.ok)},
                                          {u"type", Variant::String(type)}};
  if (!details.empty()) {
    Variant array = CreateObject(page, u"Array", [&](const auto& a) { return FillArray(a, details); });
    if (!array.IsEmpty()) props[u"details"] = array;
  }
  return CreateObject(page, u"Object", [&](const auto& o) { return SetObjectProperties(o, props); });
}

Variant MakeItemResult(IBSDialog* page, const std::u16string& type, int32_t status) {
  if (!page) return {};
  std::map<std::u16string, Variant> props{{u"result", Variant::Int(status)},
                                          {u"type", Variant::String(type)}};
  return CreateObject(page, u"Object", [&](const auto& o) { return SetObjectProperties(o, props); });
}

void RunCheckOrFix(const Variant& argument, bool isCheck, Variant* result, IBSDialog* page,
                   int32_t userType) {
  // The work runs under the engine's lock; the page objects are built after it is released.
  if (argument.Is(platform::VarType::Bstr)) {
    std::string type = platform::Utf16ToUtf8(argument.AsString());
    TypeOutcome outcome;
    // The built-in checks may call the page (connection), so they run outside the lock.
    if (!RunGroupCheckOrFix(type, isCheck, userType, outcome))
      RunBuiltinCheck(type, isCheck, outcome, page);
    if (result && page) *result = MakeTypeResult(page, argument.AsString(), outcome);
  } else if (argument.Is(platform::VarType::I4)) {
    int32_t status = 0;
    std::string type;
    if (!RunItemCheckOrFix(uint32_t(argument.AsInt()), isCheck, status, type, page)) return;
    if (result && page) *result = MakeItemResult(page, platform::Utf8ToUtf16(type), status);
  }
}

int32_t CurrentInstallIndex() { return g_installIndex.load(); }

KeyLibraryHooks& KeyHooks() {
  static KeyLibraryHooks* hooks = new KeyLibraryHooks();
  return *hooks;
}

}  // namespace Corvane::Assistant
