#include "ui/ui_thread_calls.h"

#include <condition_variable>
#include <mutex>
#include <vector>

namespace Corvane::UI {

using platform::E_ABORT;
using platform::HRESULT;

namespace {

struct PendingCall {
  bool done = false;
  HRESULT result = E_ABORT;
};

}  // namespace

// Shared with the posted tasks, which may outlive the object that posted them.
struct UiThreadCalls::Core {
  std::mutex mutex;
  std::condition_variable finished;
  bool closed = false;
  std::vector<std::shared_ptr<PendingCall>> pending;

  void Finish(const std::shared_ptr<PendingCall>& call, HRESULT result) {
    std::lock_guard lock(mutex);
    if (call->done) return;
    call->done = true;
    call->result = result;
    std::erase(pending, call);
    finished.notify_all();
  }
};

UiThreadCalls::UiThreadCalls(platform::MessageQueue& queue)
    : queue_(queue), core_(std::make_shared<Core>()), uiThread_(std::this_thread::get_id()) {}

UiThreadCalls::~UiThreadCalls() { Close(); }

void UiThreadCalls::BindToCurrentThread() { uiThread_ = std::this_thread::get_id(); }

bool UiThreadCalls::OnUiThread() const { return std::this_thread::get_id() == uiThread_; }

HRESULT UiThreadCalls::Call(std::function<HRESULT()> work) {
  if (OnUiThread()) {
    {
      std::lock_guard lock(core_->mutex);
      if (core_->closed) return E_ABORT;
    }
    return work();
  }
  // The local reference keeps the shared state alive while this thread waits, also when the
  // dialog goes away meanwhile.
  std::shared_ptr<Core> core = core_;
  auto call = std::make_shared<PendingCall>();
  {
    std::lock_guard lock(core->mutex);
    if (core->closed) return E_ABORT;
    core->pending.push_back(call);
  }
  queue_.Post([core, call, work = std::move(work)] {
    {
      std::lock_guard lock(core->mutex);
      if (core->closed || call->done) return;
    }
    core->Finish(call, work());
  });
  std::unique_lock lock(core->mutex);
  core->finished.wait(lock, [&] { return call->done; });
  return call->result;
}

void UiThreadCalls::Close() {
  std::lock_guard lock(core_->mutex);
  core_->closed = true;
  for (auto& call : core_->pending) {
    call->done = true;
    call->result = E_ABORT;
  }
  core_->pending.clear();
  core_->finished.notify_all();
}

}  // namespace Corvane::UI
