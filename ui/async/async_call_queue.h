// The queue behind asyncallc and the dedicated threads behind asyncalld.
//
// Queued units run one at a time in the order they were appended, on one worker thread that
// exists only while the queue has work. The worker records its end in the same locked step
// in which it finds the queue empty, so a unit appended at any moment is served: either the
// running worker takes it, or the append sees no worker and starts one.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

#include "platform/errors.h"
#include "ui/async/thread_parameter.h"

namespace Corvane::UI {

using Model::IThreadParameter;

// Starts `body` on a new thread that nobody joins; returns S_OK or why no thread started.
using ThreadStarter = platform::HRESULT (*)(std::function<void()> body);
platform::HRESULT StartDetachedThread(std::function<void()> body);

class AsyncCallQueue {
 public:
  // The process-wide queue. It is never destroyed: at process end what is left in it is
  // discarded unrun and a running worker is not waited for.
  static AsyncCallQueue& Instance();

  explicit AsyncCallQueue(ThreadStarter starter = &StartDetachedThread);
  // For queues other than the process-wide one: waits until the worker has ended.
  ~AsyncCallQueue();
  AsyncCallQueue(const AsyncCallQueue&) = delete;
  AsyncCallQueue& operator=(const AsyncCallQueue&) = delete;

  // Appends `unit` and makes sure a worker runs. When no worker can be started, every unit
  // waiting in the queue (none of them has run) is abandoned in order, so that no caller
  // waits for an answer that would never come, and the thread error is returned.
  platform::HRESULT Enqueue(IThreadParameter* unit);

  size_t Waiting();
  bool WorkerRunning();

 private:
  void Serve();

  ThreadStarter starter_;
  std::mutex mutex_;
  std::condition_variable workerEnded_;
  std::deque<IThreadParameter*> fifo_;
  bool workerRunning_ = false;
};

inline platform::HRESULT EnqueueAsyncCall(IThreadParameter* unit) {
  return AsyncCallQueue::Instance().Enqueue(unit);
}

// Runs `unit` (Run, then Release) on a thread of its own. When no thread can be started the
// unit is abandoned on the calling thread and the thread error is returned.
platform::HRESULT StartDedicatedThread(IThreadParameter* unit,
                                       ThreadStarter starter = &StartDetachedThread);

}  // namespace Corvane::UI
