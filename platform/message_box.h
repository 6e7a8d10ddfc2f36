// Message boxes shown to the person at the screen, behind an interface: on a desktop a
// real dialog is shown; tests and lumectl record every box as a JSON line and answer it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace platform {

// Button ids as Windows returns them.
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;

enum class BoxForm { TaskDialog, MessageBox };

struct MessageBoxRequest {
  std::u16string content;
  std::u16string mainInstruction;
  std::u16string title;
  int icon = 0;  // the caller's icon kind
  BoxForm form = BoxForm::TaskDialog;
  bool owned = false;  // shown modally to the program's window
};

// {"content":..,"mainInstruction":..,"title":..,"icon":n,"form":"taskdialog"}
std::string MessageBoxJson(const MessageBoxRequest& box);

class IMessagePresenter {
 public:
  virtual ~IMessagePresenter() = default;
  // Shows the box, waits until it is closed and returns the pressed button's id.
  virtual int Present(const MessageBoxRequest& box) = 0;
};

// Records every box and answers it with a fixed button. When a file is given, every box is
// also appended to it as one JSON line at once (other processes read it while we run).
class RecordingPresenter : public IMessagePresenter {
 public:
  explicit RecordingPresenter(std::filesystem::path file = {}, int answer = IDOK);
  int Present(const MessageBoxRequest& box) override;
  std::vector<MessageBoxRequest> Take();  // the boxes recorded so far, cleared

 private:
  std::filesystem::path file_;
  int answer_;
  std::mutex mutex_;
  std::vector<MessageBoxRequest> boxes_;
};

// A real dialog through zenity when a display and zenity are available; otherwise the box
// is written to standard error as a JSON line and answered with OK.
class DesktopPresenter : public IMessagePresenter {
 public:
  int Present(const MessageBoxRequest& box) override;
};

// The environment variable naming a file that records every box (tests of the programs).
inline constexpr const char* kMessageLogVariable = "LUMEDESK_MESSAGES";

// The process-wide presenter; by default a RecordingPresenter on LUMEDESK_MESSAGES when
// that is set, otherwise a DesktopPresenter.
std::shared_ptr<IMessagePresenter> MessagePresenter();
void SetMessagePresenter(std::shared_ptr<IMessagePresenter> presenter);

}  // namespace platform
