// A dialog without a window or a page: it records every page call it receives, so that
// lumectl and the tests can show what the page would have been told. It stands in for the
// browser dialog wherever there is no browser.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "ui/bs_dialog.h"

namespace Corvane::UI {

struct PageCall {
  std::u16string function;
  std::vector<Variant> args;  // in script order (first argument first)
};

class HeadlessDialog : public IBSDialog {
 public:
  explicit HeadlessDialog(WindowHandle handle = 1) : handle_(handle) {}

  WindowHandle GetWindowHandle() override { return handle_; }
  HRESULT ResizeToContent(int32_t, int32_t) override { return platform::S_OK; }
  HRESULT CallPageFunction(std::u16string_view name, const Variant* args, int32_t count,
                           Variant* result) override;

  std::vector<PageCall> TakeCalls();

 private:
  WindowHandle handle_;
  std::mutex mutex_;
  std::vector<PageCall> calls_;
};

// JSON of one script value, with its kind: {"kind":"i4","value":5}.
std::string VariantJson(const Variant& value);
// {"function":"load_log","args":[...]}
std::string PageCallJson(const PageCall& call);

}  // namespace Corvane::UI
