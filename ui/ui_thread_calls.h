// Carries work from any thread to the UI thread and waits for it, the way a dialog carries
// page calls to its window. The work runs as a task of the UI thread's message queue; a
// caller on the UI thread itself runs it at once. Once the dialog closes, waiting callers are
// released and later work is not run, so no thread waits on a loop that no longer runs.
#pragma once

#include <functional>
#include <memory>
#include <thread>

#include "platform/errors.h"
#include "platform/message_queue.h"

namespace Corvane::UI {

class UiThreadCalls {
 public:
  explicit UiThreadCalls(platform::MessageQueue& queue);
  ~UiThreadCalls();  // closes
  UiThreadCalls(const UiThreadCalls&) = delete;
  UiThreadCalls& operator=(const UiThreadCalls&) = delete;

  // Records the calling thread as the UI thread.
  void BindToCurrentThread();
  bool OnUiThread() const;

  // Runs `work` on the UI thread and returns what it returns; E_ABORT when the calls are
  // closed before the work ran (the work is then never run).
  platform::HRESULT Call(std::function<platform::HRESULT()> work);

  // Releases every waiting caller with E_ABORT; later calls return E_ABORT at once.
  void Close();

 private:
  struct Core;
  platform::MessageQueue& queue_;
  std::shared_ptr<Core> core_;
  std::thread::id uiThread_;
};

}  // namespace Corvane::UI
