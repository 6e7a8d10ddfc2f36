// `lumectl reg`: the Windows reg tool on the registry of the current machine image.
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <sstream>

#include "platform/registry.h"
#include "platform/text.h"
#include "tools/lumectl/commands.h"
#include "tools/lumectl/reg_file.h"

namespace lumectl {

namespace {

using platform::Hive;
using platform::LSTATUS;
using platform::RegKey;
using platform::RegView;

const char kUsage[] =
    "usage: lumectl reg OPERATION ...\n"
    "\n"
    "  query  KEY [/v NAME | /ve] [/s]\n"
    "  add    KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]\n"
    "  delete KEY [/v NAME | /ve | /va] [/f]\n"
    "  export KEY FILE [/y]\n"
    "  import FILE\n"
    "\n"
    "KEY is ROOT\\SUBKEY with ROOT one of HKLM, HKCU, HKCR, HKU (or the HKEY_... names).\n"
    "TYPE is REG_SZ (default), REG_EXPAND_SZ, REG_MULTI_SZ, REG_BINARY, REG_DWORD,\n"
    "REG_QWORD or REG_NONE. Every operation takes /reg:32 or /reg:64 to choose the\n"
    "registry view; without them the tool sees the registry as Lumedesk, a 32-bit program,\n"
    "does.\n";

const char kNotFound[] =
    "ERROR: The system was unable to find the specified registry key or value.\n";
const char kDone[] = "The operation completed successfully.\n";
const char kCancelled[] = "The operation was cancelled by the user.\n";

// ---- output helpers

void Out(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stdout); }
void Err(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stderr); }

std::string U8(std::u16string_view text) { return platform::Utf16ToUtf8(text); }

int UsageError(const std::string& operation, const std::string& message) {
  Err("ERROR: " + message + "\nType \"lumectl reg" + (operation.empty() ? "" : " " + operation) +
      " /?\" for usage.\n");
  return 2;
}

// Prints the error of a failed registry call; returns the exit code 1.
int Failure(LSTATUS status) {
  switch (status) {
    case platform::ERROR_FILE_NOT_FOUND: Err(kNotFound); break;
    case platform::ERROR_ACCESS_DENIED: Err("ERROR: Access is denied.\n"); break;
    case platform::ERROR_INVALID_PARAMETER: Err("ERROR: The parameter is incorrect.\n"); break;
    case platform::ERROR_BAD_PATHNAME: Err("ERROR: The specified path is invalid.\n"); break;
    case platform::ERROR_KEY_DELETED:
      Err("ERROR: The key was deleted while it was in use.\n");
      break;
    default:
      Err("ERROR: Error accessing the registry (error " + std::to_string(status) + ").\n");
  }
  return 1;
}

// Asks a Yes/No question on stdout and reads the answer from stdin; end of input is No.
bool Confirm(const std::string& question) {
  for (;;) {
    Out(question);
    std::fflush(stdout);
    std::string answer;
    if (!std::getline(std::cin, answer)) {
      Out("\n");
      return false;
    }
    while (!answer.empty() && (answer.back() == '\r' || answer.back() == ' '))
      answer.pop_back();
    std::u16string folded = platform::FoldCase(platform::Utf8ToUtf16(answer));
    if (folded == u"Y" || folded == u"YES") return true;
    if (folded == u"N" || folded == u"NO") return false;
  }
}

// ---- key names

struct KeyName {
  Hive hive = Hive::LocalMachine;
  std::u16string root;  // long name of the root, e.g. HKEY_CURRENT_USER
  std::u16string sub;   // below the root, as given (no trailing backslash)
  std::u16string Full() const { return sub.empty() ? root : root + u"\\" + sub; }
};

bool ParseKeyName(std::u16string_view text, KeyName& out) {
  static const struct {
    std::u16string_view shortName, longName;
    Hive hive;
  } kRoots[] = {
      {u"HKLM", u"HKEY_LOCAL_MACHINE", Hive::LocalMachine},
      {u"HKCU", u"HKEY_CURRENT_USER", Hive::CurrentUser},
      {u"HKCR", u"HKEY_CLASSES_ROOT", Hive::ClassesRoot},
      {u"HKU", u"HKEY_USERS", Hive::Users},
  };
  size_t cut = text.find(u'\\');
  std::u16string_view root = text.substr(0, cut);
  for (const auto& r : kRoots) {
    if (!platform::EqualsNoCase(root, r.shortName) && !platform::EqualsNoCase(root, r.longName))
      continue;
    out.hive = r.hive;
    out.root = std::u16string(r.longName);
    out.sub = cut == std::u16string_view::npos ? u"" : std::u16string(text.substr(cut + 1));
    while (!out.sub.empty() && out.sub.back() == u'\\') out.sub.pop_back();
    return true;
  }
  return false;
}

// The name of an open key as the registry editor shows it: the stored path after
// redirection, under the root the user named (HKCU and HKCR are views of other keys).
std::u16string DisplayPath(const RegKey& key, const KeyName& name) {
  std::u16string path = key.Path();
  if (name.hive == Hive::CurrentUser || name.hive == Hive::ClassesRoot) {
    RegKey root;
    if (RegKey::Open(name.hive, u"", RegView::Reg64, root) == platform::ERROR_SUCCESS) {
      std::u16string prefix = root.Path();
      if (path.size() >= prefix.size() &&
          platform::EqualsNoCase(std::u16string_view(path).substr(0, prefix.size()), prefix))
        return name.root + path.substr(prefix.size());
    }
  }
  return path;
}

// ---- options

struct Options {
  std::vector<std::string> positional;
  std::map<std::string, std::string> values;  // option (lower case, no slash) -> argument
  std::set<std::string> flags;
  RegView view = RegView::Process;

  bool Has(const std::string& name) const { return flags.count(name) || values.count(name); }
};

std::string Lower(std::string s) {
  for (auto& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Parses the arguments of one operation. `withValue` and `flags` are the options it takes
// (lower case, without the slash); `files` is how many of its positional arguments are
// file names, which may begin with '/'.
bool ParseOptions(const std::string& operation, const Args& args,
                  const std::set<std::string>& withValue, const std::set<std::string>& flags,
                  size_t positionals, size_t files, Options& out, int& exitCode) {
  static const std::set<std::string> kKnown = {"v", "ve", "va", "s", "f", "t", "d",
                                               "y", "reg:32", "reg:64", "?"};
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    bool optionLike = arg.size() > 1 && (arg[0] == '/' || arg[0] == '-');
    std::string name = optionLike ? Lower(arg.substr(1)) : "";
    if (optionLike && !kKnown.count(name)) {
      // A file name such as /tmp/a.reg in a place where a file is expected.
      bool looksLikeFile = arg.find_first_of("/.", 1) != std::string::npos;
      if (looksLikeFile && out.positional.size() >= positionals - files &&
          out.positional.size() < positionals) {
        out.positional.push_back(arg);
        continue;
      }
      exitCode = UsageError(operation, "Invalid option '" + arg + "'.");
      return false;
    }
    if (!optionLike) {
      if (out.positional.size() >= positionals) {
        exitCode = UsageError(operation, "Too many arguments ('" + arg + "').");
        return false;
      }
      out.positional.push_back(arg);
      continue;
    }
    if (name == "?") {
      Out(kUsage);
      exitCode = 0;
      return false;
    }
    if (name == "reg:32" || name == "reg:64") {
      if (out.flags.count("reg:32") || out.flags.count("reg:64")) {
        exitCode = UsageError(operation, "Only one of /reg:32 and /reg:64 may be given.");
        return false;
      }
      out.flags.insert(name);
      out.view = name == "reg:32" ? RegView::Reg32 : RegView::Reg64;
      continue;
    }
    if (!withValue.count(name) && !flags.count(name)) {
      exitCode = UsageError(operation, "Invalid option '" + arg + "' for " + operation + ".");
      return false;
    }
    if (out.Has(name)) {
      exitCode = UsageError(operation, "Option '" + arg + "' is given more than once.");
      return false;
    }
    if (withValue.count(name)) {
      if (i + 1 >= args.size()) {
        exitCode = UsageError(operation, "Option '" + arg + "' needs a value.");
        return false;
      }
      out.values[name] = args[++i];
    } else {
      out.flags.insert(name);
    }
  }
  if (out.positional.size() < positionals) {
    exitCode = UsageError(operation, positionals - out.positional.size() > files
                                         ? "The key name is missing."
                                         : "The file name is missing.");
    return false;
  }
  return true;
}

// The key argument; prints the usage error itself.
bool KeyArgument(const std::string& operation, const std::string& text, KeyName& key,
                 int& exitCode) {
  if (ParseKeyName(platform::Utf8ToUtf16(text), key)) return true;
  exitCode = UsageError(operation, "Invalid key name '" + text + "'.");
  return false;
}

// ---- value formatting

std::string TypeName(uint32_t type) {
  switch (type) {
    case platform::REG_NONE: return "REG_NONE";
    case platform::REG_SZ: return "REG_SZ";
    case platform::REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case platform::REG_BINARY: return "REG_BINARY";
    case platform::REG_DWORD: return "REG_DWORD";
    case platform::REG_DWORD_BIG_ENDIAN: return "REG_DWORD_BIG_ENDIAN";
    case platform::REG_LINK: return "REG_LINK";
    case platform::REG_MULTI_SZ: return "REG_MULTI_SZ";
    case 8: return "REG_RESOURCE_LIST";
    case 9: return "REG_FULL_RESOURCE_DESCRIPTOR";
    case 10: return "REG_RESOURCE_REQUIREMENTS_LIST";
    case platform::REG_QWORD: return "REG_QWORD";
    default: {
      char buf[32];
      std::snprintf(buf, sizeof buf, "REG_UNKNOWN(0x%x)", unsigned(type));
      return buf;
    }
  }
}

std::string HexUpper(const std::vector<uint8_t>& data) {
  std::string out;
  char buf[4];
  for (uint8_t b : data) {
    std::snprintf(buf, sizeof buf, "%02X", b);
    out += buf;
  }
  return out;
}

uint64_t LittleEndian(const std::vector<uint8_t>& data) {
  uint64_t v = 0;
  for (size_t i = data.size(); i-- > 0;) v = v << 8 | data[i];
  return v;
}

std::string FormatData(uint32_t type, const std::vector<uint8_t>& data) {
  char buf[32];
  switch (type) {
    case platform::REG_SZ:
    case platform::REG_EXPAND_SZ: return U8(platform::FromRegSz(data.data(), data.size()));
    case platform::REG_MULTI_SZ: {
      std::string out;
      for (const auto& item : platform::FromRegMultiSz(data.data(), data.size())) {
        if (!out.empty()) out += "\\0";
        out += U8(item);
      }
      return out;
    }
    case platform::REG_DWORD:
      if (data.size() != 4) break;
      std::snprintf(buf, sizeof buf, "0x%x", unsigned(LittleEndian(data)));
      return buf;
    case platform::REG_DWORD_BIG_ENDIAN:
      if (data.size() != 4) break;
      std::snprintf(buf, sizeof buf, "0x%x",
                    unsigned(data[0]) << 24 | unsigned(data[1]) << 16 | unsigned(data[2]) << 8 |
                        data[3]);
      return buf;
    case platform::REG_QWORD:
      if (data.size() != 8) break;
      std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(LittleEndian(data)));
      return buf;
  }
  return HexUpper(data);
}

std::string ValueLine(std::u16string_view name, uint32_t type, const std::vector<uint8_t>& data) {
  return "    " + (name.empty() ? std::string("(Default)") : U8(name)) + "    " + TypeName(type) +
         "    " + FormatData(type, data) + "\n";
}

// ---- query

// Reads value `name` with the name as it is stored (its case may differ from `name`).
LSTATUS FindValue(const RegKey& key, std::u16string_view name, std::u16string& stored,
                  uint32_t& type, std::vector<uint8_t>& data) {
  LSTATUS st = key.GetValue(name, type, data);
  if (st != platform::ERROR_SUCCESS) return st;
  stored = std::u16string(name);
  for (uint32_t i = 0;; ++i) {
    std::u16string candidate;
    if (key.EnumValue(i, candidate, nullptr, nullptr) != platform::ERROR_SUCCESS) break;
    if (platform::EqualsNoCase(candidate, name)) {
      stored = candidate;
      break;
    }
  }
  return platform::ERROR_SUCCESS;
}

struct Lister {
  std::optional<std::u16string> only;  // /v NAME or /ve: just this value
  size_t matches = 0;
  LSTATUS status = platform::ERROR_SUCCESS;

  // Prints `key` and, with `recurse`, everything below it. Returns false on failure.
  bool Walk(const RegKey& key, const std::u16string& path, bool recurse) {
    std::string section = "\n" + U8(path) + "\n";
    if (only) {
      uint32_t type = 0;
      std::vector<uint8_t> data;
      std::u16string stored;
      LSTATUS st = FindValue(key, *only, stored, type, data);
      if (st == platform::ERROR_SUCCESS) {
        Out(section + ValueLine(stored, type, data));
        ++matches;
      } else if (st != platform::ERROR_FILE_NOT_FOUND) {
        status = st;
        return false;
      }
    } else {
      Out(section);
      for (uint32_t i = 0;; ++i) {
        std::u16string name;
        uint32_t type = 0;
        std::vector<uint8_t> data;
        LSTATUS st = key.EnumValue(i, name, &type, &data);
        if (st == platform::ERROR_NO_MORE_ITEMS) break;
        if (st != platform::ERROR_SUCCESS) {
          status = st;
          return false;
        }
        Out(ValueLine(name, type, data));
        ++matches;
      }
    }
    std::vector<std::u16string> subkeys;
    for (uint32_t i = 0;; ++i) {
      std::u16string name;
      LSTATUS st = key.EnumKey(i, name);
      if (st == platform::ERROR_NO_MORE_ITEMS) break;
      if (st != platform::ERROR_SUCCESS) {
        status = st;
        return false;
      }
      subkeys.push_back(std::move(name));
    }
    if (!recurse) {
      if (!subkeys.empty() && !only) {
        Out("\n");
        for (const auto& name : subkeys) Out(U8(path + u"\\" + name) + "\n");
      }
      return true;
    }
    for (const auto& name : subkeys) {
      RegKey sub;
      LSTATUS st = key.OpenSubKey(name, sub);
      if (st == platform::ERROR_FILE_NOT_FOUND) continue;  // deleted meanwhile
      if (st != platform::ERROR_SUCCESS) {
        status = st;
        return false;
      }
      if (!only) ++matches;
      if (!Walk(sub, path + u"\\" + name, true)) return false;
    }
    return true;
  }
};

int Query(const Args& args) {
  Options opt;
  int code = 0;
  if (!ParseOptions("query", args, {"v"}, {"ve", "s"}, 1, 0, opt, code)) return code;
  if (opt.Has("v") && opt.Has("ve")) return UsageError("query", "/v and /ve cannot be combined.");
  KeyName name;
  if (!KeyArgument("query", opt.positional[0], name, code)) return code;

  RegKey key;
  LSTATUS st = RegKey::Open(name.hive, name.sub, opt.view, key);
  if (st != platform::ERROR_SUCCESS) return Failure(st);
  std::u16string path = DisplayPath(key, name);

  Lister lister;
  if (opt.Has("v")) lister.only = platform::Utf8ToUtf16(opt.values["v"]);
  if (opt.Has("ve")) lister.only = u"";
  const bool recurse = opt.Has("s");

  if (!recurse && lister.only) {
    uint32_t type = 0;
    std::vector<uint8_t> data;
    std::u16string stored;
    st = FindValue(key, *lister.only, stored, type, data);
    if (st == platform::ERROR_FILE_NOT_FOUND && lister.only->empty()) {
      Out("\n" + U8(path) + "\n    (Default)    REG_SZ    (value not set)\n\n");
      return 0;
    }
    if (st != platform::ERROR_SUCCESS) return Failure(st);
    Out("\n" + U8(path) + "\n" + ValueLine(stored, type, data) + "\n");
    return 0;
  }
  if (!lister.Walk(key, path, recurse)) return Failure(lister.status);
  if (recurse)
    Out("\nEnd of search: " + std::to_string(lister.matches) + " match(es) found.\n");
  return 0;
}

// ---- add

struct TypeInfo {
  const char* name;
  uint32_t type;
};
constexpr TypeInfo kTypes[] = {
    {"REG_SZ", platform::REG_SZ},
    {"REG_EXPAND_SZ", platform::REG_EXPAND_SZ},
    {"REG_MULTI_SZ", platform::REG_MULTI_SZ},
    {"REG_BINARY", platform::REG_BINARY},
    {"REG_DWORD", platform::REG_DWORD},
    {"REG_DWORD_LITTLE_ENDIAN", platform::REG_DWORD},
    {"REG_DWORD_BIG_ENDIAN", platform::REG_DWORD_BIG_ENDIAN},
    {"REG_QWORD", platform::REG_QWORD},
    {"REG_QWORD_LITTLE_ENDIAN", platform::REG_QWORD},
    {"REG_NONE", platform::REG_NONE},
};

// Decimal or 0x-prefixed hexadecimal, no sign, at most `max`.
bool ParseNumber(const std::string& text, uint64_t max, uint64_t& out) {
  std::string digits = text;
  int base = 10;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    digits = digits.substr(2);
    base = 16;
  }
  if (digits.empty()) return false;
  uint64_t v = 0;
  for (char c : digits) {
    int d = c >= '0' && c <= '9'   ? c - '0'
            : c >= 'a' && c <= 'f' ? c - 'a' + 10
            : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                   : 99;
    if (d >= base) return false;
    if (v > (max - uint64_t(d)) / uint64_t(base)) return false;  // would exceed max
    v = v * uint64_t(base) + uint64_t(d);
  }
  out = v;
  return true;
}

// The bytes of /d DATA for `type`; false with a message for data the type cannot hold.
bool EncodeData(uint32_t type, const std::optional<std::string>& data,
                const std::u16string& separator, std::vector<uint8_t>& out, std::string& error) {
  const std::string text = data.value_or("");
  switch (type) {
    case platform::REG_SZ:
    case platform::REG_EXPAND_SZ:
      out = platform::ToRegSz(platform::Utf8ToUtf16(text));
      return true;
    case platform::REG_NONE:
      out = data ? platform::ToRegSz(platform::Utf8ToUtf16(text)) : std::vector<uint8_t>();
      return true;
    case platform::REG_MULTI_SZ: {
      std::vector<std::u16string> items;
      std::u16string all = platform::Utf8ToUtf16(text);
      if (!all.empty()) {
        size_t start = 0;
        for (;;) {
          size_t cut = all.find(separator, start);
          items.push_back(all.substr(start, cut - start));
          if (cut == std::u16string::npos) break;
          start = cut + separator.size();
        }
        if (items.back().empty()) items.pop_back();  // a trailing separator ends the list
        for (const auto& item : items) {
          if (item.empty()) {
            error = "ERROR: Invalid syntax. REG_MULTI_SZ data cannot hold empty strings.";
            return false;
          }
        }
      }
      out = platform::ToRegMultiSz(items);
      return true;
    }
    case platform::REG_BINARY: {
      out.clear();
      if (text.size() % 2) {
        error = "ERROR: Invalid syntax. Specify valid hexadecimal data for '/d'.";
        return false;
      }
      for (size_t i = 0; i < text.size(); i += 2) {
        uint64_t byte = 0;
        if (!ParseNumber("0x" + text.substr(i, 2), 0xFF, byte)) {
          error = "ERROR: Invalid syntax. Specify valid hexadecimal data for '/d'.";
          return false;
        }
        out.push_back(uint8_t(byte));
      }
      return true;
    }
    case platform::REG_DWORD:
    case platform::REG_DWORD_BIG_ENDIAN:
    case platform::REG_QWORD: {
      const bool qword = type == platform::REG_QWORD;
      uint64_t v = 0;
      if (data && !ParseNumber(text, qword ? UINT64_MAX : UINT32_MAX, v)) {
        error = "ERROR: Invalid syntax. Specify valid numeric value for '/d'.";
        return false;
      }
      out.clear();
      for (int i = 0; i < (qword ? 8 : 4); ++i) out.push_back(uint8_t(v >> (8 * i)));
      if (type == platform::REG_DWORD_BIG_ENDIAN) std::swap(out[0], out[3]), std::swap(out[1], out[2]);
      return true;
    }
  }
  error = "ERROR: Invalid syntax.";
  return false;
}

int Add(const Args& args) {
  Options opt;
  int code = 0;
  if (!ParseOptions("add", args, {"v", "t", "s", "d"}, {"ve", "f"}, 1, 0, opt, code)) return code;
  if (opt.Has("v") && opt.Has("ve")) return UsageError("add", "/v and /ve cannot be combined.");
  KeyName name;
  if (!KeyArgument("add", opt.positional[0], name, code)) return code;

  uint32_t type = platform::REG_SZ;
  if (opt.Has("t")) {
    std::string wanted = opt.values["t"];
    bool known = false;
    for (const auto& t : kTypes) {
      if (platform::EqualsNoCase(platform::Utf8ToUtf16(wanted), platform::Utf8ToUtf16(t.name))) {
        type = t.type;
        known = true;
      }
    }
    if (!known) return UsageError("add", "Invalid type '" + wanted + "'.");
  }
  std::u16string separator = u"\\0";
  if (opt.Has("s")) {
    if (type != platform::REG_MULTI_SZ)
      return UsageError("add", "/s is only valid with REG_MULTI_SZ.");
    separator = platform::Utf8ToUtf16(opt.values["s"]);
    if (separator.size() != 1) return UsageError("add", "The separator must be one character.");
  }
  // /t or /d without /v names the default value, as /ve does.
  const bool hasValue = opt.Has("v") || opt.Has("ve") || opt.Has("t") || opt.Has("d");
  const std::u16string valueName = opt.Has("v") ? platform::Utf8ToUtf16(opt.values["v"]) : u"";
  if (valueName.size() > platform::kMaxValueNameLength)
    return UsageError("add", "The value name is too long.");

  std::vector<uint8_t> bytes;
  if (hasValue) {
    std::optional<std::string> data;
    if (opt.Has("d")) data = opt.values["d"];
    std::string error;
    if (!EncodeData(type, data, separator, bytes, error)) {
      Err(error + "\n");
      return 1;
    }
  }

  // Ask before replacing, and change nothing until the answer is known.
  if (hasValue && !opt.Has("f")) {
    RegKey existing;
    if (RegKey::Open(name.hive, name.sub, opt.view, existing) == platform::ERROR_SUCCESS &&
        existing.QueryValue(valueName, nullptr, nullptr, nullptr) == platform::ERROR_SUCCESS) {
      std::string shown = valueName.empty() ? "(Default)" : U8(valueName);
      if (!Confirm("Value " + shown + " exists, overwrite(Yes/No)? ")) {
        Out(kCancelled);
        return 0;
      }
    }
  }

  RegKey key;
  LSTATUS st = RegKey::Create(name.hive, name.sub, opt.view, key);
  if (st == platform::ERROR_SUCCESS && hasValue)
    st = key.SetValue(valueName, type, bytes.data(), uint32_t(bytes.size()));
  if (st != platform::ERROR_SUCCESS) return Failure(st);
  Out(kDone);
  return 0;
}

// ---- delete

int Delete(const Args& args) {
  Options opt;
  int code = 0;
  if (!ParseOptions("delete", args, {"v"}, {"ve", "va", "f"}, 1, 0, opt, code)) return code;
  if (int(opt.Has("v")) + int(opt.Has("ve")) + int(opt.Has("va")) > 1)
    return UsageError("delete", "Only one of /v, /ve and /va may be given.");
  KeyName name;
  if (!KeyArgument("delete", opt.positional[0], name, code)) return code;

  RegKey key;
  LSTATUS st = RegKey::Open(name.hive, name.sub, opt.view, key);
  if (st != platform::ERROR_SUCCESS) return Failure(st);
  const bool force = opt.Has("f");

  if (opt.Has("v") || opt.Has("ve")) {
    std::u16string value = opt.Has("v") ? platform::Utf8ToUtf16(opt.values["v"]) : u"";
    st = key.QueryValue(value, nullptr, nullptr, nullptr);
    if (st != platform::ERROR_SUCCESS) return Failure(st);
    std::string shown = value.empty() ? "(Default)" : U8(value);
    if (!force && !Confirm("Delete the registry value " + shown + " (Yes/No)? ")) {
      Out(kCancelled);
      return 0;
    }
    st = key.DeleteValue(value);
  } else if (opt.Has("va")) {
    if (!force &&
        !Confirm("Delete all values under the registry key " + U8(name.Full()) + " (Yes/No)? ")) {
      Out(kCancelled);
      return 0;
    }
    std::vector<std::u16string> names;
    for (uint32_t i = 0;; ++i) {
      std::u16string value;
      st = key.EnumValue(i, value, nullptr, nullptr);
      if (st == platform::ERROR_NO_MORE_ITEMS) break;
      if (st != platform::ERROR_SUCCESS) return Failure(st);
      names.push_back(std::move(value));
    }
    st = platform::ERROR_SUCCESS;
    for (const auto& value : names) {
      st = key.DeleteValue(value);
      if (st == platform::ERROR_FILE_NOT_FOUND) st = platform::ERROR_SUCCESS;
      if (st != platform::ERROR_SUCCESS) break;
    }
  } else {
    if (name.sub.empty()) {
      Err("ERROR: A root key cannot be deleted.\n");
      return 1;
    }
    if (!force && !Confirm("Delete the registry key " + U8(name.Full()) + " (Yes/No)? ")) {
      Out(kCancelled);
      return 0;
    }
    st = platform::RegDeleteTree(name.hive, name.sub, opt.view);
  }
  if (st != platform::ERROR_SUCCESS) return Failure(st);
  Out(kDone);
  return 0;
}

// ---- export

// Appends the sections of `key` and everything below it.
LSTATUS ExportTree(const RegKey& key, const std::u16string& path, std::u16string& out) {
  std::vector<regfile::Value> values;
  for (uint32_t i = 0;; ++i) {
    regfile::Value v;
    LSTATUS st = key.EnumValue(i, v.name, &v.type, &v.data);
    if (st == platform::ERROR_NO_MORE_ITEMS) break;
    if (st != platform::ERROR_SUCCESS) return st;
    values.push_back(std::move(v));
  }
  regfile::AppendSection(out, path, values);
  for (uint32_t i = 0;; ++i) {
    std::u16string name;
    LSTATUS st = key.EnumKey(i, name);
    if (st == platform::ERROR_NO_MORE_ITEMS) break;
    if (st != platform::ERROR_SUCCESS) return st;
    RegKey sub;
    st = key.OpenSubKey(name, sub);
    if (st == platform::ERROR_FILE_NOT_FOUND) continue;  // deleted meanwhile
    if (st != platform::ERROR_SUCCESS) return st;
    st = ExportTree(sub, path + u"\\" + name, out);
    if (st != platform::ERROR_SUCCESS) return st;
  }
  return platform::ERROR_SUCCESS;
}

// Writes the file under a temporary name and renames it, so that a failed write never
// leaves half a file in place of the old one.
bool WriteFileAtomically(const std::filesystem::path& file, const std::string& bytes,
                         std::string& error) {
  std::filesystem::path tmp = file;
  tmp += ".tmp-" + std::to_string(getpid());
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    out.close();
    if (!out) {
      std::error_code ec;
      std::filesystem::remove(tmp, ec);
      error = "cannot write " + tmp.string();
      return false;
    }
  }
  std::error_code ec;
  std::filesystem::rename(tmp, file, ec);
  if (ec) {
    std::filesystem::remove(tmp, ec);
    error = "cannot write " + file.string() + ": " + ec.message();
    return false;
  }
  return true;
}

int Export(const Args& args) {
  Options opt;
  int code = 0;
  if (!ParseOptions("export", args, {}, {"y"}, 2, 1, opt, code)) return code;
  KeyName name;
  if (!KeyArgument("export", opt.positional[0], name, code)) return code;
  const std::filesystem::path file = opt.positional[1];

  RegKey key;
  LSTATUS st = RegKey::Open(name.hive, name.sub, opt.view, key);
  if (st != platform::ERROR_SUCCESS) return Failure(st);
  std::u16string text = regfile::Header();
  st = ExportTree(key, DisplayPath(key, name), text);
  if (st != platform::ERROR_SUCCESS) return Failure(st);

  std::error_code ec;
  if (std::filesystem::exists(file, ec) && !opt.Has("y") &&
      !Confirm("File " + file.string() + " already exists. Overwrite (Yes/No)? ")) {
    Out(kCancelled);
    return 0;
  }
  std::string error;
  if (!WriteFileAtomically(file, regfile::EncodeFile(text), error)) {
    Err("ERROR: " + error + "\n");
    return 1;
  }
  Out(kDone);
  return 0;
}

// ---- import

// Checks a key name of an import the way the registry will, so that a bad file is refused
// before anything is written.
bool ValidKeyPath(const std::u16string& sub) {
  if (sub.empty()) return true;
  size_t depth = 0, start = 0;
  for (;;) {
    size_t cut = sub.find(u'\\', start);
    size_t len = (cut == std::u16string::npos ? sub.size() : cut) - start;
    if (len == 0 || len > platform::kMaxKeyNameLength) return false;
    if (++depth > platform::kMaxKeyDepth) return false;
    if (cut == std::u16string::npos) return true;
    start = cut + 1;
  }
}

int Import(const Args& args) {
  Options opt;
  int code = 0;
  if (!ParseOptions("import", args, {}, {}, 1, 1, opt, code)) return code;
  const std::string file = opt.positional[0];

  std::ifstream in(file, std::ios::binary);
  if (!in) {
    Err("ERROR: Cannot open " + file + ".\n");
    return 1;
  }
  std::ostringstream buffer;
  buffer << in.rdbuf();
  if (in.bad()) {
    Err("ERROR: Cannot read " + file + ".\n");
    return 1;
  }

  std::vector<regfile::Operation> ops;
  std::string error;
  if (!regfile::Parse(buffer.str(), ops, &error)) {
    Err("ERROR: " + file + ": " + error + ". Nothing was imported.\n");
    return 1;
  }
  std::vector<KeyName> keys(ops.size());
  for (size_t i = 0; i < ops.size(); ++i) {
    if (!ParseKeyName(ops[i].key, keys[i]) || !ValidKeyPath(keys[i].sub) ||
        (keys[i].sub.empty() && ops[i].kind == regfile::Operation::kDeleteKey)) {
      Err("ERROR: " + file + ": invalid key name [" + U8(ops[i].key) +
          "]. Nothing was imported.\n");
      return 1;
    }
  }

  RegKey current;
  for (size_t i = 0; i < ops.size(); ++i) {
    const auto& op = ops[i];
    const KeyName& name = keys[i];
    LSTATUS st = platform::ERROR_SUCCESS;
    switch (op.kind) {
      case regfile::Operation::kCreateKey:
        st = RegKey::Create(name.hive, name.sub, opt.view, current);
        break;
      case regfile::Operation::kDeleteKey:
        current.Close();
        st = platform::RegDeleteTree(name.hive, name.sub, opt.view);
        if (st == platform::ERROR_FILE_NOT_FOUND) st = platform::ERROR_SUCCESS;
        break;
      case regfile::Operation::kSetValue:
        st = current.SetValue(op.value.name, op.value.type, op.value.data.data(),
                              uint32_t(op.value.data.size()));
        break;
      case regfile::Operation::kDeleteValue:
        st = current.DeleteValue(op.value.name);
        if (st == platform::ERROR_FILE_NOT_FOUND) st = platform::ERROR_SUCCESS;
        break;
    }
    if (st != platform::ERROR_SUCCESS) {
      Err("ERROR: Importing " + file + " stopped at key [" + U8(op.key) +
          "]; the entries before it were imported.\n");
      return Failure(st);
    }
  }
  Out(kDone);
  return 0;
}

}  // namespace

int RunRegCommand(const Args& args) {
  if (args.empty()) {
    Err(kUsage);
    return 2;
  }
  const std::string operation = Lower(args[0]);
  const Args rest(args.begin() + 1, args.end());
  if (operation == "/?" || operation == "-?" || operation == "help" || operation == "--help" ||
      operation == "-h") {
    Out(kUsage);
    return 0;
  }
  if (operation == "query") return Query(rest);
  if (operation == "add") return Add(rest);
  if (operation == "delete") return Delete(rest);
  if (operation == "export") return Export(rest);
  if (operation == "import") return Import(rest);
  Err("ERROR: Unknown operation '" + args[0] + "'.\n\n" + kUsage);
  return 2;
}

}  // namespace lumectl
