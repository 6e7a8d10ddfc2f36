#include "platform/text.h"

namespace platform {

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  size_t i = 0;
  const size_t n = text.size();
  auto cont = [&](size_t k) { return k < n && (uint8_t(text[k]) & 0xC0) == 0x80; };
  while (i < n) {
    uint8_t c = uint8_t(text[i]);
    char32_t cp;
    size_t len;
    if (c < 0x80) {
      cp = c;
      len = 1;
    } else if (c >= 0xC2 && c < 0xE0 && cont(i + 1)) {
      cp = char32_t(c & 0x1F) << 6 | (uint8_t(text[i + 1]) & 0x3F);
      len = 2;
    } else if (c >= 0xE0 && c < 0xF0 && cont(i + 1) && cont(i + 2)) {
      cp = char32_t(c & 0x0F) << 12 | char32_t(uint8_t(text[i + 1]) & 0x3F) << 6 |
           (uint8_t(text[i + 2]) & 0x3F);
      len = 3;
      if (cp < 0x800 || (cp >= 0xD800 && cp < 0xE000)) cp = 0xFFFD;
    } else if (c >= 0xF0 && c < 0xF5 && cont(i + 1) && cont(i + 2) && cont(i + 3)) {
      cp = char32_t(c & 0x07) << 18 | char32_t(uint8_t(text[i + 1]) & 0x3F) << 12 |
           char32_t(uint8_t(text[i + 2]) & 0x3F) << 6 | (uint8_t(text[i + 3]) & 0x3F);
      len = 4;
      if (cp < 0x10000 || cp > 0x10FFFF) cp = 0xFFFD;
    } else {
      cp = 0xFFFD;
      len = 1;
    }
    i += len;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += char16_t(0xD800 + (cp >> 10));
      out += char16_t(0xDC00 + (cp & 0x3FF));
    } else {
      out += char16_t(cp);
    }
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t cp = text[i];
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] < 0xE000) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp < 0xE000) {
      cp = 0xFFFD;  // unpaired surrogate
    }
    if (cp < 0x80) {
      out += char(cp);
    } else if (cp < 0x800) {
      out += char(0xC0 | (cp >> 6));
      out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += char(0xE0 | (cp >> 12));
      out += char(0x80 | ((cp >> 6) & 0x3F));
      out += char(0x80 | (cp & 0x3F));
    } else {
      out += char(0xF0 | (cp >> 18));
      out += char(0x80 | ((cp >> 12) & 0x3F));
      out += char(0x80 | ((cp >> 6) & 0x3F));
      out += char(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

namespace {
char16_t FoldChar(char16_t c) {
  if (c >= u'a' && c <= u'z') return char16_t(c - 32);
  if (c < 0xE0) return c;
  if (c <= 0xFE && c != 0xF7) return char16_t(c - 32);  // Latin-1 lower-case letters
  if (c == 0xFF) return 0x178;
  if (c >= 0x100 && c <= 0x17F && c != 0x130 && c != 0x131 && c != 0x138 && c != 0x149 &&
      c != 0x17F) {
    // Latin Extended-A pairs upper/lower in alternating code points, with the offset
    // changing after U+0138.
    bool lowerIsOdd = (c < 0x138) || (c > 0x178);
    if (lowerIsOdd ? (c & 1) : !(c & 1)) return char16_t(c - 1);
  }
  return c;
}
}  // namespace

std::u16string FoldCase(std::u16string_view text) {
  std::u16string out(text);
  for (auto& c : out) c = FoldChar(c);
  return out;
}

bool EqualsNoCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (FoldChar(a[i]) != FoldChar(b[i])) return false;
  return true;
}

std::string PercentDecode(std::string_view text) {
  auto hex = [](char c) {
    return (c >= '0' && c <= '9') ? c - '0'
           : (c >= 'a' && c <= 'f') ? c - 'a' + 10
           : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                    : -1;
  };
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 && hex(text[i + 2]) >= 0) {
      out += char(hex(text[i + 1]) * 16 + hex(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::vector<uint8_t> ToRegSz(std::u16string_view text) {
  std::vector<uint8_t> out;
  out.reserve((text.size() + 1) * 2);
  for (char16_t c : text) {
    out.push_back(uint8_t(c & 0xFF));
    out.push_back(uint8_t(c >> 8));
  }
  out.push_back(0);
  out.push_back(0);
  return out;
}

std::vector<uint8_t> ToRegMultiSz(const std::vector<std::u16string>& items) {
  std::vector<uint8_t> out;
  for (const auto& item : items) {
    auto bytes = ToRegSz(item);
    out.insert(out.end(), bytes.begin(), bytes.end());
  }
  out.push_back(0);
  out.push_back(0);
  return out;
}

std::u16string FromRegSz(const uint8_t* data, size_t size) {
  std::u16string out;
  for (size_t i = 0; i + 1 < size; i += 2) {
    char16_t c = char16_t(data[i] | (data[i + 1] << 8));
    if (c == 0) break;
    out += c;
  }
  return out;
}

std::vector<std::u16string> FromRegMultiSz(const uint8_t* data, size_t size) {
  std::vector<std::u16string> items;
  std::u16string current;
  for (size_t i = 0; i + 1 < size; i += 2) {
    char16_t c = char16_t(data[i] | (data[i + 1] << 8));
    if (c != 0) {
      current += c;
      continue;
    }
    if (current.empty()) break;  // the empty string ends the list
    items.push_back(std::move(current));
    current.clear();
  }
  if (!current.empty()) items.push_back(std::move(current));
  return items;
}

}  // namespace platform
