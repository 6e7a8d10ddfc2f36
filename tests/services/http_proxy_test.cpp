// The HTTP agent's proxy: the user's Internet settings, bypass lists and PAC scripts, with a
// tiny forwarding proxy on loopback in front of the demo bank server.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/registry.h"
#include "platform/text.h"
#include "services/http/http_agent.h"
#include "services/http/pac_script.h"
#include "services/http/proxy_config.h"
#include "tests/support/demo_bank_server.h"
#include "tests/support/machine_fixture.h"

namespace fs = std::filesystem;
using platform::Utf8ToUtf16;

namespace {

int ConnectLoopback(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool SendAll(int fd, const std::string& data) {
  for (size_t done = 0; done < data.size();) {
    ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

// A forwarding proxy for loopback targets: plain requests in absolute form are passed on
// (one per connection), CONNECT opens a tunnel. It records every request line it sees.
class TinyProxy {
 public:
  ~TinyProxy() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    for (auto& t : handlers_) t.join();
    if (listen_ >= 0) close(listen_);
  }

  bool Start() {
    listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listen_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listen_, 16) != 0)
      return false;
    socklen_t length = sizeof address;
    getsockname(listen_, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    thread_ = std::thread([this] { Loop(); });
    return true;
  }

  std::vector<std::string> RequestLines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }

  uint16_t port = 0;

 private:
  void Loop() {
    while (!stop_) {
      pollfd p{listen_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      int client = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      std::lock_guard lock(mutex_);
      handlers_.emplace_back([this, client] { Handle(client); });
    }
  }

  void Handle(int client) {
    std::string head;
    char buffer[16384];
    while (head.find("\r\n\r\n") == std::string::npos) {
      pollfd p{client, POLLIN, 0};
      if (stop_ || poll(&p, 1, 100) < 0) break;
      if (!(p.revents & POLLIN)) continue;
      ssize_t n = recv(client, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      head.append(buffer, size_t(n));
    }
    size_t headEnd = head.find("\r\n\r\n");
    if (headEnd == std::string::npos) {
      close(client);
      return;
    }
    std::string line = head.substr(0, head.find("\r\n"));
    {
      std::lock_guard lock(mutex_);
      lines_.push_back(line);
    }
    // "METHOD TARGET VERSION"; targets are http://127.0.0.1:PORT/path or HOST:PORT.
    std::string method = line.substr(0, line.find(' '));
    std::string target = line.substr(method.size() + 1, line.rfind(' ') - method.size() - 1);
    int upstream = -1;
    if (method == "CONNECT") {
      upstream = ConnectLoopback(uint16_t(std::stoi(target.substr(target.rfind(':') + 1))));
      if (upstream < 0 || !SendAll(client, "HTTP/1.1 200 Connection established\r\n\r\n")) {
        close(client);
        if (upstream >= 0) close(upstream);
        return;
      }
      std::string rest = head.substr(headEnd + 4);
      if (!rest.empty()) SendAll(upstream, rest);
    } else {
      size_t hostStart = target.find("://") + 3;
      size_t pathStart = target.find('/', hostStart);
      std::string hostPort = target.substr(hostStart, pathStart - hostStart);
      size_t colon = hostPort.rfind(':');
      upstream = ConnectLoopback(uint16_t(std::stoi(hostPort.substr(colon + 1))));
      std::string request = method + " " + target.substr(pathStart) + " HTTP/1.1\r\n" +
                            "Host: " + hostPort + "\r\nUser-Agent: tiny-proxy-for-" +
                            HeaderValue(head, "User-Agent") + "\r\nConnection: close\r\n\r\n";
      if (upstream < 0 || !SendAll(upstream, request)) {
        close(client);
        if (upstream >= 0) close(upstream);
        return;
      }
    }
    Relay(client, upstream);
    close(upstream);
    close(client);
  }

  static std::string HeaderValue(const std::string& head, const std::string& name) {
    size_t at = head.find("\r\n" + name + ":");
    if (at == std::string::npos) return "";
    size_t start = head.find_first_not_of(' ', at + name.size() + 3);
    return head.substr(start, head.find("\r\n", start) - start);
  }

  // Copies bytes both ways until either side closes.
  void Relay(int a, int b) {
    char buffer[65536];
    while (!stop_) {
      pollfd p[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
      if (poll(p, 2, 100) < 0) return;
      for (int i = 0; i < 2; ++i) {
        if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        ssize_t n = recv(p[i].fd, buffer, sizeof buffer, 0);
        if (n <= 0 || !SendAll(p[1 - i].fd, std::string(buffer, size_t(n)))) return;
      }
    }
  }

  int listen_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::thread> handlers_;
  std::vector<std::string> lines_;
};

class HttpProxyTest : public testing_support::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    site_ = Dir() / "site";
    fs::create_directories(site_ / "conf");
    std::ofstream(site_ / "conf/a.xml") << "<a/>";
    ASSERT_TRUE(server_.Start(site_, Dir() / "bank"));
    ASSERT_TRUE(proxy_.Start());
  }
  void TearDown() override {
    server_.Stop();
    MachineTest::TearDown();
  }

  void SetInternetSettings(uint32_t enable, const std::string& server, const std::string& bypass,
                           const std::string& pac) {
    platform::RegKey key;
    ASSERT_EQ(platform::RegKey::Create(platform::Hive::CurrentUser, http_proxy::kInternetSettingsKey,
                                       platform::RegView::Process, key),
              0);
    ASSERT_EQ(key.SetDword(u"ProxyEnable", enable), 0);
    // An empty text removes the value.
    for (auto [name, value] : {std::pair{u"ProxyServer", server}, std::pair{u"ProxyOverride", bypass},
                               std::pair{u"AutoConfigURL", pac}}) {
      if (value.empty())
        key.DeleteValue(name);
      else
        ASSERT_EQ(key.SetString(name, Utf8ToUtf16(value)), 0);
    }
  }

  std::unique_ptr<Corvane::Network::AssistantHttp> MakeAgent() {
    auto agent = std::make_unique<Corvane::Network::AssistantHttp>();
    agent->SetCaFile(server_.caFile);
    agent->SetTimeouts(3000, 5000, 5000, 5000);
    return agent;
  }

  std::string Proxy() const { return "127.0.0.1:" + std::to_string(proxy_.port); }
  std::string LocalhostUrl(const std::string& path) const {
    return "http://localhost:" + std::to_string(server_.httpPort) + path;
  }

  void ExpectGet(CWinHttpAgent& agent, const std::string& url) {
    std::string body;
    EXPECT_EQ(agent.Get(Utf8ToUtf16(url), {}, body), 0) << url;
    EXPECT_EQ(body, "<a/>") << url;
  }

  fs::path site_;
  testing_support::DemoBankServer server_;
  TinyProxy proxy_;
};

TEST_F(HttpProxyTest, TheUsersProxyServerCarriesTheRequests) {
  SetInternetSettings(1, Proxy(), "", "");
  auto agent = MakeAgent();
  ExpectGet(*agent, server_.HttpUrl("/conf/a.xml"));
  ExpectGet(*agent, server_.HttpsUrl("/conf/a.xml"));
  auto lines = proxy_.RequestLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "GET " + server_.HttpUrl("/conf/a.xml") + " HTTP/1.1");
  EXPECT_EQ(lines[1], "CONNECT 127.0.0.1:" + std::to_string(server_.httpsPort) + " HTTP/1.1");
  // The plain request reached the bank through the proxy, still as Mozilla/5.0.
  EXPECT_EQ(server_.Requests().front().userAgent, "tiny-proxy-for-Mozilla/5.0");
}

TEST_F(HttpProxyTest, DisabledOrBypassedProxyIsNotUsed) {
  struct Case {
    uint32_t enable;
    std::string bypass;
    std::string url;
    bool viaProxy;
  } cases[] = {
      {0, "", server_.HttpUrl("/conf/a.xml"), false},
      {1, "<local>", LocalhostUrl("/conf/a.xml"), false},
      {1, "<local>", server_.HttpUrl("/conf/a.xml"), true},
      {1, "127.0.0.*;*.example.com", server_.HttpUrl("/conf/a.xml"), false},
      {1, "LOCALHOST:" + std::to_string(server_.httpPort), LocalhostUrl("/conf/a.xml"), false},
      {1, "https://127.0.0.1", server_.HttpUrl("/conf/a.xml"), true},
  };
  for (const auto& c : cases) {
    SetInternetSettings(c.enable, Proxy(), c.bypass, "");
    size_t before = proxy_.RequestLines().size();
    auto agent = MakeAgent();
    ExpectGet(*agent, c.url);
    EXPECT_EQ(proxy_.RequestLines().size() - before, c.viaProxy ? 1u : 0u) << c.bypass << " " << c.url;
  }
}

TEST_F(HttpProxyTest, PacScriptChoosesDirectForOneHostAndTheProxyForAnother) {
  const std::string script =
      "function FindProxyForURL(url, host) {\n"
      "  if (isPlainHostName(host)) return 'DIRECT';\n"
      "  return 'PROXY " + Proxy() + "; DIRECT';\n"
      "}\n";
  std::ofstream(site_ / "proxy.pac") << script;
  fs::create_directories(Image() / "drive_c/Config");
  std::ofstream(Image() / "drive_c/Config/proxy.pac") << script;
  // Served by the bank, and as a file of the machine image.
  for (const std::string& pac : {server_.HttpUrl("/proxy.pac"), std::string("file:///C:/Config/proxy.pac")}) {
    // A session proxy that must not be used where the script answers.
    SetInternetSettings(1, "127.0.0.1:1", "", pac);
    size_t before = proxy_.RequestLines().size();
    auto agent = MakeAgent();
    ExpectGet(*agent, LocalhostUrl("/conf/a.xml"));
    EXPECT_EQ(proxy_.RequestLines().size(), before) << pac;
    ExpectGet(*agent, server_.HttpUrl("/conf/a.xml"));
    auto lines = proxy_.RequestLines();
    ASSERT_EQ(lines.size(), before + 1) << pac;
    EXPECT_EQ(lines.back(), "GET " + server_.HttpUrl("/conf/a.xml") + " HTTP/1.1");
  }
}

TEST_F(HttpProxyTest, UnusablePacScriptFallsBackToTheSessionProxy) {
  std::ofstream(site_ / "broken.pac") << "function FindProxyForURL(url, host) { return 'PROX";
  SetInternetSettings(1, Proxy(), "", server_.HttpUrl("/broken.pac"));
  auto agent = MakeAgent();
  ExpectGet(*agent, server_.HttpUrl("/conf/a.xml"));
  EXPECT_EQ(proxy_.RequestLines().size(), 1u);
  // A script that cannot be fetched: the same.
  SetInternetSettings(1, Proxy(), "", server_.HttpUrl("/missing.pac"));
  auto other = MakeAgent();
  ExpectGet(*other, server_.HttpUrl("/conf/a.xml"));
  EXPECT_EQ(proxy_.RequestLines().size(), 2u);
}

TEST(ProxyChoiceTest, NamedProxyListsAndBypassEntries) {
  struct Case {
    const char* list;
    const char* bypass;
    bool secure;
    const char* host;
    uint16_t port;
    const char* expected;
  } cases[] = {
      {"proxy:8080", "", false, "bank.example", 80, "http://proxy:8080"},
      {"proxy:8080", "", true, "bank.example", 443, "http://proxy:8080"},
      {"http=p1:80;https=p2:8443", "", false, "bank.example", 80, "http://p1:80"},
      {"http=p1:80;https=p2:8443", "", true, "bank.example", 443, "http://p2:8443"},
      {"http=p1:80", "", true, "bank.example", 443, ""},
      {"HTTPS=p2:8443;  ftp=f:21", "", true, "bank.example", 443, "http://p2:8443"},
      {"http=p1:80 https=p2:8443", "", true, "bank.example", 443, "http://p2:8443"},
      {"proxy:8080", "<local>", false, "intranet", 80, ""},
      {"proxy:8080", "<local>", false, "bank.example", 80, "http://proxy:8080"},
      {"proxy:8080", "*.EXAMPLE;10.*", false, "bank.example", 80, ""},
      {"proxy:8080", "*.example", false, "example", 80, "http://proxy:8080"},
      {"proxy:8080", "10.*", false, "10.1.2.3", 80, ""},
      {"proxy:8080", "bank.example:8443", true, "bank.example", 8443, ""},
      {"proxy:8080", "bank.example:8443", true, "bank.example", 443, "http://proxy:8080"},
      {"proxy:8080", "http://bank.example", true, "bank.example", 443, "http://proxy:8080"},
      {"", "", false, "bank.example", 80, ""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(http_proxy::ChooseNamedProxy(c.list, c.bypass, c.secure, c.host, c.port), c.expected)
        << c.list << " | " << c.bypass << " | " << c.host;
}

TEST(ProxyChoiceTest, PacResultsTakeTheFirstUsableEntry) {
  struct Case {
    const char* result;
    bool valid;
    const char* proxy;
  } cases[] = {
      {"DIRECT", true, ""},
      {"PROXY p:3128; DIRECT", true, "http://p:3128"},
      {"  proxy   p:3128 ", true, "http://p:3128"},
      {"HTTPS p:443", true, "https://p:443"},
      {"SOCKS s:1080", true, "socks5h://s:1080"},
      {"BOGUS x; PROXY p:1", true, "http://p:1"},
      {"PROXY ; DIRECT", true, ""},
      {"", false, ""},
      {"nonsense", false, ""},
  };
  for (const auto& c : cases) {
    auto choice = http_proxy::ParsePacResult(c.result);
    EXPECT_EQ(choice.valid, c.valid) << c.result;
    EXPECT_EQ(choice.proxy, c.proxy) << c.result;
  }
}

// Each expression is evaluated inside FindProxyForURL and returned as text.
TEST(PacScriptTest, HelperFunctions) {
  struct Case {
    const char* expression;
    const char* expected;
  } cases[] = {
      {"isPlainHostName('www')", "true"},
      {"isPlainHostName('www.haverly.com')", "false"},
      {"dnsDomainIs('www.Haverly.com', '.haverly.com')", "true"},
      {"dnsDomainIs('www', '.haverly.com')", "false"},
      {"localHostOrDomainIs('www', 'www.haverly.com')", "true"},
      {"localHostOrDomainIs('www.haverly.com', 'www.haverly.com')", "true"},
      {"localHostOrDomainIs('home.haverly.com', 'www.haverly.com')", "false"},
      {"dnsDomainLevels('www.haverly.com')", "2"},
      {"dnsDomainLevels('www')", "0"},
      {"shExpMatch('http://home.haverly.com/a/b.html', '*/a/*')", "true"},
      {"shExpMatch('x.y', 'x?y')", "true"},
      {"shExpMatch('xay', 'x.y')", "false"},
      {"shExpMatch('a(b)c', 'a(b)*')", "true"},
      {"isInNet('10.1.2.3', '10.0.0.0', '255.0.0.0')", "true"},
      {"isInNet('11.1.2.3', '10.0.0.0', '255.0.0.0')", "false"},
      {"isInNet('192.168.1.200', '192.168.1.128', '255.255.255.128')", "true"},
      {"isInNet('192.168.1.100', '192.168.1.128', '255.255.255.128')", "false"},
      {"isInNet('localhost', '127.0.0.0', '255.0.0.0')", "true"},
      {"dnsResolve('127.0.0.1')", "127.0.0.1"},
      {"dnsResolve('no-such-host.invalid')", "null"},
      {"isResolvable('localhost')", "true"},
      {"/^\\d+\\.\\d+\\.\\d+\\.\\d+$/.test(myIpAddress())", "true"},
      {"weekdayRange('SUN', 'SAT')", "true"},
      {"weekdayRange('SAT', 'FRI', 'GMT')", "true"},
      {"weekdayRange('XYZ')", "false"},
      {"dateRange('JAN', 'DEC')", "true"},
      {"dateRange(1, 31)", "true"},
      {"dateRange(1, 'JAN', 31, 'DEC')", "true"},
      {"dateRange(1995, 1996)", "false"},
      {"timeRange(0, 24)", "true"},
      {"timeRange(0, 0, 23, 60, 'GMT')", "true"},
      {"timeRange('x')", "false"},
  };
  for (const auto& c : cases) {
    std::string script =
        std::string("function FindProxyForURL(url, host) { return String(") + c.expression + "); }";
    std::string result;
    ASSERT_EQ(http_pac::FindProxyForUrl(script, "http://a/", "a", result), http_pac::PacOutcome::Ok)
        << c.expression;
    EXPECT_EQ(result, c.expected) << c.expression;
  }
}

TEST(PacScriptTest, BadScriptsFailWithoutHarmingTheProcess) {
  struct Case {
    const char* script;
    int limitMs;
    http_pac::PacOutcome outcome;
  } cases[] = {
      {"function FindProxyForURL(url, host) { return 'PROX", 5000, http_pac::PacOutcome::Failed},
      {"var x = 1;", 5000, http_pac::PacOutcome::Failed},
      {"function FindProxyForURL(url, host) { return 42; }", 5000, http_pac::PacOutcome::Failed},
      {"function FindProxyForURL(url, host) { throw new Error('no'); }", 5000,
       http_pac::PacOutcome::Failed},
      // Memory is capped: the engine reports the failed allocation as an error.
      {"function FindProxyForURL(url, host) { var s = 'x'; for (;;) s = s + s; }", 5000,
       http_pac::PacOutcome::Failed},
      // A script running past the limit is abandoned (this one ends by itself soon after).
      {"function FindProxyForURL(url, host) { var end = Date.now() + 1500; while (Date.now() < end) {} return 'DIRECT'; }",
       200, http_pac::PacOutcome::TimedOut},
  };
  for (const auto& c : cases) {
    std::string result;
    EXPECT_EQ(http_pac::FindProxyForUrl(c.script, "http://a/", "a", result, c.limitMs), c.outcome)
        << c.script;
  }
}

}  // namespace
