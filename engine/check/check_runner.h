// The runner behind the page commands do_check, do_fix and do_install: the two drivers that
// run a checker over a list of entries, and the result objects handed back to the page.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/check/check_fix.h"
#include "platform/variant.h"
#include "ui/bs_dialog.h"

namespace Corvane::Assistant {

using platform::HRESULT;
using platform::Variant;

// Check pass: BeginCheck, every entry (statuses reset to 0 first), EndCheck. A failing
// entry ends the pass at once with `stopOnFailure`; without, the last failure is returned
// and EndCheck is skipped. 1 when an entry wants an upgrade and nothing failed.
CheckStatus CheckAll(ICheckFix& checker, std::vector<ConfigEntry>& entries, bool stopOnFailure);
// Repair pass over the entries whose status is not 2; the first failure ends it.
CheckStatus FixAll(ICheckFix& checker, std::vector<ConfigEntry>& entries);

// The drivers with the group's checker; 0 when its type has none.
CheckStatus CheckGroupOf(CheckGroup& group, bool stopOnFailure);
CheckStatus FixGroupOf(CheckGroup& group);

// Entry text -> "正常" / "异常", ordered by text.
using DetailMap = std::map<std::u16string, std::u16string>;

// The outcome of a type check or repair before it becomes a page object.
struct TypeOutcome {
  bool ok = false;
  DetailMap details;
};

// Runs a check (isCheck) or repair of the configuration group of `type`, under the engine's
// operation lock. `userType` is the settings value UserType (detail filter). False, with
// `outcome` untouched, when the configuration has no group of that type.
bool RunGroupCheckOrFix(const std::string& type, bool isCheck, int32_t userType,
                        TypeOutcome& outcome);

// Checks, installs or enables one item; the page's item status (0 installed, 1 disabled,
// 2 upgrade available, 3 not installed) and the item's type, or false for a bad index.
bool RunItemCheckOrFix(uint32_t index, bool isCheck, int32_t& status, std::string& type,
                       Corvane::UI::IBSDialog* page);

// The page command: `argument` is a check type (string) or an item index (integer); other
// kinds do nothing. The result object is built through `page` and stored in `result`.
void RunCheckOrFix(const Variant& argument, bool isCheck, Variant* result,
                   Corvane::UI::IBSDialog* page, int32_t userType = 1);

// Fills a page object: each name in ascending order is made to exist and given its value;
// the first failure ends the loop and is returned.
HRESULT SetObjectProperties(const std::shared_ptr<platform::ScriptObject>& object,
                            const std::map<std::u16string, Variant>& properties);
// Fills an Array: element i under the name "i". E_POINTER without an array.
HRESULT FillArray(const std::shared_ptr<platform::ScriptObject>& array,
                  const std::vector<Variant>& values);

// The result objects: {details?, result, type}.
Variant MakeTypeResult(Corvane::UI::IBSDialog* page, const std::u16string& type,
                       const TypeOutcome& outcome);
Variant MakeItemResult(Corvane::UI::IBSDialog* page, const std::u16string& type, int32_t status);

// The item index an installation runs for (the progress reports carry it).
int32_t CurrentInstallIndex();

// What the key manager does around the installation of a key item: unload the key type's
// library before, load it again after. Empty until a key manager fills them in.
struct KeyLibraryHooks {
  std::function<bool(const std::string& keyType)> hasManager;
  std::function<void(const std::string& keyType)> unload;
  std::function<void(const std::string& keyType)> reload;
};
KeyLibraryHooks& KeyHooks();

// The checks that need no configuration group (level, cache, proxy, firewall, antivirus,
// winupdate, connection). Returns whether `type` is one of them; sets ok and details.
bool RunBuiltinCheck(const std::string& type, bool isCheck, TypeOutcome& outcome,
                     Corvane::UI::IBSDialog* page);

}  // namespace Corvane::Assistant
