#include "ui/bridge/bridge_protocol.h"

#include <sys/random.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "platform/text.h"

namespace Corvane::UI {

using platform::Variant;
using platform::VarType;

const JsonValue* JsonValue::Member(std::string_view name) const {
  if (kind != Kind::Object) return nullptr;
  auto it = members.find(std::string(name));
  return it == members.end() ? nullptr : &it->second;
}

namespace {

class JsonReader {
 public:
  explicit JsonReader(std::string_view text) : text_(text) {}

  std::optional<JsonValue> ReadDocument() {
    JsonValue value;
    if (!ReadValue(&value, 0)) return std::nullopt;
    SkipSpace();
    if (pos_ != text_.size()) return std::nullopt;
    return value;
  }

 private:
  static constexpr int kMaxDepth = 32;

  void SkipSpace() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' ||
                                   text_[pos_] == '\n' || text_[pos_] == '\r'))
      ++pos_;
  }
  bool Literal(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }

  bool ReadValue(JsonValue* out, int depth) {
    if (depth > kMaxDepth) return false;
    SkipSpace();
    if (pos_ >= text_.size()) return false;
    char c = text_[pos_];
    if (c == 'n') return Literal("null") && (out->kind = JsonValue::Kind::Null, true);
    if (c == 't') {
      out->kind = JsonValue::Kind::Bool;
      out->boolean = true;
      return Literal("true");
    }
    if (c == 'f') {
      out->kind = JsonValue::Kind::Bool;
      return Literal("false");
    }
    if (c == '"') {
      out->kind = JsonValue::Kind::String;
      return ReadString(&out->text);
    }
    if (c == '[') {
      ++pos_;
      out->kind = JsonValue::Kind::Array;
      SkipSpace();
      if (pos_ < text_.size() && text_[pos_] == ']') return ++pos_, true;
      for (;;) {
        out->items.emplace_back();
        if (!ReadValue(&out->items.back(), depth + 1)) return false;
        SkipSpace();
        if (pos_ >= text_.size()) return false;
        if (text_[pos_++] == ']') return true;
        if (text_[pos_ - 1] != ',') return false;
      }
    }
    if (c == '{') {
      ++pos_;
      out->kind = JsonValue::Kind::Object;
      SkipSpace();
      if (pos_ < text_.size() && text_[pos_] == '}') return ++pos_, true;
      for (;;) {
        SkipSpace();
        std::u16string name;
        if (pos_ >= text_.size() || text_[pos_] != '"' || !ReadString(&name)) return false;
        SkipSpace();
        if (pos_ >= text_.size() || text_[pos_++] != ':') return false;
        JsonValue member;
        if (!ReadValue(&member, depth + 1)) return false;
        out->members[platform::Utf16ToUtf8(name)] = std::move(member);
        SkipSpace();
        if (pos_ >= text_.size()) return false;
        if (text_[pos_++] == '}') return true;
        if (text_[pos_ - 1] != ',') return false;
      }
    }
    return ReadNumber(out);
  }

  bool ReadNumber(JsonValue* out) {
    size_t start = pos_;
    if (pos_ < text_.size() && text_[pos_] == '-') ++pos_;
    size_t digits = pos_;
    while (pos_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[pos_]))) ++pos_;
    if (pos_ == digits) return false;
    if (text_[digits] == '0' && pos_ - digits > 1) return false;  // no leading zeros
    if (pos_ < text_.size() && text_[pos_] == '.') {
      size_t fraction = ++pos_;
      while (pos_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[pos_]))) ++pos_;
      if (pos_ == fraction) return false;
    }
    if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
      ++pos_;
      if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-')) ++pos_;
      size_t exponent = pos_;
      while (pos_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[pos_]))) ++pos_;
      if (pos_ == exponent) return false;
    }
    std::string number(text_.substr(start, pos_ - start));
    out->kind = JsonValue::Kind::Number;
    out->number = std::strtod(number.c_str(), nullptr);
    return true;
  }

  bool Hex4(uint16_t* unit) {
    if (pos_ + 4 > text_.size()) return false;
    unsigned value = 0;
    for (int i = 0; i < 4; ++i) {
      char h = text_[pos_++];
      value <<= 4;
      if (h >= '0' && h <= '9') value |= unsigned(h - '0');
      else if (h >= 'a' && h <= 'f') value |= unsigned(h - 'a' + 10);
      else if (h >= 'A' && h <= 'F') value |= unsigned(h - 'A' + 10);
      else return false;
    }
    *unit = uint16_t(value);
    return true;
  }

  // Reads a string literal into UTF-16; runs of plain bytes are converted from UTF-8.
  bool ReadString(std::u16string* out) {
    ++pos_;  // the opening quote
    std::string run;
    auto flush = [&] {
      *out += platform::Utf8ToUtf16(run);
      run.clear();
    };
    while (pos_ < text_.size()) {
      char c = text_[pos_++];
      if (c == '"') return flush(), true;
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        run += c;
        continue;
      }
      if (pos_ >= text_.size()) return false;
      char e = text_[pos_++];
      switch (e) {
        case '"': run += '"'; break;
        case '\\': run += '\\'; break;
        case '/': run += '/'; break;
        case 'b': run += '\b'; break;
        case 'f': run += '\f'; break;
        case 'n': run += '\n'; break;
        case 'r': run += '\r'; break;
        case 't': run += '\t'; break;
        case 'u': {
          uint16_t unit;
          if (!Hex4(&unit)) return false;
          flush();
          out->push_back(char16_t(unit));
          break;
        }
        default: return false;
      }
    }
    return false;
  }

  std::string_view text_;
  size_t pos_ = 0;
};

// Every unit outside printable ASCII is escaped, so lone surrogates reach the page intact.
std::string QuoteUtf16(std::u16string_view text) {
  std::string quoted = "\"";
  for (char16_t unit : text) {
    if (unit == u'"' || unit == u'\\') {
      quoted += '\\';
      quoted += char(unit);
    } else if (unit >= 0x20 && unit < 0x7F) {
      quoted += char(unit);
    } else {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", unsigned(unit));
      quoted += escape;
    }
  }
  return quoted + "\"";
}

std::string NumberJson(double value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.17g", value);
  return buffer;
}

}  // namespace

std::optional<JsonValue> ParseJson(std::string_view text) { return JsonReader(text).ReadDocument(); }

std::optional<Variant> VariantFromPage(const JsonValue& value) {
  const JsonValue* kind = value.Member("k");
  if (!kind || kind->kind != JsonValue::Kind::String) return std::nullopt;
  const std::u16string& k = kind->text;
  const JsonValue* v = value.Member("v");
  if (k == u"undefined") return Variant::Empty();
  if (k == u"missing") return Variant::Missing();
  if (k == u"null") return Variant::Null();
  if (k == u"bool") {
    if (!v || v->kind != JsonValue::Kind::Bool) return std::nullopt;
    return Variant::Bool(v->boolean);
  }
  if (k == u"string") {
    if (!v || v->kind != JsonValue::Kind::String) return std::nullopt;
    return Variant::String(v->text);
  }
  if (k == u"number") {
    if (!v) return std::nullopt;
    double number;
    if (v->kind == JsonValue::Kind::Number) {
      number = v->number;
    } else if (v->kind == JsonValue::Kind::String && v->text == u"NaN") {
      number = std::numeric_limits<double>::quiet_NaN();
    } else if (v->kind == JsonValue::Kind::String && v->text == u"Infinity") {
      number = std::numeric_limits<double>::infinity();
    } else if (v->kind == JsonValue::Kind::String && v->text == u"-Infinity") {
      number = -std::numeric_limits<double>::infinity();
    } else {
      return std::nullopt;
    }
    // A whole number that fits 32 bits is what the script engine passes as VT_I4.
    if (std::isfinite(number) && std::trunc(number) == number && number >= -2147483648.0 &&
        number <= 2147483647.0)
      return Variant::Int(static_cast<int32_t>(number));
    return Variant::Real(number);
  }
  if (k == u"object" || k == u"function") {
    const JsonValue* id = value.Member("id");
    // Ids the page gives are positive, those the host gives negative; never 0.
    if (!id || id->kind != JsonValue::Kind::Number || id->number == 0 ||
        std::fabs(id->number) > 9007199254740991.0 || std::trunc(id->number) != id->number)
      return std::nullopt;
    return Variant::Object(std::make_shared<PageHandle>(static_cast<int64_t>(id->number),
                                                        k == u"function"));
  }
  return std::nullopt;
}

std::string VariantToPage(const Variant& value) {
  switch (value.Type()) {
    case VarType::Null:
      return R"({"k":"null"})";
    case VarType::I4:
      return R"({"k":"number","v":)" + std::to_string(value.AsInt()) + "}";
    case VarType::R8: {
      double number = value.AsReal();
      std::string v = std::isnan(number)  ? "\"NaN\""
                      : std::isinf(number) ? (number > 0 ? "\"Infinity\"" : "\"-Infinity\"")
                                           : NumberJson(number);
      return R"({"k":"number","v":)" + v + "}";
    }
    case VarType::Bool:
      return std::string(R"({"k":"bool","v":)") + (value.AsBool() ? "true" : "false") + "}";
    case VarType::Bstr:
      return R"({"k":"string","v":)" + QuoteUtf16(value.AsString()) + "}";
    case VarType::Dispatch:
      if (auto* handle = dynamic_cast<PageHandle*>(value.AsObject().get()))
        return std::string(R"({"k":")") + (handle->IsFunction() ? "function" : "object") +
               R"(","id":)" + std::to_string(handle->Id()) + "}";
      return R"({"k":"undefined"})";
    default:
      return R"({"k":"undefined"})";
  }
}

std::string BridgeIdentity::Host() const { return "127.0.0.1:" + std::to_string(port); }
std::string BridgeIdentity::Origin() const { return "http://" + Host(); }

namespace {

bool SameSecret(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char difference = 0;
  for (size_t i = 0; i < a.size(); ++i)
    difference |= static_cast<unsigned char>(a[i] ^ b[i]);
  return difference == 0;
}

}  // namespace

bool BridgeRequestAllowed(const BridgeIdentity& identity, std::string_view host,
                          std::optional<std::string_view> origin,
                          std::optional<std::string_view> secret) {
  if (identity.secret.empty()) return false;
  if (host != identity.Host()) return false;
  if (origin && *origin != identity.Origin()) return false;
  return secret && SameSecret(*secret, identity.secret);
}

std::string NewBridgeSecret() {
  unsigned char bytes[32];
  size_t filled = 0;
  while (filled < sizeof bytes) {
    ssize_t got = getrandom(bytes + filled, sizeof bytes - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return {};
    }
    filled += size_t(got);
  }
  static const char kDigits[] = "0123456789abcdef";
  std::string secret;
  for (unsigned char b : bytes) {
    secret += kDigits[b >> 4];
    secret += kDigits[b & 15];
  }
  return secret;
}

}  // namespace Corvane::UI
