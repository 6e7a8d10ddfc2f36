#include "services/http/http_agent.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <new>
#include <sstream>

#include "platform/debug_trace.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "services/http/pac_script.h"
#include "services/http/url_parts.h"

namespace fs = std::filesystem;
using namespace platform;

namespace {

constexpr char kUserAgent[] = "Mozilla/5.0";
constexpr long kMaxRedirects = 10;
constexpr long kReadBufferBytes = 256 * 1024;
// A PAC script larger than this is refused.
constexpr size_t kMaxPacScriptBytes = 1 << 20;
// After a PAC script could not be fetched, requests go without it for this long.
constexpr auto kPacRetryDelay = std::chrono::seconds(60);

HRESULT Win32(LSTATUS code) { return HRESULT_FROM_WIN32(code); }

int32_t Percent(int64_t received, int64_t total) {
  if (total <= 0 || received <= 0) return 0;
  if (received >= total) return 100;
  return int32_t(std::clamp<int64_t>(received * 100 / total, 0, 100));
}

// The agent whose operation runs on this thread: a progress callback that calls the same
// agent again is refused instead of dead-locking.
thread_local const CWinHttpAgent* t_activeAgent = nullptr;

// "file:///C:/dir/proxy.pac" or "file://C:/dir/proxy.pac" -> C:\dir\proxy.pac.
std::u16string WindowsPathOfFileUrl(std::string_view url) {
  url.remove_prefix(5);  // "file:"
  while (url.starts_with('/')) url.remove_prefix(1);
  if (url.starts_with("localhost/")) url.remove_prefix(10);
  std::string decoded = PercentDecode(url);
  for (char& c : decoded)
    if (c == '/') c = '\\';
  return Utf8ToUtf16(decoded);
}

}  // namespace

// The state of one request while libcurl runs it.
struct CWinHttpAgent::Transfer {
  enum class Kind { Get, Download };

  Transfer(CWinHttpAgent& owner, Kind what) : agent(owner), kind(what) {}

  CWinHttpAgent& agent;
  Kind kind;
  CWinHttpRequest* request = nullptr;

  // The response: decided at the first body byte or when the transfer ends.
  bool decided = false;
  bool accepted = false;
  bool reading = false;  // accepted with a status below 400: the body is kept
  long status = 0;

  std::string body;  // Get

  // Download.
  const DownloadSink* sink = nullptr;
  fs::path target;
  fs::path temporary;
  FileHandle file;
  int64_t received = 0;
  int64_t total = 0;
  LSTATUS fileError = ERROR_SUCCESS;

  // Idle limit once the connection stands.
  int idleLimitMs = 0;
  bool clockRunning = false;
  bool timedOut = false;
  std::chrono::steady_clock::time_point lastActivity{};

  void Touch() {
    clockRunning = true;
    lastActivity = std::chrono::steady_clock::now();
  }

  void Notify(bool active, int64_t bytes, int64_t length, int32_t percent) const {
    if (!sink || !sink->callback) return;
    DownloadProgress progress;
    progress.url = sink->url;
    progress.file = sink->file;
    progress.received = bytes;
    progress.total = length;
    progress.percent = percent;
    progress.active = active ? 1 : 0;
    progress.param = sink->param;
    try {
      sink->callback(&progress);
    } catch (...) {
      DebugTrace("download progress callback threw; ignored\n");
    }
  }

  // Looks at the response once. False stops the transfer (the file could not be made).
  bool Decide() {
    if (decided) return fileError == ERROR_SUCCESS;
    decided = true;
    curl_easy_getinfo(request->Handle(), CURLINFO_RESPONSE_CODE, &status);
    accepted = agent.AcceptResponse(*request, status);
    reading = accepted && status < 400;
    if (!reading || kind != Kind::Download) return true;
    curl_off_t length = -1;
    curl_easy_getinfo(request->Handle(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    total = length > 0 ? int64_t(length) : 0;
    return OpenTemporary();
  }

  // The body goes to a temporary file beside the target, renamed over the target only when
  // complete: a failed transfer never leaves a partial file under the target's name.
  bool OpenTemporary() {
    std::error_code ec;
    if (fs::is_directory(target, ec)) {
      fileError = ERROR_ACCESS_DENIED;
      return false;
    }
    FileUse use = QueryFileUse(target);
    if (use != FileUse::None) {
      fileError = ERROR_SHARING_VIOLATION;
      return false;
    }
    std::string pattern = target.string() + ".partial-XXXXXX";
    int fd = mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) {
      fileError = errno == ENOENT ? ERROR_PATH_NOT_FOUND : Win32FromErrno(errno);
      return false;
    }
    file = FileHandle(fd);
    temporary = pattern;
    fchmod(fd, 0644);
    return true;
  }

  bool WriteChunk(const char* data, size_t size) {
    while (size > 0) {
      ssize_t n = write(file.Fd(), data, size);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        fileError = errno == ENOSPC ? ERROR_WRITE_FAULT : Win32FromErrno(errno);
        return false;
      }
      data += n;
      size -= size_t(n);
    }
    return true;
  }

  void DropTemporary() {
    file.Close();
    if (!temporary.empty()) unlink(temporary.c_str());
    temporary.clear();
  }

  static size_t OnHeader(char*, size_t size, size_t count, void* self) {
    static_cast<Transfer*>(self)->Touch();
    return size * count;
  }

  static size_t OnBody(char* data, size_t size, size_t count, void* self) {
    auto* t = static_cast<Transfer*>(self);
    const size_t bytes = size * count;
    t->Touch();
    if (!t->Decide()) return 0;
    if (!t->reading) return bytes;  // a refused response is read to its end and dropped
    if (t->kind == Kind::Get) {
      try {
        t->body.append(data, bytes);
      } catch (const std::bad_alloc&) {
        t->fileError = ERROR_NOT_ENOUGH_MEMORY;
        return 0;
      }
      return bytes;
    }
    if (!t->WriteChunk(data, bytes)) return 0;
    t->received += int64_t(bytes);
    t->Notify(true, t->received, t->total, Percent(t->received, t->total));
    return bytes;
  }

  static int OnProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto* t = static_cast<Transfer*>(self);
    if (t->idleLimitMs <= 0) return 0;
    curl_off_t connected = 0;
    curl_easy_getinfo(t->request->Handle(), CURLINFO_PRETRANSFER_TIME_T, &connected);
    if (connected <= 0) return 0;  // still connecting: the connect limit applies
    if (!t->clockRunning) {
      t->Touch();
      return 0;
    }
    if (std::chrono::steady_clock::now() - t->lastActivity >
        std::chrono::milliseconds(t->idleLimitMs)) {
      t->timedOut = true;
      return 1;
    }
    return 0;
  }
};

class CWinHttpAgent::CallGuard {
 public:
  explicit CallGuard(const CWinHttpAgent* agent) : agent_(agent) {
    if (t_activeAgent == agent_) return;
    lock_ = std::unique_lock(agent_->mutex_);
    t_activeAgent = agent_;
    entered_ = true;
  }
  ~CallGuard() {
    if (entered_) t_activeAgent = nullptr;
  }
  explicit operator bool() const { return entered_; }

 private:
  const CWinHttpAgent* agent_;
  std::unique_lock<std::mutex> lock_;
  bool entered_ = false;
};

CWinHttpAgent::CWinHttpAgent() {
  if (!session_.Open()) {
    DebugTrace("HTTP agent: the session could not be opened\n");
    return;
  }
  proxyConfig_ = http_proxy::ReadIeProxyConfig();
  pacUrl_ = proxyConfig_.autoConfigUrl;
  if (const char* ca = std::getenv(kCaFileVariable); ca && *ca) caFile_ = ca;
}

CWinHttpAgent::~CWinHttpAgent() {
  connection_.Close();
  session_.Close();
}

void CWinHttpAgent::SetTimeouts(int resolveMs, int connectMs, int sendMs, int receiveMs) {
  std::lock_guard lock(settingsMutex_);
  timeouts_ = {resolveMs, connectMs, sendMs, receiveMs};
}

HttpTimeouts CWinHttpAgent::Timeouts() const {
  std::lock_guard lock(settingsMutex_);
  return timeouts_;
}

void CWinHttpAgent::SetCaFile(fs::path file) {
  std::lock_guard lock(settingsMutex_);
  caFile_ = std::move(file);
}

long CWinHttpAgent::LastStatus() const { return lastStatus_.load(); }

HRESULT CWinHttpAgent::ResolveUrl(std::u16string_view url, std::string& path) {
  if (!http_url::IsAbsoluteUrl(url)) {
    // Relative: glued to the path of the last absolute URL, on its connection.
    if (!connection_.IsOpen()) return Win32(ERROR_INVALID_HANDLE);
    path = currentPath_ + Utf16ToUtf8(url);
    return S_OK;
  }
  http_url::UrlParts parts;
  if (!http_url::CrackUrl(Utf16ToUtf8(url), parts)) return Win32(ERROR_WINHTTP_INVALID_URL);
  if (!connection_.IsOpen() || parts.host != connectedHost_ || parts.port != connectedPort_) {
    connection_.Close();
    currentPath_.clear();
    connectedHost_.clear();
    connectedPort_ = 0;
    if (!connection_.Open()) return Win32(ERROR_INVALID_HANDLE);
    OnConnected(connection_);
    connectedHost_ = parts.host;
    connectedPort_ = parts.port;
  }
  currentPath_ = parts.path;
  secure_ = parts.secure;
  path = parts.path;
  return S_OK;
}

bool CWinHttpAgent::LoadPacScript() {
  if (pacAbandoned_) return false;
  if (pacScript_) return true;
  auto now = std::chrono::steady_clock::now();
  if (now < pacRetryAfter_) return false;

  std::string script;
  bool loaded = false;
  if (http_url::ToLowerAscii(pacUrl_.substr(0, 5)) == "file:") {
    fs::path host;
    std::ifstream in;
    if (MapToHost(WindowsPathOfFileUrl(pacUrl_), host) == ERROR_SUCCESS &&
        fs::file_size(host) <= kMaxPacScriptBytes) {
      in.open(host, std::ios::binary);
      std::ostringstream text;
      text << in.rdbuf();
      script = text.str();
      loaded = in.good() || in.eof();
    }
  } else if (http_url::IsAbsoluteUrl(Utf8ToUtf16(pacUrl_))) {
    // The script itself is always fetched directly.
    CURL* curl = curl_easy_init();
    if (curl) {
      struct Sink {
        std::string text;
        bool tooLarge = false;
        static size_t Write(char* data, size_t size, size_t count, void* self) {
          auto* s = static_cast<Sink*>(self);
          if (s->text.size() + size * count > kMaxPacScriptBytes) {
            s->tooLarge = true;
            return 0;
          }
          s->text.append(data, size * count);
          return size * count;
        }
      } sink;
      const bool secure = http_url::ToLowerAscii(pacUrl_.substr(0, 6)) == "https:";
      curl_easy_setopt(curl, CURLOPT_URL, pacUrl_.c_str());
      curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
      curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
      curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
      curl_easy_setopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects);
      curl_easy_setopt(curl, CURLOPT_USERAGENT, kUserAgent);
      curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
      curl_easy_setopt(curl, CURLOPT_PROXY, "");
      curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
      curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
      if (!active_.caFile.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, active_.caFile.c_str());
      const HttpTimeouts& t = active_.timeouts;
      long total = 0;
      for (int part : {t.resolveMs, t.connectMs, t.sendMs, t.receiveMs}) total += part > 0 ? part : 0;
      curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, total);
      curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Sink::Write);
      curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
      CURLcode rc = curl_easy_perform(curl);
      long status = 0;
      curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
      curl_easy_cleanup(curl);
      loaded = rc == CURLE_OK && status < 400;
      script = std::move(sink.text);
    }
  }
  if (!loaded) {
    DebugTrace("HTTP agent: the PAC script %s could not be loaded\n", pacUrl_.c_str());
    pacRetryAfter_ = now + kPacRetryDelay;
    return false;
  }
  pacScript_ = std::move(script);
  return true;
}

std::string CWinHttpAgent::ProxyFor(const std::string& url, const std::string& host, bool secure,
                                    uint16_t port) {
  if (!pacUrl_.empty() && LoadPacScript()) {
    std::string answer;
    http_pac::PacOutcome outcome = http_pac::FindProxyForUrl(*pacScript_, url, host, answer);
    if (outcome == http_pac::PacOutcome::TimedOut) {
      DebugTrace("HTTP agent: the PAC script ran too long and is no longer used\n");
      pacAbandoned_ = true;
    }
    if (outcome == http_pac::PacOutcome::Ok) {
      http_proxy::ProxyChoice choice = http_proxy::ParsePacResult(answer);
      if (choice.valid) return choice.proxy;
    }
  }
  return http_proxy::ChooseNamedProxy(proxyConfig_.proxyServer, proxyConfig_.proxyBypass, secure,
                                      host, port);
}

void CWinHttpAgent::ApplyOptions(CWinHttpRequest& request, Transfer& transfer) {
  CURL* curl = request.Handle();
  curl_easy_reset(curl);
  curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  // Redirects stay on HTTPS once there.
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, secure_ ? "https" : "http,https");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(curl, CURLOPT_USERAGENT, kUserAgent);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, request.Headers());
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_SHARE, session_.Handle());
  curl_easy_setopt(curl, CURLOPT_MAXCONNECTS, 1L);
  curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, kReadBufferBytes);
  // An empty proxy also keeps libcurl from taking one from the Linux environment.
  curl_easy_setopt(curl, CURLOPT_PROXY, request.proxy.c_str());
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(curl, CURLOPT_PROXY_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl, CURLOPT_PROXY_SSL_VERIFYHOST, 2L);
  if (!active_.caFile.empty()) {
    curl_easy_setopt(curl, CURLOPT_CAINFO, active_.caFile.c_str());
    curl_easy_setopt(curl, CURLOPT_PROXY_CAINFO, active_.caFile.c_str());
  }
  const HttpTimeouts& t = active_.timeouts;
  long connectMs = t.resolveMs > 0 && t.connectMs > 0 ? long(t.resolveMs) + t.connectMs : 0;
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, connectMs);
  transfer.idleLimitMs = t.receiveMs > 0 ? std::max(t.receiveMs, t.sendMs) : 0;
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &Transfer::OnProgress);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &Transfer::OnHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Transfer::OnBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
}

HRESULT CWinHttpAgent::Perform(std::u16string_view url, std::string_view query, Transfer& transfer) {
  lastStatus_ = 0;
  {
    std::lock_guard lock(settingsMutex_);
    active_.timeouts = timeouts_;
    active_.caFile = caFile_;
  }
  std::string path;
  if (HRESULT hr = ResolveUrl(url, path); FAILED(hr)) return hr;
  if (!query.empty()) {
    path += '?';
    path += query;
  }
  CWinHttpRequest request;
  if (!request.Open(connection_)) return E_OUTOFMEMORY;
  request.url = http_url::ComposeUrl(secure_, connectedHost_, connectedPort_, path);
  // The PAC script sees the URL as the caller wrote it; a relative one as it is sent.
  const std::string pacUrl = http_url::IsAbsoluteUrl(url) ? Utf16ToUtf8(url) : request.url;
  request.proxy = ProxyFor(pacUrl, connectedHost_, secure_, connectedPort_);
  transfer.request = &request;
  ApplyOptions(request, transfer);
  OnRequestOpened(request);

  CURLcode rc = curl_easy_perform(request.Handle());
  long status = 0;
  curl_easy_getinfo(request.Handle(), CURLINFO_RESPONSE_CODE, &status);
  lastStatus_ = status;
  // A response whose body never arrived (empty, or the transfer broke off) is looked at
  // now, so that it counts as answered.
  if (!transfer.decided && status != 0 && !transfer.Decide() && rc == CURLE_OK)
    rc = CURLE_WRITE_ERROR;
  transfer.request = nullptr;

  switch (rc) {
    case CURLE_OK: return S_OK;
    case CURLE_PARTIAL_FILE: return E_FAIL;  // the body ended before its length
    case CURLE_WRITE_ERROR:
      return transfer.fileError != ERROR_SUCCESS ? Win32(transfer.fileError) : E_FAIL;
    case CURLE_ABORTED_BY_CALLBACK:
      return transfer.timedOut ? Win32(ERROR_WINHTTP_TIMEOUT) : Win32(ERROR_WINHTTP_OPERATION_CANCELLED);
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY: return Win32(ERROR_WINHTTP_NAME_NOT_RESOLVED);
    case CURLE_COULDNT_CONNECT: return Win32(ERROR_WINHTTP_CANNOT_CONNECT);
    case CURLE_OPERATION_TIMEDOUT: return Win32(ERROR_WINHTTP_TIMEOUT);
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_USE_SSL_FAILED: return Win32(ERROR_WINHTTP_SECURE_FAILURE);
    // The only scheme libcurl can meet besides http and https is one a redirect named
    // (HTTPS to HTTP is refused this way).
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_TOO_MANY_REDIRECTS: return Win32(ERROR_WINHTTP_REDIRECT_FAILED);
    case CURLE_URL_MALFORMAT: return Win32(ERROR_WINHTTP_INVALID_URL);
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING: return Win32(ERROR_WINHTTP_CONNECTION_ERROR);
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_RANGE_ERROR: return Win32(ERROR_WINHTTP_INVALID_SERVER_RESPONSE);
    case CURLE_OUT_OF_MEMORY: return E_OUTOFMEMORY;
    default:
      DebugTrace("HTTP agent: libcurl error %d (%s)\n", int(rc), curl_easy_strerror(rc));
      return Win32(ERROR_WINHTTP_INTERNAL_ERROR);
  }
}

HRESULT CWinHttpAgent::Get(std::u16string_view url, std::string_view query, std::string& body) {
  CallGuard guard(this);
  if (!guard) return E_UNEXPECTED;
  if (!session_.IsOpen()) return Win32(ERROR_INVALID_HANDLE);
  try {
    Transfer transfer(*this, Transfer::Kind::Get);
    HRESULT hr = Perform(url, query, transfer);
    if (FAILED(hr)) return hr;
    if (transfer.reading) body = std::move(transfer.body);
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT CWinHttpAgent::Download(std::u16string_view url, std::u16string_view file,
                                const DownloadSink* sink) {
  CallGuard guard(this);
  if (!guard) return E_UNEXPECTED;
  fs::path host;
  LSTATUS mapped = MapToHost(file, host);
  return DownloadLocked(url, host, sink, mapped == ERROR_SUCCESS ? S_OK : Win32(mapped));
}

HRESULT CWinHttpAgent::DownloadToHostFile(std::u16string_view url, const fs::path& file,
                                          const DownloadSink* sink) {
  CallGuard guard(this);
  if (!guard) return E_UNEXPECTED;
  return DownloadLocked(url, file, sink, file.empty() ? Win32(ERROR_PATH_NOT_FOUND) : S_OK);
}

HRESULT CWinHttpAgent::DownloadLocked(std::u16string_view url, const fs::path& file,
                                      const DownloadSink* sink, HRESULT pathError) {
  Transfer transfer(*this, Transfer::Kind::Download);
  transfer.sink = sink;
  if (FAILED(pathError)) {
    transfer.Notify(false, 0, 0, 0);
    return pathError;
  }
  if (!session_.IsOpen()) return Win32(ERROR_INVALID_HANDLE);
  try {
    transfer.target = file;
    HRESULT hr = Perform(url, {}, transfer);
    if (!transfer.decided) {
      // No response to look at: a send or receive failure, reported without a notification.
      transfer.DropTemporary();
      return hr;
    }
    if (!transfer.accepted) {
      transfer.DropTemporary();
      return S_OK;
    }
    if (!transfer.reading) {
      transfer.Notify(false, 0, 0, 0);
      return S_OK;
    }
    if (SUCCEEDED(hr) && transfer.total != 0 && transfer.received != transfer.total) hr = E_FAIL;
    if (SUCCEEDED(hr)) {
      transfer.file.Close();
      FileUse use = QueryFileUse(transfer.target);
      if (use == FileUse::RunningImage)
        hr = Win32(ERROR_ACCESS_DENIED);
      else if (use != FileUse::None)
        hr = Win32(ERROR_SHARING_VIOLATION);
      else if (rename(transfer.temporary.c_str(), transfer.target.c_str()) != 0)
        hr = Win32(Win32FromErrno(errno));
      else
        transfer.temporary.clear();
    }
    if (FAILED(hr)) {
      transfer.DropTemporary();
      transfer.Notify(false, 0, transfer.total, 0);
      return hr;
    }
    transfer.Notify(true, transfer.received, transfer.total, 100);
    return S_OK;
  } catch (const std::bad_alloc&) {
    transfer.DropTemporary();
    transfer.Notify(false, 0, transfer.total, 0);
    return E_OUTOFMEMORY;
  }
}

namespace Corvane::Network {

AssistantHttp& HttpAgent() {
  static AssistantHttp agent;
  return agent;
}

}  // namespace Corvane::Network
