// Conversions between UTF-16 and the Windows ANSI code pages the system meets: 936 (GBK,
// Simplified Chinese) and 1252. Characters the code page lacks become '?', as
// WideCharToMultiByte does with its default character.
#pragma once

#include <string>
#include <string_view>

namespace platform {

inline constexpr int CP_GBK = 936;

std::string Utf16ToCodePage(std::u16string_view text, int codePage);
std::u16string CodePageToUtf16(std::string_view bytes, int codePage);

}  // namespace platform
