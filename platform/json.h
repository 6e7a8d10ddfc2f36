// Minimal JSON writing for the records the stand-in and lumectl print.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// A JSON string literal (with quotes) for UTF-8 text; control characters are escaped.
std::string JsonQuote(std::string_view utf8);
std::string JsonQuote(std::u16string_view text);

}  // namespace platform
