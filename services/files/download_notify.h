// Handing a progress callback from the repair runner to the items that download, through
// two reserved attributes of the item's attribute map:
//   "<downloadnotify>"  the callback, as unsigned decimal text ("0": none);
//   "<para>"            the callback's parameter, as unsigned decimal text.
// A callback is named by a number this process hands out when it is registered, never by
// its address: text that did not come from RegisterDownloadCallback names no callback.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "services/http/http_agent.h"

inline constexpr char kDownloadNotifyAttribute[] = "<downloadnotify>";
inline constexpr char kDownloadParaAttribute[] = "<para>";

// The attribute text for `callback` (registered on first use); "0" for none.
std::string DownloadNotifyText(DownloadCallback callback);
// The attribute text for a parameter ("%I64u").
std::string DownloadParaText(uint64_t param);

// An unsigned 64-bit decimal conversion as _wcstoui64 does it: leading blanks and a '+'
// are skipped, digits are read up to the first other character, an overflow gives the
// largest value, no digits give 0.
uint64_t ParseUnsigned64(std::string_view text);

// The callback the text names, or null.
DownloadCallback DownloadCallbackFromText(std::string_view text);

// A sink for `url` and `file` with the callback and parameter the attributes name (absent
// attributes are passed as empty text: no progress is reported).
DownloadSink MakeDownloadSink(const char16_t* url, const char16_t* file,
                              std::string_view notifyText, std::string_view paraText);
