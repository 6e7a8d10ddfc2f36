// Lumedesk: the online-banking environment assistant.
#include <signal.h>

#include <cstdio>
#include <thread>

#include "app/assistant_app.h"
#include "platform/machine.h"
#include "platform/message_queue.h"
#include "platform/text.h"

namespace {

// Termination signals end the program the way closing its window does: the message loop
// ends and the exit sequence runs. They are taken by one thread with sigwait, so no
// handler runs in the middle of other work.
void StartSignalThread() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, s);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread([set] {
    int signal = 0;
    while (sigwait(&set, &signal) == 0) platform::UiQueue().PostQuit(0);
  }).detach();
}

}  // namespace

int main(int argc, char** argv) {
  StartSignalThread();
  std::string error;
  if (platform::SelectCurrentMachine(&error) != platform::ERROR_SUCCESS) {
    std::fprintf(stderr, "Lumedesk: %s\n", error.c_str());
    return 1;
  }
  std::vector<std::u16string> commandLine;
  for (int i = 0; i < argc; ++i) commandLine.push_back(platform::Utf8ToUtf16(argv[i]));
  CAssistantApp app(std::move(commandLine));
  return app.Run();
}
