#include "ui/headless_dialog.h"

#include <cmath>
#include <cstdio>
#include <utility>

#include "platform/json.h"

namespace Corvane::UI {

HRESULT HeadlessDialog::CallPageFunction(std::u16string_view name, const Variant* args,
                                         int32_t count, Variant* result) {
  if (count < 0 || (count > 0 && !args)) return platform::E_INVALIDARG;
  PageCall call{std::u16string(name), {}};
  for (int32_t i = count - 1; i >= 0; --i) call.args.push_back(args[i]);
  {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
  }
  if (result) *result = Variant();
  return platform::S_OK;
}

HRESULT HeadlessDialog::CreatePageObject(
    std::u16string_view constructor, std::shared_ptr<ScriptObject>* object,
    const std::function<HRESULT(const std::shared_ptr<ScriptObject>&)>& fill) {
  if (constructor != u"Object" && constructor != u"Array") return platform::E_INVALIDARG;
  auto created = std::make_shared<JsonPageObject>(constructor == u"Array");
  HRESULT hr = fill ? fill(created) : platform::S_OK;
  if (object) *object = created;
  return hr;
}

HRESULT JsonPageObject::PutProperty(std::u16string_view name, const Variant& value) {
  for (auto& [n, v] : properties_)
    if (n == name) {
      v = value;
      return platform::S_OK;
    }
  properties_.emplace_back(std::u16string(name), value);
  return platform::S_OK;
}

const Variant* JsonPageObject::Find(std::u16string_view name) const {
  for (const auto& [n, v] : properties_)
    if (n == name) return &v;
  return nullptr;
}

std::string JsonPageObject::Json() const {
  std::string out = isArray_ ? "[" : "{";
  for (size_t i = 0; i < properties_.size(); ++i) {
    if (i) out += ",";
    if (!isArray_) out += platform::JsonQuote(properties_[i].first) + ":";
    out += ScriptValueJson(properties_[i].second);
  }
  return out + (isArray_ ? "]" : "}");
}

std::string ScriptValueJson(const Variant& v) {
  using platform::VarType;
  switch (v.Type()) {
    case VarType::I4: return std::to_string(v.AsInt());
    case VarType::R8: {
      if (!std::isfinite(v.AsReal())) return "null";
      char buf[40];
      std::snprintf(buf, sizeof buf, "%.17g", v.AsReal());
      return buf;
    }
    case VarType::Bool: return v.AsBool() ? "true" : "false";
    case VarType::Bstr: return platform::JsonQuote(v.AsString());
    case VarType::Dispatch:
      if (auto* o = dynamic_cast<const JsonPageObject*>(v.AsObject().get())) return o->Json();
      return "{}";
    default: return "null";
  }
}

std::vector<PageCall> HeadlessDialog::TakeCalls() {
  std::lock_guard lock(mutex_);
  return std::exchange(calls_, {});
}

std::string VariantJson(const Variant& v) {
  using platform::VarType;
  switch (v.Type()) {
    case VarType::Empty: return "{\"kind\":\"empty\"}";
    case VarType::Null: return "{\"kind\":\"null\"}";
    case VarType::I4: return "{\"kind\":\"i4\",\"value\":" + std::to_string(v.AsInt()) + "}";
    case VarType::R8: {
      if (!std::isfinite(v.AsReal())) return "{\"kind\":\"r8\",\"value\":null}";
      char buf[40];
      std::snprintf(buf, sizeof buf, "%.17g", v.AsReal());
      return std::string("{\"kind\":\"r8\",\"value\":") + buf + "}";
    }
    case VarType::Bool:
      return std::string("{\"kind\":\"bool\",\"value\":") + (v.AsBool() ? "true" : "false") +
             ",\"raw\":" + std::to_string(v.AsBool()) + "}";
    case VarType::Bstr: return "{\"kind\":\"string\",\"value\":" + platform::JsonQuote(v.AsString()) + "}";
    case VarType::Dispatch:
      if (auto* o = dynamic_cast<const JsonPageObject*>(v.AsObject().get()))
        return "{\"kind\":\"object\",\"value\":" + o->Json() + "}";
      return "{\"kind\":\"object\"}";
    case VarType::Error:
      return v.IsMissing() ? std::string("{\"kind\":\"missing\"}")
                           : "{\"kind\":\"error\",\"value\":" + std::to_string(v.AsInt()) + "}";
  }
  return "{\"kind\":\"empty\"}";
}

std::string PageCallJson(const PageCall& call) {
  std::string out = "{\"function\":" + platform::JsonQuote(call.function) + ",\"args\":[";
  for (size_t i = 0; i < call.args.size(); ++i) {
    if (i) out += ",";
    out += VariantJson(call.args[i]);
  }
  return out + "]}";
}

}  // namespace Corvane::UI
