// Boost.Beast lives in this one translation unit only: it compiles slowly.
#include "ui/bridge/bridge_server.h"
#include "ui/bridge/bridge_test_client.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <cctype>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>  // Boost 1.74's asio needs std::exchange declared first

// Asio's fences draw a warning under ThreadSanitizer; the build treats warnings as errors.
#if defined(__SANITIZE_THREAD__)
#pragma GCC diagnostic ignored "-Wtsan"
#endif

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include "platform/debug_trace.h"
#include "platform/resources.h"
#include "platform/text.h"
#include "ui/async/external_async_thread.h"
#include "ui/bridge/bridge_protocol.h"

namespace Corvane::UI {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using asio::ip::tcp;
using platform::HRESULT;
using platform::Variant;

namespace {

constexpr size_t kBodyLimit = 1 << 20;

// The page's window.external. Synchronous calls are synchronous requests; values travel
// tagged so that the host sees the kinds the script engine would pass.
constexpr char kBridgeScript[] = R"JS((function () {
  var secret = "@SECRET@";
  // Page objects the host holds: ids the page gives are positive, the host's negative.
  var handles = {}, next = 1;
  function tag(v) {
    switch (typeof v) {
      case "undefined": return {k: "undefined"};
      case "boolean": return {k: "bool", v: v};
      case "string": return {k: "string", v: v};
      case "number": return {k: "number", v: isFinite(v) ? v : String(v)};
      case "function": case "object":
        if (v === null) return {k: "null"};
        var id = 0;
        for (var key in handles) if (handles[key] === v) { id = Number(key); break; }
        if (!id) { id = next++; handles[id] = v; }
        return {k: typeof v === "function" ? "function" : "object", id: id};
    }
    return {k: "undefined"};
  }
  function untag(t) {
    switch (t && t.k) {
      case "null": return null;
      case "bool": case "string": return t.v;
      case "number": return typeof t.v === "string" ? Number(t.v) : t.v;
      case "object": case "function": return handles[t.id];
    }
    return undefined;
  }
  function call(path, values, count) {
    var args = [];
    for (var i = 0; i < values.length; ++i) args.push(i < count ? tag(values[i]) : {k: "missing"});
    var request = new XMLHttpRequest();
    request.open("POST", path, false);
    request.setRequestHeader("Content-Type", "application/json");
    request.setRequestHeader("X-Lumedesk-Secret", secret);
    request.send(JSON.stringify({args: args}));
    if (request.status !== 200) return undefined;
    return untag(JSON.parse(request.responseText));
  }
  // The page session: asynchronous calls go out in call order (held until the socket is
  // open); the host's calls come in and are answered with an HRESULT and a value.
  var socket = new WebSocket("ws://" + location.host + "/bridge/ws", ["lumedesk." + secret]);
  var outbox = [];
  function post(message) {
    if (socket.readyState === 1) socket.send(JSON.stringify(message));
    else outbox.push(message);
  }
  socket.onopen = function () {
    while (outbox.length) socket.send(JSON.stringify(outbox.shift()));
  };
  function tagAll(values) {
    var out = [];
    for (var i = 0; i < values.length; ++i) out.push(tag(values[i]));
    return out;
  }
  function untagAll(values) {
    var out = [];
    for (var i = 0; i < values.length; ++i) out.push(untag(values[i]));
    return out;
  }
  var E_FAIL = -2147467259, E_TYPE = -2147352571;
  function perform(m) {
    switch (m.op) {
      case "call":
        if (typeof window[m.fn] !== "function") return {hr: E_FAIL};
        return {hr: 0, v: tag(window[m.fn].apply(window, untagAll(m.args)))};
      case "set": window[m.name] = untag(m.v); return {hr: 0};
      case "get": return {hr: 0, v: tag(window[m.name])};
      case "run": (0, eval)(m.code); return {hr: 0};
      case "construct":
        var make = window[m.ctor];
        if (typeof make !== "function") return {hr: E_TYPE};
        handles[m.id] = new make();
        return {hr: 0};
      case "put": handles[m.id][m.name] = untag(m.v); return {hr: 0};
      case "invoke":
        var target = handles[m.id];
        if (!target || typeof target[m.member] !== "function") return {hr: E_FAIL};
        target[m.member].apply(target, untagAll(m.args));
        return {hr: 0};
    }
    return {hr: E_FAIL};
  }
  socket.onmessage = function (event) {
    var m = JSON.parse(event.data), answer;
    try { answer = perform(m); } catch (e) { answer = {hr: E_FAIL}; }
    answer.op = "reply";
    answer.seq = m.seq;
    socket.send(JSON.stringify(answer));
  };
  function async(queued, values, count) {
    var args = [];
    for (var i = 0; i < values.length; ++i) args.push(i < count ? tag(values[i]) : {k: "missing"});
    post({op: "async", queued: queued, args: args});
  }
  var external = {
    callc: function (name, a1, a2, a3, a4) {
      return call("/bridge/callc", [name, a1, a2, a3, a4], arguments.length);
    },
    asyncallc: function (callback, name, a1, a2, a3, a4) {
      async(true, [callback, name, a1, a2, a3, a4], arguments.length);
    },
    asyncalld: function (callback, name, a1, a2, a3, a4) {
      async(false, [callback, name, a1, a2, a3, a4], arguments.length);
    },
    getCom: function () { return null; }
  };
  try {
    Object.defineProperty(window, "external", {value: external, configurable: true});
  } catch (e) {
    window.external = external;
  }
})();)JS";

// Inserts the script as the first thing the page runs: inside <head>, else after the
// document type, else at the very start.
std::string InjectBridgeScript(std::string html, const std::string& secret) {
  std::string script = kBridgeScript;
  script.replace(script.find("@SECRET@"), 8, secret);
  std::string tag = "<script>" + script + "</script>";
  std::string lower = html;
  for (char& c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
  size_t at = 0;
  size_t head = lower.find("<head");
  if (head != std::string::npos && (head + 5 == lower.size() || lower[head + 5] == '>' ||
                                    std::isspace(static_cast<unsigned char>(lower[head + 5])))) {
    size_t end = lower.find('>', head);
    if (end != std::string::npos) at = end + 1;
  } else if (lower.compare(0, 9, "<!doctype") == 0) {
    size_t end = lower.find('>');
    if (end != std::string::npos) at = end + 1;
  }
  html.insert(at, tag);
  return html;
}

std::string ContentType(std::string_view name) {
  auto ends = [&](std::string_view suffix) {
    return name.size() >= suffix.size() && name.substr(name.size() - suffix.size()) == suffix;
  };
  if (ends(".css")) return "text/css";
  if (ends(".js")) return "text/javascript";
  if (ends(".png")) return "image/png";
  if (ends(".gif")) return "image/gif";
  if (ends(".jpg") || ends(".jpeg")) return "image/jpeg";
  if (ends(".svg")) return "image/svg+xml";
  if (ends(".ico")) return "image/x-icon";
  return "text/html; charset=utf-8";
}

std::optional<std::string_view> Header(const http::request<http::string_body>& request,
                                       http::field field) {
  auto it = request.find(field);
  if (it == request.end()) return std::nullopt;
  return std::string_view(it->value().data(), it->value().size());
}

std::optional<std::string_view> Header(const http::request<http::string_body>& request,
                                       std::string_view name) {
  auto it = request.find(beast::string_view(name.data(), name.size()));
  if (it == request.end()) return std::nullopt;
  return std::string_view(it->value().data(), it->value().size());
}

}  // namespace

class BridgeServer::Impl {
 public:
  Impl(IBSDialog* dialog, UiThreadCalls* ui, BridgePage page)
      : dialog_(dialog), ui_(ui), pageSource_(std::move(page)), acceptor_(io_) {}

  ~Impl() {
    io_.stop();
    if (thread_.joinable()) thread_.join();
    EndPageSession(nullptr);
  }

  HRESULT Open() {
    identity_.secret = NewBridgeSecret();
    ticket_ = NewBridgeSecret();
    if (identity_.secret.empty() || ticket_.empty()) return platform::E_FAIL;
    beast::error_code error;
    tcp::endpoint loopback(asio::ip::make_address_v4("127.0.0.1"), 0);
    acceptor_.open(loopback.protocol(), error);
    if (!error) acceptor_.bind(loopback, error);
    if (!error) acceptor_.listen(asio::socket_base::max_listen_connections, error);
    if (error) {
      platform::DebugTrace("bridge: cannot listen on 127.0.0.1: %s\n", error.message().c_str());
      return platform::HRESULT_FROM_WIN32(platform::Win32FromErrno(error.value()));
    }
    identity_.port = acceptor_.local_endpoint().port();
    Accept();
    try {
      thread_ = std::thread([this] { io_.run(); });
    } catch (const std::system_error& e) {
      return platform::HRESULT_FROM_WIN32(platform::Win32FromErrno(e.code().value()));
    }
    return platform::S_OK;
  }

  uint16_t Port() const { return identity_.port; }
  std::string PageAddress() const { return identity_.Origin() + "/?launch=" + ticket_; }
  const std::string& Secret() const { return identity_.secret; }

  bool PageConnected() {
    std::lock_guard lock(mutex_);
    return page_ != nullptr;
  }

  HRESULT PageCall(const std::string& message, Variant* result) {
    if (result) *result = Variant();
    if (message.size() < 2 || message.front() != '{') return platform::E_INVALIDARG;
    bool wait = !ui_->OnUiThread();
    auto waiter = std::make_shared<Waiter>();
    std::shared_ptr<PageSession> page;
    int64_t seq;
    {
      std::lock_guard lock(mutex_);
      if (!page_) return platform::E_POINTER;
      page = page_;
      seq = ++lastSeq_;
      if (wait) waiters_[seq] = waiter;
    }
    std::string text = "{\"seq\":" + std::to_string(seq) + "," + message.substr(1);
    asio::post(io_, [page, text = std::move(text)]() mutable { page->Send(std::move(text)); });
    page.reset();  // the session belongs to the server's thread
    if (!wait) return platform::S_OK;
    // Only the waiter is touched from here on: the server may go away meanwhile.
    std::unique_lock lock(waiter->mutex);
    waiter->answered.wait(lock, [&] { return waiter->done; });
    if (result) *result = waiter->value;
    return waiter->hr;
  }

 private:
  // A thread waiting for the page's answer.
  struct Waiter {
    std::mutex mutex;
    std::condition_variable answered;
    bool done = false;
    HRESULT hr = platform::E_ABORT;
    Variant value;

    void Finish(HRESULT code, Variant answer) {
      std::lock_guard lock(mutex);
      done = true;
      hr = code;
      value = std::move(answer);
      answered.notify_all();
    }
  };

  // The page session: one WebSocket. Everything on it runs on the server's thread.
  struct PageSession : std::enable_shared_from_this<PageSession> {
    PageSession(Impl* owner, tcp::socket socket) : owner(owner), ws(std::move(socket)) {}
    Impl* owner;
    websocket::stream<beast::tcp_stream> ws;
    beast::flat_buffer buffer;
    std::deque<std::string> outbox;  // one write at a time, in order
    bool open = false;               // the handshake is done

    void Accept(const http::request<http::string_body>& request, std::string protocol) {
      ws.set_option(websocket::stream_base::decorator(
          [protocol](websocket::response_type& response) {
            response.set(http::field::sec_websocket_protocol, protocol);
          }));
      ws.read_message_max(kBodyLimit);
      ws.async_accept(request, [self = shared_from_this()](beast::error_code error) {
        if (error) return self->owner->EndPageSession(self.get());
        self->open = true;  // what was sent meanwhile goes out now
        if (!self->outbox.empty()) self->WriteNext();
        self->Read();
      });
    }
    void Read() {
      ws.async_read(buffer, [self = shared_from_this()](beast::error_code error, size_t) {
        if (error) return self->owner->EndPageSession(self.get());
        std::string text = beast::buffers_to_string(self->buffer.data());
        self->buffer.consume(self->buffer.size());
        self->owner->OnPageMessage(text);
        self->Read();
      });
    }
    void Send(std::string text) {
      outbox.push_back(std::move(text));
      if (open && outbox.size() == 1) WriteNext();
    }
    void WriteNext() {
      ws.text(true);
      ws.async_write(asio::buffer(outbox.front()),
                     [self = shared_from_this()](beast::error_code error, size_t) {
                       if (error) return self->owner->EndPageSession(self.get());
                       self->outbox.pop_front();
                       if (!self->outbox.empty()) self->WriteNext();
                     });
    }
  };

  // Ends the page session `session` (none: whichever is open) and releases every thread
  // waiting for the page.
  void EndPageSession(PageSession* session) {
    std::lock_guard lock(mutex_);
    if (session && page_.get() != session) return;
    page_.reset();
    for (auto& [seq, waiter] : waiters_) waiter->Finish(platform::E_ABORT, Variant());
    waiters_.clear();
  }

  // The page's side of the session: answers to host calls, and asynchronous calls.
  void OnPageMessage(const std::string& text) {
    std::optional<JsonValue> message = ParseJson(text);
    const JsonValue* op = message ? message->Member("op") : nullptr;
    if (!op || op->kind != JsonValue::Kind::String) return;
    if (op->text == u"reply") {
      const JsonValue* seq = message->Member("seq");
      const JsonValue* hr = message->Member("hr");
      const JsonValue* value = message->Member("v");
      if (!seq || seq->kind != JsonValue::Kind::Number) return;
      std::optional<Variant> result;
      if (value) result = VariantFromPage(*value);
      std::shared_ptr<Waiter> waiter;
      {
        std::lock_guard lock(mutex_);
        auto it = waiters_.find(int64_t(seq->number));
        if (it == waiters_.end()) return;
        waiter = it->second;
        waiters_.erase(it);
      }
      waiter->Finish(hr && hr->kind == JsonValue::Kind::Number ? HRESULT(hr->number)
                                                               : platform::E_FAIL,
                     result ? std::move(*result) : Variant());
      return;
    }
    if (op->text == u"async") {
      const JsonValue* queued = message->Member("queued");
      const JsonValue* args = message->Member("args");
      if (!queued || queued->kind != JsonValue::Kind::Bool || !args ||
          args->kind != JsonValue::Kind::Array || args->items.size() != 6)
        return;
      Variant values[6];
      for (size_t i = 0; i < 6; ++i) {
        std::optional<Variant> value = VariantFromPage(args->items[i]);
        if (!value) return;
        values[i] = std::move(*value);
      }
      // Issued on the UI thread, in the order the page made the calls.
      ui_->Call([&]() -> HRESULT {
        return IssueAsyncCall(dialog_, queued->boolean, values[0], values[1], values[2],
                              values[3], values[4], values[5]);
      });
    }
  }

  // A WebSocket upgrade: the secret comes as the offered protocol "lumedesk.<secret>".
  bool OpenPageSession(http::request<http::string_body>& request, beast::tcp_stream& stream) {
    std::optional<std::string_view> host = Header(request, http::field::host);
    std::optional<std::string_view> origin = Header(request, http::field::origin);
    std::optional<std::string_view> offered =
        Header(request, http::field::sec_websocket_protocol);
    std::optional<std::string_view> secret;
    if (offered && offered->starts_with("lumedesk.")) secret = offered->substr(9);
    std::string_view target(request.target().data(), request.target().size());
    if (target != "/bridge/ws" || !host || !BridgeRequestAllowed(identity_, *host, origin, secret))
      return false;
    std::shared_ptr<PageSession> session;
    {
      std::lock_guard lock(mutex_);
      if (page_) return false;  // one page session at a time
      session = page_ = std::make_shared<PageSession>(this, stream.release_socket());
    }
    session->Accept(request, std::string(*offered));
    return true;
  }

  struct Session : std::enable_shared_from_this<Session> {
    Session(Impl* owner, tcp::socket socket) : owner(owner), stream(std::move(socket)) {}
    Impl* owner;
    beast::tcp_stream stream;
    beast::flat_buffer buffer;
    std::optional<http::request_parser<http::string_body>> parser;
    http::response<http::string_body> response;

    void Read() {
      parser.emplace();
      parser->body_limit(kBodyLimit);
      http::async_read(stream, buffer, *parser,
                       [self = shared_from_this()](beast::error_code error, size_t) {
                         if (error) return self->Close();
                         if (websocket::is_upgrade(self->parser->get())) {
                           if (self->owner->OpenPageSession(self->parser->get(), self->stream))
                             return;
                           self->response = Reply(self->parser->get(), http::status::forbidden,
                                                  "forbidden");
                           self->response.keep_alive(false);
                           return self->Write();
                         }
                         self->response = self->owner->Answer(self->parser->get());
                         self->Write();
                       });
    }
    void Write() {
      http::async_write(stream, response,
                        [self = shared_from_this()](beast::error_code error, size_t) {
                          if (error || !self->response.keep_alive()) return self->Close();
                          self->Read();
                        });
    }
    void Close() {
      beast::error_code ignored;
      stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
    }
  };

  void Accept() {
    acceptor_.async_accept([this](beast::error_code error, tcp::socket socket) {
      if (error) return;
      std::make_shared<Session>(this, std::move(socket))->Read();
      Accept();
    });
  }

  static http::response<http::string_body> Reply(const http::request<http::string_body>& request,
                                                 http::status status, std::string body,
                                                 std::string type = "text/plain") {
    http::response<http::string_body> response(status, request.version());
    response.set(http::field::content_type, type);
    response.set(http::field::cache_control, "no-store");
    response.set("Referrer-Policy", "no-referrer");
    response.set("X-Content-Type-Options", "nosniff");
    response.keep_alive(request.keep_alive());
    response.body() = std::move(body);
    response.prepare_payload();
    return response;
  }

  http::response<http::string_body> Answer(const http::request<http::string_body>& request) {
    using http::status;
    std::optional<std::string_view> host = Header(request, http::field::host);
    std::optional<std::string_view> origin = Header(request, http::field::origin);
    // Every request, page or bridge, names this server exactly: no other site reaches it by
    // a name that resolves to loopback.
    if (!host || *host != identity_.Host() || (origin && *origin != identity_.Origin()))
      return Reply(request, status::forbidden, "forbidden");
    std::string_view target(request.target().data(), request.target().size());

    if (target.starts_with("/bridge/")) {
      if (!BridgeRequestAllowed(identity_, *host, origin, Header(request, kSecretHeader)))
        return Reply(request, status::forbidden, "forbidden");
      if (request.method() != http::verb::post)
        return Reply(request, status::method_not_allowed, "method not allowed");
      if (target == "/bridge/callc") return CallSynchronous(request);
      return Reply(request, status::not_found, "not found");
    }

    if (request.method() != http::verb::get)
      return Reply(request, status::method_not_allowed, "method not allowed");
    if (target == "/" || target.starts_with("/?")) return ServePage(request, target);
    std::string name(target.substr(1, target.find_first_of("?#") - 1));
    std::optional<std::string_view> data = platform::ResourceModule::Self().Find("HTML", name);
    if (!data) return Reply(request, status::not_found, "not found");
    return Reply(request, status::ok, std::string(*data), ContentType(name));
  }

  // The page, once per launch: the ticket opens the one page session.
  http::response<http::string_body> ServePage(const http::request<http::string_body>& request,
                                              std::string_view target) {
    std::string expected = "/?launch=" + ticket_;
    {
      std::lock_guard lock(mutex_);
      if (sessionOpen_ || target != expected)
        return Reply(request, http::status::forbidden, "forbidden");
      sessionOpen_ = true;
    }
    const platform::ResourceModule& resources = platform::ResourceModule::Self();
    std::optional<std::string_view> html =
        pageSource_.htmlResourceId
            ? resources.Find("HTML", pageSource_.htmlResourceId)
            : resources.Find("HTML", platform::Utf16ToUtf8(pageSource_.htmlResourceName));
    if (!html) return Reply(request, http::status::not_found, "not found");
    return Reply(request, http::status::ok, InjectBridgeScript(std::string(*html), identity_.secret),
                 "text/html; charset=utf-8");
  }

  // callc: the handler runs on the UI thread, inside the page's call.
  http::response<http::string_body> CallSynchronous(
      const http::request<http::string_body>& request) {
    std::optional<JsonValue> body = ParseJson(request.body());
    const JsonValue* args = body ? body->Member("args") : nullptr;
    if (!args || args->kind != JsonValue::Kind::Array || args->items.size() != 5)
      return Reply(request, http::status::bad_request, "bad request");
    Variant values[5];
    for (size_t i = 0; i < 5; ++i) {
      std::optional<Variant> value = VariantFromPage(args->items[i]);
      if (!value) return Reply(request, http::status::bad_request, "bad request");
      values[i] = std::move(*value);
    }
    Variant result;
    HRESULT hr = ui_->Call([&]() -> HRESULT {
      if (ScriptCallHandler handler = dialog_->GetScriptCallHandler())
        result = handler(dialog_, values[0], values[1], values[2], values[3], values[4]);
      return platform::S_OK;
    });
    if (platform::FAILED(hr))
      return Reply(request, http::status::service_unavailable, "the dialog is closed");
    return Reply(request, http::status::ok, VariantToPage(result), "application/json");
  }

  IBSDialog* dialog_;
  UiThreadCalls* ui_;
  BridgePage pageSource_;
  BridgeIdentity identity_;
  std::string ticket_;
  std::mutex mutex_;  // guards the fields below
  bool sessionOpen_ = false;
  std::shared_ptr<PageSession> page_;
  std::map<int64_t, std::shared_ptr<Waiter>> waiters_;
  int64_t lastSeq_ = 0;
  asio::io_context io_;
  tcp::acceptor acceptor_;
  std::thread thread_;
};

BridgeServer::BridgeServer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
BridgeServer::~BridgeServer() = default;

std::unique_ptr<BridgeServer> BridgeServer::Start(IBSDialog* dialog, UiThreadCalls* ui,
                                                  const BridgePage& page, HRESULT* hr) {
  try {
    auto impl = std::make_unique<Impl>(dialog, ui, page);
    HRESULT opened = impl->Open();
    if (hr) *hr = opened;
    if (platform::FAILED(opened)) return nullptr;
    return std::unique_ptr<BridgeServer>(new BridgeServer(std::move(impl)));
  } catch (const std::exception& e) {
    platform::DebugTrace("bridge: cannot start: %s\n", e.what());
    if (hr) *hr = platform::E_FAIL;
    return nullptr;
  }
}

uint16_t BridgeServer::Port() const { return impl_->Port(); }
std::string BridgeServer::PageAddress() const { return impl_->PageAddress(); }
const std::string& BridgeServer::Secret() const { return impl_->Secret(); }
HRESULT BridgeServer::PageCall(const std::string& message, Variant* result) {
  return impl_->PageCall(message, result);
}
bool BridgeServer::PageConnected() const { return impl_->PageConnected(); }

// --- the test client ---

struct BridgeTestClient::State {
  asio::io_context io;
  websocket::stream<tcp::socket> ws{io};
};

BridgeTestClient::BridgeTestClient() : state_(std::make_unique<State>()) {}
BridgeTestClient::~BridgeTestClient() {
  beast::error_code ignored;
  state_->ws.next_layer().close(ignored);
}

int BridgeTestClient::Connect(uint16_t port, const std::string& host, const std::string& origin,
                              const std::string& protocol) {
  beast::error_code error;
  state_->ws.next_layer().connect(
      tcp::endpoint(asio::ip::make_address_v4("127.0.0.1"), port), error);
  if (error) return 0;
  state_->ws.set_option(websocket::stream_base::decorator(
      [origin, protocol](websocket::request_type& request) {
        if (!origin.empty()) request.set(http::field::origin, origin);
        if (!protocol.empty()) request.set(http::field::sec_websocket_protocol, protocol);
      }));
  websocket::response_type response;
  state_->ws.handshake(response, host, "/bridge/ws", error);
  return static_cast<int>(response.result_int());
}

bool BridgeTestClient::Send(const std::string& text) {
  beast::error_code error;
  state_->ws.text(true);
  state_->ws.write(asio::buffer(text), error);
  return !error;
}

std::optional<std::string> BridgeTestClient::Receive() {
  beast::flat_buffer buffer;
  beast::error_code error;
  state_->ws.read(buffer, error);
  if (error) return std::nullopt;
  return beast::buffers_to_string(buffer.data());
}

}  // namespace Corvane::UI
