// demo_bank: the bank's server for demonstrations and tests, on loopback.
//
//   demo_bank --root DIR [--cert-dir DIR] [--log FILE] [--bind ADDR]
//             [--http-port N] [--https-port N] [--untrusted-port N] [--wronghost-port N]
//             [--fault NAME] [--stall-ms N] [--idle-ms N] [--exit-with-parent]
//
// At start it makes its certificate authorities afresh and writes the trusted one's
// certificate to CERT-DIR/ca.pem (default: a new folder under /tmp), binds its listeners
// (port 0, the default, picks a free port), prints one "name=value" line each and "ready"
// on standard output, then serves until SIGTERM or SIGINT.
//
//   http_port=N  https_port=N  untrusted_port=N  wronghost_port=N  ca_file=PATH  ready
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "tools/demo_bank/bank_server.h"
#include "tools/demo_bank/test_ca.h"

namespace {

std::atomic<bool> g_stop{false};

void OnSignal(int) { g_stop = true; }

const char kUsage[] =
    "usage: demo_bank --root DIR [--cert-dir DIR] [--log FILE] [--bind ADDR]\n"
    "                 [--http-port N] [--https-port N] [--untrusted-port N] [--wronghost-port N]\n"
    "                 [--fault none|404|short|nolength|stall|stall-body] [--stall-ms N]\n"
    "                 [--idle-ms N] [--exit-with-parent]\n";

int Usage(const char* problem) {
  std::fprintf(stderr, "demo_bank: %s\n%s", problem, kUsage);
  return 2;
}

bool ParsePort(const char* text, uint16_t& out) {
  char* end = nullptr;
  long value = std::strtol(text, &end, 10);
  if (!*text || *end || value < 0 || value > 65535) return false;
  out = uint16_t(value);
  return true;
}

bool ParseMs(const char* text, int& out) {
  char* end = nullptr;
  long value = std::strtol(text, &end, 10);
  if (!*text || *end || value < 0 || value > 3600000) return false;
  out = int(value);
  return true;
}

SSL_CTX* ServerContext(const demo_bank::Identity& identity, std::string* error) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  if (!ctx || SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1 ||
      SSL_CTX_use_certificate(ctx, identity.cert.get()) != 1 ||
      SSL_CTX_use_PrivateKey(ctx, identity.key.get()) != 1 || SSL_CTX_check_private_key(ctx) != 1) {
    char text[256] = {};
    ERR_error_string_n(ERR_get_error(), text, sizeof text);
    if (error) *error = std::string("TLS context: ") + text;
    SSL_CTX_free(ctx);
    return nullptr;
  }
  return ctx;
}

}  // namespace

int main(int argc, char** argv) {
  demo_bank::ServerOptions options;
  std::filesystem::path certDir, logFile;
  bool exitWithParent = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    const char* v = nullptr;
    if (arg == "--exit-with-parent") {
      exitWithParent = true;
    } else if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (!(v = value())) {
      return Usage(("missing value for " + arg).c_str());
    } else if (arg == "--root") {
      options.root = v;
    } else if (arg == "--cert-dir") {
      certDir = v;
    } else if (arg == "--log") {
      logFile = v;
    } else if (arg == "--bind") {
      options.bind = v;
    } else if (arg == "--http-port") {
      if (!ParsePort(v, options.httpPort)) return Usage("bad port");
    } else if (arg == "--https-port") {
      if (!ParsePort(v, options.httpsPort)) return Usage("bad port");
    } else if (arg == "--untrusted-port") {
      if (!ParsePort(v, options.untrustedPort)) return Usage("bad port");
    } else if (arg == "--wronghost-port") {
      if (!ParsePort(v, options.wrongHostPort)) return Usage("bad port");
    } else if (arg == "--fault") {
      if (!demo_bank::ParseFault(v, options.fault)) return Usage("unknown fault");
    } else if (arg == "--stall-ms") {
      if (!ParseMs(v, options.stallMs)) return Usage("bad --stall-ms");
    } else if (arg == "--idle-ms") {
      if (!ParseMs(v, options.idleMs)) return Usage("bad --idle-ms");
    } else {
      return Usage(("unknown option " + arg).c_str());
    }
  }
  if (options.root.empty()) return Usage("--root is required");
  std::error_code ec;
  if (!std::filesystem::is_directory(options.root, ec)) return Usage("--root is not a folder");

  if (exitWithParent) {
    pid_t parent = getppid();
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) return 0;  // the parent is already gone
  }
  signal(SIGPIPE, SIG_IGN);
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);

  if (certDir.empty()) {
    char pattern[] = "/tmp/demo-bank-XXXXXX";
    if (!mkdtemp(pattern)) {
      std::perror("demo_bank: mkdtemp");
      return 1;
    }
    certDir = pattern;
  }
  std::filesystem::create_directories(certDir, ec);
  certDir = std::filesystem::absolute(certDir, ec);

  std::string error;
  demo_bank::Identity authority, stranger, server, strangerServer, otherHost;
  const std::vector<std::string> names{"localhost"}, addresses{"127.0.0.1"};
  if (!demo_bank::MakeAuthority("Haverly Demo Root CA", authority, &error) ||
      !demo_bank::MakeAuthority("Unknown Demo Root CA", stranger, &error) ||
      !demo_bank::MakeServerIdentity(authority, "localhost", names, addresses, server, &error) ||
      !demo_bank::MakeServerIdentity(stranger, "localhost", names, addresses, strangerServer, &error) ||
      !demo_bank::MakeServerIdentity(authority, "wrong-host.invalid", {"wrong-host.invalid"}, {},
                                     otherHost, &error)) {
    std::fprintf(stderr, "demo_bank: %s\n", error.c_str());
    return 1;
  }
  const std::filesystem::path caFile = certDir / "ca.pem";
  if (!demo_bank::WriteCertificatePem(authority.cert.get(), caFile.string(), &error)) {
    std::fprintf(stderr, "demo_bank: %s\n", error.c_str());
    return 1;
  }
  SSL_CTX* trusted = ServerContext(server, &error);
  SSL_CTX* untrusted = trusted ? ServerContext(strangerServer, &error) : nullptr;
  SSL_CTX* wrongHost = untrusted ? ServerContext(otherHost, &error) : nullptr;
  if (!wrongHost) {
    std::fprintf(stderr, "demo_bank: %s\n", error.c_str());
    return 1;
  }

  FILE* log = stderr;
  if (!logFile.empty() && !(log = std::fopen(logFile.c_str(), "a"))) {
    std::perror("demo_bank: log file");
    return 1;
  }

  demo_bank::BankServer bank;
  if (!bank.Start(options, trusted, untrusted, wrongHost, log, &error)) {
    std::fprintf(stderr, "demo_bank: %s\n", error.c_str());
    return 1;
  }
  std::printf("http_port=%u\nhttps_port=%u\nuntrusted_port=%u\nwronghost_port=%u\nca_file=%s\nready\n",
              bank.Port(demo_bank::Listener::Http), bank.Port(demo_bank::Listener::Https),
              bank.Port(demo_bank::Listener::HttpsUntrusted),
              bank.Port(demo_bank::Listener::HttpsWrongHost), caFile.c_str());
  std::fflush(stdout);

  bank.Run(g_stop);
  std::fflush(log);
  // Connection threads may still be running: leave without running exit-time destructors
  // under them.
  _exit(0);
}
