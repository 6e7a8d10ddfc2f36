// The program's message box: a task dialog on systems that have them (Windows Vista and
// later), a plain message box otherwise; titled with the program's name (string 102).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "ui/bs_dialog.h"

// Which icon the box shows: 1 information, 2 warning, 3 question (message-box form only),
// 4 shield (task-dialog form only), 5 error; anything else none.
using IconKind = int32_t;

// The title is a text or the id of a string resource of the program.
using MessageTitle = std::variant<std::u16string, uint32_t>;

inline constexpr uint32_t kAppTitleString = 102;

int32_t ShowMessage(std::u16string_view content, std::u16string_view mainInstruction,
                    const MessageTitle& title, IconKind icon,
                    Corvane::UI::WindowHandle owner = 0);

// Rejects an argument of the wrong kind: the message with the main instruction "错误",
// the program's title and the error icon.
void ArgumentError(std::u16string_view message);
