#include "platform/message_box.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <utility>

#include "platform/json.h"
#include "platform/text.h"

extern char** environ;

namespace platform {

std::string MessageBoxJson(const MessageBoxRequest& box) {
  return "{\"content\":" + JsonQuote(box.content) +
         ",\"mainInstruction\":" + JsonQuote(box.mainInstruction) +
         ",\"title\":" + JsonQuote(box.title) + ",\"icon\":" + std::to_string(box.icon) +
         ",\"form\":\"" + (box.form == BoxForm::TaskDialog ? "taskdialog" : "messagebox") +
         "\"}";
}

RecordingPresenter::RecordingPresenter(std::filesystem::path file, int answer)
    : file_(std::move(file)), answer_(answer) {}

int RecordingPresenter::Present(const MessageBoxRequest& box) {
  std::lock_guard lock(mutex_);
  boxes_.push_back(box);
  if (!file_.empty()) {
    std::ofstream out(file_, std::ios::app | std::ios::binary);
    out << MessageBoxJson(box) << "\n";
  }
  return answer_;
}

std::vector<MessageBoxRequest> RecordingPresenter::Take() {
  std::lock_guard lock(mutex_);
  return std::exchange(boxes_, {});
}

namespace {

std::string FindZenity() {
  for (const char* dir : {"/usr/bin", "/usr/local/bin", "/bin"}) {
    std::string path = std::string(dir) + "/zenity";
    if (access(path.c_str(), X_OK) == 0) return path;
  }
  return {};
}

bool HaveDisplay() {
  const char* x = std::getenv("DISPLAY");
  const char* w = std::getenv("WAYLAND_DISPLAY");
  return (x && *x) || (w && *w);
}

}  // namespace

int DesktopPresenter::Present(const MessageBoxRequest& box) {
  std::string zenity = HaveDisplay() ? FindZenity() : std::string();
  if (zenity.empty()) {
    std::fprintf(stderr, "message box: %s\n", MessageBoxJson(box).c_str());
    return IDOK;
  }
  const char* kind = box.icon == 5 ? "--error" : box.icon == 2 ? "--warning" : "--info";
  std::string text = Utf16ToUtf8(box.mainInstruction);
  if (!text.empty() && !box.content.empty()) text += "\n\n";
  text += Utf16ToUtf8(box.content);
  std::string title = "--title=" + Utf16ToUtf8(box.title);
  std::string body = "--text=" + text;
  std::vector<char*> argv{zenity.data(), const_cast<char*>(kind), title.data(), body.data(),
                          const_cast<char*>("--no-markup"), nullptr};
  pid_t pid;
  if (posix_spawn(&pid, zenity.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
    std::fprintf(stderr, "message box: %s\n", MessageBoxJson(box).c_str());
    return IDOK;
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return IDOK;
}

namespace {
std::mutex g_presenterMutex;
std::shared_ptr<IMessagePresenter> g_presenter;
}  // namespace

std::shared_ptr<IMessagePresenter> MessagePresenter() {
  std::lock_guard lock(g_presenterMutex);
  if (!g_presenter) {
    const char* file = std::getenv(kMessageLogVariable);
    if (file && *file)
      g_presenter = std::make_shared<RecordingPresenter>(file);
    else
      g_presenter = std::make_shared<DesktopPresenter>();
  }
  return g_presenter;
}

void SetMessagePresenter(std::shared_ptr<IMessagePresenter> presenter) {
  std::lock_guard lock(g_presenterMutex);
  g_presenter = std::move(presenter);
}

}  // namespace platform
