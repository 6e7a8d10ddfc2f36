// Creation and lifetime of the program's dialog. Until the page is shown in a browser,
// the dialog is headless: it has no window, and the page calls it receives go to the
// debug output.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "ui/bs_dialog.h"

namespace Corvane::UI {

// The dialog object as its owner (start-up) holds it: IBSDialog plus the window
// operations the owner performs.
class IBrowserDialog : public IBSDialog {
 public:
  virtual void ShowWindow() = 0;
  // Destroys the window; the dialog leaves DialogRegistry (which may end the message loop).
  virtual void DestroyWindow() = 0;
};

// Returns none when the record's size field is wrong or no dialog can be made.
std::unique_ptr<IBrowserDialog> CreateBrowserDialog(const DialogParameters& parameters);

// The dialogs that are open. Removing the last one posts the quit message to the UI
// thread's queue.
class DialogRegistry {
 public:
  static DialogRegistry& Instance();
  void Add(IBSDialog* dialog);
  void Remove(IBSDialog* dialog);
  size_t Count();

 private:
  std::mutex mutex_;
  std::vector<IBSDialog*> dialogs_;
};

}  // namespace Corvane::UI
