// The bridge at the protocol level: values as the page sends them, the checks every request
// must pass, and a synchronous call through a real server with a small socket client. The
// test thread plays the UI thread.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <future>
#include <string>
#include <thread>

#include "platform/message_queue.h"
#include "platform/text.h"
#include "ui/bridge/bridge_dialog.h"
#include "ui/bridge/bridge_protocol.h"
#include "ui/bridge/bridge_server.h"
#include "ui/bridge/bridge_test_client.h"
#include "ui/headless_dialog.h"
#include "ui/ui_thread_calls.h"

namespace {

using Corvane::UI::BridgeIdentity;
using Corvane::UI::BridgeServer;
using Corvane::UI::IBSDialog;
using Corvane::UI::ParseJson;
using Corvane::UI::ScriptCallHandler;
using Corvane::UI::UiThreadCalls;
using Corvane::UI::VariantFromPage;
using Corvane::UI::VariantToPage;
using platform::Variant;
using platform::VarType;

std::optional<Variant> FromPage(const std::string& json) {
  std::optional<Corvane::UI::JsonValue> value = ParseJson(json);
  if (!value) return std::nullopt;
  return VariantFromPage(*value);
}

TEST(BridgeValues, PageValuesBecomeTheVariantKindsOfTheScriptEngine) {
  struct Case {
    const char* json;
    VarType type;
    double number;  // I4 or R8 value
  };
  const Case cases[] = {
      {R"({"k":"number","v":5})", VarType::I4, 5},
      {R"({"k":"number","v":-2147483648})", VarType::I4, -2147483648.0},
      {R"({"k":"number","v":2147483647})", VarType::I4, 2147483647},
      {R"({"k":"number","v":2147483648})", VarType::R8, 2147483648.0},
      {R"({"k":"number","v":-2147483649})", VarType::R8, -2147483649.0},
      {R"({"k":"number","v":1.5})", VarType::R8, 1.5},
      {R"({"k":"number","v":1e3})", VarType::I4, 1000},
      {R"({"k":"number","v":"Infinity"})", VarType::R8, INFINITY},
      {R"({"k":"undefined"})", VarType::Empty, 0},
      {R"({"k":"null"})", VarType::Null, 0},
      {R"({"k":"bool","v":true})", VarType::Bool, 0},
      {R"({"k":"string","v":"a\u00e9\ud800"})", VarType::Bstr, 0},
      {R"({"k":"function","id":3})", VarType::Dispatch, 0},
      {R"({"k":"object","id":4})", VarType::Dispatch, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    std::optional<Variant> value = FromPage(c.json);
    ASSERT_TRUE(value);
    EXPECT_EQ(value->Type(), c.type);
    if (c.type == VarType::I4) {
      EXPECT_EQ(value->AsInt(), int32_t(c.number));
    }
    if (c.type == VarType::R8) {
      EXPECT_EQ(value->AsReal(), c.number);
    }
  }
  EXPECT_TRUE(FromPage(R"({"k":"missing"})")->IsMissing());
  EXPECT_EQ(FromPage(R"({"k":"bool","v":true})")->AsBool(), platform::VARIANT_TRUE);
  EXPECT_EQ(FromPage(R"({"k":"string","v":"a\u00e9\ud800"})")->AsString(), u"a\u00e9\xd800");
  EXPECT_TRUE(std::isnan(FromPage(R"({"k":"number","v":"NaN"})")->AsReal()));
}

TEST(BridgeValues, MalformedValuesAreRefused) {
  for (const char* json :
       {R"({"k":"number"})", R"({"k":"number","v":"12"})", R"({"k":"bool","v":1})",
        R"({"k":"object","id":0})", R"({"k":"object","id":1.5})", R"({"k":"date"})", R"({})",
        R"({"k":"string","v":"\x"})", R"({"k":"number","v":01})", R"([1,)", "",
        R"({"k":"undefined"} x)"}) {
    SCOPED_TRACE(json);
    EXPECT_FALSE(FromPage(json));
  }
  std::string deep(100, '[');
  EXPECT_FALSE(ParseJson(deep + std::string(100, ']')));
}

TEST(BridgeValues, HostValuesRoundTripThroughThePageForm) {
  auto handle = std::make_shared<Corvane::UI::PageHandle>(9, true);
  for (const Variant& value :
       {Variant::Int(-7), Variant::Real(0.25), Variant::Real(2147483648.0), Variant::Bool(false),
        Variant::Null(), Variant::Empty(), Variant::String(u"q\"\\\n\xd800\u4e2d"),
        Variant::Object(handle)}) {
    std::string json = VariantToPage(value);
    SCOPED_TRACE(json);
    std::optional<Variant> back = FromPage(json);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->Type(), value.Type());
    if (value.Is(VarType::Dispatch)) {
      auto* got = dynamic_cast<Corvane::UI::PageHandle*>(back->AsObject().get());
      ASSERT_TRUE(got);
      EXPECT_EQ(got->Id(), 9);
      EXPECT_TRUE(got->IsFunction());
    } else {
      EXPECT_EQ(*back, value);
    }
  }
  // What the page cannot hold goes as undefined.
  EXPECT_EQ(VariantToPage(Variant::Missing()), R"({"k":"undefined"})");
}

TEST(BridgeRequests, OnlyTheExactHostOriginAndSecretPass) {
  BridgeIdentity identity{4321, std::string(64, 'a')};
  const std::string secret(64, 'a');
  struct Case {
    const char* name;
    std::string host;
    std::optional<std::string> origin;
    std::optional<std::string> secret;
    bool allowed;
  };
  const Case cases[] = {
      {"own page", "127.0.0.1:4321", "http://127.0.0.1:4321", secret, true},
      {"no origin header", "127.0.0.1:4321", std::nullopt, secret, true},
      {"no secret", "127.0.0.1:4321", "http://127.0.0.1:4321", std::nullopt, false},
      {"wrong secret", "127.0.0.1:4321", "http://127.0.0.1:4321", std::string(64, 'b'), false},
      {"secret prefix", "127.0.0.1:4321", "http://127.0.0.1:4321", std::string(63, 'a'), false},
      {"other origin", "127.0.0.1:4321", "http://evil.example", secret, false},
      {"other port", "127.0.0.1:4321", "http://127.0.0.1:4322", secret, false},
      {"localhost name", "localhost:4321", "http://localhost:4321", secret, false},
      {"rebound name", "evil.example:4321", std::nullopt, secret, false},
      {"null origin", "127.0.0.1:4321", "null", secret, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<std::string_view> origin, key;
    if (c.origin) origin = *c.origin;
    if (c.secret) key = *c.secret;
    EXPECT_EQ(Corvane::UI::BridgeRequestAllowed(identity, c.host, origin, key), c.allowed);
  }
  EXPECT_FALSE(Corvane::UI::BridgeRequestAllowed(BridgeIdentity{4321, ""}, "127.0.0.1:4321",
                                                 std::nullopt, std::string_view("")));
}

TEST(BridgeRequests, EveryLaunchHasItsOwnSecret) {
  std::string a = Corvane::UI::NewBridgeSecret(), b = Corvane::UI::NewBridgeSecret();
  EXPECT_EQ(a.size(), 64u);
  EXPECT_NE(a, b);
}

// --- the server ---

struct HttpReply {
  int status = 0;
  std::string body;
};

// One request on its own connection; the server closes it after answering.
HttpReply Request(uint16_t port, const std::string& head, const std::string& body = "",
                  bool closeAfter = true) {
  HttpReply reply;
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return reply;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    std::string request = head + (closeAfter ? "Connection: close\r\n" : "") +
                          "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string response;
    char buffer[4096];
    ssize_t got;
    while ((got = recv(fd, buffer, sizeof buffer, 0)) > 0) response.append(buffer, size_t(got));
    if (response.size() > 12) reply.status = std::stoi(response.substr(9, 3));
    size_t split = response.find("\r\n\r\n");
    if (split != std::string::npos) reply.body = response.substr(split + 4);
  }
  close(fd);
  return reply;
}

std::atomic<int> g_handlerRuns{0};
std::atomic<std::thread::id> g_handlerThread;

// Answers with the kinds of what it received, as the page would have passed them.
Variant EchoKinds(IBSDialog*, const Variant& name, const Variant& a1, const Variant& a2,
                  const Variant& a3, const Variant& a4) {
  ++g_handlerRuns;
  g_handlerThread = std::this_thread::get_id();
  std::string kinds;
  for (const Variant* v : {&name, &a1, &a2, &a3, &a4})
    kinds += Corvane::UI::VariantJson(*v) + ";";
  return Variant::Utf8(kinds);
}

class EchoDialog : public Corvane::UI::HeadlessDialog {
 public:
  ScriptCallHandler GetScriptCallHandler() override { return &EchoKinds; }
};

class BridgeServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_handlerRuns = 0;
    platform::HRESULT hr = platform::E_FAIL;
    Corvane::UI::BridgePage page;
    page.htmlResourceId = 129;
    server_ = BridgeServer::Start(&dialog_, &ui_, page, &hr);
    ASSERT_TRUE(server_) << std::hex << hr;
    host_ = "127.0.0.1:" + std::to_string(server_->Port());
  }
  void TearDown() override {
    ui_.Close();
    server_.reset();
  }

  // Sends the request from another thread while this thread runs the UI loop.
  HttpReply Send(const std::string& head, const std::string& body = "") {
    auto reply = std::async(std::launch::async,
                            [&] { return Request(server_->Port(), head, body); });
    while (reply.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready) {
      if (auto message = queue_.TryGet()) {
        if (message->task) message->task();
      }
    }
    return reply.get();
  }
  std::string CallHead(const std::string& host, const std::string& origin, const std::string& secret) {
    std::string head = "POST /bridge/callc HTTP/1.1\r\nHost: " + host + "\r\n";
    if (!origin.empty()) head += "Origin: " + origin + "\r\n";
    if (!secret.empty()) head += "X-Lumedesk-Secret: " + secret + "\r\n";
    return head + "Content-Type: application/json\r\n";
  }

  platform::MessageQueue queue_;
  UiThreadCalls ui_{queue_};
  EchoDialog dialog_;
  std::unique_ptr<BridgeServer> server_;
  std::string host_;
};

constexpr char kCallBody[] =
    R"({"args":[{"k":"string","v":"get_version"},{"k":"number","v":7},{"k":"number","v":7.5},)"
    R"({"k":"undefined"},{"k":"missing"}]})";

TEST_F(BridgeServerTest, SynchronousCallRunsTheHandlerOnTheUiThreadWithExactKinds) {
  HttpReply reply =
      Send(CallHead(host_, "http://" + host_, server_->Secret()), kCallBody);
  ASSERT_EQ(reply.status, 200) << reply.body;
  std::optional<Variant> result = FromPage(reply.body);
  ASSERT_TRUE(result);
  EXPECT_EQ(platform::Utf16ToUtf8(result->AsString()),
            R"({"kind":"string","value":"get_version"};{"kind":"i4","value":7};)"
            R"({"kind":"r8","value":7.5};{"kind":"empty"};{"kind":"missing"};)");
  EXPECT_EQ(g_handlerRuns.load(), 1);
  EXPECT_EQ(g_handlerThread.load(), std::this_thread::get_id());
}

TEST_F(BridgeServerTest, RefusedRequestsGet403AndRunNothing) {
  const std::string own = "http://" + host_;
  const std::string secret = server_->Secret();
  struct Case {
    const char* name;
    std::string head;
  };
  const Case cases[] = {
      {"no secret", CallHead(host_, own, "")},
      {"wrong secret", CallHead(host_, own, std::string(64, '0'))},
      {"other origin", CallHead(host_, "http://evil.example", secret)},
      {"wrong host", CallHead("localhost:" + std::to_string(server_->Port()), own, secret)},
      {"page of another origin", "GET /?launch=x HTTP/1.1\r\nHost: " + host_ +
                                     "\r\nOrigin: http://evil.example\r\n"},
      {"page without the launch ticket", "GET / HTTP/1.1\r\nHost: " + host_ + "\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Send(c.head, kCallBody).status, 403);
  }
  EXPECT_EQ(g_handlerRuns.load(), 0);
}

TEST_F(BridgeServerTest, PageIsServedOnceWithTheBridgeScriptFirst) {
  std::string address = server_->PageAddress();
  std::string path = address.substr(address.find('/', 7));
  HttpReply page = Send("GET " + path + " HTTP/1.1\r\nHost: " + host_ + "\r\n");
  ASSERT_EQ(page.status, 200);
  size_t script = page.body.find("<script>(function () {");
  ASSERT_NE(script, std::string::npos);
  EXPECT_NE(page.body.find(server_->Secret()), std::string::npos);
  // Nothing of the page's own runs before the bridge script.
  EXPECT_EQ(page.body.rfind("<script", script - 1), std::string::npos);
  // One page session per launch.
  EXPECT_EQ(Send("GET " + path + " HTTP/1.1\r\nHost: " + host_ + "\r\n").status, 403);
  EXPECT_EQ(address.find(server_->Secret()), std::string::npos);
}

// --- the page session ---

class BridgeSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_handlerRuns = 0;
    Corvane::UI::DialogParameters parameters;
    parameters.htmlResourceId = 129;
    parameters.scriptCallHandler = &EchoKinds;
    dialog_ = Corvane::UI::BridgeDialog::Create(parameters, queue_);
    ASSERT_TRUE(dialog_);
    port_ = dialog_->Server().Port();
    host_ = "127.0.0.1:" + std::to_string(port_);
  }
  void TearDown() override {
    dialog_.reset();
    // The last dialog going away posted the quit message to the program's UI queue.
    while (platform::UiQueue().TryGet()) {
    }
  }

  int Open(Corvane::UI::BridgeTestClient& client, const std::string& origin,
           const std::string& protocol) {
    return client.Connect(port_, host_, origin, protocol);
  }
  std::string OwnOrigin() { return "http://" + host_; }
  // A WebSocket handshake by hand: the status the server answers it with.
  int Upgrade(const std::string& origin, const std::string& protocol) {
    std::string head = "GET /bridge/ws HTTP/1.1\r\nHost: " + host_ +
                       "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                       "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";
    if (!origin.empty()) head += "Origin: " + origin + "\r\n";
    if (!protocol.empty()) head += "Sec-WebSocket-Protocol: " + protocol + "\r\n";
    return Request(port_, head, "", false).status;
  }
  std::string Protocol() { return "lumedesk." + dialog_->Server().Secret(); }

  // Runs `work` on another thread while this thread runs the UI loop.
  template <typename Work>
  auto WhilePumping(Work work) {
    auto done = std::async(std::launch::async, work);
    while (done.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready) {
      if (auto message = queue_.TryGet()) {
        if (message->task) message->task();
      }
    }
    return done.get();
  }

  platform::MessageQueue queue_;
  std::unique_ptr<Corvane::UI::BridgeDialog> dialog_;
  uint16_t port_ = 0;
  std::string host_;
};

TEST_F(BridgeSessionTest, OnlyTheOwnPageWithTheSecretOpensTheOneSession) {
  struct Case {
    const char* name;
    std::string origin;
    std::string protocol;
  };
  const Case refused[] = {
      {"no secret", OwnOrigin(), ""},
      {"wrong secret", OwnOrigin(), "lumedesk." + std::string(64, '0')},
      {"other origin", "http://evil.example", Protocol()},
  };
  for (const Case& c : refused) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Upgrade(c.origin, c.protocol), 403);
  }
  Corvane::UI::BridgeTestClient page;
  ASSERT_EQ(Open(page, OwnOrigin(), Protocol()), 101);
  EXPECT_EQ(Upgrade(OwnOrigin(), Protocol()), 403);
}

TEST_F(BridgeSessionTest, HostCallsBeforeThePageSessionFailWithEPointer) {
  Variant result;
  EXPECT_EQ(dialog_->CallPageFunction(u"f", nullptr, 0, &result), platform::E_POINTER);
  EXPECT_EQ(dialog_->RunPageScript(u"1"), platform::E_POINTER);
}

std::optional<Corvane::UI::JsonValue> ReceiveJson(Corvane::UI::BridgeTestClient& client) {
  std::optional<std::string> text = client.Receive();
  if (!text) return std::nullopt;
  return ParseJson(*text);
}

std::string Reply(const Corvane::UI::JsonValue& message, const std::string& value) {
  return R"({"op":"reply","hr":0,"seq":)" +
         std::to_string(int64_t(message.Member("seq")->number)) + R"(,"v":)" + value + "}";
}

TEST_F(BridgeSessionTest, AsyncCallRunsTheHandlerAndCallsTheCallbackOnItself) {
  Corvane::UI::BridgeTestClient page;
  ASSERT_EQ(Open(page, OwnOrigin(), Protocol()), 101);
  std::optional<Corvane::UI::JsonValue> invoke = WhilePumping([&] {
    page.Send(R"({"op":"async","queued":true,"args":[{"k":"function","id":5},)"
              R"({"k":"string","v":"get_version"},{"k":"number","v":3},{"k":"missing"},)"
              R"({"k":"missing"},{"k":"missing"}]})");
    return ReceiveJson(page);
  });
  ASSERT_TRUE(invoke);
  EXPECT_EQ(invoke->Member("op")->text, u"invoke");
  EXPECT_EQ(invoke->Member("id")->number, 5);
  EXPECT_EQ(invoke->Member("member")->text, u"call");
  const Corvane::UI::JsonValue* args = invoke->Member("args");
  ASSERT_TRUE(args && args->items.size() == 2);
  // callback.call(callback, result)
  EXPECT_EQ(args->items[0].Member("k")->text, u"function");
  EXPECT_EQ(args->items[0].Member("id")->number, 5);
  std::optional<Variant> result = VariantFromPage(args->items[1]);
  ASSERT_TRUE(result && result->Is(VarType::Bstr));
  EXPECT_EQ(platform::Utf16ToUtf8(result->AsString()),
            R"({"kind":"string","value":"get_version"};{"kind":"i4","value":3};)"
            R"({"kind":"missing"};{"kind":"missing"};{"kind":"missing"};)");
  EXPECT_TRUE(page.Send(Reply(*invoke, R"({"k":"undefined"})")));
}

TEST_F(BridgeSessionTest, HostCallsFromAWorkerWaitForThePageAnswer) {
  Corvane::UI::BridgeTestClient page;
  ASSERT_EQ(Open(page, OwnOrigin(), Protocol()), 101);
  Variant result;
  platform::HRESULT hr = platform::E_FAIL;
  std::thread worker([&] {
    Variant args[2] = {Variant::Int(2), Variant::Utf8("one")};  // automation order
    hr = dialog_->CallPageFunction(u"add", args, 2, &result);
  });
  std::optional<Corvane::UI::JsonValue> call = ReceiveJson(page);
  ASSERT_TRUE(call);
  EXPECT_EQ(call->Member("op")->text, u"call");
  EXPECT_EQ(call->Member("fn")->text, u"add");
  const Corvane::UI::JsonValue* args = call->Member("args");
  ASSERT_TRUE(args && args->items.size() == 2);
  EXPECT_EQ(args->items[0].Member("v")->text, u"one");
  EXPECT_EQ(args->items[1].Member("v")->number, 2);
  page.Send(Reply(*call, R"({"k":"number","v":3})"));
  worker.join();
  EXPECT_EQ(hr, platform::S_OK);
  EXPECT_EQ(result, Variant::Int(3));
}

// The UI thread never waits on the page: its calls go out in order and return at once.
TEST_F(BridgeSessionTest, PageObjectFromTheUiThreadIsBuiltInOrderWithoutWaiting) {
  Corvane::UI::BridgeTestClient page;
  ASSERT_EQ(Open(page, OwnOrigin(), Protocol()), 101);
  std::shared_ptr<platform::ScriptObject> object;
  platform::HRESULT hr = dialog_->CreatePageObject(
      u"Object", &object, [](const std::shared_ptr<platform::ScriptObject>& made) {
        auto* target = dynamic_cast<Corvane::UI::PageObject*>(made.get());
        target->PutProperty(u"type", Variant::Utf8("registry"));
        return target->PutProperty(u"result", Variant::Bool(true));
      });
  EXPECT_EQ(hr, platform::S_OK);
  std::vector<std::string> seen;
  for (int i = 0; i < 3; ++i) {
    std::optional<Corvane::UI::JsonValue> message = ReceiveJson(page);
    ASSERT_TRUE(message);
    std::string op = platform::Utf16ToUtf8(message->Member("op")->text);
    if (const auto* name = message->Member("name")) op += ":" + platform::Utf16ToUtf8(name->text);
    if (const auto* ctor = message->Member("ctor")) op += ":" + platform::Utf16ToUtf8(ctor->text);
    seen.push_back(op);
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"construct:Object", "put:type", "put:result"}));
  // The object goes back to the page as the page's own handle.
  EXPECT_EQ(VariantToPage(Variant::Object(object)).find(R"("k":"object","id":-)"), 1u);
}

TEST_F(BridgeSessionTest, EndOfTheSessionReleasesAWaitingWorker) {
  auto page = std::make_unique<Corvane::UI::BridgeTestClient>();
  ASSERT_EQ(Open(*page, OwnOrigin(), Protocol()), 101);
  platform::HRESULT hr = platform::S_OK;
  std::thread worker([&] { hr = dialog_->GetPageVariable(u"x", nullptr); });
  ASSERT_TRUE(page->Receive());
  page.reset();  // the page goes away without answering
  worker.join();
  EXPECT_EQ(hr, platform::E_ABORT);
}

}  // namespace
