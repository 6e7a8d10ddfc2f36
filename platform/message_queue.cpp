#include "platform/message_queue.h"

namespace platform {

void MessageQueue::Post(Task task) {
  {
    std::lock_guard lock(mutex_);
    messages_.push_back(Message{false, 0, std::move(task)});
  }
  ready_.notify_one();
}

void MessageQueue::PostQuit(int exitCode) {
  {
    std::lock_guard lock(mutex_);
    messages_.push_back(Message{true, exitCode, {}});
  }
  ready_.notify_one();
}

MessageQueue::Message MessageQueue::Get() {
  std::unique_lock lock(mutex_);
  ready_.wait(lock, [&] { return !messages_.empty(); });
  Message m = std::move(messages_.front());
  messages_.pop_front();
  return m;
}

std::optional<MessageQueue::Message> MessageQueue::TryGet() {
  std::lock_guard lock(mutex_);
  if (messages_.empty()) return std::nullopt;
  Message m = std::move(messages_.front());
  messages_.pop_front();
  return m;
}

MessageQueue& UiQueue() {
  // Never destroyed: threads that outlive main (the signal thread, workers still running
  // at exit) may post to it until the process ends.
  static MessageQueue* queue = new MessageQueue;
  return *queue;
}

}  // namespace platform
