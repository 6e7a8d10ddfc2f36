#include "ui/async/external_async_thread.h"

#include <utility>

#include "ui/async/async_call_queue.h"

namespace Corvane::UI {

ExternalAsyncThread::ExternalAsyncThread(int32_t queuedCall, IBSDialog* owner,
                                         std::shared_ptr<ScriptObject> function,
                                         const Variant& name, const Variant& a1,
                                         const Variant& a2, const Variant& a3, const Variant& a4)
    : queued(queuedCall),
      dialog(owner),
      callback(std::move(function)),
      arguments{name, a1, a2, a3, a4} {}

void ExternalAsyncThread::Deliver(const Variant& result) {
  if (!callback) return;
  // Automation order: the script runs callback.call(callback, result).
  Variant args[2] = {result, Variant::Object(callback)};
  dialog->CallScriptCallback(callback, args, 2);
}

void ExternalAsyncThread::Run() {
  Variant result;
  if (ScriptCallHandler handler = dialog->GetScriptCallHandler())
    result = handler(dialog, arguments[0], arguments[1], arguments[2], arguments[3], arguments[4]);
  Deliver(result);
}

void ExternalAsyncThread::Abandon() {
  Deliver(Variant());
  Release();
}

platform::HRESULT IssueAsyncCall(IBSDialog* dialog, bool queued, const Variant& callback,
                                 const Variant& name, const Variant& a1, const Variant& a2,
                                 const Variant& a3, const Variant& a4) {
  std::shared_ptr<ScriptObject> function;
  if (callback.Is(platform::VarType::Dispatch)) function = callback.AsObject();
  ExternalAsyncThread* unit;
  try {
    unit = new ExternalAsyncThread(queued ? 1 : 0, dialog, std::move(function), name, a1, a2, a3,
                                   a4);
  } catch (const std::bad_alloc&) {
    return platform::E_OUTOFMEMORY;
  }
  return queued ? EnqueueAsyncCall(unit) : StartDedicatedThread(unit);
}

}  // namespace Corvane::UI
