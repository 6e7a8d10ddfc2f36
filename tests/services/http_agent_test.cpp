// The HTTP agent against the demo bank server on loopback.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "services/http/http_agent.h"
#include "tests/support/demo_bank_server.h"
#include "tests/support/machine_fixture.h"

namespace fs = std::filesystem;
using platform::HRESULT;
using platform::HRESULT_FROM_WIN32;
using platform::Utf8ToUtf16;

namespace {

// Notifications received by RecordProgress, copied.
struct Notification {
  int64_t received;
  int64_t total;
  int32_t percent;
  uint8_t active;
  int32_t param;
  std::u16string url;
  std::u16string file;
};
std::mutex g_notificationsMutex;
std::vector<Notification> g_notifications;

bool RecordProgress(const DownloadProgress* p) {
  std::lock_guard lock(g_notificationsMutex);
  g_notifications.push_back({p->received, p->total, p->percent, p->active, p->param,
                             p->url ? p->url : u"", p->file ? p->file : u""});
  return true;
}

std::vector<Notification> Notifications() {
  std::lock_guard lock(g_notificationsMutex);
  return g_notifications;
}

void WriteFile(const fs::path& file, const std::string& content) {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << content;
}

std::string Pattern(size_t size) {
  std::string text(size, '\0');
  for (size_t i = 0; i < size; ++i) text[i] = char('a' + (i * 7 + i / 251) % 26);
  return text;
}

// Names in a folder other than the expected ones (partial or temporary files).
std::vector<std::string> FolderEntries(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
  return names;
}

uint16_t ClosedPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

constexpr char kConfig[] = "<?xml version=\"1.0\"?><config bank=\"haverly\"/>";
const HRESULT kSecureFailure = HRESULT_FROM_WIN32(platform::ERROR_WINHTTP_SECURE_FAILURE);
const HRESULT kTimeout = HRESULT_FROM_WIN32(platform::ERROR_WINHTTP_TIMEOUT);

class HttpAgentTest : public testing_support::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    {
      std::lock_guard lock(g_notificationsMutex);
      g_notifications.clear();
    }
    site_ = Dir() / "site";
    WriteFile(site_ / "perbank/ocx/conf/item_HaverlyRX.xml", kConfig);
    WriteFile(site_ / "conf/a.xml", "<a/>");
    WriteFile(site_ / "conf/a.xmlb.xml", "<glued/>");
    setup_ = Pattern(300 * 1024 + 17);
    WriteFile(site_ / "files/setup.exe", setup_);
    ASSERT_TRUE(server_.Start(site_, Dir() / "bank", {"--stall-ms", "30000"}));
    downloads_ = Image() / "drive_c/Downloads";
    fs::create_directories(downloads_);
  }
  void TearDown() override {
    server_.Stop();
    MachineTest::TearDown();
  }

  std::unique_ptr<Corvane::Network::AssistantHttp> MakeAgent() {
    auto agent = std::make_unique<Corvane::Network::AssistantHttp>();
    agent->SetCaFile(server_.caFile);
    agent->SetTimeouts(3000, 5000, 5000, 5000);
    return agent;
  }

  HRESULT Get(CWinHttpAgent& agent, const std::string& url, std::string& body) {
    return agent.Get(Utf8ToUtf16(url), {}, body);
  }

  // Downloads into C:\Downloads\NAME with the recording sink.
  HRESULT Download(CWinHttpAgent& agent, const std::string& url, const std::string& name) {
    url16_ = Utf8ToUtf16(url);
    file16_ = u"C:\\Downloads\\" + Utf8ToUtf16(name);
    DownloadSink sink;
    sink.url = url16_.c_str();
    sink.file = file16_.c_str();
    sink.callback = &RecordProgress;
    sink.param = 77;
    return agent.Download(url16_, file16_, &sink);
  }

  testing_support::LoggedRequest LastRequest() {
    auto requests = server_.Requests();
    return requests.empty() ? testing_support::LoggedRequest{} : requests.back();
  }

  fs::path site_, downloads_;
  std::string setup_;
  std::u16string url16_, file16_;
  testing_support::DemoBankServer server_;
};

TEST_F(HttpAgentTest, GetReadsTheConfigurationOverHttpsAsMozilla) {
  auto agent = MakeAgent();
  std::string body;
  ASSERT_EQ(Get(*agent, server_.HttpsUrl("/perbank/ocx/conf/item_HaverlyRX.xml"), body), 0);
  EXPECT_EQ(body, kConfig);
  auto request = LastRequest();
  EXPECT_EQ(request.scheme, "https");
  EXPECT_EQ(request.userAgent, "Mozilla/5.0");
  EXPECT_EQ(agent->LastStatus(), 200);
}

TEST_F(HttpAgentTest, SchemeInCapitalsIsAbsoluteAndSecure) {
  auto agent = MakeAgent();
  std::string body;
  std::string url = "HTTPS://127.0.0.1:" + std::to_string(server_.httpsPort) + "/conf/a.xml";
  ASSERT_EQ(Get(*agent, url, body), 0);
  EXPECT_EQ(body, "<a/>");
  EXPECT_EQ(LastRequest().scheme, "https");
  EXPECT_EQ(LastRequest().target, "/conf/a.xml");
}

TEST_F(HttpAgentTest, QueryAndFragmentOfAnAbsoluteUrlAreNotSent) {
  auto agent = MakeAgent();
  std::string body;
  ASSERT_EQ(Get(*agent, server_.HttpsUrl("/conf/a.xml?x=1#top"), body), 0);
  EXPECT_EQ(body, "<a/>");
  EXPECT_EQ(LastRequest().target, "/conf/a.xml");
}

TEST_F(HttpAgentTest, RelativeTextIsGluedToTheLastPathOnTheSameConnection) {
  auto agent = MakeAgent();
  std::string first, second;
  ASSERT_EQ(Get(*agent, server_.HttpsUrl("/conf/a.xml"), first), 0);
  ASSERT_EQ(agent->Get(u"b.xml", {}, second), 0);
  EXPECT_EQ(second, "<glued/>");
  auto requests = server_.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].target, "/conf/a.xmlb.xml");
  EXPECT_EQ(requests[1].scheme, "https");
  EXPECT_EQ(requests[1].connection, requests[0].connection);
}

TEST_F(HttpAgentTest, RelativeTextWithoutAnyConnectionFails) {
  auto agent = MakeAgent();
  std::string body = "untouched";
  EXPECT_EQ(agent->Get(u"conf/a.xml", {}, body), HRESULT_FROM_WIN32(platform::ERROR_INVALID_HANDLE));
  EXPECT_EQ(body, "untouched");
}

TEST_F(HttpAgentTest, ConnectionIsReusedOnlyWhileHostAndPortStayTheSame) {
  auto agent = MakeAgent();
  std::string body;
  const std::string localhost = "http://localhost:" + std::to_string(server_.httpPort);
  const std::string LOCALHOST = "http://LOCALHOST:" + std::to_string(server_.httpPort);
  // same host and port; another port; back again; the same host spelt in capitals
  for (const std::string& url :
       {server_.HttpUrl("/conf/a.xml"), server_.HttpUrl("/perbank/ocx/conf/item_HaverlyRX.xml"),
        server_.HttpsUrl("/conf/a.xml"), server_.HttpUrl("/conf/a.xml"), localhost + "/conf/a.xml",
        LOCALHOST + "/conf/a.xml"})
    ASSERT_EQ(Get(*agent, url, body), 0) << url;
  auto r = server_.Requests();
  ASSERT_EQ(r.size(), 6u);
  EXPECT_EQ(r[0].connection, r[1].connection);
  EXPECT_NE(r[2].connection, r[1].connection);
  EXPECT_NE(r[3].connection, r[0].connection);
  EXPECT_NE(r[4].connection, r[3].connection);
  EXPECT_NE(r[5].connection, r[4].connection);
}

TEST_F(HttpAgentTest, NewConnectionClearsTheCurrentPath) {
  auto agent = MakeAgent();
  std::string body;
  ASSERT_EQ(Get(*agent, server_.HttpUrl("/conf/a.xml"), body), 0);
  ASSERT_EQ(Get(*agent, server_.HttpsUrl("/files/setup.exe"), body), 0);
  ASSERT_EQ(agent->Get(u"x", {}, body), 0);
  EXPECT_EQ(LastRequest().target, "/files/setup.exex");
  EXPECT_EQ(LastRequest().scheme, "https");
}

TEST_F(HttpAgentTest, GetOfA404AnswersOkAndLeavesTheBody) {
  auto agent = MakeAgent();
  std::string body = "before";
  EXPECT_EQ(Get(*agent, server_.HttpsUrl("/conf/missing.xml"), body), 0);
  EXPECT_EQ(body, "before");
  EXPECT_EQ(agent->LastStatus(), 404);
}

TEST_F(HttpAgentTest, GetOfAShortBodyFailsAndLeavesTheBody) {
  auto agent = MakeAgent();
  std::string body = "before";
  EXPECT_EQ(Get(*agent, server_.HttpsUrl("/__fault/short/files/setup.exe"), body), platform::E_FAIL);
  EXPECT_EQ(body, "before");
}

TEST_F(HttpAgentTest, DownloadWritesTheFileAndReportsProgressThenCompletion) {
  auto agent = MakeAgent();
  ASSERT_EQ(Download(*agent, server_.HttpsUrl("/files/setup.exe"), "setup.exe"), 0);
  EXPECT_EQ(testing_support::ReadText(downloads_ / "setup.exe"), setup_);
  EXPECT_EQ(FolderEntries(downloads_), std::vector<std::string>{"setup.exe"});
  auto n = Notifications();
  ASSERT_GE(n.size(), 2u);
  const int64_t size = int64_t(setup_.size());
  int32_t lastPercent = 0;
  for (size_t i = 0; i + 1 < n.size(); ++i) {
    EXPECT_EQ(n[i].active, 1);
    EXPECT_EQ(n[i].total, size);
    EXPECT_EQ(n[i].percent, int32_t(n[i].received * 100 / size));
    EXPECT_GE(n[i].percent, lastPercent);
    lastPercent = n[i].percent;
  }
  const Notification& done = n.back();
  EXPECT_EQ(done.active, 1);
  EXPECT_EQ(done.received, size);
  EXPECT_EQ(done.total, size);
  EXPECT_EQ(done.percent, 100);
  EXPECT_EQ(done.param, 77);
  EXPECT_EQ(done.url, url16_);
  EXPECT_EQ(done.file, file16_);
}

TEST_F(HttpAgentTest, DownloadAbove21MegabytesKeepsThePercentageInRange) {
  // received * 100 overflows 32 bits above 21 MB.
  fs::resize_file(site_ / "files/setup.exe", 0);
  fs::resize_file(site_ / "files/setup.exe", 40u << 20);
  auto agent = MakeAgent();
  ASSERT_EQ(Download(*agent, server_.HttpUrl("/files/setup.exe"), "big.bin"), 0);
  auto n = Notifications();
  ASSERT_FALSE(n.empty());
  int32_t lastPercent = 0;
  for (const auto& note : n) {
    EXPECT_GE(note.percent, lastPercent);
    EXPECT_LE(note.percent, 100);
    lastPercent = note.percent;
  }
  EXPECT_EQ(n.back().percent, 100);
  EXPECT_EQ(n.back().received, int64_t(40u << 20));
}

TEST_F(HttpAgentTest, DownloadOfA404SendsARefusedNotificationAndMakesNoFile) {
  auto agent = MakeAgent();
  EXPECT_EQ(Download(*agent, server_.HttpsUrl("/files/none.exe"), "none.exe"), 0);
  EXPECT_TRUE(FolderEntries(downloads_).empty());
  auto n = Notifications();
  ASSERT_EQ(n.size(), 1u);
  EXPECT_EQ(n[0].active, 0);
  EXPECT_EQ(n[0].received, 0);
  EXPECT_EQ(n[0].total, 0);
}

TEST_F(HttpAgentTest, DownloadWithoutContentLengthSucceedsWithTotalZero) {
  auto agent = MakeAgent();
  ASSERT_EQ(Download(*agent, server_.HttpsUrl("/__fault/nolength/files/setup.exe"), "setup.exe"), 0);
  EXPECT_EQ(testing_support::ReadText(downloads_ / "setup.exe"), setup_);
  auto n = Notifications();
  ASSERT_GE(n.size(), 2u);
  for (size_t i = 0; i + 1 < n.size(); ++i) {
    EXPECT_EQ(n[i].total, 0);
    EXPECT_EQ(n[i].percent, 0);
  }
  EXPECT_EQ(n.back().active, 1);
  EXPECT_EQ(n.back().total, 0);
  EXPECT_EQ(n.back().received, int64_t(setup_.size()));
  EXPECT_EQ(n.back().percent, 100);
}

TEST_F(HttpAgentTest, ShortBodyFailsAndLeavesNoPartialFile) {
  auto agent = MakeAgent();
  // Over a fresh name and over an older good copy.
  WriteFile(downloads_ / "kept.exe", "good old copy");
  for (const char* name : {"setup.exe", "kept.exe"}) {
    {
      std::lock_guard lock(g_notificationsMutex);
      g_notifications.clear();
    }
    EXPECT_EQ(Download(*agent, server_.HttpsUrl("/__fault/short/files/setup.exe"), name),
              platform::E_FAIL);
    auto n = Notifications();
    ASSERT_FALSE(n.empty());
    EXPECT_EQ(n.back().active, 0);
    EXPECT_EQ(n.back().received, 0);
    EXPECT_EQ(n.back().total, int64_t(setup_.size()));
  }
  EXPECT_EQ(FolderEntries(downloads_), std::vector<std::string>{"kept.exe"});
  EXPECT_EQ(testing_support::ReadText(downloads_ / "kept.exe"), "good old copy");
}

TEST_F(HttpAgentTest, UntrustedOrWrongHostCertificatesAreRefused) {
  auto agent = MakeAgent();
  for (uint16_t port : {server_.untrustedPort, server_.wrongHostPort}) {
    std::string url = "https://127.0.0.1:" + std::to_string(port) + "/conf/a.xml";
    std::string body;
    EXPECT_EQ(Get(*agent, url, body), kSecureFailure) << port;
    EXPECT_TRUE(body.empty());
    EXPECT_EQ(Download(*agent, url, "a.xml"), kSecureFailure) << port;
  }
  EXPECT_TRUE(FolderEntries(downloads_).empty());
  // Without the demo CA the system's authorities do not know the server either.
  auto plain = MakeAgent();
  plain->SetCaFile({});
  std::string body;
  EXPECT_EQ(Get(*plain, server_.HttpsUrl("/conf/a.xml"), body), kSecureFailure);
}

TEST_F(HttpAgentTest, AStalledServerEndsAfterTheTimeOut) {
  auto agent = MakeAgent();
  agent->SetTimeouts(1000, 1000, 1000, 1000);
  std::string body = "before";
  EXPECT_EQ(Get(*agent, server_.HttpUrl("/__fault/stall/conf/a.xml"), body), kTimeout);
  EXPECT_EQ(body, "before");
  EXPECT_EQ(Download(*agent, server_.HttpsUrl("/__fault/stall-body/files/setup.exe"), "setup.exe"),
            kTimeout);
  EXPECT_TRUE(FolderEntries(downloads_).empty());
  auto n = Notifications();
  ASSERT_FALSE(n.empty());
  EXPECT_EQ(n.back().active, 0);
}

TEST_F(HttpAgentTest, RedirectFromHttpsToHttpIsRefused) {
  auto agent = MakeAgent();
  std::string body;
  EXPECT_EQ(Get(*agent, server_.HttpsUrl("/__redirect/http/conf/a.xml"), body),
            HRESULT_FROM_WIN32(platform::ERROR_WINHTTP_REDIRECT_FAILED));
  EXPECT_TRUE(body.empty());
  EXPECT_EQ(Get(*agent, server_.HttpUrl("/__redirect/https/conf/a.xml"), body), 0);
  EXPECT_EQ(body, "<a/>");
}

TEST_F(HttpAgentTest, NetworkFailuresMapToWinHttpErrors) {
  auto agent = MakeAgent();
  struct Case {
    std::string url;
    platform::LSTATUS error;
  } cases[] = {
      {"http://127.0.0.1:" + std::to_string(ClosedPort()) + "/", platform::ERROR_WINHTTP_CANNOT_CONNECT},
      {"http://no-such-host.invalid/", platform::ERROR_WINHTTP_NAME_NOT_RESOLVED},
      {"http://127.0.0.1:99999/", platform::ERROR_WINHTTP_INVALID_URL},
      {"https:///nohost", platform::ERROR_WINHTTP_INVALID_URL},
  };
  for (const auto& c : cases) {
    std::string body;
    EXPECT_EQ(Get(*agent, c.url, body), HRESULT_FROM_WIN32(c.error)) << c.url;
  }
  // No notification for a request that never got an answer.
  EXPECT_EQ(Download(*agent, cases[0].url + "x.exe", "x.exe"),
            HRESULT_FROM_WIN32(platform::ERROR_WINHTTP_CANNOT_CONNECT));
  EXPECT_TRUE(Notifications().empty());
}

TEST_F(HttpAgentTest, DownloadTargetsOutsideTheImageOrInUseAreRefused) {
  auto agent = MakeAgent();
  DownloadSink sink;
  sink.callback = &RecordProgress;
  const std::u16string url = Utf8ToUtf16(server_.HttpsUrl("/files/setup.exe"));
  EXPECT_EQ(agent->Download(url, u"C:\\..\\..\\escape.exe", &sink),
            HRESULT_FROM_WIN32(platform::ERROR_ACCESS_DENIED));
  WriteFile(downloads_ / "held.exe", "held");
  platform::FileHold hold;
  ASSERT_EQ(platform::FileHold::Acquire(u"C:\\Downloads\\held.exe", platform::FileUse::Locked, hold), 0);
  EXPECT_EQ(agent->Download(url, u"C:\\Downloads\\held.exe", &sink),
            HRESULT_FROM_WIN32(platform::ERROR_SHARING_VIOLATION));
  EXPECT_EQ(testing_support::ReadText(downloads_ / "held.exe"), "held");
  EXPECT_EQ(FolderEntries(downloads_), std::vector<std::string>{"held.exe"});
  auto n = Notifications();
  ASSERT_EQ(n.size(), 2u);
  EXPECT_EQ(n[0].active, 0);
  EXPECT_EQ(n[1].active, 0);
}

// A progress callback that calls the agent back.
CWinHttpAgent* g_reentered = nullptr;
HRESULT g_reentryResult = 0;
bool CallAgentBack(const DownloadProgress*) {
  std::string body;
  g_reentryResult = g_reentered->Get(u"x", {}, body);
  return true;
}

TEST_F(HttpAgentTest, ACallbackCallingTheAgentIsRefusedInsteadOfDeadlocking) {
  auto agent = MakeAgent();
  g_reentered = agent.get();
  DownloadSink sink;
  sink.callback = &CallAgentBack;
  const std::u16string url = Utf8ToUtf16(server_.HttpsUrl("/conf/a.xml"));
  EXPECT_EQ(agent->Download(url, u"C:\\Downloads\\a.xml", &sink), 0);
  EXPECT_EQ(g_reentryResult, platform::E_UNEXPECTED);
}

TEST_F(HttpAgentTest, ConcurrentCallsNeverShareARequest) {
  auto agent = MakeAgent();
  std::atomic<int> wrong{0};
  auto worker = [&](const std::string& url, const std::string& expected) {
    for (int i = 0; i < 10; ++i) {
      std::string body;
      if (Get(*agent, url, body) != 0 || body != expected) ++wrong;
    }
  };
  std::thread a(worker, server_.HttpUrl("/conf/a.xml"), "<a/>");
  std::thread b(worker, server_.HttpsUrl("/perbank/ocx/conf/item_HaverlyRX.xml"), kConfig);
  a.join();
  b.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
