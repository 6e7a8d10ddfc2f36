// The file test shared by the COM and file checks: the file exists, its version satisfies
// the entry's `version` condition, and its digests are among the entry's `md5` / `sha1`.
#pragma once

#include <string>
#include <string_view>

#include "engine/check/check_fix.h"

namespace Corvane::Assistant {

// A required version: the operator of the `version` attribute and four 16-bit components.
struct VersionCondition {
  enum class Op { Equal, Greater, GreaterEqual, Less, LessEqual };
  Op op = Op::Equal;
  uint16_t parts[4] = {0, 0, 0, 0};
};

// Reads "[op]a.b.c.d": `=` when the text starts with a digit, else one of > >= < <= (any
// other leading text also means `=`); non-digits after the operator are skipped; up to
// four components, each read like atoi and cut to 16 bits; missing ones are 0.
VersionCondition ParseVersionCondition(std::string_view text);

// Whether "file version OP required version" holds.
bool VersionSatisfies(const uint16_t fileParts[4], const VersionCondition& condition);

// The test for `path` (a Windows path, already expanded):
//   -2  missing, a folder, no readable version block when `version` is set, or the file
//       cannot be read for a digest (an unreadable file never passes a digest test);
//    1  the version condition does not hold, or a digest is not listed;
//    2  otherwise.
CheckStatus VerifyFile(const ConfigEntry& entry, std::u16string_view path);

}  // namespace Corvane::Assistant
