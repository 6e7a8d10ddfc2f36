#include "ui/bridge/bridge_dialog.h"

#include "platform/debug_trace.h"
#include "platform/json.h"
#include "ui/bridge/bridge_protocol.h"
#include "ui/page_object.h"

namespace Corvane::UI {

namespace {

// Arguments in script order from an automation-order array.
std::string ScriptOrderArgs(const Variant* args, int32_t count) {
  std::string out = "[";
  for (int32_t i = count - 1; i >= 0; --i) {
    out += VariantToPage(args[i]);
    if (i) out += ",";
  }
  return out + "]";
}

// A page object made by the host: the page keeps it under the host's (negative) id.
class BridgePageObject : public PageHandle {
 public:
  BridgePageObject(BridgeServer* server, int64_t id) : PageHandle(id, false), server_(server) {}
  HRESULT PutProperty(std::u16string_view name, const Variant& value) override {
    return server_->PageCall(R"({"op":"put","id":)" + std::to_string(Id()) +
                                 R"(,"name":)" + platform::JsonQuote(name) +
                                 R"(,"v":)" + VariantToPage(value) + "}",
                             nullptr);
  }

 private:
  BridgeServer* server_;
};

}  // namespace

BridgeDialog::BridgeDialog(const DialogParameters& parameters, platform::MessageQueue& queue)
    : parameters_(parameters), ui_(queue) {}

std::unique_ptr<BridgeDialog> BridgeDialog::Create(const DialogParameters& parameters,
                                                   platform::MessageQueue& queue) {
  if (parameters.size != sizeof(DialogParameters)) return nullptr;
  std::unique_ptr<BridgeDialog> dialog(new BridgeDialog(parameters, queue));
  BridgePage page{parameters.htmlResourceId, parameters.htmlResourceName};
  HRESULT hr = platform::E_FAIL;
  dialog->server_ = BridgeServer::Start(dialog.get(), &dialog->ui_, page, &hr);
  if (!dialog->server_) {
    platform::DebugTrace("bridge dialog: the page server did not start (0x%08X)\n", unsigned(hr));
    return nullptr;
  }
  DialogRegistry::Instance().Add(dialog.get());
  return dialog;
}

BridgeDialog::~BridgeDialog() {
  DestroyWindow();
  ui_.Close();
  server_.reset();
}

WindowHandle BridgeDialog::GetWindowHandle() { return open_ ? 1 : 0; }

HRESULT BridgeDialog::ResizeToContent(int32_t, int32_t) { return platform::S_OK; }

HRESULT BridgeDialog::CallPageFunction(std::u16string_view name, const Variant* args,
                                       int32_t count, Variant* result) {
  if (count < 0 || (count > 0 && !args)) return platform::E_INVALIDARG;
  return server_->PageCall(R"({"op":"call","fn":)" + platform::JsonQuote(name) +
                               R"(,"args":)" + ScriptOrderArgs(args, count) + "}",
                           result);
}

HRESULT BridgeDialog::SetPageVariable(std::u16string_view name, const Variant& value) {
  return server_->PageCall(R"({"op":"set","name":)" + platform::JsonQuote(name) + R"(,"v":)" +
                               VariantToPage(value) + "}",
                           nullptr);
}

HRESULT BridgeDialog::GetPageVariable(std::u16string_view name, Variant* value) {
  return server_->PageCall(R"({"op":"get","name":)" + platform::JsonQuote(name) + "}", value);
}

HRESULT BridgeDialog::RunPageScript(std::u16string_view code) {
  return server_->PageCall(R"({"op":"run","code":)" + platform::JsonQuote(code) + "}", nullptr);
}

HRESULT BridgeDialog::CreatePageObject(
    std::u16string_view constructor, std::shared_ptr<ScriptObject>* object,
    const std::function<HRESULT(const std::shared_ptr<ScriptObject>&)>& fill) {
  int64_t id = -(++lastObjectId_);
  HRESULT hr = server_->PageCall(R"({"op":"construct","ctor":)" +
                                     platform::JsonQuote(constructor) +
                                     R"(,"id":)" + std::to_string(id) + "}",
                                 nullptr);
  if (platform::FAILED(hr)) return hr;
  auto created = std::make_shared<BridgePageObject>(server_.get(), id);
  if (object) *object = created;
  return fill ? fill(created) : platform::S_OK;
}

HRESULT BridgeDialog::CallScriptCallback(const std::shared_ptr<ScriptObject>& callback,
                                         const Variant* args, int32_t count) {
  int64_t id = 0;
  if (auto* handle = dynamic_cast<PageHandle*>(callback.get())) id = handle->Id();
  if (!id) return platform::E_INVALIDARG;
  server_->PageCall(R"({"op":"invoke","id":)" + std::to_string(id) +
                        R"(,"member":"call","args":)" + ScriptOrderArgs(args, count) + "}",
                    nullptr);
  return platform::S_OK;  // the callback's outcome is not reported
}

void BridgeDialog::ShowWindow() {
  platform::DebugOutput("Open this address in a browser: " + server_->PageAddress() + "\n");
}

void BridgeDialog::DestroyWindow() {
  if (!open_) return;
  open_ = false;
  ui_.Close();
  DialogRegistry::Instance().Remove(this);
}

}  // namespace Corvane::UI
