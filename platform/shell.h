// ShellExecuteEx without a verb: opens a file with its parameters. A program file in the
// machine image is started with the parameters as its command line. Internet Explorer is
// not a program of the image: its iexplore.exe stands for the host's web browser, which
// gets the parameters as its arguments (LUMEDESK_BROWSER names the browser program; on a
// desktop xdg-open is used). Nothing goes through a shell.
#pragma once

#include <string_view>

#include "platform/errors.h"

namespace platform {

inline constexpr const char* kBrowserVariable = "LUMEDESK_BROWSER";

// True when the program was started.
bool ShellExecute(std::u16string_view file, std::u16string_view parameters);

}  // namespace platform
