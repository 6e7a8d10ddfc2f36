// Character references in markup text and attribute values: `&#65;`, `&#x42;` and the
// HTML 4 named references (`&lt;`, `&AMP;`, `&eacute;`, ...), decoded into UTF-8.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace Corvane::Model {

// Appends `raw` to `out` with every resolvable reference replaced by its character in UTF-8.
// A reference that cannot be resolved is kept literally, starting with its `&`.
void AppendDecodedText(std::string& out, std::string_view raw);

inline std::string DecodeCharacterReferences(std::string_view raw) {
  std::string out;
  AppendDecodedText(out, raw);
  return out;
}

// The code point of an HTML 4 named reference (the name without `&` and `;`), or 0 when
// there is none. Letter case is ignored, except that an exact match wins over a match that
// differs in case (`Dagger` is U+2021, `dagger` U+2020); among several matches that differ
// from the name only in case, the all-lower-case entry wins (`DAGGER` is U+2020).
uint32_t LookupNamedReference(std::string_view name);

}  // namespace Corvane::Model
