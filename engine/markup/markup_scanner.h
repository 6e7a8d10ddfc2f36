// The lexical rules of markup, shared by the index pass and the accessors of
// MarkupDocument so that both read a tag the same way. Every function works on a range
// [p, end) and never reads outside it.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace Corvane::Model::markup {

enum : uint8_t {
  kSpace = 1,      // white space between the parts of a tag
  kNameStop = 2,   // ends an element or attribute name
  kValueStop = 4,  // ends a value written without quotes (besides "/>")
  kNameStart = 8,  // may begin an element name
};

struct CharTable {
  uint8_t bits[256] = {};
  constexpr CharTable() {
    for (unsigned char c : {' ', '\t', '\r', '\n'}) bits[c] |= kSpace | kNameStop | kValueStop;
    for (unsigned char c : {'/', '>', '<', '=', '"', '\''}) bits[c] |= kNameStop;
    for (unsigned char c : {'>', '<'}) bits[c] |= kValueStop;
    for (int c = 'a'; c <= 'z'; ++c) bits[c] |= kNameStart;
    for (int c = 'A'; c <= 'Z'; ++c) bits[c] |= kNameStart;
    bits[static_cast<unsigned char>('_')] |= kNameStart;
    bits[static_cast<unsigned char>(':')] |= kNameStart;
    // Bytes of multi-byte UTF-8 characters: names may use any letter of any script.
    for (int c = 0x80; c <= 0xFF; ++c) bits[c] |= kNameStart;
  }
};
inline constexpr CharTable kChars{};

inline bool Is(char c, uint8_t cls) {
  return (kChars.bits[static_cast<unsigned char>(c)] & cls) != 0;
}

inline bool StartsWith(const char* p, const char* end, std::string_view prefix) {
  return static_cast<size_t>(end - p) >= prefix.size() &&
         std::memcmp(p, prefix.data(), prefix.size()) == 0;
}

// The end of the name that begins at p.
inline const char* ScanName(const char* p, const char* end) {
  while (p < end && !Is(*p, kNameStop)) ++p;
  return p;
}

// The first `c` in [p, end), or nullptr. Values and names are mostly short: a plain loop
// over the first bytes beats a call to memchr for them.
inline const char* FindChar(const char* p, const char* end, char c) {
  for (int i = 0; i < 16; ++i, ++p) {
    if (p == end) return nullptr;
    if (*p == c) return p;
  }
  return static_cast<const char*>(std::memchr(p, c, static_cast<size_t>(end - p)));
}

// Byte-wise equality, inline for the short names of markup.
inline bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i] != b[i]) return false;
  return true;
}

inline const char* Find(const char* p, const char* end, std::string_view what) {
  std::string_view rest(p, static_cast<size_t>(end - p));
  size_t at = rest.find(what);
  return at == std::string_view::npos ? nullptr : p + at;
}

enum class TagEnd : uint8_t {
  Close,         // ">"
  EmptyClose,    // "/>"
  Unterminated,  // the text ended inside the tag
  CutOff,        // a '<' outside a quoted value: the tag is broken off before it
};

struct Attribute {
  std::string_view name;
  std::string_view value;  // as written, references not decoded
};

// Reads the next attribute of a tag from p. An attribute is a name, optional blanks, '=',
// optional blanks and a value in double or single quotes; a value without quotes ends at
// white space, '>', '<' or "/>" (so `<a x=1/>` is an empty element with x = "1"). A name
// without '=' is an attribute with an empty value. A '>' inside quotes does not end the
// tag; a '<' outside quotes does (the tag is cut off there). Stray slashes and quoted
// text without a name are skipped. Returns false at the end of the tag, with `how` set and
// p after the tag (at the '<' when cut off, at `end` when unterminated).
inline bool NextAttribute(const char*& p, const char* end, Attribute& attr, TagEnd& how) {
  for (;;) {
    while (p < end && Is(*p, kSpace)) ++p;
    if (p == end) {
      how = TagEnd::Unterminated;
      return false;
    }
    const char c = *p;
    if (c == '>') {
      ++p;
      how = TagEnd::Close;
      return false;
    }
    if (c == '<') {
      how = TagEnd::CutOff;
      return false;
    }
    if (c == '/') {
      if (end - p >= 2 && p[1] == '>') {
        p += 2;
        how = TagEnd::EmptyClose;
        return false;
      }
      ++p;
      continue;
    }
    const char* nameBegin = p;
    p = ScanName(p, end);
    attr.name = std::string_view(nameBegin, static_cast<size_t>(p - nameBegin));
    attr.value = std::string_view();
    const char* q = p;
    while (q < end && Is(*q, kSpace)) ++q;
    if (q < end && *q == '=') {
      ++q;
      while (q < end && Is(*q, kSpace)) ++q;
      if (q < end && (*q == '"' || *q == '\'')) {
        const char* valueBegin = q + 1;
        const char* close = FindChar(valueBegin, end, *q);
        if (close == nullptr) {
          p = end;
          how = TagEnd::Unterminated;
          return false;
        }
        attr.value = std::string_view(valueBegin, static_cast<size_t>(close - valueBegin));
        p = close + 1;
      } else {
        const char* valueBegin = q;
        while (q < end && !Is(*q, kValueStop) && !(*q == '/' && end - q >= 2 && q[1] == '>')) ++q;
        attr.value = std::string_view(valueBegin, static_cast<size_t>(q - valueBegin));
        p = q;
      }
    } else if (attr.name.empty()) {
      // A quote that no name precedes: its quoted text is skipped.
      const char* close = FindChar(p + 1, end, c);
      if (close == nullptr) {
        p = end;
        how = TagEnd::Unterminated;
        return false;
      }
      p = close + 1;
      continue;
    } else {
      p = q;
    }
    if (!attr.name.empty()) return true;
  }
}

enum class NodeType : uint8_t {
  StartTag,               // `<name ...>` or `<name .../>`
  EndTag,                 // `</name>`
  ProcessingInstruction,  // `<? ... ?>`
  Comment,                // `<!-- ... -->`
  CData,                  // `<![CDATA[ ... ]]>`
  DocumentType,           // `<!DOCTYPE ...>` with an optional bracketed internal subset
  Incomplete,             // "<" or a prefix of "<!--" etc. at the very end of the text
  StrayLessThan,          // '<' followed by something that begins no markup
  BadExclamation,         // `<!` followed by something that begins no declaration
  BadComment,             // `<!-` not followed by '-'
  BadCData,               // `<![` not followed by "CDATA["
  BadDocumentType,        // `<!D` not followed by "OCTYPE"
};

struct ScannedNode {
  NodeType type;
  bool terminated;        // the node's closing delimiter was found
  bool emptyElement;      // a start tag that ended with "/>"
  const char* next;       // where scanning goes on
  std::string_view name;  // element name, end-tag name, or instruction target
};

inline constexpr std::string_view kCommentOpen = "<!--";
inline constexpr std::string_view kCDataOpen = "<![CDATA[";
inline constexpr std::string_view kDoctypeOpen = "<!DOCTYPE";

// "<!DOCTYPE" in any letter case, as browsers and most readers accept it.
inline bool StartsWithDoctype(const char* p, const char* end) {
  if (static_cast<size_t>(end - p) < kDoctypeOpen.size()) return false;
  for (size_t i = 0; i < kDoctypeOpen.size(); ++i) {
    char c = p[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    if (c != kDoctypeOpen[i]) return false;
  }
  return true;
}

// Whether the text from p to end is a proper beginning of `open`, longer than "<!".
inline bool IsCutShort(const char* p, const char* end, std::string_view open, bool ignoreCase) {
  size_t n = static_cast<size_t>(end - p);
  if (n <= 2 || n >= open.size()) return false;
  for (size_t i = 0; i < n; ++i) {
    char c = p[i];
    if (ignoreCase && c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    if (c != open[i]) return false;
  }
  return true;
}

// The end of a document type declaration that starts at p: the first '>' outside quoted
// literals and outside the bracketed internal subset, in which comments and processing
// instructions are skipped whole. nullptr when the text ends first.
inline const char* FindDoctypeEnd(const char* p, const char* end) {
  int depth = 0;
  for (p += kDoctypeOpen.size(); p < end; ++p) {
    const char c = *p;
    if (c == '"' || c == '\'') {
      p = static_cast<const char*>(std::memchr(p + 1, c, static_cast<size_t>(end - p - 1)));
      if (p == nullptr) return nullptr;
    } else if (c == '[') {
      ++depth;
    } else if (c == ']') {
      if (depth > 0) --depth;
    } else if (c == '>') {
      if (depth == 0) return p;
    } else if (c == '<' && depth > 0) {
      if (StartsWith(p, end, kCommentOpen)) {
        p = Find(p + kCommentOpen.size(), end, "-->");
        if (p == nullptr) return nullptr;
        p += 2;
      } else if (StartsWith(p, end, "<?")) {
        p = Find(p + 2, end, "?>");
        if (p == nullptr) return nullptr;
        p += 1;
      }
    }
  }
  return nullptr;
}

// Reads the start tag that begins at lt ('<' followed by a name-start character).
inline ScannedNode ScanStartTag(const char* lt, const char* end) {
  const char* p = ScanName(lt + 1, end);
  ScannedNode node{NodeType::StartTag, false, false, end,
                   std::string_view(lt + 1, static_cast<size_t>(p - lt - 1))};
  Attribute attr;
  TagEnd how;
  while (NextAttribute(p, end, attr, how)) {
  }
  node.terminated = how == TagEnd::Close || how == TagEnd::EmptyClose;
  node.emptyElement = how == TagEnd::EmptyClose;
  node.next = p;
  return node;
}

// Reads the end tag that begins at lt ("</"). Anything between the name and the '>' is
// tolerated; a '<' before the '>' breaks the tag off.
inline ScannedNode ScanEndTag(const char* lt, const char* end) {
  const char* p = ScanName(lt + 2, end);
  ScannedNode node{NodeType::EndTag, false, false, end,
                   std::string_view(lt + 2, static_cast<size_t>(p - lt - 2))};
  while (p < end && *p != '>' && *p != '<') ++p;
  node.terminated = p < end && *p == '>';
  node.next = node.terminated ? p + 1 : p;
  return node;
}

// Reads the markup node that starts with the '<' at lt (lt < end).
inline ScannedNode ScanNode(const char* lt, const char* end) {
  ScannedNode node{NodeType::Incomplete, false, false, end, {}};
  if (end - lt < 2) return node;
  const char c = lt[1];
  if (Is(c, kNameStart)) return ScanStartTag(lt, end);
  switch (c) {
    case '/':
      return ScanEndTag(lt, end);
    case '?': {
      node.type = NodeType::ProcessingInstruction;
      node.name = std::string_view(lt + 2, static_cast<size_t>(ScanName(lt + 2, end) - lt - 2));
      const char* close = Find(lt + 2, end, "?>");
      node.terminated = close != nullptr;
      node.next = close ? close + 2 : end;
      return node;
    }
    case '!':
      break;
    default:
      node.type = NodeType::StrayLessThan;
      node.next = lt + 1;
      return node;
  }
  const char* close;
  if (StartsWith(lt, end, kCommentOpen)) {
    node.type = NodeType::Comment;
    close = Find(lt + kCommentOpen.size(), end, "-->");
    node.next = close ? close + 3 : end;
  } else if (StartsWith(lt, end, kCDataOpen)) {
    node.type = NodeType::CData;
    close = Find(lt + kCDataOpen.size(), end, "]]>");
    node.next = close ? close + 3 : end;
  } else if (StartsWithDoctype(lt, end)) {
    node.type = NodeType::DocumentType;
    close = FindDoctypeEnd(lt, end);
    node.next = close ? close + 1 : end;
  } else {
    // The text ends in the middle of an opening: unterminated, of the kind it began.
    if (IsCutShort(lt, end, kCommentOpen, false)) {
      node.type = NodeType::Comment;
    } else if (IsCutShort(lt, end, kCDataOpen, false)) {
      node.type = NodeType::CData;
    } else if (IsCutShort(lt, end, kDoctypeOpen, true)) {
      node.type = NodeType::DocumentType;
    } else if (end - lt == 2) {
      node.type = NodeType::Incomplete;
    } else {
      node.type = lt[2] == '-'                 ? NodeType::BadComment
                  : lt[2] == '['               ? NodeType::BadCData
                  : (lt[2] == 'D' || lt[2] == 'd') ? NodeType::BadDocumentType
                                               : NodeType::BadExclamation;
      node.next = lt + 2;
    }
    return node;
  }
  node.terminated = close != nullptr;
  return node;
}

}  // namespace Corvane::Model::markup
