// Script values as they cross the bridge between the page and the host, with the kinds
// and conversions of COM VARIANTs.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/errors.h"

namespace platform {

// The VARTYPE numbers of the kinds the system uses.
enum class VarType : uint16_t {
  Empty = 0,     // VT_EMPTY: `undefined` in the page
  Null = 1,      // VT_NULL
  I4 = 3,        // VT_I4
  R8 = 5,        // VT_R8
  Bstr = 8,      // VT_BSTR
  Dispatch = 9,  // VT_DISPATCH: a script object
  Error = 10,    // VT_ERROR: DISP_E_PARAMNOTFOUND is an argument the script did not pass
  Bool = 11,     // VT_BOOL: true is -1
};

using VariantBool = int16_t;
inline constexpr VariantBool VARIANT_TRUE = -1;
inline constexpr VariantBool VARIANT_FALSE = 0;

// A script object held by the host for the length of a call (functions, page objects).
class ScriptObject {
 public:
  virtual ~ScriptObject() = default;
};

class Variant {
 public:
  Variant() = default;  // VT_EMPTY

  static Variant Empty() { return {}; }
  static Variant Null();
  static Variant Missing();  // the missing-parameter value (VT_ERROR, DISP_E_PARAMNOTFOUND)
  static Variant Int(int32_t value);
  static Variant Real(double value);
  static Variant Bool(bool value);
  static Variant BoolRaw(VariantBool value);  // keeps any 16-bit VARIANT_BOOL value
  static Variant String(std::u16string value);
  static Variant Utf8(std::string_view value);
  static Variant Object(std::shared_ptr<ScriptObject> object);
  static Variant Error(HRESULT scode);

  VarType Type() const { return type_; }
  bool Is(VarType t) const { return type_ == t; }
  bool IsEmpty() const { return type_ == VarType::Empty; }
  bool IsMissing() const { return type_ == VarType::Error && i4_ == DISP_E_PARAMNOTFOUND; }

  int32_t AsInt() const { return i4_; }           // I4 (and the scode of Error)
  double AsReal() const { return r8_; }           // R8
  VariantBool AsBool() const { return bool_; }    // Bool, raw 16-bit value
  const std::u16string& AsString() const { return bstr_; }  // Bstr
  const std::shared_ptr<ScriptObject>& AsObject() const { return object_; }

  bool operator==(const Variant& other) const;

 private:
  VarType type_ = VarType::Empty;
  int32_t i4_ = 0;
  double r8_ = 0;
  VariantBool bool_ = 0;
  std::u16string bstr_;
  std::shared_ptr<ScriptObject> object_;
};

}  // namespace platform
