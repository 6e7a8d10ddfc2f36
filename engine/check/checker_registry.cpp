#include "engine/check/checker_registry.h"

#include <utility>

// Checker classes: add the header here and one line to kCheckerClasses below.
#include "engine/checks/check_fix_com.h"
#include "engine/checks/check_fix_registry.h"

namespace Corvane::Assistant {

namespace {

// Stand-in for a type whose checker class is not part of this build: nothing can be
// decided, so every entry reports -1.
class UndecidedChecker : public ICheckFix {
 public:
  CheckStatus CheckEntry(ConfigEntry&) override { return kCheckUnsupported; }
  CheckStatus FixEntry(ConfigEntry&) override { return kCheckUnsupported; }
};

template <class Checker>
std::unique_ptr<ICheckFix> Make() {
  return std::make_unique<Checker>();
}

struct CheckerClass {
  std::string_view type;
  std::unique_ptr<ICheckFix> (*make)();
};

// One line per checker class, e.g. {"registry", &Make<CheckFixRegistry>}.
const CheckerClass kCheckerClasses[] = {
    {"registry", &Make<CheckFixRegistry>},
    {"clsid", &Make<CheckFixCOM>},
};

}  // namespace

CheckerRegistry::CheckerRegistry() {
  for (const CheckerClass& c : kCheckerClasses)
    if (c.make) owned_[std::string(c.type)] = c.make();
  for (std::string_view type : kTypeNames)
    if (!owned_.count(type)) owned_[std::string(type)] = std::make_unique<UndecidedChecker>();
  for (auto& [type, checker] : owned_) active_[type] = checker.get();
}

CheckerRegistry& CheckerRegistry::Instance() {
  // Built once even when the first uses arrive together (static initialisation is guarded).
  static CheckerRegistry* registry = new CheckerRegistry();  // lives until the process ends
  return *registry;
}

ICheckFix* CheckerRegistry::Find(std::string_view type) const {
  auto it = active_.find(type);
  return it == active_.end() ? nullptr : it->second;
}

CheckerRegistry::Override::Override(std::string type, ICheckFix* checker) : type_(std::move(type)) {
  auto& active = Instance().active_;
  auto it = active.find(type_);
  previous_ = it == active.end() ? nullptr : it->second;
  active[type_] = checker;
}

CheckerRegistry::Override::~Override() {
  auto& active = Instance().active_;
  if (previous_)
    active[type_] = previous_;
  else
    active.erase(type_);
}

}  // namespace Corvane::Assistant
