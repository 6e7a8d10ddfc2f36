#include "platform/variant.h"

#include "platform/text.h"

namespace platform {

Variant Variant::Null() {
  Variant v;
  v.type_ = VarType::Null;
  return v;
}

Variant Variant::Missing() { return Error(DISP_E_PARAMNOTFOUND); }

Variant Variant::Error(HRESULT scode) {
  Variant v;
  v.type_ = VarType::Error;
  v.i4_ = scode;
  return v;
}

Variant Variant::Int(int32_t value) {
  Variant v;
  v.type_ = VarType::I4;
  v.i4_ = value;
  return v;
}

Variant Variant::Real(double value) {
  Variant v;
  v.type_ = VarType::R8;
  v.r8_ = value;
  return v;
}

Variant Variant::Bool(bool value) { return BoolRaw(value ? VARIANT_TRUE : VARIANT_FALSE); }

Variant Variant::BoolRaw(VariantBool value) {
  Variant v;
  v.type_ = VarType::Bool;
  v.bool_ = value;
  return v;
}

Variant Variant::String(std::u16string value) {
  Variant v;
  v.type_ = VarType::Bstr;
  v.bstr_ = std::move(value);
  return v;
}

Variant Variant::Utf8(std::string_view value) { return String(Utf8ToUtf16(value)); }

Variant Variant::Object(std::shared_ptr<ScriptObject> object) {
  Variant v;
  v.type_ = VarType::Dispatch;
  v.object_ = std::move(object);
  return v;
}

bool Variant::operator==(const Variant& other) const {
  if (type_ != other.type_) return false;
  switch (type_) {
    case VarType::Empty:
    case VarType::Null: return true;
    case VarType::I4:
    case VarType::Error: return i4_ == other.i4_;
    case VarType::R8: return r8_ == other.r8_;
    case VarType::Bool: return bool_ == other.bool_;
    case VarType::Bstr: return bstr_ == other.bstr_;
    case VarType::Dispatch: return object_ == other.object_;
  }
  return false;
}

}  // namespace platform
