// The user's Internet Explorer proxy settings (what WinHttpGetIEProxyConfigForCurrentUser
// reports), read from HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings, and
// the choice of proxy for one request.
#pragma once

#include <string>
#include <string_view>

namespace http_proxy {

inline constexpr char16_t kInternetSettingsKey[] =
    u"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

struct IeProxyConfig {
  std::string proxyServer;    // ProxyServer, only when ProxyEnable is non-zero
  std::string proxyBypass;    // ProxyOverride, only with a proxy server
  std::string autoConfigUrl;  // AutoConfigURL
};

// Reads the settings of the current user of the machine image; missing values (or no
// image) give empty fields.
IeProxyConfig ReadIeProxyConfig();

// The proxy for one request, as libcurl takes it: empty for a direct connection, otherwise
// "http://host:port" (or the scheme the setting names).
struct ProxyChoice {
  bool valid = false;  // false: no decision (fall back to the next source)
  std::string proxy;
};

// The named proxy of `proxyList` for a request of this scheme and host: a list is either
// one server for every scheme ("host:port") or per-scheme entries ("http=h:p;https=h:p");
// a scheme without an entry goes direct. `bypassList` entries are separated by ';' or
// white space: "<local>" matches host names without a dot, other entries are patterns with
// '*' and '?' matched without regard to case against the host or "host:port" (a leading
// "http://" or "https://" in an entry restricts it to that scheme).
std::string ChooseNamedProxy(std::string_view proxyList, std::string_view bypassList, bool secure,
                             std::string_view host, uint16_t port);

// The first usable entry of a PAC result ("PROXY h:p; DIRECT"): DIRECT, PROXY or HTTP
// (an HTTP proxy), HTTPS (a TLS proxy), SOCKS/SOCKS5 (a SOCKS5 proxy). Invalid when no
// entry is usable.
ProxyChoice ParsePacResult(std::string_view result);

// '*' any run of characters, '?' one character, no regard to ASCII case.
bool WildcardMatch(std::string_view text, std::string_view pattern);

}  // namespace http_proxy
