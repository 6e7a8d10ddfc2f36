#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>

#include "app/assistant_app.h"
#include "app/command_dispatcher.h"
#include "platform/json.h"
#include "platform/message_box.h"
#include "platform/text.h"
#include "tools/lumectl/commands.h"
#include "tools/lumectl/headless_program.h"
#include "ui/headless_dialog.h"

using platform::Variant;

namespace lumectl {

namespace {

struct Invocation {
  Variant name;
  std::string label;
  std::vector<Variant> args;
};

bool IsInteger(const std::string& text) {
  if (text.empty()) return false;
  size_t i = text[0] == '-' || text[0] == '+' ? 1 : 0;
  if (i == text.size()) return false;
  for (; i < text.size(); ++i)
    if (text[i] < '0' || text[i] > '9') return false;
  errno = 0;
  long long v = std::strtoll(text.c_str(), nullptr, 10);
  return errno == 0 && v >= INT32_MIN && v <= INT32_MAX;
}

// i:5 s:text b:true r:1.5 e: ; a bare 32-bit number is an int, anything else a string.
std::optional<Variant> ParseArgument(const std::string& text, std::string& error) {
  if (text.size() >= 2 && text[1] == ':' && std::string("isbre").find(text[0]) != std::string::npos) {
    std::string value = text.substr(2);
    switch (text[0]) {
      case 's': return Variant::Utf8(value);
      case 'i':
        if (IsInteger(value)) return Variant::Int(int32_t(std::strtoll(value.c_str(), nullptr, 10)));
        error = "'" + text + "' is not a 32-bit integer";
        return std::nullopt;
      case 'b':
        if (value == "true" || value == "false") return Variant::Bool(value == "true");
        error = "'" + text + "' is not a boolean (b:true or b:false)";
        return std::nullopt;
      case 'r': {
        char* end = nullptr;
        errno = 0;
        double d = std::strtod(value.c_str(), &end);
        if (!value.empty() && end && *end == '\0' && errno == 0) return Variant::Real(d);
        error = "'" + text + "' is not a number";
        return std::nullopt;
      }
      case 'e':
        if (value.empty()) return Variant();
        error = "'" + text + "': the empty value takes nothing after 'e:'";
        return std::nullopt;
    }
  }
  if (IsInteger(text)) return Variant::Int(int32_t(std::strtoll(text.c_str(), nullptr, 10)));
  return Variant::Utf8(text);
}

std::string BoxesJson(const std::vector<platform::MessageBoxRequest>& boxes) {
  std::string out = "[";
  for (size_t i = 0; i < boxes.size(); ++i) out += (i ? "," : "") + platform::MessageBoxJson(boxes[i]);
  return out + "]";
}

std::string CallsJson(const std::vector<Corvane::UI::PageCall>& calls) {
  std::string out = "[";
  for (size_t i = 0; i < calls.size(); ++i) out += (i ? "," : "") + Corvane::UI::PageCallJson(calls[i]);
  return out + "]";
}

}  // namespace

int RunCallCommand(const Args& args) {
  // Parse everything first: bad usage runs nothing.
  std::vector<Invocation> invocations;
  std::vector<std::string> group;
  auto close = [&]() -> bool {
    if (group.empty()) return false;
    Invocation inv;
    std::string error;
    auto name = ParseArgument(group[0], error);
    if (!name) {
      std::fprintf(stderr, "lumectl call: %s\n", error.c_str());
      return false;
    }
    inv.name = *name;
    inv.label = group[0];
    if (group.size() > 5) {
      std::fprintf(stderr, "lumectl call: %s takes at most four arguments\n", group[0].c_str());
      return false;
    }
    for (size_t i = 1; i < group.size(); ++i) {
      auto v = ParseArgument(group[i], error);
      if (!v) {
        std::fprintf(stderr, "lumectl call: %s\n", error.c_str());
        return false;
      }
      inv.args.push_back(*v);
    }
    inv.args.resize(4);  // arguments left out arrive as undefined, as the page passes them
    invocations.push_back(std::move(inv));
    group.clear();
    return true;
  };
  for (const auto& a : args) {
    if (a == "--") {
      if (!close()) {
        if (group.empty()) std::fprintf(stderr, "lumectl call: a command name is missing\n");
        return 2;
      }
    } else {
      group.push_back(a);
    }
  }
  if (!close()) {
    if (group.empty() && !invocations.empty())
      std::fprintf(stderr, "lumectl call: a command name is missing after '--'\n");
    else if (group.empty())
      std::fprintf(stderr, "usage: lumectl call NAME [ARG...] [-- NAME [ARG...]]...\n");
    return 2;
  }

  HeadlessProgram program;
  if (!program.Start("call")) return 1;
  Corvane::UI::HeadlessDialog dialog;
  for (const auto& inv : invocations) {
    Variant result = DispatchCommand(&dialog, inv.name, inv.args[0], inv.args[1], inv.args[2], inv.args[3]);
    std::string line = "{\"command\":" + platform::JsonQuote(inv.label) +
                       ",\"result\":" + Corvane::UI::VariantJson(result) +
                       ",\"pageCalls\":" + CallsJson(dialog.TakeCalls()) +
                       ",\"messageBoxes\":" + BoxesJson(program.Messages().Take()) + "}\n";
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
  }
  return 0;
}

}  // namespace lumectl
