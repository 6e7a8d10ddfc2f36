// MarkupDocument: the program's XML reader. It keeps the document text as given, indexes
// its elements in one pass, and lets the caller walk the element tree with a cursor,
// reading attributes and element text out of the text in place. A malformed document is
// indexed as far as possible and reported as not well-formed; nothing throws on bad input.
//
// How it reads text that XML forbids or leaves open:
// - `<a x=1/>` is an empty element with x = "1": a value without quotes ends at white
//   space, '>', '<' or "/>".
// - A name without '=' (`<a x y="1">`) is an attribute with an empty value.
// - `&#0;`, surrogates, values beyond U+10FFFF and digits that would overflow are kept
//   literally, like every reference that cannot be resolved.
// - Named references ignore letter case, but an exact match wins (`&Dagger;` is U+2021,
//   `&dagger;` U+2020); see LookupNamedReference.
// - A '<' outside a quoted value breaks the tag off (unterminated_tag_syntax), so a name
//   such as "<para>" never becomes an attribute; a '<' that begins no markup is
//   first_tag_syntax. Both make the document not well-formed.
// - A document type declaration after the first element is doctype_tag_syntax; text and
//   CDATA outside the root element are tolerated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace Corvane::Model {

namespace markup {
struct ScannedNode;
}

enum class MarkupNodeKind : uint8_t {
  None,  // no current node
  Element,
  Text,
  CData,
  ProcessingInstruction,
  Comment,
  DocumentType,
};

class MarkupDocument {
 public:
  // Elements are addressed by a 32-bit index into a table that grows in segments of this
  // many records, so growing never moves the records already written.
  static constexpr uint32_t kSegmentSize = 65536;

  MarkupDocument();
  ~MarkupDocument();
  MarkupDocument(const MarkupDocument&) = delete;
  MarkupDocument& operator=(const MarkupDocument&) = delete;

  // Replaces the document with a copy of `text` and indexes it. Returns whether it is
  // well-formed: no structural error, exactly one top-level element. The cursor is at the
  // top level, before the first element. The table's memory is kept from one parse to the
  // next, so a document object that is reused does not allocate it again.
  bool ParseText(std::string_view text);

  const std::string& text() const { return text_; }
  // The parse findings, one a line: the finding's name, then offset, length and name of
  // the place where known (e.g. "lone_end_tag offset=3 length=4 name=b").
  const std::string& diagnostics() const { return diagnostics_; }
  bool IsWellFormed() const { return wellFormed_; }
  // The number of elements indexed.
  uint32_t ElementCount() const { return count_ > 0 ? count_ - 1 : 0; }

  // Moves to the next element among the current siblings whose name is `name` (exact,
  // case-sensitive). The cursor stays where it was when there is none.
  bool FindNextElement(std::string_view name);
  // Moves to the next node of any kind among the current siblings (text, CDATA section,
  // comment, instruction, declaration or element) and returns its kind; None, with the
  // cursor unchanged, when there is none.
  MarkupNodeKind FindNode();
  // The current element becomes the parent; the cursor goes to the position remembered
  // inside it (before its first child, or the child it was left from).
  bool EnterElement();
  // The parent becomes the current element. False at the top level.
  bool LeaveElement();
  // Back to before the first child of the current parent.
  void ResetPosition();

  MarkupNodeKind CurrentNodeKind() const { return nodeKind_; }
  // The current element's name; empty when the current node is not an element.
  std::string GetTagName() const;
  // The value of the current element's attribute `name` (exact match; the first of that
  // name), references decoded; empty when there is no current element or no attribute.
  std::string GetAttribute(std::string_view name) const;
  // The n-th attribute (from 0, in the order written) of the current element or processing
  // instruction: the name as written, the value decoded. Asking for n, n + 1, ... in turn
  // reads the tag once in all.
  bool GetAttributeAt(size_t n, std::string& name, std::string& value);
  // The current element's text: its text and CDATA content with references decoded
  // (comments and instructions skipped); empty for an empty element or one with child
  // elements. For a non-element node, its content without the delimiters.
  std::string GetElementText() const;

 private:
  struct Record {
    size_t start;      // offset of the start tag's '<'
    size_t length;     // from the start tag to the end of the end tag
    size_t tagLength;  // the start tag alone
    uint32_t parent;
    uint32_t firstChild;
    uint32_t nextSibling;
    uint32_t prevSibling;
    uint32_t flags;
  };
  struct OpenElement {
    uint32_t index;
    uint32_t lastChild;
    std::string_view name;  // in text_
  };
  struct Range {
    size_t begin;
    size_t end;
  };

  Record& At(uint32_t index) { return segments_[index >> 16][index & (kSegmentSize - 1)]; }
  const Record& At(uint32_t index) const {
    return segments_[index >> 16][index & (kSegmentSize - 1)];
  }

  void Parse(std::string_view source);
  void EnsureCapacity(size_t records);
  void NoteNode(const markup::ScannedNode& node, const char* lt);
  bool AddElement(const char* lt, std::string_view name, size_t tagLength, bool empty);
  void CloseElement(const char* lt, std::string_view name, size_t tagLength);
  void CloseInnermost(size_t end, bool unended);
  void CountOpenNames();
  void AddFinding(std::string_view finding, size_t offset, size_t length = 0,
                  std::string_view name = {}, std::string_view kind = {});
  void MarkIllFormed() { At(0).flags |= kIllFormed; }

  std::string_view NameOf(uint32_t index) const;
  Range ContentRange(uint32_t index) const;
  bool TagBody(Range& body) const;
  std::string ContentText(Range range) const;

  static constexpr uint32_t kIllFormed = 1;   // record 0: the document has a structural error
  static constexpr uint32_t kLoneEndTag = 2;  // an end tag inside matched no open element
  static constexpr uint32_t kUnended = 4;     // the start tag was never closed

  std::string text_;
  std::string diagnostics_;
  size_t findings_ = 0;
  bool wellFormed_ = false;

  std::vector<std::unique_ptr<Record[]>> segments_;
  size_t capacity_ = 0;  // records the segments hold
  uint32_t count_ = 0;   // records in use, record 0 included

  // Parse state: the elements still open, innermost last (the document at the bottom),
  // the number of top-level elements, and, once an end tag has not matched the innermost
  // element, how many open elements carry each name.
  std::vector<OpenElement> open_;
  uint32_t topLevel_ = 0;
  bool countingNames_ = false;
  std::unordered_map<std::string_view, uint32_t> openNames_;

  // The cursor.
  uint32_t parentPos_ = 0;
  uint32_t currentPos_ = 0;
  uint32_t childPos_ = 0;
  MarkupNodeKind nodeKind_ = MarkupNodeKind::None;
  size_t nodeOffset_ = 0;  // for non-element nodes
  size_t nodeLength_ = 0;
  bool nodeTerminated_ = false;

  // Where GetAttributeAt stopped: the tag, how many attributes lie before `attrPos_`.
  size_t attrTag_ = SIZE_MAX;
  size_t attrIndex_ = 0;
  size_t attrPos_ = 0;
};

}  // namespace Corvane::Model
