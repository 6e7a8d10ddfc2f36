// A dialog without a window or a page: it records every page call it receives and builds
// page objects as ordered JSON objects and arrays, so that lumectl and the tests can show
// what the page would have been told and given. It stands in for the browser dialog
// wherever there is no browser.
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "ui/bs_dialog.h"
#include "ui/page_object.h"

namespace Corvane::UI {

struct PageCall {
  std::u16string function;
  std::vector<Variant> args;  // in script order (first argument first)
};

class HeadlessDialog : public IBSDialog {
 public:
  explicit HeadlessDialog(WindowHandle handle = 1) : handle_(handle) {}

  WindowHandle GetWindowHandle() override { return handle_; }
  HRESULT ResizeToContent(int32_t, int32_t) override { return platform::S_OK; }
  HRESULT CallPageFunction(std::u16string_view name, const Variant* args, int32_t count,
                           Variant* result) override;

  // "Object" and "Array" give a JsonPageObject; other constructors E_INVALIDARG.
  HRESULT CreatePageObject(
      std::u16string_view constructor, std::shared_ptr<ScriptObject>* object,
      const std::function<HRESULT(const std::shared_ptr<ScriptObject>&)>& fill) override;

  std::vector<PageCall> TakeCalls();

 private:
  WindowHandle handle_;
  std::mutex mutex_;
  std::vector<PageCall> calls_;
};

// A page object of the headless page: properties in the order they were first set (a
// later put replaces the value in place). An Array prints its values as a JSON array.
class JsonPageObject : public PageObject {
 public:
  explicit JsonPageObject(bool isArray) : isArray_(isArray) {}
  HRESULT PutProperty(std::u16string_view name, const Variant& value) override;
  bool IsArray() const { return isArray_; }
  const std::vector<std::pair<std::u16string, Variant>>& Properties() const { return properties_; }
  // The value of `name`, or null.
  const Variant* Find(std::u16string_view name) const;
  // {"type":"registry","result":true} or [..]: values as the page's script sees them.
  std::string Json() const;

 private:
  bool isArray_;
  std::vector<std::pair<std::u16string, Variant>> properties_;
};

// A script value as plain JSON, the way the page's script sees it: undefined and null as
// null, numbers, booleans, strings, page objects as their JSON.
std::string ScriptValueJson(const Variant& value);

// JSON of one script value, with its kind: {"kind":"i4","value":5}.
std::string VariantJson(const Variant& value);
// {"function":"load_log","args":[...]}
std::string PageCallJson(const PageCall& call);

}  // namespace Corvane::UI
