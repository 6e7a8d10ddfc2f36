// The message queue of the UI thread: tasks posted from any thread run on the UI thread in
// the order they were posted; a quit posted from any thread wakes the loop at once.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>

namespace platform {

class MessageQueue {
 public:
  using Task = std::function<void()>;

  void Post(Task task);
  // PostQuitMessage aimed at this queue, whichever thread calls it.
  void PostQuit(int exitCode);

  struct Message {
    bool quit = false;
    int exitCode = 0;
    Task task;
  };
  // GetMessage: waits for the next message. A quit is delivered after the tasks posted
  // before it.
  Message Get();
  // PeekMessage with PM_REMOVE: the next message if one is waiting.
  std::optional<Message> TryGet();

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Message> messages_;
};

// The queue of the program's UI thread (the thread that runs the message loop).
MessageQueue& UiQueue();

}  // namespace platform
