// The messages between the page's injected script and the host: script values as tagged
// JSON, and the checks every bridge request must pass.
//
// A value from the page is one JSON object: {"k":"undefined"}, {"k":"missing"} (an argument
// the script did not pass), {"k":"null"}, {"k":"bool","v":true}, {"k":"string","v":"..."},
// {"k":"number","v":1.5} (non-finite numbers as the strings "NaN", "Infinity",
// "-Infinity"), {"k":"object","id":7} or {"k":"function","id":7} (a handle for an object of
// the page: positive ids are given by the page, negative ones by the host).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/variant.h"
#include "ui/page_object.h"

namespace Corvane::UI {

// A parsed JSON value (numbers as double).
struct JsonValue {
  enum class Kind { Null, Bool, Number, String, Array, Object } kind = Kind::Null;
  bool boolean = false;
  double number = 0;
  std::u16string text;  // strings keep every UTF-16 unit, also lone surrogates
  std::vector<JsonValue> items;
  std::map<std::string, JsonValue> members;

  const JsonValue* Member(std::string_view name) const;
};

// Parses a whole JSON text; nullopt when it is not valid JSON or nests too deep.
std::optional<JsonValue> ParseJson(std::string_view text);

// A script object that lives in the page, known to the host by its handle. Objects the
// page passes cannot be filled by the host; those the host creates can (BridgeDialog).
class PageHandle : public PageObject {
 public:
  PageHandle(int64_t id, bool function) : id_(id), function_(function) {}
  int64_t Id() const { return id_; }
  bool IsFunction() const { return function_; }
  platform::HRESULT PutProperty(std::u16string_view, const platform::Variant&) override {
    return platform::E_NOTIMPL;
  }

 private:
  int64_t id_;
  bool function_;
};

// The Variant of one tagged page value: whole numbers in 32-bit range I4, other numbers R8,
// undefined EMPTY, a missing argument the missing-parameter value, objects and functions
// DISPATCH. nullopt when the value is malformed.
std::optional<platform::Variant> VariantFromPage(const JsonValue& value);

// The tagged JSON of a host value for the page. Empty, Error and host objects the page
// cannot reach go as undefined.
std::string VariantToPage(const platform::Variant& value);

// What the bridge accepts: its own address, and the launch secret.
struct BridgeIdentity {
  uint16_t port = 0;
  std::string secret;  // 64 hexadecimal digits

  std::string Host() const;    // 127.0.0.1:port
  std::string Origin() const;  // http://127.0.0.1:port
};

// A request may reach the bridge only with the exact Host, no Origin or the exact Origin,
// and the secret in its header (compared in constant time).
bool BridgeRequestAllowed(const BridgeIdentity& identity, std::string_view host,
                          std::optional<std::string_view> origin,
                          std::optional<std::string_view> secret);

// 256 random bits as 64 hexadecimal digits; empty when the system has no randomness.
std::string NewBridgeSecret();

inline constexpr char kSecretHeader[] = "X-Lumedesk-Secret";

}  // namespace Corvane::UI
