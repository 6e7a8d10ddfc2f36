// Asynchronous page calls: the queue behind asyncallc, the dedicated threads behind
// asyncalld and the delivery of results on the UI thread. The test thread plays the UI
// thread and runs its own message queue; a recording dialog stands in for the browser.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/message_queue.h"
#include "platform/text.h"
#include "ui/async/async_call_queue.h"
#include "ui/async/external_async_thread.h"
#include "ui/ui_thread_calls.h"

namespace {

using Corvane::UI::AsyncCallQueue;
using Corvane::UI::ExternalAsyncThread;
using Corvane::UI::IBSDialog;
using Corvane::UI::ScriptCallHandler;
using Corvane::UI::UiThreadCalls;
using Corvane::UI::WindowHandle;
using platform::HRESULT;
using platform::ScriptObject;
using platform::Variant;
using platform::VarType;

// A script function of the page, known by its name.
struct PageFunction : ScriptObject {
  explicit PageFunction(std::string n) : name(std::move(n)) {}
  std::string name;
};

// What happened, in order, across all threads.
struct EventLog {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> events;
  int queuedRunning = 0;
  int maxQueuedRunning = 0;
  int meetArrived = 0;
  bool meetFailed = false;

  void Add(std::string event) {
    std::lock_guard lock(mutex);
    events.push_back(std::move(event));
    changed.notify_all();
  }
  std::vector<std::string> Events() {
    std::lock_guard lock(mutex);
    return events;
  }
};

EventLog* g_log = nullptr;

std::string Tag(const Variant& value) {
  return value.Is(VarType::Bstr) ? platform::Utf16ToUtf8(value.AsString()) : std::string("?");
}

// The script-call handler. Commands: "log" records run:<a1>, "queued" also counts how many
// queued commands run at once, "empty" returns nothing, "meet" returns only once two "meet"
// commands run at the same time.
Variant Handler(IBSDialog*, const Variant& name, const Variant& a1, const Variant&,
                const Variant&, const Variant&) {
  std::string command = Tag(name);
  if (command == "queued") {
    std::lock_guard lock(g_log->mutex);
    g_log->maxQueuedRunning = std::max(g_log->maxQueuedRunning, ++g_log->queuedRunning);
  }
  g_log->Add("run:" + Tag(a1));
  if (command == "meet") {
    std::unique_lock lock(g_log->mutex);
    ++g_log->meetArrived;
    g_log->changed.notify_all();
    if (!g_log->changed.wait_for(lock, std::chrono::seconds(20),
                                 [] { return g_log->meetArrived >= 2; }))
      g_log->meetFailed = true;
  }
  if (command == "queued") {
    std::lock_guard lock(g_log->mutex);
    --g_log->queuedRunning;
  }
  if (command == "empty") return Variant();
  return Variant::String(u"result of " + a1.AsString());
}

// The dialog as Part of the asynchronous calls sees it: a handler and CallScriptCallback,
// which records each delivery on the UI thread.
class RecordingDialog : public IBSDialog {
 public:
  RecordingDialog(platform::MessageQueue& queue, ScriptCallHandler handler)
      : calls_(queue), handler_(handler) {}

  WindowHandle GetWindowHandle() override { return 1; }
  HRESULT ResizeToContent(int32_t, int32_t) override { return platform::S_OK; }
  ScriptCallHandler GetScriptCallHandler() override { return handler_; }

  HRESULT CallScriptCallback(const std::shared_ptr<ScriptObject>& callback, const Variant* args,
                             int32_t count) override {
    return calls_.Call([&]() -> HRESULT {
      auto* function = dynamic_cast<PageFunction*>(callback.get());
      std::string event = "cb:" + (function ? function->name : std::string("?"));
      if (!calls_.OnUiThread()) event += " off the UI thread";
      if (count != 2 || args[1].AsObject() != callback) event += " with wrong this";
      const Variant& result = args[0];
      event += result.IsEmpty() ? "=undefined" : "=" + Tag(result);
      g_log->Add(event);
      if (onDelivery) onDelivery(function ? function->name : "");
      return platform::S_OK;
    });
  }

  UiThreadCalls& Calls() { return calls_; }
  std::function<void(const std::string&)> onDelivery;

 private:
  UiThreadCalls calls_;
  ScriptCallHandler handler_;
};

std::atomic<int> g_threadsStarted{0};

HRESULT CountingStarter(std::function<void()> body) {
  ++g_threadsStarted;
  return Corvane::UI::StartDetachedThread(std::move(body));
}

HRESULT FailingStarter(std::function<void()>) {
  return platform::HRESULT_FROM_WIN32(platform::ERROR_NOT_ENOUGH_MEMORY);
}

class AsyncCallsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_log = &log_;
    g_threadsStarted = 0;
  }
  void TearDown() override { g_log = nullptr; }

  ExternalAsyncThread* Unit(bool queued, const char* callback, const char* command,
                            const char* tag, IBSDialog* target = nullptr) {
    std::shared_ptr<ScriptObject> function;
    if (callback) function = std::make_shared<PageFunction>(callback);
    return new ExternalAsyncThread(queued ? 1 : 0, target ? target : &dialog_, function,
                                   Variant::Utf8(command), Variant::Utf8(tag), Variant::Missing(),
                                   Variant::Missing(), Variant::Missing());
  }

  // Runs the UI thread's loop until `done` holds; gives up after a generous bound so that
  // a fault fails the test instead of hanging it.
  bool PumpUntil(const std::function<bool()>& done) {
    auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done()) {
      if (std::chrono::steady_clock::now() > giveUp) return false;
      if (auto message = ui_.TryGet()) {
        if (message->task) message->task();
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
    return true;
  }
  bool PumpUntilEvents(size_t count) {
    return PumpUntil([&] { return log_.Events().size() >= count; });
  }
  bool WaitWorkerEnded(AsyncCallQueue& queue) {
    return PumpUntil([&] { return !queue.WorkerRunning(); });
  }

  EventLog log_;
  platform::MessageQueue ui_;
  RecordingDialog dialog_{ui_, &Handler};
};

TEST_F(AsyncCallsTest, QueuedCallsRunOneAtATimeInIssueOrderEachAfterThePreviousCallback) {
  AsyncCallQueue queue(&CountingStarter);
  for (const char* tag : {"1", "2", "3", "4", "5"})
    ASSERT_EQ(queue.Enqueue(Unit(true, tag, "queued", tag)), platform::S_OK);
  ASSERT_TRUE(PumpUntilEvents(10));
  ASSERT_TRUE(WaitWorkerEnded(queue));
  EXPECT_EQ(log_.Events(), (std::vector<std::string>{
                               "run:1", "cb:1=result of 1", "run:2", "cb:2=result of 2", "run:3",
                               "cb:3=result of 3", "run:4", "cb:4=result of 4", "run:5",
                               "cb:5=result of 5"}));
  EXPECT_EQ(log_.maxQueuedRunning, 1);
  EXPECT_EQ(g_threadsStarted.load(), 1);
}

TEST_F(AsyncCallsTest, WorkerEndsWhenTheQueueEmptiesAndALaterCallStartsANewOne) {
  AsyncCallQueue queue(&CountingStarter);
  ASSERT_EQ(queue.Enqueue(Unit(true, "a", "log", "a")), platform::S_OK);
  ASSERT_TRUE(PumpUntilEvents(2));
  ASSERT_TRUE(WaitWorkerEnded(queue));
  EXPECT_EQ(queue.Waiting(), 0u);
  ASSERT_EQ(queue.Enqueue(Unit(true, "b", "log", "b")), platform::S_OK);
  ASSERT_TRUE(PumpUntilEvents(4));
  ASSERT_TRUE(WaitWorkerEnded(queue));
  EXPECT_EQ(log_.Events(),
            (std::vector<std::string>{"run:a", "cb:a=result of a", "run:b", "cb:b=result of b"}));
  EXPECT_EQ(g_threadsStarted.load(), 2);
}

// Appends from another thread while the worker keeps finding the queue empty: every call
// is served, however the append and the worker's end interleave.
TEST_F(AsyncCallsTest, CallsAppendedWhileTheWorkerFinishesAreAllServed) {
  AsyncCallQueue queue(&CountingStarter);
  constexpr int kCalls = 200;
  std::thread issuer([&] {
    for (int i = 0; i < kCalls; ++i) {
      std::string tag = std::to_string(i);
      queue.Enqueue(Unit(true, nullptr, "log", tag.c_str()));
      if (i % 3 == 0) std::this_thread::yield();
    }
  });
  issuer.join();
  ASSERT_TRUE(PumpUntilEvents(kCalls));
  ASSERT_TRUE(WaitWorkerEnded(queue));
  std::vector<std::string> events = log_.Events();
  ASSERT_EQ(events.size(), size_t(kCalls));
  for (int i = 0; i < kCalls; ++i) EXPECT_EQ(events[i], "run:" + std::to_string(i));
}

TEST_F(AsyncCallsTest, DedicatedCallsRunConcurrentlyWithEachOtherAndWithTheQueue) {
  struct Case {
    const char* name;
    bool firstQueued;
  };
  for (const Case& c : {Case{"two dedicated", false}, Case{"queued and dedicated", true}}) {
    SCOPED_TRACE(c.name);
    {
      std::lock_guard lock(log_.mutex);
      log_.events.clear();
      log_.meetArrived = 0;
    }
    AsyncCallQueue queue;
    Corvane::UI::IThreadParameter* first = Unit(c.firstQueued, "x", "meet", "x");
    if (c.firstQueued)
      ASSERT_EQ(queue.Enqueue(first), platform::S_OK);
    else
      ASSERT_EQ(Corvane::UI::StartDedicatedThread(first), platform::S_OK);
    ASSERT_EQ(Corvane::UI::StartDedicatedThread(Unit(false, "y", "meet", "y")), platform::S_OK);
    ASSERT_TRUE(PumpUntilEvents(4));
    ASSERT_TRUE(WaitWorkerEnded(queue));
    EXPECT_FALSE(log_.meetFailed) << "the two calls did not run at the same time";
  }
}

TEST_F(AsyncCallsTest, CallbackThatIssuesAQueuedCallRunsItAfterItHasReturned) {
  AsyncCallQueue queue;
  dialog_.onDelivery = [&](const std::string& name) {
    if (name != "first") return;
    queue.Enqueue(Unit(true, "second", "log", "2"));
    log_.Add("first returns");
  };
  ASSERT_EQ(queue.Enqueue(Unit(true, "first", "log", "1")), platform::S_OK);
  ASSERT_TRUE(PumpUntilEvents(5));
  ASSERT_TRUE(WaitWorkerEnded(queue));
  EXPECT_EQ(log_.Events(), (std::vector<std::string>{"run:1", "cb:first=result of 1",
                                                     "first returns", "run:2",
                                                     "cb:second=result of 2"}));
}

TEST_F(AsyncCallsTest, ResultsAndCallbacksAsThePageGetsThem) {
  struct Case {
    const char* name;
    ScriptCallHandler handler;
    const char* callback;
    const char* command;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"command result", &Handler, "f", "log", {"run:t", "cb:f=result of t"}},
      {"command returns nothing", &Handler, "f", "empty", {"run:t", "cb:f=undefined"}},
      {"no handler", nullptr, "f", "log", {"cb:f=undefined"}},
      {"no callback: the command still runs", &Handler, nullptr, "log", {"run:t"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (bool queued : {true, false}) {
      {
        std::lock_guard lock(log_.mutex);
        log_.events.clear();
      }
      RecordingDialog dialog(ui_, c.handler);
      AsyncCallQueue queue;
      Corvane::UI::IThreadParameter* unit = Unit(queued, c.callback, c.command, "t", &dialog);
      if (queued)
        ASSERT_EQ(queue.Enqueue(unit), platform::S_OK);
      else
        ASSERT_EQ(Corvane::UI::StartDedicatedThread(unit), platform::S_OK);
      ASSERT_TRUE(PumpUntilEvents(c.expected.size()));
      ASSERT_TRUE(WaitWorkerEnded(queue));
      // A dedicated thread may still be finishing; nothing more may arrive either way.
      EXPECT_EQ(log_.Events(), c.expected);
    }
  }
}

// The script side: only a script object counts as a callback.
TEST_F(AsyncCallsTest, IssuedCallTakesOnlyAScriptObjectAsItsCallback) {
  auto function = std::make_shared<PageFunction>("g");
  for (const Variant& callback : {Variant::Null(), Variant::Int(7), Variant::Missing(),
                                  Variant::Object(function)}) {
    {
      std::lock_guard lock(log_.mutex);
      log_.events.clear();
    }
    ASSERT_EQ(Corvane::UI::IssueAsyncCall(&dialog_, false, callback, Variant::Utf8("log"),
                                          Variant::Utf8("t"), Variant::Missing(),
                                          Variant::Missing(), Variant::Missing()),
              platform::S_OK);
    bool isFunction = callback.Is(VarType::Dispatch);
    ASSERT_TRUE(PumpUntilEvents(isFunction ? 2 : 1));
    std::vector<std::string> expected{"run:t"};
    if (isFunction) expected.push_back("cb:g=result of t");
    EXPECT_EQ(log_.Events(), expected);
  }
}

// A thread that cannot be started answers the page with undefined instead of leaving it
// waiting; the command is not run and nothing stays behind in the queue.
TEST_F(AsyncCallsTest, ThreadThatCannotStartAnswersThePageAtOnce) {
  AsyncCallQueue queue(&FailingStarter);
  HRESULT hr = queue.Enqueue(Unit(true, "q", "log", "q"));
  EXPECT_EQ(hr, platform::HRESULT_FROM_WIN32(platform::ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(queue.Waiting(), 0u);
  EXPECT_FALSE(queue.WorkerRunning());
  hr = Corvane::UI::StartDedicatedThread(Unit(false, "d", "log", "d"), &FailingStarter);
  EXPECT_EQ(hr, platform::HRESULT_FROM_WIN32(platform::ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(log_.Events(), (std::vector<std::string>{"cb:q=undefined", "cb:d=undefined"}));
}

// Once the dialog is closed no delivery runs, and the worker is not left waiting for it.
TEST_F(AsyncCallsTest, DeliveryAfterTheDialogClosedHasNoEffectAndReleasesTheWorker) {
  AsyncCallQueue queue;
  dialog_.Calls().Close();
  ASSERT_EQ(queue.Enqueue(Unit(true, "a", "log", "a")), platform::S_OK);
  ASSERT_EQ(queue.Enqueue(Unit(true, "b", "log", "b")), platform::S_OK);
  ASSERT_TRUE(WaitWorkerEnded(queue));
  EXPECT_EQ(log_.Events(), (std::vector<std::string>{"run:a", "run:b"}));
}

// A worker waiting for its delivery is released when the dialog closes meanwhile.
TEST_F(AsyncCallsTest, ClosingTheDialogReleasesAWorkerWaitingForItsDelivery) {
  AsyncCallQueue queue;
  ASSERT_EQ(queue.Enqueue(Unit(true, "a", "log", "a")), platform::S_OK);
  {
    // Without pumping the UI loop, so the delivery cannot run.
    std::unique_lock lock(log_.mutex);
    ASSERT_TRUE(log_.changed.wait_for(lock, std::chrono::seconds(30),
                                      [&] { return !log_.events.empty(); }));
  }
  // The delivery task may or may not be posted yet; the UI loop is not pumped any more.
  dialog_.Calls().Close();
  auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (queue.WorkerRunning() && std::chrono::steady_clock::now() < giveUp)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_FALSE(queue.WorkerRunning());
  EXPECT_EQ(log_.Events(), (std::vector<std::string>{"run:a"}));
}

}  // namespace
