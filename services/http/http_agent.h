// The HTTP agent: one per process, synchronous on the caller's thread. `Get` reads a
// response body into bytes; `Download` writes it into a file and reports progress.
//
// URLs. A URL that starts with "http://" or "https://" (any case) is absolute: its path is
// requested (a query or fragment in it is not sent), it becomes the current path, and the
// connection is reused while host (compared exactly) and port stay the same; another host
// or port closes the connection and clears the current path first. Any other text is
// relative: it is appended to the current path as it is and sent on the same connection.
//
// Each whole operation holds the agent's lock: two threads never share a half-made request.
// The progress callback runs on the caller's thread with that lock held; it must not call
// the agent (such a call fails with E_UNEXPECTED) nor wait for a thread that does.
//
// Security: certificates and host names are always checked. LUMEDESK_CA_FILE (or
// SetCaFile) names a PEM file of trusted certificate authorities that replaces the system's
// (tests and private deployments). Redirects are followed (at most 10), but never from
// HTTPS to HTTP.
//
// Proxy: the user's settings under HKCU\Software\Microsoft\Windows\CurrentVersion\Internet
// Settings are read when the agent is made: ProxyEnable + ProxyServer (+ ProxyOverride)
// give the session's proxy; AutoConfigURL names a PAC script (http, https or file URL)
// that is fetched directly and evaluated for every request; when it gives no answer, the
// session's proxy (or a direct connection) is used.
//
// Failures come back as HRESULTs: HRESULT_FROM_WIN32 of the WinHTTP error for network
// failures (ERROR_WINHTTP_NAME_NOT_RESOLVED, _CANNOT_CONNECT, _TIMEOUT, _SECURE_FAILURE,
// _CONNECTION_ERROR, _REDIRECT_FAILED, _INVALID_URL), of the system error for files,
// E_FAIL for a body shorter than its Content-Length.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/errors.h"
#include "services/http/proxy_config.h"
#include "services/http/win_http.h"

// One notification of a download, valid during the callback only. The four kinds:
//   progress   active 1, after every chunk written;
//   completion active 1, once after the file is complete and in place;
//   failure    active 0, received 0, total = Content-Length (the transfer or the file
//              failed; no file is left under the target name);
//   refused    active 0, received 0, total 0 (HTTP status 400 or above; no file made).
// `percent` is received * 100 / total in 64-bit arithmetic, kept within 0..100; without a
// Content-Length it is 0 while the transfer runs and 100 at completion; 0 in failure and
// refused notifications.
struct DownloadProgress {
  const char16_t* url = nullptr;
  const char16_t* file = nullptr;
  int64_t received = 0;
  int64_t total = 0;
  int32_t percent = 0;
  uint8_t active = 0;
  int32_t param = 0;
};

// The return value is ignored: a callback cannot stop a transfer.
using DownloadCallback = bool (*)(const DownloadProgress* progress);

struct DownloadSink {
  const char16_t* url = nullptr;
  const char16_t* file = nullptr;
  DownloadCallback callback = nullptr;
  int32_t param = 0;
};

// WinHttpSetTimeouts values in milliseconds. Name resolution and connecting share one limit
// (their sum; 0 or less in either leaves only libcurl's own limit of 300 s). Once the
// connection stands, the larger of send and receive bounds the time without any data moving
// (0 or less in receive: no limit); this is checked about once a second.
struct HttpTimeouts {
  int resolveMs = 0;
  int connectMs = 60000;
  int sendMs = 30000;
  int receiveMs = 30000;
};

// The environment variable that names the trusted certificate authorities (PEM).
inline constexpr const char* kCaFileVariable = "LUMEDESK_CA_FILE";

class CWinHttpAgent {
 public:
  CWinHttpAgent();
  virtual ~CWinHttpAgent();
  CWinHttpAgent(const CWinHttpAgent&) = delete;
  CWinHttpAgent& operator=(const CWinHttpAgent&) = delete;

  // False when the session could not be opened (the program must not start).
  bool IsReady() const { return session_.IsOpen(); }

  // `query`, when not empty, is appended to the request path after "?" (its bytes as they
  // are, percent-encoded where a URL needs it). On success with a status below 400 `body`
  // receives the bytes; otherwise it is left as it was. A body that ends before its
  // Content-Length is E_FAIL.
  platform::HRESULT Get(std::u16string_view url, std::string_view query, std::string& body);
  // Writes the body into `file` (a Windows path of the machine image).
  platform::HRESULT Download(std::u16string_view url, std::u16string_view file,
                             const DownloadSink* sink);
  // The same into a host file (command-line tools and benchmarks).
  platform::HRESULT DownloadToHostFile(std::u16string_view url, const std::filesystem::path& file,
                                       const DownloadSink* sink);

  // WinHttpSetTimeouts on the session.
  void SetTimeouts(int resolveMs, int connectMs, int sendMs, int receiveMs);
  HttpTimeouts Timeouts() const;
  // Trusted certificate authorities (PEM file); empty restores the system's.
  void SetCaFile(std::filesystem::path file);
  // The HTTP status of the last response received (0 when the last request got none).
  long LastStatus() const;

 protected:
  // A reserved hook; never called.
  virtual void Reserved(void* /*unused*/) {}
  // After a new connection has been opened.
  virtual void OnConnected(CWinHttpConnect& /*connection*/) {}
  // After a request has been opened and its proxy set, before it is sent.
  virtual void OnRequestOpened(CWinHttpRequest& /*request*/) {}
  // A response is read only when this returns true.
  virtual bool AcceptResponse(CWinHttpRequest& /*request*/, long /*status*/) { return true; }

 private:
  struct Transfer;
  class CallGuard;

  platform::HRESULT ResolveUrl(std::u16string_view url, std::string& path);
  std::string ProxyFor(const std::string& url, const std::string& host, bool secure,
                       uint16_t port);
  bool LoadPacScript();
  platform::HRESULT Perform(std::u16string_view url, std::string_view query, Transfer& transfer);
  platform::HRESULT DownloadLocked(std::u16string_view url, const std::filesystem::path& file,
                                   const DownloadSink* sink, platform::HRESULT pathError);
  void ApplyOptions(CWinHttpRequest& request, Transfer& transfer);

  // Held for each whole operation.
  mutable std::mutex mutex_;
  bool secure_ = false;              // request flags: the last absolute URL was HTTPS
  std::string pacUrl_;               // AutoConfigURL, empty when none
  CWinHttpSession session_;
  CWinHttpConnect connection_;
  std::string connectedHost_;
  std::string currentPath_;
  uint16_t connectedPort_ = 0;

  http_proxy::IeProxyConfig proxyConfig_;
  // Settings may be changed at any time; each operation works on a copy taken at its start.
  mutable std::mutex settingsMutex_;
  HttpTimeouts timeouts_;
  std::filesystem::path caFile_;
  struct Settings {
    HttpTimeouts timeouts;
    std::filesystem::path caFile;
  } active_;
  std::atomic<long> lastStatus_{0};
  // The PAC script once fetched; a script that ran past its time limit is not used again.
  std::optional<std::string> pacScript_;
  bool pacAbandoned_ = false;
  std::chrono::steady_clock::time_point pacRetryAfter_{};
};

namespace Corvane::Network {

// The agent the program instantiates; it behaves exactly as its base.
class AssistantHttp : public CWinHttpAgent {};

// The process's agent, made on first use (after the machine image has been selected, so
// that the user's proxy settings are those of the image).
AssistantHttp& HttpAgent();

}  // namespace Corvane::Network
