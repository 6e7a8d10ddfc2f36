// The browser dialog as the rest of the program sees it: IBSDialog, the interface through
// which any thread calls into the page, and the creation record of the dialog.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/errors.h"
#include "platform/variant.h"

namespace Corvane::UI {

using platform::HRESULT;
using platform::ScriptObject;
using platform::Variant;

using WindowHandle = uintptr_t;  // 0 is no window

class IBSDialog;
using ScriptCallHandler = Variant (*)(IBSDialog* dialog, const Variant& name, const Variant& a1,
                                      const Variant& a2, const Variant& a3, const Variant& a4);

class IBSDialog {
 public:
  virtual ~IBSDialog() = default;
  virtual WindowHandle GetWindowHandle() = 0;
  virtual HRESULT ResizeToContent(int32_t width, int32_t height) = 0;
  // Reserved for a dialog-side command handler; nothing calls it.
  virtual bool HandleScriptCall(const Variant& /*name*/, const Variant& /*a1*/,
                                const Variant& /*a2*/, const Variant& /*a3*/,
                                const Variant& /*a4*/, Variant* /*result*/) {
    return false;
  }
  // `args` is in automation order: args[0] is the last argument of the script call.
  virtual HRESULT CallPageFunction(std::u16string_view /*name*/, const Variant* /*args*/,
                                   int32_t /*count*/, Variant* /*result*/) {
    return platform::E_NOTIMPL;
  }
  virtual HRESULT SetPageVariable(std::u16string_view /*name*/, const Variant& /*value*/) {
    return platform::E_NOTIMPL;
  }
  virtual HRESULT GetPageVariable(std::u16string_view /*name*/, Variant* /*value*/) {
    return platform::E_NOTIMPL;
  }
  virtual HRESULT RunPageScript(std::u16string_view /*code*/) { return platform::E_NOTIMPL; }
  // Constructs a page object with the named constructor and hands it to `fill`, on the
  // UI thread; returns what `fill` returns.
  virtual HRESULT CreatePageObject(
      std::u16string_view /*constructor*/, std::shared_ptr<ScriptObject>* /*object*/,
      const std::function<HRESULT(const std::shared_ptr<ScriptObject>&)>& /*fill*/) {
    return platform::E_NOTIMPL;
  }
  // Runs the script function `callback` as callback.call(args...) on the UI thread; a caller
  // on another thread waits until it has returned. `args` is in automation order. The
  // callback's outcome is not reported; after the window is gone the call has no effect.
  virtual HRESULT CallScriptCallback(const std::shared_ptr<ScriptObject>& /*callback*/,
                                     const Variant* /*args*/, int32_t /*count*/) {
    return platform::E_NOTIMPL;
  }
  // The handler behind callc, asyncallc and asyncalld; none when the dialog has none.
  virtual ScriptCallHandler GetScriptCallHandler() { return nullptr; }
};

using WindowMessageHandler = void (*)(IBSDialog* dialog, uint32_t message, uintptr_t wParam,
                                      intptr_t lParam);

struct DialogParameters {
  uint32_t size = sizeof(DialogParameters);
  WindowHandle parent = 0;
  std::u16string title;
  bool captioned = false;
  int32_t fixedSize = 1;
  int32_t maxWidth = 0;
  int32_t maxHeight = 0;
  uint32_t iconResourceId = 0;  // big and small window icon
  uint32_t htmlResourceId = 0;
  std::u16string htmlResourceName;
  std::u16string url;
  ScriptCallHandler scriptCallHandler = nullptr;
  WindowMessageHandler windowMessageHandler = nullptr;
};

}  // namespace Corvane::UI
