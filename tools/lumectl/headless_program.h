// Lumedesk's program state without a window, for the lumectl verbs that run page commands:
// the program's set-up and options, its settings key, and message boxes recorded instead
// of shown (also appended to LUMEDESK_MESSAGES when that is set).
#pragma once

#include <memory>

#include "app/assistant_app.h"
#include "platform/message_box.h"

namespace lumectl {

class HeadlessProgram {
 public:
  // False, with a message on standard error naming `verb`, when the set-up fails.
  bool Start(const char* verb);

  CAssistantApp& App() { return *app_; }
  platform::RecordingPresenter& Messages() { return *messages_; }

 private:
  std::shared_ptr<platform::RecordingPresenter> messages_;
  std::unique_ptr<CAssistantApp> app_;
};

}  // namespace lumectl
