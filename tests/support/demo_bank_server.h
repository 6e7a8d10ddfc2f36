// Starts the demo bank server (tools/demo_bank) for a test and reads back its ports, its
// CA certificate and its request log. The server ends with the object (and with the test
// process, should that die first).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace testing_support {

struct LoggedRequest {
  uint64_t connection = 0;  // the server's number of the TCP connection
  std::string scheme;       // http or https
  std::string method;       // GET, HEAD, or TLS-FAILED for a refused handshake
  std::string target;       // the request target as sent
  int status = 0;
  std::string userAgent;
};

class DemoBankServer {
 public:
  DemoBankServer() = default;
  DemoBankServer(const DemoBankServer&) = delete;
  DemoBankServer& operator=(const DemoBankServer&) = delete;
  ~DemoBankServer() { Stop(); }

  // Serves `root`; the server's files (CA certificate, log, output) go to `workDir`.
  // `extraArgs` are passed on (e.g. {"--stall-ms", "20000"}).
  bool Start(const std::filesystem::path& root, const std::filesystem::path& workDir,
             const std::vector<std::string>& extraArgs = {});
  void Stop();

  uint16_t httpPort = 0;
  uint16_t httpsPort = 0;
  uint16_t untrustedPort = 0;
  uint16_t wrongHostPort = 0;
  std::filesystem::path caFile;

  // "http://127.0.0.1:PORT" + path (path starts with '/').
  std::string HttpUrl(const std::string& path) const;
  std::string HttpsUrl(const std::string& path) const;

  // Every request logged so far, in order.
  std::vector<LoggedRequest> Requests() const;

 private:
  pid_t pid_ = -1;
  std::filesystem::path log_;
};

}  // namespace testing_support
