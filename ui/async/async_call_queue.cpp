#include "ui/async/async_call_queue.h"

#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/debug_trace.h"

namespace Corvane::UI {

using platform::HRESULT;

HRESULT StartDetachedThread(std::function<void()> body) {
  try {
    std::thread(std::move(body)).detach();
    return platform::S_OK;
  } catch (const std::system_error& error) {
    return platform::HRESULT_FROM_WIN32(platform::Win32FromErrno(error.code().value()));
  } catch (const std::bad_alloc&) {
    return platform::E_OUTOFMEMORY;
  }
}

AsyncCallQueue& AsyncCallQueue::Instance() {
  static AsyncCallQueue* queue = new AsyncCallQueue();
  return *queue;
}

AsyncCallQueue::AsyncCallQueue(ThreadStarter starter) : starter_(starter) {}

AsyncCallQueue::~AsyncCallQueue() {
  std::unique_lock lock(mutex_);
  workerEnded_.wait(lock, [this] { return !workerRunning_; });
  for (IThreadParameter* unit : fifo_) unit->Release();
}

HRESULT AsyncCallQueue::Enqueue(IThreadParameter* unit) {
  std::vector<IThreadParameter*> unserved;
  HRESULT hr = platform::S_OK;
  {
    std::lock_guard lock(mutex_);
    fifo_.push_back(unit);
    if (workerRunning_) return platform::S_OK;
    hr = starter_([this] { Serve(); });
    if (platform::SUCCEEDED(hr)) {
      workerRunning_ = true;  // the worker blocks on the lock until this step ends
      return hr;
    }
    unserved.assign(fifo_.begin(), fifo_.end());
    fifo_.clear();
  }
  platform::DebugTrace("asyncallc: no worker thread could be started (0x%08X)\n", unsigned(hr));
  for (IThreadParameter* waiting : unserved) waiting->Abandon();
  return hr;
}

void AsyncCallQueue::Serve() {
  // COM would be initialised apartment-threaded here; the stand-in platform has none.
  for (;;) {
    IThreadParameter* unit = nullptr;
    {
      std::lock_guard lock(mutex_);
      if (fifo_.empty()) {
        workerRunning_ = false;
        workerEnded_.notify_all();
        return;
      }
      unit = fifo_.front();
      fifo_.pop_front();
    }
    unit->Run();
    unit->Release();
  }
}

size_t AsyncCallQueue::Waiting() {
  std::lock_guard lock(mutex_);
  return fifo_.size();
}

bool AsyncCallQueue::WorkerRunning() {
  std::lock_guard lock(mutex_);
  return workerRunning_;
}

HRESULT StartDedicatedThread(IThreadParameter* unit, ThreadStarter starter) {
  HRESULT hr = starter([unit] {
    unit->Run();
    unit->Release();
  });
  if (platform::FAILED(hr)) {
    platform::DebugTrace("asyncalld: no thread could be started (0x%08X)\n", unsigned(hr));
    unit->Abandon();
  }
  return hr;
}

}  // namespace Corvane::UI
