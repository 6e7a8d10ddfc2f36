#include "engine/checks/entry_view.h"

#include "platform/machine.h"
#include "platform/paths.h"

namespace Corvane::Assistant {

// The program is 32-bit: it runs under WOW64 exactly when Windows is 64-bit.
EntryView::EntryView(const ConfigEntry& entry)
    : view64_(platform::Is64BitWindows() && entry.attributes.Get("bit") == "64") {
  if (view64_) redirectionOff_ = platform::DisableWow64Redirection(&oldRedirection_);
}

EntryView::~EntryView() {
  if (redirectionOff_) platform::RevertWow64Redirection(oldRedirection_);
}

}  // namespace Corvane::Assistant
