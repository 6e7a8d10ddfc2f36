#include "app/show_message.h"

#include "platform/machine.h"
#include "platform/message_box.h"
#include "platform/resources.h"

int32_t ShowMessage(std::u16string_view content, std::u16string_view mainInstruction,
                    const MessageTitle& title, IconKind icon, Corvane::UI::WindowHandle owner) {
  platform::MessageBoxRequest box;
  box.content = content;
  box.mainInstruction = mainInstruction;
  if (const auto* id = std::get_if<uint32_t>(&title))
    box.title = platform::ResourceModule::Self().LoadString(*id);
  else
    box.title = std::get<std::u16string>(title);
  box.icon = icon;
  // Task dialogs exist from Windows Vista (6.0) on; older systems show a message box.
  box.form = platform::WindowsMajorVersion() >= 6 ? platform::BoxForm::TaskDialog
                                                  : platform::BoxForm::MessageBox;
  box.owned = owner != 0;
  return platform::MessagePresenter()->Present(box);
}

void ArgumentError(std::u16string_view message) {
  ShowMessage(message, u"错误", kAppTitleString, 5);
}
