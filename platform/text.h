// Text conversions at the platform boundary: the page and the operating system speak
// UTF-16, the model speaks UTF-8.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Invalid sequences become U+FFFD; conversion never fails.
std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

// Upper-cases ASCII letters and the Latin-1 / Latin Extended-A letters, the way Windows
// compares registry key names, value names and file names (case-insensitive).
std::u16string FoldCase(std::u16string_view text);
bool EqualsNoCase(std::u16string_view a, std::u16string_view b);

// Decodes %XX escapes of a URL or request path; a '%' not followed by two hex digits stays.
std::string PercentDecode(std::string_view text);

// Strings as the registry stores them: UTF-16LE with a terminating zero.
std::vector<uint8_t> ToRegSz(std::u16string_view text);
// REG_MULTI_SZ: every string terminated, then one more zero.
std::vector<uint8_t> ToRegMultiSz(const std::vector<std::u16string>& items);
// Reads a REG_SZ / REG_EXPAND_SZ: up to the first zero character or the end of the data
// (a stored string need not be terminated, and an odd last byte is ignored).
std::u16string FromRegSz(const uint8_t* data, size_t size);
std::vector<std::u16string> FromRegMultiSz(const uint8_t* data, size_t size);

}  // namespace platform
