#include "tools/lumectl/reg_file.h"

#include <cstdio>

#include "platform/codepage.h"
#include "platform/registry.h"
#include "platform/text.h"

namespace lumectl::regfile {

namespace {

constexpr std::u16string_view kVersion5 = u"Windows Registry Editor Version 5.00";
constexpr std::u16string_view kVersion4 = u"REGEDIT4";
// Hex data lines are wrapped once they reach this width, as the registry editor does.
constexpr size_t kWrapColumn = 76;

void AppendEscaped(std::u16string& out, std::u16string_view text) {
  for (char16_t c : text) {
    if (c == u'\\' || c == u'"') out += u'\\';
    out += c;
  }
}

void AppendHexByte(std::u16string& out, uint8_t byte) {
  static constexpr char16_t kDigits[] = u"0123456789abcdef";
  out += kDigits[byte >> 4];
  out += kDigits[byte & 15];
}

// "hex:01,02,..." continued over lines ending in a backslash, the next indented by two.
void AppendHexData(std::u16string& out, size_t lineStart, std::u16string_view prefix,
                   const std::vector<uint8_t>& data) {
  out += prefix;
  for (size_t i = 0; i < data.size(); ++i) {
    AppendHexByte(out, data[i]);
    if (i + 1 == data.size()) break;
    out += u',';
    if (out.size() - lineStart >= kWrapColumn) {
      out += u"\\\r\n  ";
      lineStart = out.size() - 2;
    }
  }
}

// A REG_SZ the text form can hold: one terminating zero at the end and no other zero or
// line break. Anything else is written as hex(1) so that it comes back unchanged.
bool IsPlainString(const std::vector<uint8_t>& data, std::u16string& text) {
  if (data.size() < 2 || data.size() % 2) return false;
  text = platform::FromRegSz(data.data(), data.size());
  if ((text.size() + 1) * 2 != data.size()) return false;
  return text.find_first_of(u"\r\n") == std::u16string::npos;
}

std::u16string TypePrefix(uint32_t type) {
  if (type == platform::REG_BINARY) return u"hex:";
  char buf[16];
  std::snprintf(buf, sizeof buf, "hex(%x):", unsigned(type));
  return platform::Utf8ToUtf16(buf);
}

// ---- parsing

bool IsValidUtf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    uint8_t c = uint8_t(s[i]);
    size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (!len || i + len > s.size()) return false;
    for (size_t k = 1; k < len; ++k)
      if ((uint8_t(s[i + k]) & 0xC0) != 0x80) return false;
    i += len;
  }
  return true;
}

bool Decode(std::string_view bytes, std::u16string& text) {
  auto utf16 = [&](size_t from, bool little) {
    if ((bytes.size() - from) % 2) return false;
    text.clear();
    for (size_t i = from; i < bytes.size(); i += 2) {
      uint8_t a = uint8_t(bytes[i]), b = uint8_t(bytes[i + 1]);
      text += char16_t(little ? (a | b << 8) : (a << 8 | b));
    }
    return true;
  };
  if (bytes.starts_with("\xFF\xFE")) return utf16(2, true);
  if (bytes.starts_with("\xFE\xFF")) return utf16(2, false);
  if (bytes.starts_with("\xEF\xBB\xBF")) bytes.remove_prefix(3);
  else if (!IsValidUtf8(bytes)) {
    text = platform::CodePageToUtf16(bytes, 1252);  // an ANSI REGEDIT4 file
    return true;
  }
  text = platform::Utf8ToUtf16(bytes);
  return true;
}

std::u16string_view Trim(std::u16string_view s) {
  while (!s.empty() && (s.front() == u' ' || s.front() == u'\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == u' ' || s.back() == u'\t' || s.back() == u'\r'))
    s.remove_suffix(1);
  return s;
}

bool StartsWithNoCase(std::u16string_view s, std::u16string_view prefix) {
  return s.size() >= prefix.size() && platform::EqualsNoCase(s.substr(0, prefix.size()), prefix);
}

int HexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// A quoted string starting at s[pos] == '"'; \\ and \" are escapes. Leaves pos after the
// closing quote.
bool ParseQuoted(std::u16string_view s, size_t& pos, std::u16string& out) {
  out.clear();
  for (size_t i = pos + 1; i < s.size(); ++i) {
    char16_t c = s[i];
    if (c == u'"') {
      pos = i + 1;
      return true;
    }
    if (c == u'\\' && i + 1 < s.size() && (s[i + 1] == u'\\' || s[i + 1] == u'"')) c = s[++i];
    out += c;
  }
  return false;
}

bool ParseHexList(std::u16string_view s, std::vector<uint8_t>& out) {
  out.clear();
  s = Trim(s);
  if (s.empty()) return true;
  size_t start = 0;
  for (;;) {
    size_t comma = s.find(u',', start);
    std::u16string_view token = Trim(s.substr(start, comma - start));
    bool last = comma == std::u16string_view::npos;
    if (token.empty()) return last && !out.empty();  // only a trailing comma may be empty
    if (token.size() > 2) return false;
    int value = 0;
    for (char16_t c : token) {
      int d = HexDigit(c);
      if (d < 0) return false;
      value = value * 16 + d;
    }
    out.push_back(uint8_t(value));
    if (last) return true;
    start = comma + 1;
  }
}

std::string LineError(size_t line, const std::string& what) {
  return "line " + std::to_string(line) + ": " + what;
}

}  // namespace

std::u16string Header() { return std::u16string(kVersion5) + u"\r\n\r\n"; }

void AppendSection(std::u16string& out, std::u16string_view path,
                   const std::vector<Value>& values) {
  out += u'[';
  out += path;
  out += u"]\r\n";
  for (const auto& value : values) {
    size_t lineStart = out.size();
    if (value.name.empty()) {
      out += u'@';
    } else {
      out += u'"';
      AppendEscaped(out, value.name);
      out += u'"';
    }
    out += u'=';
    std::u16string text;
    if (value.type == platform::REG_SZ && IsPlainString(value.data, text)) {
      out += u'"';
      AppendEscaped(out, text);
      out += u'"';
    } else if (value.type == platform::REG_DWORD && value.data.size() == 4) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "dword:%08x",
                    unsigned(value.data[0] | value.data[1] << 8 | value.data[2] << 16 |
                             unsigned(value.data[3]) << 24));
      out += platform::Utf8ToUtf16(buf);
    } else {
      AppendHexData(out, lineStart, TypePrefix(value.type), value.data);
    }
    out += u"\r\n";
  }
  out += u"\r\n";
}

std::string EncodeFile(std::u16string_view text) {
  std::string bytes = "\xFF\xFE";
  bytes.reserve(2 + text.size() * 2);
  for (char16_t c : text) {
    bytes += char(c & 0xFF);
    bytes += char(c >> 8);
  }
  return bytes;
}

bool Parse(std::string_view bytes, std::vector<Operation>& out, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    out.clear();
    return false;
  };
  out.clear();
  std::u16string text;
  if (!Decode(bytes, text)) return fail("the file is not valid UTF-16 text");

  std::vector<std::u16string_view> lines;
  std::u16string_view rest = text;
  for (;;) {
    size_t nl = rest.find(u'\n');
    lines.push_back(rest.substr(0, nl));
    if (nl == std::u16string_view::npos) break;
    rest.remove_prefix(nl + 1);
  }

  size_t i = 0;
  while (i < lines.size() && Trim(lines[i]).empty()) ++i;
  if (i == lines.size()) return fail("the file is empty");
  bool ansi = false;
  if (Trim(lines[i]) == kVersion4) ansi = true;
  else if (Trim(lines[i]) != kVersion5) return fail("the file is not a registry script");

  std::u16string currentKey;
  bool inDeletedKey = false;
  for (++i; i < lines.size(); ++i) {
    const size_t lineNo = i + 1;
    std::u16string_view line = Trim(lines[i]);
    if (line.empty() || line.front() == u';') continue;

    if (line.front() == u'[') {
      if (line.back() != u']') return fail(LineError(lineNo, "a key name must end with ']'"));
      std::u16string_view name = line.substr(1, line.size() - 2);
      Operation op;
      inDeletedKey = !name.empty() && name.front() == u'-';
      if (inDeletedKey) name.remove_prefix(1);
      if (Trim(name).empty()) return fail(LineError(lineNo, "empty key name"));
      op.kind = inDeletedKey ? Operation::kDeleteKey : Operation::kCreateKey;
      op.key = std::u16string(name);
      currentKey = op.key;
      out.push_back(std::move(op));
      continue;
    }

    if (line.front() != u'@' && line.front() != u'"')
      return fail(LineError(lineNo, "unrecognised line"));
    if (currentKey.empty())
      return fail(LineError(lineNo, "a value appears before any key"));
    if (inDeletedKey)
      return fail(LineError(lineNo, "a value appears in a key that is being deleted"));

    Operation op;
    op.key = currentKey;
    size_t pos = 1;
    if (line.front() == u'"') {
      pos = 0;
      if (!ParseQuoted(line, pos, op.value.name))
        return fail(LineError(lineNo, "unterminated value name"));
      if (op.value.name.size() > platform::kMaxValueNameLength)
        return fail(LineError(lineNo, "value name too long"));
    }
    std::u16string_view after = Trim(line.substr(pos));
    if (after.empty() || after.front() != u'=')
      return fail(LineError(lineNo, "'=' expected after the value name"));
    std::u16string joined(Trim(after.substr(1)));
    // Hex data continues on the next line after a trailing backslash.
    if (StartsWithNoCase(joined, u"hex")) {
      while (!joined.empty() && joined.back() == u'\\' && i + 1 < lines.size()) {
        joined.pop_back();
        joined += Trim(lines[++i]);
      }
    }
    std::u16string_view data = joined;

    if (data == u"-") {
      op.kind = Operation::kDeleteValue;
    } else if (!data.empty() && data.front() == u'"') {
      size_t end = 0;
      std::u16string value;
      if (!ParseQuoted(data, end, value))
        return fail(LineError(lineNo, "unterminated string"));
      std::u16string_view tail = Trim(data.substr(end));
      if (!tail.empty() && tail.front() != u';')
        return fail(LineError(lineNo, "unexpected text after the string"));
      op.kind = Operation::kSetValue;
      op.value.type = platform::REG_SZ;
      op.value.data = platform::ToRegSz(value);
    } else if (StartsWithNoCase(data, u"dword:")) {
      std::u16string_view digits = Trim(data.substr(6));
      if (digits.empty() || digits.size() > 8)
        return fail(LineError(lineNo, "a dword needs 1 to 8 hex digits"));
      uint32_t v = 0;
      for (char16_t c : digits) {
        int d = HexDigit(c);
        if (d < 0) return fail(LineError(lineNo, "a dword needs 1 to 8 hex digits"));
        v = v << 4 | uint32_t(d);
      }
      op.kind = Operation::kSetValue;
      op.value.type = platform::REG_DWORD;
      op.value.data = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
    } else if (StartsWithNoCase(data, u"hex")) {
      std::u16string_view hexKind = data.substr(3);
      uint32_t type = platform::REG_BINARY;
      if (!hexKind.empty() && hexKind.front() == u'(') {
        size_t close = hexKind.find(u')');
        if (close == std::u16string_view::npos || close == 1 || close > 9)
          return fail(LineError(lineNo, "bad hex(type)"));
        type = 0;
        for (char16_t c : hexKind.substr(1, close - 1)) {
          int d = HexDigit(c);
          if (d < 0) return fail(LineError(lineNo, "bad hex(type)"));
          type = type << 4 | uint32_t(d);
        }
        hexKind.remove_prefix(close + 1);
      }
      if (hexKind.empty() || hexKind.front() != u':')
        return fail(LineError(lineNo, "':' expected after hex"));
      if (!ParseHexList(hexKind.substr(1), op.value.data))
        return fail(LineError(lineNo, "bad hex data"));
      // REGEDIT4 keeps the strings of these types as ANSI bytes.
      if (ansi && (type == platform::REG_SZ || type == platform::REG_EXPAND_SZ ||
                   type == platform::REG_MULTI_SZ)) {
        std::string narrow(op.value.data.begin(), op.value.data.end());
        std::u16string wide = platform::CodePageToUtf16(narrow, 1252);
        op.value.data.clear();
        for (char16_t c : wide) {
          op.value.data.push_back(uint8_t(c & 0xFF));
          op.value.data.push_back(uint8_t(c >> 8));
        }
      }
      op.kind = Operation::kSetValue;
      op.value.type = type;
    } else {
      return fail(LineError(lineNo, "unrecognised value data"));
    }
    out.push_back(std::move(op));
  }
  return true;
}

}  // namespace lumectl::regfile
