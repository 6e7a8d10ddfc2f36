#include "engine/check/item_operations.h"

#include "engine/check/check_runner.h"
#include "engine/check/checker_registry.h"

namespace Corvane::Assistant {

namespace {

// One detect entry checked on its own: the checker's begin and end run anew. The outcome
// is the first result that is not 2 (a 1 from the entry itself only marks the upgrade).
CheckStatus CheckOneEntry(ICheckFix& checker, ConfigEntry& entry, bool& upgrade) {
  CheckStatus r = checker.BeginCheck();
  if (r != kCheckOk) {
    if (r == kCheckUpgrade) upgrade = true;
    return r;
  }
  entry.status = kCheckNotChecked;
  CheckStatus s = checker.CheckEntry(entry);
  entry.status = s;
  if (s == kCheckUpgrade) upgrade = true;
  CheckStatus e = checker.EndCheck();
  if (s != kCheckOk && s != kCheckUpgrade) return s;
  if (e == kCheckUpgrade) upgrade = true;
  return e;
}

}  // namespace

CheckStatus DetectItem(ConfigItem& item, bool stopOnFailure) {
  if (item.detect.empty()) return kCheckOk;
  CheckStatus acc = kCheckOk;
  bool upgrade = false;
  for (ConfigEntry& entry : item.detect) {
    ICheckFix* checker = CheckerRegistry::Instance().Find(entry.attributes.Get("dtype"));
    if (!checker) return kCheckNoChecker;
    CheckStatus outcome = CheckOneEntry(*checker, entry, upgrade);
    if (outcome != kCheckOk) {
      acc = outcome;
      if (stopOnFailure) return outcome;
    }
  }
  if (acc != kCheckOk) return acc;
  return upgrade ? kCheckUpgrade : kCheckOk;
}

CheckStatus InstallItem(ConfigItem& item, const ItemProgressCallback& /*progress*/) {
  // Progress reports reach the page once downloads carry them; the installers run anyway.
  if (ICheckFix* installer = CheckerRegistry::Instance().Find("install")) {
    for (ConfigEntry& entry : item.installer)
      if (installer->CheckEntry(entry) == kCheckOk) installer->FixEntry(entry);
  }
  for (ConfigEntry& entry : item.detect) {
    ICheckFix* checker = CheckerRegistry::Instance().Find(entry.attributes.Get("dtype"));
    if (!checker) continue;
    bool upgrade = false;
    if (CheckOneEntry(*checker, entry, upgrade) == kCheckOk && !upgrade) continue;
    CheckStatus r = checker->BeginFix();
    if (r != kCheckOk) return r;
    if (entry.status != kCheckOk) {
      entry.status = checker->FixEntry(entry);
      if (entry.status != kCheckOk) return entry.status;
    }
    r = checker->EndFix();
    if (r != kCheckOk) return r;
  }
  return kCheckOk;
}

CheckStatus EnableItem(ConfigItem& item) {
  ICheckFix* com = CheckerRegistry::Instance().Find("clsid");
  if (!com) return kCheckNotChecked;
  // Copies carry the class identifier only: no bit, version or digest test applies.
  std::vector<ConfigEntry> copies;
  for (const ConfigEntry& entry : item.detect)
    if (entry.attributes.Get("dtype") == "clsid") copies.push_back(ConfigEntry{0, entry.text, {}});
  CheckAll(*com, copies, /*stopOnFailure=*/false);
  for (const ConfigEntry& copy : copies) {
    if (copy.status != kCheckDisabled) continue;
    CheckStatus r = FixAll(*com, copies);
    if (r != kCheckOk) return r;
  }
  return kCheckOk;
}

}  // namespace Corvane::Assistant
