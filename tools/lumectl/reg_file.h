// The .reg text format that `lumectl reg export` writes and `lumectl reg import` reads:
// "Windows Registry Editor Version 5.00" (UTF-16LE with a byte-order mark, CRLF lines) or
// the older "REGEDIT4" (ANSI).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace lumectl::regfile {

// One value as it is written in a key section.
struct Value {
  std::u16string name;  // empty: the default value ("@")
  uint32_t type = 0;
  std::vector<uint8_t> data;
};

// Writes a key section: "[path]", its values, and the blank line that ends it.
void AppendSection(std::u16string& out, std::u16string_view path,
                   const std::vector<Value>& values);
// The header line and blank line every file starts with.
std::u16string Header();
// The file bytes: UTF-16LE with a byte-order mark.
std::string EncodeFile(std::u16string_view text);

// One step of an import, in file order.
struct Operation {
  enum Kind { kCreateKey, kDeleteKey, kSetValue, kDeleteValue } kind = kCreateKey;
  std::u16string key;  // full key name as written, e.g. HKEY_CURRENT_USER\Software\X
  Value value;         // kSetValue: the value; kDeleteValue: its name
};

// Parses a whole file (UTF-16LE/BE with byte-order mark, or UTF-8 with or without one,
// or ANSI for REGEDIT4). On failure returns false with *error naming the line and fault;
// nothing of a bad file is returned.
bool Parse(std::string_view bytes, std::vector<Operation>& out, std::string* error);

}  // namespace lumectl::regfile
