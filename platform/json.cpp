#include "platform/json.h"

#include <cstdio>

#include "platform/text.h"

namespace platform {

std::string JsonQuote(std::string_view utf8) {
  std::string out = "\"";
  for (unsigned char c : utf8) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += char(c);
        }
    }
  }
  out += '"';
  return out;
}

std::string JsonQuote(std::u16string_view text) { return JsonQuote(Utf16ToUtf8(text)); }

}  // namespace platform
