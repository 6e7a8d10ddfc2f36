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
    case VarType::Dispatch: return "{\"kind\":\"object\"}";
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
