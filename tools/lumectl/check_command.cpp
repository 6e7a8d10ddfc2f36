// lumectl check: runs checks and repairs the way the page does, with the program's own
// dispatcher, and prints the result objects the page would receive.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <mutex>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/assistant_app.h"
#include "app/command_dispatcher.h"
#include "engine/config/item_configuration.h"
#include "platform/json.h"
#include "platform/message_box.h"
#include "platform/text.h"
#include "tools/lumectl/commands.h"
#include "tools/lumectl/headless_program.h"
#include "ui/headless_dialog.h"

using platform::Variant;
using Corvane::UI::JsonPageObject;

namespace lumectl {

namespace {

const char kCheckUsage[] =
    "usage: lumectl check TYPE|INDEX [--fix] [--json] [--config LOCATION]\n"
    "       lumectl check --all [--fix] [--json] [--config LOCATION]\n";

// The page's fixed environment checks, in the page's order, with their names there.
struct FixedCheck {
  const char* type;
  const char* name;
  bool repairable;
};
const FixedCheck kFixedChecks[] = {
    {"registry", "注册表", true},         {"host", "HOST文件", true},
    {"cfca", "CFCA根证书", true},         {"level", "IE安全级别", true},
    {"iehomepage", "首页锁定", true},     {"compatibility", "兼容性站点", true},
    {"trust", "网银可信站点", true},      {"cache", "缓存", true},
    {"connection", "网络连接", false},    {"url", "网银服务", false},
    {"dns", "DNS解析", false},
};

const char* ItemStatusText(int32_t status) {
  switch (status) {
    case 0: return "已安装";
    case 1: return "已禁用";
    case 2: return "有升级";
    default: return "未安装";
  }
}

struct Options {
  std::string target;
  bool all = false;
  bool fix = false;
  bool json = false;
  std::string config;
  bool configGiven = false;
};

bool IsIndex(const std::string& text) {
  if (text.empty() || text.size() > 9) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

const JsonPageObject* PageObjectOf(const Variant& v) {
  return v.Is(platform::VarType::Dispatch) ? dynamic_cast<const JsonPageObject*>(v.AsObject().get())
                                           : nullptr;
}

// The registry group never reports details to the page; lumectl lists its entries that
// are not as required from the statuses the pass left in the model.
std::string FailingEntriesJson(const std::string& type) {
  std::string out = "[";
  if (auto* group = Corvane::Model::FindCheckGroup(type, false)) {
    bool first = true;
    for (const auto& e : group->entries) {
      if (e.status == 2) continue;
      out += std::string(first ? "" : ",") + "{\"text\":" + platform::JsonQuote(e.text) +
             ",\"name\":" + platform::JsonQuote(e.attributes.Get("name")) +
             ",\"type\":" + platform::JsonQuote(e.attributes.Get("type")) +
             ",\"value\":" + platform::JsonQuote(e.attributes.Get("value")) +
             ",\"status\":" + std::to_string(e.status) + "}";
      first = false;
    }
  }
  return out + "]";
}

class Runner {
 public:
  explicit Runner(const Options& options) : options_(options) {}

  // Loads the configuration as the page does (get_config with ConfigUrl) or from
  // --config. False, with the reason on stderr, when it failed.
  bool LoadConfiguration() {
    if (!options_.configGiven) {
      Variant r = Dispatch(u"get_config", {});
      dialog_.TakeCalls();
      if (!(r.Is(platform::VarType::Bool) && r.AsBool())) {
        std::fprintf(stderr, "lumectl check: the item configuration could not be loaded from ConfigUrl\n");
        return false;
      }
      return true;
    }
    std::lock_guard lock(Corvane::Model::EngineOperationLock());
    const std::string& loc = options_.config;
    bool windowsPath = loc.size() >= 2 && loc[1] == ':';
    if (loc.rfind("http", 0) == 0 || loc.rfind("HTTP", 0) == 0 || windowsPath) {
      int32_t rc = Corvane::Model::LoadItemConfiguration(platform::Utf8ToUtf16(loc));
      if (rc < 0) {
        std::fprintf(stderr, "lumectl check: loading %s failed (0x%08X)\n", loc.c_str(), uint32_t(rc));
        return false;
      }
      return true;
    }
    // A file of this computer, outside the machine image.
    std::ifstream in(loc, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    auto& model = Corvane::Model::TheItemConfiguration();
    model.Clear();
    if (!in || !Corvane::Model::ParseItemConfiguration(text.str(), model)) {
      model.Clear();
      std::fprintf(stderr, "lumectl check: %s cannot be read or is not an item configuration\n",
                   loc.c_str());
      return false;
    }
    return true;
  }

  // One do_check or do_fix; prints the result; returns whether it reports all is well.
  bool RunOne(const Variant& argument, bool fix, const std::string& label) {
    Variant r = Dispatch(fix ? u"do_fix" : u"do_check", argument);
    dialog_.TakeCalls();
    const JsonPageObject* object = PageObjectOf(r);
    bool good = false;
    if (object) {
      const Variant* result = object->Find(u"result");
      good = result && (result->Is(platform::VarType::Bool) ? result->AsBool() != 0
                                                            : result->AsInt() == 0);
    }
    std::string type = argument.Is(platform::VarType::Bstr) ? platform::Utf16ToUtf8(argument.AsString()) : "";
    if (options_.json) {
      std::string line = "{\"command\":" + platform::JsonQuote(fix ? "do_fix" : "do_check") +
                         ",\"argument\":" + Corvane::UI::ScriptValueJson(argument) +
                         ",\"result\":" + Corvane::UI::ScriptValueJson(r);
      if (type == "registry") line += ",\"failing\":" + FailingEntriesJson(type);
      std::puts((line + "}").c_str());
    } else {
      PrintReadable(argument, fix, label, object, type);
    }
    std::fflush(stdout);
    return good;
  }

  int RunSingle() {
    Variant arg = IsIndex(options_.target) ? Variant::Int(std::stoi(options_.target))
                                           : Variant::Utf8(options_.target);
    if (arg.Is(platform::VarType::I4) && !Corvane::Model::ItemAt(uint32_t(arg.AsInt()))) {
      std::fprintf(stderr, "lumectl check: the configuration has no item %s\n", options_.target.c_str());
      return 1;
    }
    return RunOne(arg, options_.fix, options_.target) ? 0 : 1;
  }

  int RunAll() {
    size_t items = Corvane::Model::TheItemConfiguration().items.size();
    size_t total = std::size(kFixedChecks) + items, done = 0;
    bool allGood = true;
    std::vector<std::string> failedTypes;
    std::vector<uint32_t> failedItems;
    for (const FixedCheck& c : kFixedChecks) {
      Progress(++done, total, c.name);
      if (!RunOne(Variant::Utf8(c.type), false, c.name)) {
        allGood = false;
        if (c.repairable) failedTypes.push_back(c.type);
      }
    }
    for (uint32_t i = 0; i < items; ++i) {
      Progress(++done, total, ItemName(i));
      if (!RunOne(Variant::Int(int32_t(i)), false, ItemName(i))) {
        allGood = false;
        failedItems.push_back(i);
      }
    }
    if (options_.fix && (!failedTypes.empty() || !failedItems.empty())) {
      allGood = true;
      total = failedTypes.size() + failedItems.size();
      done = 0;
      // As the page does: repair or install, then check again and report that result.
      for (const std::string& type : failedTypes) {
        Progress(++done, total, type, "repairing");
        RunOne(Variant::Utf8(type), true, type);
        if (!RunOne(Variant::Utf8(type), false, type)) allGood = false;
      }
      for (uint32_t i : failedItems) {
        Progress(++done, total, ItemName(i), "installing");
        Dispatch(u"do_install", Variant::Int(int32_t(i)));
        dialog_.TakeCalls();
        if (!RunOne(Variant::Int(int32_t(i)), false, ItemName(i))) allGood = false;
      }
    }
    if (isatty(fileno(stderr))) std::fputs("\r\033[K", stderr);
    return allGood ? 0 : 1;
  }

 private:
  Variant Dispatch(const char16_t* command, const Variant& a1) {
    return DispatchCommand(&dialog_, Variant::String(command), a1, {}, {}, {});
  }

  std::string ItemName(uint32_t i) {
    auto* item = Corvane::Model::ItemAt(i);
    std::string name = item ? item->attributes.Get("name") : "";
    return name.empty() ? "item " + std::to_string(i) : name;
  }

  void Progress(size_t done, size_t total, const std::string& what, const char* verb = "checking") {
    if (!isatty(fileno(stderr))) return;
    std::fprintf(stderr, "\r\033[K[%zu/%zu] %s %s...", done, total, verb, what.c_str());
    std::fflush(stderr);
  }

  void PrintReadable(const Variant& argument, bool fix, const std::string& label,
                     const JsonPageObject* object, const std::string& type) {
    if (isatty(fileno(stderr))) std::fputs("\r\033[K", stderr);
    std::string head = (fix ? "repair " : "") + label;
    if (!object) {
      std::printf("%s: no result\n", head.c_str());
      return;
    }
    const Variant* result = object->Find(u"result");
    if (argument.Is(platform::VarType::I4)) {
      int32_t status = result ? result->AsInt() : 3;
      std::printf("%s: %d %s\n", head.c_str(), status, ItemStatusText(status));
      return;
    }
    bool ok = result && result->AsBool();
    std::printf("%s: %s\n", head.c_str(), ok ? "正常" : "异常");
    if (const Variant* details = object->Find(u"details"))
      if (const JsonPageObject* array = PageObjectOf(*details))
        for (const auto& [index, d] : array->Properties())
          if (const JsonPageObject* detail = PageObjectOf(d)) {
            const Variant* k = detail->Find(u"key");
            const Variant* v = detail->Find(u"value");
            std::printf("    %s  %s\n", k ? platform::Utf16ToUtf8(k->AsString()).c_str() : "",
                        v ? platform::Utf16ToUtf8(v->AsString()).c_str() : "");
          }
    if (type == "registry")
      if (auto* group = Corvane::Model::FindCheckGroup(type, false))
        for (const auto& e : group->entries)
          if (e.status != 2)
            std::printf("    %s  %s  (%s %s) status %d\n", e.text.c_str(), e.attributes.Get("name").c_str(),
                        e.attributes.Get("type").c_str(), e.attributes.Get("value").c_str(), e.status);
  }

  const Options& options_;
  Corvane::UI::HeadlessDialog dialog_;
};

}  // namespace

int RunCheckCommand(const Args& args) {
  Options options;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--all") options.all = true;
    else if (a == "--fix") options.fix = true;
    else if (a == "--json") options.json = true;
    else if (a == "--config" && i + 1 < args.size()) {
      options.config = args[++i];
      options.configGiven = true;
    } else if (a.rfind("--", 0) == 0 || !options.target.empty()) {
      std::fprintf(stderr, "lumectl check: unexpected '%s'\n%s", a.c_str(), kCheckUsage);
      return 2;
    } else {
      options.target = a;
    }
  }
  if (options.all == !options.target.empty()) {
    std::fputs(kCheckUsage, stderr);
    return 2;
  }

  HeadlessProgram program;
  if (!program.Start("check")) return 1;
  Runner runner(options);
  if (!runner.LoadConfiguration()) return 1;
  return options.all ? runner.RunAll() : runner.RunSingle();
}

}  // namespace lumectl
