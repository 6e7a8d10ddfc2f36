#include "services/http/url_parts.h"

#include <cctype>

#include "platform/text.h"

namespace http_url {

namespace {

bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix) {
  return text.size() >= prefix.size() && platform::EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

bool IsHostChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_' ||
         static_cast<unsigned char>(c) >= 0x80;  // internationalised names as written
}

}  // namespace

std::string ToLowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = char(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool IsAbsoluteUrl(std::u16string_view url) {
  return StartsWithNoCase(url, u"http://") || StartsWithNoCase(url, u"https://");
}

bool CrackUrl(std::string_view url, UrlParts& out) {
  size_t colon = url.find("://");
  if (colon == std::string_view::npos) return false;
  std::string scheme = ToLowerAscii(url.substr(0, colon));
  if (scheme != "http" && scheme != "https") return false;
  UrlParts parts;
  parts.secure = scheme == "https";
  std::string_view rest = url.substr(colon + 3);

  size_t authorityEnd = rest.find_first_of("/?#");
  std::string_view authority = rest.substr(0, authorityEnd);
  std::string_view tail = authorityEnd == std::string_view::npos ? "" : rest.substr(authorityEnd);
  if (size_t at = authority.rfind('@'); at != std::string_view::npos) authority.remove_prefix(at + 1);

  std::string_view hostText = authority;
  std::string_view portText;
  if (authority.starts_with('[')) {
    size_t close = authority.find(']');
    if (close == std::string_view::npos) return false;
    hostText = authority.substr(1, close - 1);
    std::string_view after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after[0] != ':') return false;
      portText = after.substr(1);
    }
    for (char c : hostText)
      if (!std::isxdigit(static_cast<unsigned char>(c)) && c != ':' && c != '.') return false;
  } else {
    if (size_t p = authority.rfind(':'); p != std::string_view::npos) {
      hostText = authority.substr(0, p);
      portText = authority.substr(p + 1);
    }
    for (char c : hostText)
      if (!IsHostChar(c)) return false;
  }
  if (hostText.empty()) return false;
  parts.host = std::string(hostText);

  if (portText.empty()) {
    parts.port = parts.secure ? 443 : 80;
  } else {
    if (portText.size() > 5) return false;
    unsigned value = 0;
    for (char c : portText) {
      if (!std::isdigit(static_cast<unsigned char>(c))) return false;
      value = value * 10 + unsigned(c - '0');
    }
    if (value == 0 || value > 65535) return false;
    parts.port = uint16_t(value);
  }

  size_t extraStart = tail.find_first_of("?#");
  parts.path.assign(tail.substr(0, extraStart));
  if (parts.path.empty()) parts.path.assign(1, '/');
  if (extraStart != std::string_view::npos) parts.extra.assign(tail.substr(extraStart));
  out = std::move(parts);
  return true;
}

std::string ComposeUrl(bool secure, std::string_view host, uint16_t port, std::string_view path) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string url(secure ? "https://" : "http://");
  const bool ipv6 = host.find(':') != std::string_view::npos;
  if (ipv6) url += '[';
  url += host;
  if (ipv6) url += ']';
  url += ':';
  url += std::to_string(port);
  if (!path.starts_with('/')) url += '/';
  for (unsigned char c : path) {
    bool keep = c > 0x20 && c < 0x7F && c != '"' && c != '<' && c != '>' && c != '\\' &&
                c != '^' && c != '`' && c != '{' && c != '|' && c != '}' && c != '#';
    if (keep) {
      url += char(c);
    } else {
      url += '%';
      url += kHex[c >> 4];
      url += kHex[c & 0xF];
    }
  }
  return url;
}

}  // namespace http_url
