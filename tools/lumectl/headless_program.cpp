#include "tools/lumectl/headless_program.h"

#include <cstdio>
#include <cstdlib>

namespace lumectl {

bool HeadlessProgram::Start(const char* verb) {
  const char* log = std::getenv(platform::kMessageLogVariable);
  messages_ = std::make_shared<platform::RecordingPresenter>(log ? log : "");
  platform::SetMessagePresenter(messages_);
  // The commands work on Lumedesk's own settings and see a Lumedesk started without
  // arguments; another Lumedesk may run at the same time.
  app_ = std::make_unique<CAssistantApp>(std::vector<std::u16string>{u"Lumedesk"},
                                         std::u16string(u"Lumedesk"));
  if (!app_->ProcessSetup(/*singleInstance=*/false)) {
    std::fprintf(stderr, "lumectl %s: the program's set-up failed\n", verb);
    return false;
  }
  app_->SetOptions();
  app_->SetHttpTimeouts();
  return true;
}

}  // namespace lumectl
