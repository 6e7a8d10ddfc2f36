// Fuzz target for MarkupDocument: parses arbitrary bytes, walks the whole tree with every
// accessor and checks the invariants that hold for any input. Built and run by fuzz/run.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "engine/markup/markup_document.h"

using Corvane::Model::MarkupDocument;
using Corvane::Model::MarkupNodeKind;

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "markup invariant broken: %s\n", what);
    std::abort();
  }
}

// Visits every node, depth first without recursion, reading everything there is to read.
// Returns the number of elements met.
uint32_t WalkNodes(MarkupDocument& doc) {
  uint32_t elements = 0;
  for (;;) {
    const MarkupNodeKind kind = doc.FindNode();
    if (kind == MarkupNodeKind::None) {
      if (!doc.LeaveElement()) break;
      continue;
    }
    Check(doc.CurrentNodeKind() == kind, "FindNode sets the node kind");
    const std::string text = doc.GetElementText();
    std::string name, value;
    // Attributes in order; for the first few, the lookup by name must give a value of
    // that name (the first of that name, which may be an earlier one).
    for (size_t n = 0; n < 256 && doc.GetAttributeAt(n, name, value); ++n) {
      Check(!name.empty(), "attribute names are never empty");
      if (kind == MarkupNodeKind::Element && n < 8 && doc.GetAttribute(name) != value) {
        bool earlier = false;
        std::string other, otherValue;
        for (size_t m = 0; m < n && !earlier; ++m)
          earlier = doc.GetAttributeAt(m, other, otherValue) && other == name;
        Check(earlier, "GetAttribute agrees with GetAttributeAt");
        doc.GetAttributeAt(n, name, value);
      }
    }
    if (kind == MarkupNodeKind::Element) {
      ++elements;
      Check(!doc.GetTagName().empty(), "an element has a name");
      Check(doc.EnterElement(), "an element can be entered");
    } else {
      Check(!doc.EnterElement(), "only elements can be entered");
      Check(doc.GetAttribute("a").empty(), "only elements have attributes by name");
    }
  }
  return elements;
}

// Walks by name, as the configuration loader does: every element named "a" or "entry"
// below top-level elements of those names.
void WalkByName(MarkupDocument& doc) {
  doc.ResetPosition();
  for (const char* name : {"a", "entry"}) {
    for (;;) {
      if (doc.FindNextElement(name)) {
        doc.GetAttribute("name");
        doc.GetElementText();
        doc.EnterElement();
        continue;
      }
      if (!doc.LeaveElement()) break;
    }
    doc.ResetPosition();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  // One object reused across inputs, as a caller that parses again would, and one new.
  static MarkupDocument reused;
  MarkupDocument fresh;
  const bool wellFormed = fresh.ParseText(text);
  Check(wellFormed == fresh.diagnostics().empty(), "well-formed exactly when nothing was found");
  Check(reused.ParseText(text) == wellFormed, "a reused document parses alike");
  Check(reused.diagnostics() == fresh.diagnostics(), "a reused document finds alike");
  Check(reused.ElementCount() == fresh.ElementCount(), "a reused document indexes alike");
  Check(reused.ParseText(reused.text()) == wellFormed, "parsing its own text again");

  Check(WalkNodes(fresh) == fresh.ElementCount(), "the walk meets every indexed element");
  WalkByName(fresh);
  return 0;
}
