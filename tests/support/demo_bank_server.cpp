#include "tests/support/demo_bank_server.h"

#include <signal.h>

#include <cstdlib>
#include <sstream>

#include "tests/support/machine_fixture.h"

namespace testing_support {

namespace {

std::string Field(const std::string& output, const std::string& name) {
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);)
    if (line.starts_with(name + "=")) return line.substr(name.size() + 1);
  return {};
}

uint16_t PortField(const std::string& output, const std::string& name) {
  return uint16_t(std::strtoul(Field(output, name).c_str(), nullptr, 10));
}

}  // namespace

bool DemoBankServer::Start(const std::filesystem::path& root, const std::filesystem::path& workDir,
                           const std::vector<std::string>& extraArgs) {
  Stop();
  std::error_code ec;
  std::filesystem::create_directories(workDir, ec);
  const std::filesystem::path output = workDir / "demo_bank.out";
  log_ = workDir / "requests.log";
  std::vector<std::string> args{"--root",          root.string(), "--cert-dir", workDir.string(),
                                "--log",           log_.string(), "--exit-with-parent"};
  args.insert(args.end(), extraArgs.begin(), extraArgs.end());
  pid_ = StartProgram(DEMO_BANK_BIN, args, {}, output);
  if (pid_ <= 0 || !WaitForText(output, "ready\n")) {
    Stop();
    return false;
  }
  std::string text = ReadText(output);
  httpPort = PortField(text, "http_port");
  httpsPort = PortField(text, "https_port");
  untrustedPort = PortField(text, "untrusted_port");
  wrongHostPort = PortField(text, "wronghost_port");
  caFile = Field(text, "ca_file");
  return httpPort && httpsPort && untrustedPort && wrongHostPort && !caFile.empty();
}

void DemoBankServer::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  WaitProgram(pid_, 10000);
  pid_ = -1;
}

std::string DemoBankServer::HttpUrl(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(httpPort) + path;
}

std::string DemoBankServer::HttpsUrl(const std::string& path) const {
  return "https://127.0.0.1:" + std::to_string(httpsPort) + path;
}

std::vector<LoggedRequest> DemoBankServer::Requests() const {
  std::vector<LoggedRequest> requests;
  std::istringstream lines(ReadText(log_));
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> fields;
    std::istringstream parts(line);
    for (std::string field; std::getline(parts, field, '\t');) fields.push_back(field);
    if (fields.size() < 6 || !fields[0].starts_with("conn=")) continue;
    LoggedRequest request;
    request.connection = std::strtoull(fields[0].c_str() + 5, nullptr, 10);
    request.scheme = fields[1];
    request.method = fields[2];
    request.target = fields[3];
    request.status = std::atoi(fields[4].c_str());
    request.userAgent = fields[5];
    requests.push_back(std::move(request));
  }
  return requests;
}

}  // namespace testing_support
