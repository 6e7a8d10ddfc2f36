// Download throughput of the HTTP agent against the curl command-line tool, both fetching
// the same file from the demo bank server on loopback to disk, in the same run.
//
//   download_bench [--size-mb N] [--runs N] [--demo-bank PATH]
//
// Prints MB/s of each client (best of the runs) and the agent's ratio to curl, for HTTP and
// for HTTPS. The agent is used as the program uses it: a progress callback on every chunk.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/text.h"
#include "services/http/http_agent.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

struct Server {
  pid_t pid = -1;
  uint16_t httpPort = 0;
  uint16_t httpsPort = 0;
  std::string caFile;
};

pid_t Spawn(const std::vector<std::string>& args, int stdoutFd) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (stdoutFd >= 0) posix_spawn_file_actions_adddup2(&actions, stdoutFd, 1);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

bool StartServer(const std::string& program, const fs::path& root, const fs::path& work, Server& out) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return false;
  out.pid = Spawn({program, "--root", root.string(), "--cert-dir", work.string(), "--log", "/dev/null",
                   "--exit-with-parent"},
                  pipeFds[1]);
  close(pipeFds[1]);
  if (out.pid <= 0) {
    close(pipeFds[0]);
    return false;
  }
  std::string text;
  char buffer[512];
  while (text.find("ready\n") == std::string::npos) {
    ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, size_t(n));
  }
  close(pipeFds[0]);
  auto field = [&](const std::string& name) {
    size_t at = text.find(name + "=");
    if (at == std::string::npos) return std::string();
    at += name.size() + 1;
    return text.substr(at, text.find('\n', at) - at);
  };
  out.httpPort = uint16_t(std::atoi(field("http_port").c_str()));
  out.httpsPort = uint16_t(std::atoi(field("https_port").c_str()));
  out.caFile = field("ca_file");
  return out.httpPort && out.httpsPort && !out.caFile.empty();
}

bool MakeFile(const fs::path& file, size_t megabytes) {
  FILE* out = std::fopen(file.c_str(), "wb");
  if (!out) return false;
  std::vector<unsigned char> block(1 << 20);
  uint32_t state = 12345;
  for (auto& b : block) {
    state = state * 1103515245u + 12345u;
    b = static_cast<unsigned char>(state >> 24);
  }
  bool ok = true;
  for (size_t i = 0; i < megabytes && ok; ++i) {
    block[0] = static_cast<unsigned char>(i);
    ok = std::fwrite(block.data(), 1, block.size(), out) == block.size();
  }
  return std::fclose(out) == 0 && ok;
}

double Seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

int64_t g_chunks = 0;
bool CountChunk(const DownloadProgress*) {
  ++g_chunks;
  return true;
}

// Seconds for one download through a fresh agent (no connection to reuse, as curl has
// none); negative on failure.
double AgentRun(const std::string& caFile, const std::string& url, const fs::path& target,
                uintmax_t size) {
  fs::remove(target);
  Corvane::Network::AssistantHttp agent;
  agent.SetCaFile(caFile);
  agent.SetTimeouts(3000, 5000, 5000, 5000);
  std::u16string url16 = platform::Utf8ToUtf16(url), file16 = platform::Utf8ToUtf16(target.string());
  DownloadSink sink{url16.c_str(), file16.c_str(), &CountChunk, 0};
  auto start = std::chrono::steady_clock::now();
  platform::HRESULT hr = agent.DownloadToHostFile(url16, target, &sink);
  double seconds = Seconds(std::chrono::steady_clock::now() - start);
  std::error_code ec;
  if (hr != 0 || fs::file_size(target, ec) != size) {
    std::fprintf(stderr, "agent download failed: 0x%08X\n", uint32_t(hr));
    return -1;
  }
  return seconds;
}

double CurlRun(const std::string& url, const std::string& caFile, const fs::path& target, uintmax_t size) {
  fs::remove(target);
  auto start = std::chrono::steady_clock::now();
  pid_t pid = Spawn({"curl", "--silent", "--show-error", "--http1.1", "--cacert", caFile, "--output",
                     target.string(), url},
                    -1);
  int status = 0;
  if (pid <= 0 || waitpid(pid, &status, 0) != pid) return -1;
  double seconds = Seconds(std::chrono::steady_clock::now() - start);
  std::error_code ec;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || fs::file_size(target, ec) != size) {
    std::fprintf(stderr, "curl download failed\n");
    return -1;
  }
  return seconds;
}

}  // namespace

int main(int argc, char** argv) {
  size_t megabytes = 256;
  int runs = 5;
  std::string demoBank = DEMO_BANK_BIN;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string arg = argv[i];
    if (arg == "--size-mb") megabytes = size_t(std::atoi(argv[i + 1]));
    else if (arg == "--runs") runs = std::atoi(argv[i + 1]);
    else if (arg == "--demo-bank") demoBank = argv[i + 1];
  }
  if (megabytes == 0 || runs <= 0) {
    std::fputs("usage: download_bench [--size-mb N] [--runs N] [--demo-bank PATH]\n", stderr);
    return 2;
  }

  char pattern[] = "/tmp/download-bench-XXXXXX";
  if (!mkdtemp(pattern)) return 1;
  const fs::path work = pattern;
  fs::create_directories(work / "site");
  const fs::path source = work / "site/big.bin";
  if (!MakeFile(source, megabytes)) {
    std::fprintf(stderr, "cannot write %s\n", source.c_str());
    return 1;
  }
  const uintmax_t size = fs::file_size(source);
  Server server;
  if (!StartServer(demoBank, work / "site", work / "bank", server)) {
    std::fprintf(stderr, "cannot start %s\n", demoBank.c_str());
    return 1;
  }

  std::printf("download of %zu MB from the demo bank server on loopback to disk, best of %d runs\n",
              megabytes, runs);
  std::printf("%-6s %12s %12s %8s\n", "scheme", "agent MB/s", "curl MB/s", "ratio");
  int exitCode = 0;
  for (bool secure : {false, true}) {
    const std::string url = std::string(secure ? "https" : "http") + "://127.0.0.1:" +
                            std::to_string(secure ? server.httpsPort : server.httpPort) + "/big.bin";
    double bestAgent = 1e100, bestCurl = 1e100;
    for (int run = 0; run < runs; ++run) {
      // Alternate the order so that neither always meets a warm or cold cache first.
      double a, c;
      if (run % 2 == 0) {
        a = AgentRun(server.caFile, url, work / "agent.bin", size);
        c = CurlRun(url, server.caFile, work / "curl.bin", size);
      } else {
        c = CurlRun(url, server.caFile, work / "curl.bin", size);
        a = AgentRun(server.caFile, url, work / "agent.bin", size);
      }
      if (a < 0 || c < 0) {
        exitCode = 1;
        break;
      }
      bestAgent = std::min(bestAgent, a);
      bestCurl = std::min(bestCurl, c);
    }
    if (exitCode) break;
    const double mb = double(size) / (1024.0 * 1024.0);
    std::printf("%-6s %12.1f %12.1f %8.2f\n", secure ? "https" : "http", mb / bestAgent, mb / bestCurl,
                bestCurl / bestAgent);
  }
  std::printf("progress notifications: %lld\n", static_cast<long long>(g_chunks));

  kill(server.pid, SIGTERM);
  waitpid(server.pid, nullptr, 0);
  fs::remove_all(work);
  return exitCode;
}
