#include "services/http/pac_script.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include <duktape.h>

#include "platform/debug_trace.h"

namespace http_pac {

namespace {

// The helper functions every PAC script may call, besides the native dnsResolve and
// myIpAddress. Times and dates use the local time zone unless the last argument is "GMT".
constexpr char kPacHelpers[] = R"JS(
function isPlainHostName(host) {
  return String(host).indexOf('.') < 0;
}
function dnsDomainIs(host, domain) {
  host = String(host).toLowerCase();
  domain = String(domain).toLowerCase();
  return host.length >= domain.length &&
         host.substring(host.length - domain.length) === domain;
}
function localHostOrDomainIs(host, hostdom) {
  host = String(host).toLowerCase();
  hostdom = String(hostdom).toLowerCase();
  if (host === hostdom) return true;
  return host.indexOf('.') < 0 && hostdom.indexOf(host + '.') === 0;
}
function isResolvable(host) {
  return dnsResolve(host) !== null;
}
function dnsDomainLevels(host) {
  var text = String(host), levels = 0;
  for (var i = 0; i < text.length; i++) if (text.charAt(i) === '.') levels++;
  return levels;
}
function __pacIpv4(text) {
  var m = /^(\d{1,3})\.(\d{1,3})\.(\d{1,3})\.(\d{1,3})$/.exec(String(text));
  if (!m) return null;
  var value = 0;
  for (var i = 1; i <= 4; i++) {
    var part = parseInt(m[i], 10);
    if (part > 255) return null;
    value = value * 256 + part;
  }
  return value;
}
function isInNet(host, pattern, mask) {
  var address = __pacIpv4(host);
  if (address === null) {
    var resolved = dnsResolve(host);
    if (resolved === null) return false;
    address = __pacIpv4(resolved);
  }
  var net = __pacIpv4(pattern), bits = __pacIpv4(mask);
  if (address === null || net === null || bits === null) return false;
  return ((address & bits) >>> 0) === ((net & bits) >>> 0);
}
function shExpMatch(text, pattern) {
  var source = '^';
  pattern = String(pattern);
  for (var i = 0; i < pattern.length; i++) {
    var c = pattern.charAt(i);
    if (c === '*') source += '[\\s\\S]*';
    else if (c === '?') source += '[\\s\\S]';
    else if ('\\^$.|+()[]{}/'.indexOf(c) >= 0) source += '\\' + c;
    else source += c;
  }
  return new RegExp(source + '$').test(String(text));
}
var __pacDays = ['SUN', 'MON', 'TUE', 'WED', 'THU', 'FRI', 'SAT'];
var __pacMonths = ['JAN', 'FEB', 'MAR', 'APR', 'MAY', 'JUN',
                   'JUL', 'AUG', 'SEP', 'OCT', 'NOV', 'DEC'];
function __pacArgs(list) {
  var args = Array.prototype.slice.call(list);
  var gmt = args.length > 0 && String(args[args.length - 1]).toUpperCase() === 'GMT';
  if (gmt) args.pop();
  var now = new Date();
  return {
    args: args,
    day: gmt ? now.getUTCDay() : now.getDay(),
    date: gmt ? now.getUTCDate() : now.getDate(),
    month: gmt ? now.getUTCMonth() : now.getMonth(),
    year: gmt ? now.getUTCFullYear() : now.getFullYear(),
    seconds: gmt ? now.getUTCHours() * 3600 + now.getUTCMinutes() * 60 + now.getUTCSeconds()
                 : now.getHours() * 3600 + now.getMinutes() * 60 + now.getSeconds()
  };
}
function __pacInRange(value, first, last, wrap) {
  if (first <= last) return value >= first && value <= last;
  return wrap && (value >= first || value <= last);
}
function weekdayRange() {
  var a = __pacArgs(arguments);
  if (a.args.length < 1 || a.args.length > 2) return false;
  var first = __pacDays.indexOf(String(a.args[0]).toUpperCase());
  var last = a.args.length === 2 ? __pacDays.indexOf(String(a.args[1]).toUpperCase()) : first;
  if (first < 0 || last < 0) return false;
  return __pacInRange(a.day, first, last, true);
}
// dateRange(day | month | year [, same kind]) and the two-part forms (day, month),
// (month, year) and (day, month, year) for the start and the end of the range.
function dateRange() {
  var a = __pacArgs(arguments);
  var n = a.args.length;
  if (n !== 1 && n !== 2 && n !== 4 && n !== 6) return false;
  function kindOf(v) {
    var month = __pacMonths.indexOf(String(v).toUpperCase());
    if (month >= 0) return ['m', month];
    var number = parseInt(v, 10);
    if (isNaN(number)) return null;
    return number > 31 ? ['y', number] : ['d', number];
  }
  // The parts as one number: year, then month, then day, whatever their order.
  function key(parts) {
    var kinds = '', value = 0;
    for (var i = 0; i < parts.length; i++) {
      var k = kindOf(parts[i]);
      if (!k || kinds.indexOf(k[0]) >= 0) return null;
      kinds += k[0];
      value += k[1] * (k[0] === 'y' ? 10000 : k[0] === 'm' ? 100 : 1);
    }
    return [kinds, value];
  }
  var half = n === 1 ? 1 : n / 2;
  var start = key(a.args.slice(0, half));
  var end = key(a.args.slice(n === 1 ? 0 : half));
  if (!start || !end || start[0] !== end[0]) return false;
  var kinds = start[0];
  if (!/^(d|m|y|dm|my|dmy)$/.test(kinds)) return false;
  var today = (kinds.indexOf('y') >= 0 ? a.year * 10000 : 0) +
              (kinds.indexOf('m') >= 0 ? a.month * 100 : 0) +
              (kinds.indexOf('d') >= 0 ? a.date : 0);
  return __pacInRange(today, start[1], end[1], kinds.indexOf('y') < 0);
}
// timeRange(hour), and ranges from a start (inclusive) to an end (exclusive) given as
// (hour, hour), (hour, min, hour, min) or (hour, min, sec, hour, min, sec).
function timeRange() {
  var a = __pacArgs(arguments);
  var v = [];
  for (var i = 0; i < a.args.length; i++) {
    var number = parseInt(a.args[i], 10);
    if (isNaN(number)) return false;
    v.push(number);
  }
  var start, end;
  if (v.length === 1) { start = v[0] * 3600; end = start + 3600; }
  else if (v.length === 2) { start = v[0] * 3600; end = v[1] * 3600; }
  else if (v.length === 4) { start = v[0] * 3600 + v[1] * 60; end = v[2] * 3600 + v[3] * 60; }
  else if (v.length === 6) {
    start = v[0] * 3600 + v[1] * 60 + v[2];
    end = v[3] * 3600 + v[4] * 60 + v[5];
  } else return false;
  if (start <= end) return a.seconds >= start && a.seconds < end;
  return a.seconds >= start || a.seconds < end;
}
)JS";

// Allocation with a ceiling, so that a script cannot take the process's memory.
struct HeapBudget {
  size_t used = 0;
  size_t limit = kHeapLimitBytes;
};

constexpr size_t kHeader = alignof(std::max_align_t);

void* BudgetAlloc(void* udata, duk_size_t size) {
  auto* budget = static_cast<HeapBudget*>(udata);
  if (size == 0) return nullptr;
  if (size > budget->limit - budget->used) return nullptr;
  auto* block = static_cast<unsigned char*>(std::malloc(size + kHeader));
  if (!block) return nullptr;
  std::memcpy(block, &size, sizeof size);
  budget->used += size;
  return block + kHeader;
}

void BudgetFree(void* udata, void* ptr) {
  if (!ptr) return;
  auto* budget = static_cast<HeapBudget*>(udata);
  unsigned char* block = static_cast<unsigned char*>(ptr) - kHeader;
  size_t size = 0;
  std::memcpy(&size, block, sizeof size);
  budget->used -= size;
  std::free(block);
}

void* BudgetRealloc(void* udata, void* ptr, duk_size_t size) {
  if (!ptr) return BudgetAlloc(udata, size);
  if (size == 0) {
    BudgetFree(udata, ptr);
    return nullptr;
  }
  auto* budget = static_cast<HeapBudget*>(udata);
  unsigned char* block = static_cast<unsigned char*>(ptr) - kHeader;
  size_t old = 0;
  std::memcpy(&old, block, sizeof old);
  if (size > old && size - old > budget->limit - budget->used) return nullptr;
  auto* grown = static_cast<unsigned char*>(std::realloc(block, size + kHeader));
  if (!grown) return nullptr;
  std::memcpy(grown, &size, sizeof size);
  budget->used = budget->used - old + size;
  return grown + kHeader;
}

[[noreturn]] void Fatal(void*, const char* message) {
  platform::DebugTrace("PAC engine: fatal error: %s\n", message ? message : "");
  std::abort();
}

std::string ResolveIpv4(const char* host) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) != 0 || !found) return {};
  char text[INET_ADDRSTRLEN] = {};
  auto* address = reinterpret_cast<sockaddr_in*>(found->ai_addr);
  inet_ntop(AF_INET, &address->sin_addr, text, sizeof text);
  freeaddrinfo(found);
  return text;
}

duk_ret_t NativeDnsResolve(duk_context* ctx) {
  std::string address = ResolveIpv4(duk_safe_to_string(ctx, 0));
  if (address.empty())
    duk_push_null(ctx);
  else
    duk_push_string(ctx, address.c_str());
  return 1;
}

// The address of the interface that would carry traffic to the Internet: a UDP socket
// "connected" to a public address sends nothing but picks the route.
duk_ret_t NativeMyIpAddress(duk_context* ctx) {
  std::string address = "127.0.0.1";
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd >= 0) {
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(53);
    inet_pton(AF_INET, "198.51.100.1", &remote.sin_addr);
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0 &&
        local.sin_addr.s_addr != htonl(INADDR_ANY)) {
      char text[INET_ADDRSTRLEN] = {};
      inet_ntop(AF_INET, &local.sin_addr, text, sizeof text);
      address = text;
    }
    close(fd);
  }
  duk_push_string(ctx, address.c_str());
  return 1;
}

duk_ret_t NativeAlert(duk_context* ctx) {
  platform::DebugTrace("PAC script: %s\n", duk_safe_to_string(ctx, 0));
  return 0;
}

bool EvaluateInEngine(const std::string& script, const std::string& url, const std::string& host,
                      std::string& result) {
  HeapBudget budget;
  duk_context* ctx = duk_create_heap(BudgetAlloc, BudgetRealloc, BudgetFree, &budget, Fatal);
  if (!ctx) return false;
  struct Destroy {
    duk_context* ctx;
    ~Destroy() { duk_destroy_heap(ctx); }
  } destroy{ctx};

  duk_push_c_function(ctx, NativeDnsResolve, 1);
  duk_put_global_string(ctx, "dnsResolve");
  duk_push_c_function(ctx, NativeMyIpAddress, 0);
  duk_put_global_string(ctx, "myIpAddress");
  duk_push_c_function(ctx, NativeAlert, 1);
  duk_put_global_string(ctx, "alert");
  if (duk_peval_lstring(ctx, kPacHelpers, sizeof kPacHelpers - 1) != 0) {
    platform::DebugTrace("PAC helpers: %s\n", duk_safe_to_string(ctx, -1));
    return false;
  }
  duk_pop(ctx);
  if (duk_peval_lstring(ctx, script.data(), script.size()) != 0) {
    platform::DebugTrace("PAC script error: %s\n", duk_safe_to_string(ctx, -1));
    return false;
  }
  duk_pop(ctx);
  if (!duk_get_global_string(ctx, "FindProxyForURL") || !duk_is_function(ctx, -1)) {
    platform::DebugTrace("PAC script has no FindProxyForURL\n");
    return false;
  }
  duk_push_lstring(ctx, url.data(), url.size());
  duk_push_lstring(ctx, host.data(), host.size());
  if (duk_pcall(ctx, 2) != 0) {
    platform::DebugTrace("PAC FindProxyForURL failed: %s\n", duk_safe_to_string(ctx, -1));
    return false;
  }
  if (!duk_is_string(ctx, -1)) return false;
  duk_size_t length = 0;
  const char* text = duk_get_lstring(ctx, -1, &length);
  result.assign(text, length);
  return true;
}

struct Evaluation {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  bool ok = false;
  std::string result;
};

}  // namespace

PacOutcome FindProxyForUrl(const std::string& script, const std::string& url,
                           const std::string& host, std::string& result, int limitMs) {
  // The engine cannot be interrupted, so the evaluation runs on its own thread and the
  // caller stops waiting after the limit.
  try {
    auto evaluation = std::make_shared<Evaluation>();
    std::thread([evaluation, script, url, host] {
      std::string text;
      bool ok = false;
      try {
        ok = EvaluateInEngine(script, url, host, text);
      } catch (...) {
        ok = false;
      }
      std::lock_guard lock(evaluation->mutex);
      evaluation->finished = true;
      evaluation->ok = ok;
      evaluation->result = std::move(text);
      evaluation->done.notify_all();
    }).detach();
    std::unique_lock lock(evaluation->mutex);
    if (!evaluation->done.wait_for(lock, std::chrono::milliseconds(limitMs),
                                   [&] { return evaluation->finished; }))
      return PacOutcome::TimedOut;
    if (!evaluation->ok) return PacOutcome::Failed;
    result = evaluation->result;
    return PacOutcome::Ok;
  } catch (...) {
    return PacOutcome::Failed;
  }
}

}  // namespace http_pac
