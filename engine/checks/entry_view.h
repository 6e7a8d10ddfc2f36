// The second half of the 64-bit rule: a 32-bit program on 64-bit Windows works on an entry
// with bit="64" in the 64-bit registry view and with file-system redirection switched off,
// for as long as the entry's operation runs.
#pragma once

#include "engine/check/check_fix.h"
#include "platform/registry.h"

namespace Corvane::Assistant {

// ApplyWow64View for one entry: construct it at the start of the entry's operation; the
// destructor restores redirection on the same thread.
class EntryView {
 public:
  explicit EntryView(const ConfigEntry& entry);
  ~EntryView();
  EntryView(const EntryView&) = delete;
  EntryView& operator=(const EntryView&) = delete;

  // The registry view the entry's keys are opened in (KEY_WOW64_64KEY, or the program's own).
  platform::RegView View() const { return view64_ ? platform::RegView::Reg64 : platform::RegView::Process; }

 private:
  bool view64_ = false;
  bool redirectionOff_ = false;
  void* oldRedirection_ = nullptr;
};

}  // namespace Corvane::Assistant
