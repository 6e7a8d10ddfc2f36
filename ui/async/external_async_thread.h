// One asynchronous page call (asyncallc / asyncalld): runs the dialog's script-call handler
// off the UI thread and hands the result to the page's callback on the UI thread.
#pragma once

#include <cstdint>
#include <memory>

#include "ui/async/thread_parameter.h"
#include "ui/bs_dialog.h"

namespace Corvane::UI {

class ExternalAsyncThread : public Model::IThreadParameter {
 public:
  // `callback` may be none. The arguments are copied as the script passed them.
  ExternalAsyncThread(int32_t queued, IBSDialog* dialog, std::shared_ptr<ScriptObject> callback,
                      const Variant& name, const Variant& a1, const Variant& a2,
                      const Variant& a3, const Variant& a4);

  // result := handler(dialog, name, a1..a4), then callback.call(callback, result) on the UI
  // thread while this thread waits. With no handler the callback receives undefined.
  void Run() override;
  // No thread could run the call: the command is not run and the callback receives
  // undefined, so the page is not left waiting.
  void Abandon() override;

  int32_t queued = 0;  // 1: the queue's worker (asyncallc); 0: a thread of its own (asyncalld)
  IBSDialog* dialog = nullptr;
  std::shared_ptr<ScriptObject> callback;
  Variant arguments[5];  // name, a1, a2, a3, a4

 private:
  void Deliver(const Variant& result);
};

// The script side of asyncallc (queued = true) and asyncalld: the callback counts only when
// it is a script object. Returns S_OK, or the thread error after the callback was answered.
platform::HRESULT IssueAsyncCall(IBSDialog* dialog, bool queued, const Variant& callback,
                                 const Variant& name, const Variant& a1, const Variant& a2,
                                 const Variant& a3, const Variant& a4);

}  // namespace Corvane::UI
