// The demo bank server: serves a folder over HTTP and HTTPS on loopback, one thread per
// connection, with keep-alive, a request log, connection counts and switchable faults.
//
// Listeners (each on its own port):
//   http             plain HTTP
//   https            HTTPS with a certificate for localhost / 127.0.0.1 from the demo CA
//   https-untrusted  HTTPS with a certificate for the same names from an unknown CA
//   https-wronghost  HTTPS with a certificate from the demo CA for another host name
//
// Special paths:
//   /__stats                    JSON: connections, requests, tls_failures, fault
//   /__control/fault/NAME       sets the fault for every later request ("none" clears it)
//   /__fault/NAME/PATH          serves /PATH with the fault NAME for this request only
//   /__redirect/SCHEME/PATH     302 to SCHEME://127.0.0.1:PORT/PATH (http or https)
// Faults: 404 (answer 404), short (body shorter than its Content-Length, then the
// connection closes), nolength (no Content-Length; the body ends with the connection),
// stall (no answer at all for the stall time), stall-body (headers and half the body, then
// nothing for the stall time).
//
// Log: one line per request, tab-separated:
//   conn=ID  SCHEME  METHOD  TARGET  STATUS  USER-AGENT
// and "conn=ID SCHEME TLS-FAILED" for a refused handshake.
#pragma once

#include <openssl/ssl.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>

namespace demo_bank {

enum class Fault { None, NotFound, Short, NoLength, Stall, StallBody };

bool ParseFault(std::string_view name, Fault& out);
const char* FaultName(Fault fault);

struct ServerOptions {
  std::filesystem::path root;
  std::string bind = "127.0.0.1";
  uint16_t httpPort = 0;
  uint16_t httpsPort = 0;
  uint16_t untrustedPort = 0;
  uint16_t wrongHostPort = 0;
  Fault fault = Fault::None;
  int stallMs = 60000;
  int idleMs = 15000;  // a kept-alive connection without a request is closed after this
};

enum class Listener { Http, Https, HttpsUntrusted, HttpsWrongHost, Count };

class BankServer {
 public:
  BankServer() = default;
  BankServer(const BankServer&) = delete;
  BankServer& operator=(const BankServer&) = delete;
  ~BankServer();

  // Binds every listener; TLS contexts are borrowed for the server's life.
  bool Start(const ServerOptions& options, SSL_CTX* trusted, SSL_CTX* untrusted,
             SSL_CTX* wrongHost, FILE* log, std::string* error);
  uint16_t Port(Listener which) const { return ports_[int(which)]; }
  // Accepts connections until `stop` becomes true.
  void Run(const std::atomic<bool>& stop);

 private:
  struct Connection;
  void Serve(int fd, Listener which, uint64_t id);
  bool HandleRequest(Connection& conn, const std::string& head);
  void Log(uint64_t id, const char* scheme, std::string_view method, std::string_view target,
           int status, std::string_view userAgent);

  ServerOptions options_;
  SSL_CTX* contexts_[int(Listener::Count)] = {};
  int sockets_[int(Listener::Count)] = {-1, -1, -1, -1};
  uint16_t ports_[int(Listener::Count)] = {};
  FILE* log_ = nullptr;
  std::mutex logMutex_;
  std::atomic<uint64_t> connections_{0};
  std::atomic<uint64_t> requests_{0};
  std::atomic<uint64_t> tlsFailures_{0};
  std::atomic<int> fault_{0};
  const std::atomic<bool>* stop_ = nullptr;
};

}  // namespace demo_bank
