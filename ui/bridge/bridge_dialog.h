// The browser dialog over the bridge: the page is served by BridgeServer and every page
// operation of IBSDialog travels over the page session. Until a page session is open the
// page calls fail with E_POINTER. The window itself belongs to a browser front; without one
// the dialog prints the address to open.
#pragma once

#include <atomic>
#include <memory>

#include "ui/bridge/bridge_server.h"
#include "ui/browser_dialog.h"
#include "ui/ui_thread_calls.h"

namespace Corvane::UI {

class BridgeDialog : public IBrowserDialog {
 public:
  // Serves the page of `parameters` and takes the calling thread as the UI thread, whose
  // message loop runs on `queue`. None when the server cannot start.
  static std::unique_ptr<BridgeDialog> Create(const DialogParameters& parameters,
                                              platform::MessageQueue& queue);
  ~BridgeDialog() override;

  WindowHandle GetWindowHandle() override;
  HRESULT ResizeToContent(int32_t width, int32_t height) override;
  HRESULT CallPageFunction(std::u16string_view name, const Variant* args, int32_t count,
                           Variant* result) override;
  HRESULT SetPageVariable(std::u16string_view name, const Variant& value) override;
  HRESULT GetPageVariable(std::u16string_view name, Variant* value) override;
  HRESULT RunPageScript(std::u16string_view code) override;
  HRESULT CreatePageObject(
      std::u16string_view constructor, std::shared_ptr<ScriptObject>* object,
      const std::function<HRESULT(const std::shared_ptr<ScriptObject>&)>& fill) override;
  HRESULT CallScriptCallback(const std::shared_ptr<ScriptObject>& callback, const Variant* args,
                             int32_t count) override;
  ScriptCallHandler GetScriptCallHandler() override { return parameters_.scriptCallHandler; }

  void ShowWindow() override;
  void DestroyWindow() override;

  BridgeServer& Server() { return *server_; }

 private:
  BridgeDialog(const DialogParameters& parameters, platform::MessageQueue& queue);

  DialogParameters parameters_;
  UiThreadCalls ui_;
  std::unique_ptr<BridgeServer> server_;
  std::atomic<int64_t> lastObjectId_{0};
  bool open_ = true;
};

}  // namespace Corvane::UI
