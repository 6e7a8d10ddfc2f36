#include "engine/check/check_runner.h"

namespace Corvane::Assistant {

// The built-in environment checks (zone levels, caches, proxy, firewall, antivirus,
// automatic updates, connection) are not part of this build yet: every type reports false
// and no details, as an unknown type does.
bool RunBuiltinCheck(const std::string& /*type*/, bool /*isCheck*/, TypeOutcome& outcome,
                     Corvane::UI::IBSDialog* /*page*/) {
  outcome.ok = false;
  return false;
}

}  // namespace Corvane::Assistant
