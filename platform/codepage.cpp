#include "platform/codepage.h"

#include <iconv.h>

#include <cerrno>
#include <vector>

#include "platform/text.h"

namespace platform {

namespace {

const char* IconvName(int codePage) {
  switch (codePage) {
    case 936: return "GBK";
    case 1252: return "CP1252";
    case 65001: return "UTF-8";
    default: return nullptr;
  }
}

// Converts with iconv one character at a time where the input cannot be converted, so a
// single missing character becomes the replacement instead of ending the conversion.
std::string Convert(std::string_view input, const char* to, const char* from,
                    std::string_view replacement, size_t unitSize) {
  iconv_t cd = iconv_open(to, from);
  if (cd == iconv_t(-1)) return {};
  std::string out;
  std::vector<char> buffer(input.size() * 4 + 16);
  char* in = const_cast<char*>(input.data());
  size_t inLeft = input.size();
  while (inLeft > 0) {
    char* outPtr = buffer.data();
    size_t outLeft = buffer.size();
    size_t r = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    out.append(buffer.data(), size_t(outPtr - buffer.data()));
    if (r != size_t(-1)) break;
    if (errno == E2BIG) continue;
    // EILSEQ or EINVAL: skip one unit of the input and put the replacement in its place.
    size_t skip = std::min(unitSize, inLeft);
    in += skip;
    inLeft -= skip;
    out += replacement;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  iconv_close(cd);
  return out;
}

}  // namespace

std::string Utf16ToCodePage(std::u16string_view text, int codePage) {
  const char* name = IconvName(codePage);
  if (!name || codePage == 65001) return Utf16ToUtf8(text);
  // Converting from UTF-16 lets an unconvertible character be skipped as one unit.
  std::string units;
  for (char16_t c : text) {
    units += char(c & 0xFF);
    units += char(c >> 8);
  }
  return Convert(units, name, "UTF-16LE", "?", 2);
}

std::u16string CodePageToUtf16(std::string_view bytes, int codePage) {
  const char* name = IconvName(codePage);
  if (!name || codePage == 65001) return Utf8ToUtf16(bytes);
  return Utf8ToUtf16(Convert(bytes, "UTF-8", name, "\xEF\xBF\xBD", 1));
}

}  // namespace platform
