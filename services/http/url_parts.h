// Splitting URLs the way the HTTP agent needs them (the counterpart of WinHttpCrackUrl) and
// composing the URL of a request from its parts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace http_url {

struct UrlParts {
  bool secure = false;  // https
  std::string host;     // without brackets for an IPv6 literal, case as written
  uint16_t port = 0;    // the scheme's default port when none is written
  std::string path;     // "/" when the URL has none
  std::string extra;    // "?query#fragment" as written, may be empty
};

// True when `url` starts with "http://" or "https://", ignoring case.
bool IsAbsoluteUrl(std::u16string_view url);

// Splits an absolute http or https URL (user name and password are dropped). False when
// the text is no such URL: another scheme, no host, a host with characters no host name
// holds, or a port outside 1..65535.
bool CrackUrl(std::string_view url, UrlParts& out);

// "https://host:port" + path, with bytes that may not stand in a URL (controls, space,
// non-ASCII, quotes, angle brackets, backslash, '#', ...) percent-encoded. Existing
// "%XX" escapes and '?' are kept as written.
std::string ComposeUrl(bool secure, std::string_view host, uint16_t port, std::string_view path);

// Lower-case ASCII.
std::string ToLowerAscii(std::string_view text);

}  // namespace http_url
