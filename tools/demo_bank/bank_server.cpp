#include "tools/demo_bank/bank_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/err.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/text.h"

namespace demo_bank {

namespace {

constexpr size_t kMaxHead = 64 * 1024;
constexpr size_t kChunk = 256 * 1024;
constexpr int kPollSliceMs = 200;

struct FaultEntry {
  const char* name;
  Fault fault;
};
constexpr FaultEntry kFaults[] = {{"none", Fault::None},       {"404", Fault::NotFound},
                                  {"short", Fault::Short},     {"nolength", Fault::NoLength},
                                  {"stall", Fault::Stall},     {"stall-body", Fault::StallBody}};

const char* Reason(int status) {
  switch (status) {
    case 200: return "OK";
    case 302: return "Found";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    default: return "Error";
  }
}

std::string ContentType(const std::filesystem::path& file) {
  std::string ext = file.extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  if (ext == ".xml") return "text/xml";
  if (ext == ".html" || ext == ".htm") return "text/html";
  if (ext == ".txt") return "text/plain";
  if (ext == ".pac") return "application/x-ns-proxy-autoconfig";
  return "application/octet-stream";
}

// The path of a request target as a file below `root`; false for a path that would leave it.
bool MapRequestPath(const std::filesystem::path& root, std::string_view path,
                    std::filesystem::path& out) {
  std::string decoded = platform::PercentDecode(path);
  std::filesystem::path result = root;
  size_t pos = 0;
  while (pos <= decoded.size()) {
    size_t end = decoded.find('/', pos);
    if (end == std::string::npos) end = decoded.size();
    std::string part = decoded.substr(pos, end - pos);
    pos = end + 1;
    if (part.empty() || part == ".") continue;
    if (part == ".." || part.find('\0') != std::string::npos || part.find('\\') != std::string::npos)
      return false;
    result /= part;
  }
  out = result;
  return true;
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = char(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
    text.remove_suffix(1);
  return text;
}

}  // namespace

bool ParseFault(std::string_view name, Fault& out) {
  for (const auto& entry : kFaults)
    if (name == entry.name) {
      out = entry.fault;
      return true;
    }
  return false;
}

const char* FaultName(Fault fault) {
  for (const auto& entry : kFaults)
    if (entry.fault == fault) return entry.name;
  return "none";
}

struct BankServer::Connection {
  int fd = -1;
  SSL* ssl = nullptr;
  Listener which = Listener::Http;
  uint64_t id = 0;
  std::string buffer;  // bytes read beyond the last request head
  const std::atomic<bool>* stop = nullptr;

  const char* Scheme() const { return which == Listener::Http ? "http" : "https"; }

  // Waits for incoming bytes (or the peer closing) for up to `ms`; false on time-out or stop.
  bool WaitReadable(int ms) {
    if (ssl && SSL_pending(ssl) > 0) return true;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!stop->load()) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0) return false;
      pollfd p{fd, POLLIN, 0};
      int rc = poll(&p, 1, int(std::min<long long>(left, kPollSliceMs)));
      if (rc > 0) return true;
      if (rc < 0 && errno != EINTR) return false;
    }
    return false;
  }

  ssize_t Read(char* data, size_t size) {
    if (ssl) {
      int n = SSL_read(ssl, data, int(std::min<size_t>(size, 1 << 30)));
      return n > 0 ? n : (SSL_get_error(ssl, n) == SSL_ERROR_ZERO_RETURN ? 0 : -1);
    }
    for (;;) {
      ssize_t n = recv(fd, data, size, 0);
      if (n < 0 && errno == EINTR) continue;
      return n;
    }
  }

  bool WriteAll(const char* data, size_t size) {
    while (size > 0) {
      ssize_t n;
      if (ssl) {
        int w = SSL_write(ssl, data, int(std::min<size_t>(size, 1 << 30)));
        n = w > 0 ? w : -1;
      } else {
        n = send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
      }
      if (n <= 0) return false;
      data += n;
      size -= size_t(n);
    }
    return true;
  }

  bool WriteAll(const std::string& text) { return WriteAll(text.data(), text.size()); }

  bool SendFileRange(int file, off_t offset, size_t length) {
    if (!ssl) {
      while (length > 0) {
        ssize_t n = sendfile(fd, file, &offset, std::min(length, size_t(1) << 30));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        length -= size_t(n);
      }
      return true;
    }
    std::vector<char> chunk(kChunk);
    while (length > 0) {
      ssize_t n = pread(file, chunk.data(), std::min(length, kChunk), offset);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      if (!WriteAll(chunk.data(), size_t(n))) return false;
      offset += n;
      length -= size_t(n);
    }
    return true;
  }

  // Reads the next request head (through the blank line); false when the connection
  // ends, stays idle too long or sends an oversized head.
  bool ReadHead(std::string& head, int idleMs) {
    for (;;) {
      size_t end = buffer.find("\r\n\r\n");
      if (end != std::string::npos) {
        head = buffer.substr(0, end + 2);
        buffer.erase(0, end + 4);
        return true;
      }
      if (buffer.size() > kMaxHead) return false;
      if (!WaitReadable(idleMs)) return false;
      char data[16 * 1024];
      ssize_t n = Read(data, sizeof data);
      if (n <= 0) return false;
      buffer.append(data, size_t(n));
    }
  }

  // Holds the connection open without answering for `ms`, or until the peer leaves.
  void Stall(int ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!stop->load() && std::chrono::steady_clock::now() < deadline) {
      pollfd p{fd, POLLIN | POLLRDHUP, 0};
      int rc = poll(&p, 1, kPollSliceMs);
      if (rc > 0) {
        char data[4096];
        if (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) return;
        if (recv(fd, data, sizeof data, MSG_DONTWAIT) == 0) return;
      }
    }
  }
};

BankServer::~BankServer() {
  for (int& fd : sockets_)
    if (fd >= 0) {
      close(fd);
      fd = -1;
    }
}

bool BankServer::Start(const ServerOptions& options, SSL_CTX* trusted, SSL_CTX* untrusted,
                       SSL_CTX* wrongHost, FILE* log, std::string* error) {
  options_ = options;
  log_ = log;
  fault_ = int(options.fault);
  contexts_[int(Listener::Https)] = trusted;
  contexts_[int(Listener::HttpsUntrusted)] = untrusted;
  contexts_[int(Listener::HttpsWrongHost)] = wrongHost;
  const uint16_t wanted[] = {options.httpPort, options.httpsPort, options.untrustedPort,
                             options.wrongHostPort};
  for (int i = 0; i < int(Listener::Count); ++i) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      if (error) *error = std::string("socket: ") + std::strerror(errno);
      return false;
    }
    sockets_[i] = fd;
    int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(wanted[i]);
    if (inet_pton(AF_INET, options.bind.c_str(), &address.sin_addr) != 1) {
      if (error) *error = "bad bind address " + options.bind;
      return false;
    }
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 64) != 0) {
      if (error) *error = "cannot listen on port " + std::to_string(wanted[i]) + ": " + std::strerror(errno);
      return false;
    }
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ports_[i] = ntohs(address.sin_port);
  }
  return true;
}

void BankServer::Run(const std::atomic<bool>& stop) {
  stop_ = &stop;
  pollfd polls[int(Listener::Count)];
  while (!stop.load()) {
    for (int i = 0; i < int(Listener::Count); ++i) polls[i] = {sockets_[i], POLLIN, 0};
    int rc = poll(polls, int(Listener::Count), kPollSliceMs);
    if (rc <= 0) continue;
    for (int i = 0; i < int(Listener::Count); ++i) {
      if (!(polls[i].revents & POLLIN)) continue;
      int fd = accept4(sockets_[i], nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      uint64_t id = ++connections_;
      try {
        std::thread([this, fd, i, id] { Serve(fd, Listener(i), id); }).detach();
      } catch (...) {
        close(fd);
      }
    }
  }
}

void BankServer::Log(uint64_t id, const char* scheme, std::string_view method,
                     std::string_view target, int status, std::string_view userAgent) {
  std::lock_guard lock(logMutex_);
  std::fprintf(log_, "conn=%llu\t%s\t%.*s\t%.*s\t%d\t%.*s\n", (unsigned long long)id, scheme,
               int(method.size()), method.data(), int(target.size()), target.data(), status,
               int(userAgent.size()), userAgent.data());
  std::fflush(log_);
}

void BankServer::Serve(int fd, Listener which, uint64_t id) {
  Connection conn;
  conn.fd = fd;
  conn.which = which;
  conn.id = id;
  conn.stop = stop_;
  int yes = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  // A client that stops reading must not hold a thread for ever.
  timeval sendLimit{30, 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);
  if (which != Listener::Http) {
    timeval handshakeLimit{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &handshakeLimit, sizeof handshakeLimit);
    conn.ssl = SSL_new(contexts_[int(which)]);
    if (!conn.ssl || SSL_set_fd(conn.ssl, fd) != 1 || SSL_accept(conn.ssl) != 1) {
      ++tlsFailures_;
      Log(id, conn.Scheme(), "TLS-FAILED", "-", 0, "-");
      ERR_clear_error();
      if (conn.ssl) SSL_free(conn.ssl);
      close(fd);
      return;
    }
    timeval none{0, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none);
  }
  std::string head;
  while (!stop_->load() && conn.ReadHead(head, options_.idleMs)) {
    ++requests_;
    if (!HandleRequest(conn, head)) break;
  }
  if (conn.ssl) {
    SSL_shutdown(conn.ssl);
    SSL_free(conn.ssl);
  }
  ERR_clear_error();
  close(fd);
}

bool BankServer::HandleRequest(Connection& conn, const std::string& head) {
  // Request line and the headers this server looks at.
  size_t lineEnd = head.find("\r\n");
  std::string_view line(head.data(), lineEnd);
  size_t s1 = line.find(' ');
  size_t s2 = s1 == std::string_view::npos ? s1 : line.find(' ', s1 + 1);
  if (s2 == std::string_view::npos) {
    Log(conn.id, conn.Scheme(), "-", line, 400, "-");
    conn.WriteAll("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    return false;
  }
  std::string method(line.substr(0, s1));
  std::string target(line.substr(s1 + 1, s2 - s1 - 1));
  std::string version(line.substr(s2 + 1));
  std::string userAgent = "-", connectionHeader;
  for (size_t pos = lineEnd + 2; pos < head.size();) {
    size_t end = head.find("\r\n", pos);
    if (end == std::string::npos) end = head.size();
    std::string_view header(head.data() + pos, end - pos);
    pos = end + 2;
    size_t colon = header.find(':');
    if (colon == std::string_view::npos) continue;
    std::string name = Lower(Trim(header.substr(0, colon)));
    std::string_view value = Trim(header.substr(colon + 1));
    if (name == "user-agent") userAgent = std::string(value);
    if (name == "connection") connectionHeader = Lower(value);
  }
  bool keepAlive = version == "HTTP/1.1" ? connectionHeader.find("close") == std::string::npos
                                         : connectionHeader.find("keep-alive") != std::string::npos;
  const bool head_only = method == "HEAD";

  auto respond = [&](int status, const std::string& body, const std::string& extra,
                     const std::string& type) {
    Log(conn.id, conn.Scheme(), method, target, status, userAgent);
    std::string response = "HTTP/1.1 " + std::to_string(status) + " " + Reason(status) + "\r\n" +
                           "Content-Type: " + type + "\r\nContent-Length: " +
                           std::to_string(body.size()) + "\r\n" + extra +
                           (keepAlive ? "" : "Connection: close\r\n") + "\r\n";
    if (!head_only) response += body;
    return conn.WriteAll(response) && keepAlive;
  };

  if (method != "GET" && method != "HEAD") return respond(405, "method not allowed\n", "", "text/plain");

  // The path: a proxy-style absolute target keeps only its path; the query is dropped.
  std::string path = target;
  if (size_t scheme = path.find("://"); scheme != std::string::npos) {
    size_t slash = path.find('/', scheme + 3);
    path = slash == std::string::npos ? "/" : path.substr(slash);
  }
  path = path.substr(0, path.find('?'));

  Fault fault = Fault(fault_.load());
  if (path == "/__stats") {
    std::string body = "{\"connections\":" + std::to_string(connections_.load()) +
                       ",\"requests\":" + std::to_string(requests_.load()) +
                       ",\"tls_failures\":" + std::to_string(tlsFailures_.load()) +
                       ",\"fault\":\"" + FaultName(fault) + "\"}\n";
    return respond(200, body, "", "application/json");
  }
  if (path.starts_with("/__control/fault/")) {
    Fault wanted;
    if (!ParseFault(path.substr(17), wanted)) return respond(400, "unknown fault\n", "", "text/plain");
    fault_ = int(wanted);
    return respond(200, "ok\n", "", "text/plain");
  }
  if (path.starts_with("/__redirect/")) {
    std::string rest = path.substr(12);
    size_t slash = rest.find('/');
    std::string scheme = rest.substr(0, slash);
    std::string tail = slash == std::string::npos ? "/" : rest.substr(slash);
    uint16_t port = scheme == "http" ? Port(Listener::Http) : scheme == "https" ? Port(Listener::Https) : 0;
    if (!port) return respond(400, "unknown scheme\n", "", "text/plain");
    return respond(302, "moved\n",
                   "Location: " + scheme + "://127.0.0.1:" + std::to_string(port) + tail + "\r\n",
                   "text/plain");
  }
  if (path.starts_with("/__fault/")) {
    std::string rest = path.substr(9);
    size_t slash = rest.find('/');
    if (!ParseFault(rest.substr(0, slash), fault)) return respond(400, "unknown fault\n", "", "text/plain");
    path = slash == std::string::npos ? "/" : rest.substr(slash);
  }

  if (fault == Fault::NotFound) return respond(404, "not found\n", "", "text/plain");
  if (fault == Fault::Stall) {
    Log(conn.id, conn.Scheme(), method, target, 0, userAgent);
    conn.Stall(options_.stallMs);
    return false;
  }

  std::filesystem::path file;
  int fd = -1;
  struct stat info {};
  if (MapRequestPath(options_.root, path, file)) fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0 && (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))) {
    close(fd);
    fd = -1;
  }
  if (fd < 0) return respond(404, "not found\n", "", "text/plain");
  struct CloseFile {
    int fd;
    ~CloseFile() { close(fd); }
  } closeFile{fd};

  const size_t size = size_t(info.st_size);
  size_t declared = size, sent = size;
  bool withLength = true;
  switch (fault) {
    case Fault::Short:
    case Fault::StallBody:
      // Half the body; a body of under two bytes declares more than it has instead.
      sent = size / 2;
      if (size < 2) declared = size + 16;
      keepAlive = false;
      break;
    case Fault::NoLength:
      withLength = false;
      keepAlive = false;
      break;
    default: break;
  }
  Log(conn.id, conn.Scheme(), method, target, 200, userAgent);
  std::string headers = "HTTP/1.1 200 OK\r\nContent-Type: " + ContentType(file) + "\r\n";
  if (withLength) headers += "Content-Length: " + std::to_string(declared) + "\r\n";
  if (!keepAlive) headers += "Connection: close\r\n";
  headers += "\r\n";
  if (!conn.WriteAll(headers)) return false;
  if (head_only) return keepAlive;
  if (!conn.SendFileRange(fd, 0, sent)) return false;
  if (fault == Fault::StallBody) conn.Stall(options_.stallMs);
  return keepAlive;
}

}  // namespace demo_bank
