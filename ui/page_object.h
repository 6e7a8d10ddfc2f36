// A script object created in the page (Object or Array) as the host fills it: a property is
// made to exist and given its value, one name at a time (IDispatchEx GetDispID with
// fdexNameEnsure, then a property put).
#pragma once

#include <string_view>

#include "platform/errors.h"
#include "platform/variant.h"

namespace Corvane::UI {

class PageObject : public platform::ScriptObject {
 public:
  virtual platform::HRESULT PutProperty(std::u16string_view name, const platform::Variant& value) = 0;
};

}  // namespace Corvane::UI
