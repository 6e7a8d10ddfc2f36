#include "ui/browser_dialog.h"

#include <algorithm>

#include "platform/debug_trace.h"
#include "platform/message_queue.h"
#include "platform/text.h"
#include "ui/headless_dialog.h"

namespace Corvane::UI {

DialogRegistry& DialogRegistry::Instance() {
  static DialogRegistry registry;
  return registry;
}

void DialogRegistry::Add(IBSDialog* dialog) {
  std::lock_guard lock(mutex_);
  dialogs_.push_back(dialog);
}

void DialogRegistry::Remove(IBSDialog* dialog) {
  bool nowEmpty = false;
  {
    std::lock_guard lock(mutex_);
    auto it = std::find(dialogs_.begin(), dialogs_.end(), dialog);
    if (it == dialogs_.end()) return;
    dialogs_.erase(it);
    nowEmpty = dialogs_.empty();
  }
  if (nowEmpty) platform::UiQueue().PostQuit(0);
}

size_t DialogRegistry::Count() {
  std::lock_guard lock(mutex_);
  return dialogs_.size();
}

namespace {

// The dialog without a browser: page calls are written to the debug output.
class HeadlessBrowserDialog : public IBrowserDialog {
 public:
  explicit HeadlessBrowserDialog(const DialogParameters& p) : parameters_(p) {}
  ~HeadlessBrowserDialog() override { DestroyWindow(); }

  WindowHandle GetWindowHandle() override { return open_ ? 1 : 0; }
  HRESULT ResizeToContent(int32_t, int32_t) override { return platform::S_OK; }
  HRESULT CallPageFunction(std::u16string_view name, const Variant* args, int32_t count,
                           Variant* result) override {
    HeadlessDialog recorder;
    HRESULT hr = recorder.CallPageFunction(name, args, count, result);
    for (const auto& call : recorder.TakeCalls())
      platform::DebugOutput("page call: " + PageCallJson(call) + "\n");
    return hr;
  }

  void ShowWindow() override {
    platform::DebugOutput(u"Lumedesk runs without a window: " + parameters_.title +
                          u" (Ctrl+C or SIGTERM ends it)\n");
  }
  void DestroyWindow() override {
    if (!open_) return;
    open_ = false;
    DialogRegistry::Instance().Remove(this);
  }

  bool open_ = true;

 private:
  DialogParameters parameters_;
};

}  // namespace

std::unique_ptr<IBrowserDialog> CreateBrowserDialog(const DialogParameters& parameters) {
  if (parameters.size != sizeof(DialogParameters)) return nullptr;
  auto dialog = std::make_unique<HeadlessBrowserDialog>(parameters);
  DialogRegistry::Instance().Add(dialog.get());
  return dialog;
}

}  // namespace Corvane::UI
