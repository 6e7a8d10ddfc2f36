#include "services/http/proxy_config.h"

#include <cctype>
#include <vector>

#include "platform/registry.h"
#include "platform/text.h"
#include "services/http/url_parts.h"

namespace http_proxy {

namespace {

std::string_view Trim(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  return text;
}

std::vector<std::string_view> Split(std::string_view text, std::string_view separators) {
  std::vector<std::string_view> parts;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find_first_of(separators, pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view part = Trim(text.substr(pos, end - pos));
    if (!part.empty()) parts.push_back(part);
    pos = end + 1;
  }
  return parts;
}

std::string WithScheme(std::string_view server, std::string_view defaultScheme) {
  if (server.find("://") != std::string_view::npos) return std::string(server);
  return std::string(defaultScheme) + "://" + std::string(server);
}

bool Bypassed(std::string_view bypassList, bool secure, std::string_view host, uint16_t port) {
  const std::string hostPort = std::string(host) + ":" + std::to_string(port);
  for (std::string_view entry : Split(bypassList, "; \t\r\n")) {
    if (http_url::ToLowerAscii(entry) == "<local>") {
      if (host.find('.') == std::string_view::npos && host.find(':') == std::string_view::npos)
        return true;
      continue;
    }
    std::string lowered = http_url::ToLowerAscii(entry);
    if (lowered.starts_with("http://")) {
      if (secure) continue;
      entry.remove_prefix(7);
    } else if (lowered.starts_with("https://")) {
      if (!secure) continue;
      entry.remove_prefix(8);
    }
    if (WildcardMatch(host, entry) || WildcardMatch(hostPort, entry)) return true;
  }
  return false;
}

std::string ReadString(const platform::RegKey& key, std::u16string_view name) {
  std::u16string value;
  if (key.GetString(name, value) != platform::ERROR_SUCCESS) return {};
  return platform::Utf16ToUtf8(value);
}

}  // namespace

bool WildcardMatch(std::string_view text, std::string_view pattern) {
  // Iterative match with back-tracking to the last '*'.
  size_t t = 0, p = 0, starP = std::string_view::npos, starT = 0;
  auto same = [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
  };
  while (t < text.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || (pattern[p] != '*' && same(pattern[p], text[t])))) {
      ++t;
      ++p;
    } else if (p < pattern.size() && pattern[p] == '*') {
      starP = p++;
      starT = t;
    } else if (starP != std::string_view::npos) {
      p = starP + 1;
      t = ++starT;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

IeProxyConfig ReadIeProxyConfig() {
  IeProxyConfig config;
  platform::RegKey key;
  if (platform::RegKey::Open(platform::Hive::CurrentUser, kInternetSettingsKey,
                             platform::RegView::Process, key) != platform::ERROR_SUCCESS)
    return config;
  uint32_t enabled = 0;
  if (key.GetDword(u"ProxyEnable", enabled) == platform::ERROR_SUCCESS && enabled != 0) {
    config.proxyServer = ReadString(key, u"ProxyServer");
    if (!config.proxyServer.empty()) config.proxyBypass = ReadString(key, u"ProxyOverride");
  }
  config.autoConfigUrl = ReadString(key, u"AutoConfigURL");
  return config;
}

std::string ChooseNamedProxy(std::string_view proxyList, std::string_view bypassList, bool secure,
                             std::string_view host, uint16_t port) {
  proxyList = Trim(proxyList);
  if (proxyList.empty() || Bypassed(bypassList, secure, host, port)) return {};
  if (proxyList.find('=') == std::string_view::npos) {
    std::vector<std::string_view> servers = Split(proxyList, "; ");
    return servers.empty() ? std::string() : WithScheme(servers.front(), "http");
  }
  const std::string wanted = secure ? "https" : "http";
  for (std::string_view entry : Split(proxyList, "; ")) {
    size_t eq = entry.find('=');
    if (eq == std::string_view::npos) continue;
    if (http_url::ToLowerAscii(Trim(entry.substr(0, eq))) != wanted) continue;
    std::string_view server = Trim(entry.substr(eq + 1));
    if (!server.empty()) return WithScheme(server, "http");
  }
  return {};
}

ProxyChoice ParsePacResult(std::string_view result) {
  for (std::string_view entry : Split(result, ";")) {
    size_t space = entry.find_first_of(" \t");
    std::string kind = http_url::ToLowerAscii(entry.substr(0, space));
    std::string_view server = space == std::string_view::npos ? "" : Trim(entry.substr(space));
    if (kind == "direct") return {true, ""};
    if (server.empty() || server.find_first_of(" \t/") != std::string_view::npos) continue;
    if (kind == "proxy" || kind == "http") return {true, "http://" + std::string(server)};
    if (kind == "https") return {true, "https://" + std::string(server)};
    if (kind == "socks" || kind == "socks5") return {true, "socks5h://" + std::string(server)};
  }
  return {};
}

}  // namespace http_proxy
