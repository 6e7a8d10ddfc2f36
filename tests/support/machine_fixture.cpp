#include "tests/support/machine_fixture.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <chrono>
#include <thread>

#include "platform/environment.h"

extern char** environ;

namespace testing_support {

void MachineTest::SetUp() {
  platform::ResetEnvironmentForTesting();
  char tmpl[] = "/tmp/lumedesk-test-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  dir_ = tmpl;
  std::string error;
  ASSERT_EQ(platform::CreateMachineImage(Image(), Options(), &error), 0) << error;
  ASSERT_EQ(platform::SelectMachine(Image(), &error), 0) << error;
  setenv(platform::kMachineVariable, Image().c_str(), 1);
}

void MachineTest::TearDown() {
  platform::ResetEnvironmentForTesting();
  unsetenv(platform::kMachineVariable);
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

namespace {
std::string ReadAll(int fd) {
  std::string data;
  char buf[65536];
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) data.append(buf, size_t(n));
  return data;
}
}  // namespace

namespace {
std::vector<std::string> MergeEnvironment(const std::vector<std::string>& env) {
  std::vector<std::string> merged;
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    std::string name = entry.substr(0, entry.find('='));
    bool overridden = false;
    for (const auto& extra : env)
      if (extra.substr(0, extra.find('=')) == name) overridden = true;
    if (!overridden) merged.push_back(entry);
  }
  // "NAME=" removes the variable.
  for (const auto& extra : env)
    if (extra.find('=') != std::string::npos && extra.back() != '=') merged.push_back(extra);
  return merged;
}
// The argument and environment arrays posix_spawn takes, with the strings they point into.
struct SpawnLists {
  SpawnLists(const std::string& program, const std::vector<std::string>& args,
             const std::vector<std::string>& env)
      : argStore{program}, envStore(MergeEnvironment(env)) {
    argStore.insert(argStore.end(), args.begin(), args.end());
    for (auto& a : argStore) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : envStore) envp.push_back(e.data());
    envp.push_back(nullptr);
  }
  std::vector<std::string> argStore, envStore;
  std::vector<char*> argv, envp;
};

}  // namespace

pid_t StartProgram(const std::string& program, const std::vector<std::string>& args,
                   const std::vector<std::string>& env, const std::filesystem::path& logFile) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  std::string out = logFile.empty() ? std::string("/dev/null") : logFile.string();
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  SpawnLists lists(program, args, env);
  pid_t pid = -1;
  if (posix_spawn(&pid, program.c_str(), &actions, nullptr, lists.argv.data(), lists.envp.data()) != 0)
    pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

int WaitProgram(pid_t pid, int timeoutMs) {
  if (pid <= 0) return -1;
  for (int waited = 0;; waited += 10) {
    int status = 0;
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (r < 0) return -1;
    if (waited >= timeoutMs) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool WaitForText(const std::filesystem::path& file, const std::string& text, int timeoutMs) {
  for (int waited = 0; waited <= timeoutMs; waited += 10) {
    if (ReadText(file).find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

ProcessResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                         const std::vector<std::string>& env, const std::string& input) {
  // A program that exits without reading its input must not kill the test with SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
  int inPipe[2], outPipe[2], errPipe[2];
  if (pipe2(inPipe, O_CLOEXEC) || pipe2(outPipe, O_CLOEXEC) || pipe2(errPipe, O_CLOEXEC))
    return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);

  SpawnLists lists(program, args, env);

  pid_t pid = 0;
  int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, lists.argv.data(), lists.envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(inPipe[0]);
  close(outPipe[1]);
  close(errPipe[1]);
  ProcessResult result;
  if (rc != 0) {
    close(inPipe[1]);
    close(outPipe[0]);
    close(errPipe[0]);
    result.err = "spawn failed";
    return result;
  }
  std::thread writer([&] {
    size_t done = 0;
    while (done < input.size()) {
      ssize_t n = write(inPipe[1], input.data() + done, input.size() - done);
      if (n <= 0) break;
      done += size_t(n);
    }
    close(inPipe[1]);
  });
  std::thread errReader([&] { result.err = ReadAll(errPipe[0]); });
  result.out = ReadAll(outPipe[0]);
  errReader.join();
  writer.join();
  close(outPipe[0]);
  close(errPipe[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

std::string ReadText(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace testing_support
