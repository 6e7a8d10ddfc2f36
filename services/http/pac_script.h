// Proxy auto-configuration scripts: runs a PAC script's FindProxyForURL(url, host) with the
// standard helper functions (isPlainHostName, dnsDomainIs, localHostOrDomainIs,
// isResolvable, isInNet, dnsResolve, myIpAddress, dnsDomainLevels, shExpMatch,
// weekdayRange, dateRange, timeRange) in the duktape JavaScript engine.
#pragma once

#include <string>
#include <string_view>

namespace http_pac {

// How long one evaluation may take. A script that runs longer is abandoned (it keeps its
// thread until it ends; callers stop using such a script).
inline constexpr int kEvaluationLimitMs = 5000;
// The memory one evaluation may use.
inline constexpr size_t kHeapLimitBytes = 32u << 20;

enum class PacOutcome { Ok, Failed, TimedOut };

// Evaluates `script` in a fresh engine and calls FindProxyForURL(url, host). Ok with the
// returned text; Failed for a script error, a missing function or a non-text result.
PacOutcome FindProxyForUrl(const std::string& script, const std::string& url,
                           const std::string& host, std::string& result,
                           int limitMs = kEvaluationLimitMs);

}  // namespace http_pac
