#include "engine/markup/markup_document.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "engine/markup/character_references.h"
#include "engine/markup/markup_scanner.h"

namespace Corvane::Model {

using markup::NodeType;
using markup::ScannedNode;

namespace {

// Findings beyond this many are only counted: a large damaged text must not make the
// list grow without bound. The well-formedness result does not depend on the list.
constexpr size_t kMaxFindings = 1000;
// Names quoted in findings are cut to this many bytes.
constexpr size_t kMaxQuotedName = 100;
// At() splits an index into segment (high 16 bits) and slot (low 16 bits).
static_assert(MarkupDocument::kSegmentSize == 1u << 16);
// The highest number of records a 32-bit index can address.
constexpr uint32_t kMaxRecords = UINT32_MAX;

// Node types that are markup in their own right; the others ('<' that begins nothing,
// broken openings) are read as text.
bool IsNode(const ScannedNode& node) {
  switch (node.type) {
    case NodeType::StartTag:
      return node.terminated;
    case NodeType::EndTag:
    case NodeType::ProcessingInstruction:
    case NodeType::Comment:
    case NodeType::CData:
    case NodeType::DocumentType:
      return true;
    default:
      return false;
  }
}

MarkupNodeKind KindOf(NodeType type) {
  switch (type) {
    case NodeType::StartTag:
      return MarkupNodeKind::Element;
    case NodeType::ProcessingInstruction:
      return MarkupNodeKind::ProcessingInstruction;
    case NodeType::Comment:
      return MarkupNodeKind::Comment;
    case NodeType::CData:
      return MarkupNodeKind::CData;
    case NodeType::DocumentType:
      return MarkupNodeKind::DocumentType;
    default:
      return MarkupNodeKind::Text;
  }
}

}  // namespace

MarkupDocument::MarkupDocument() = default;
MarkupDocument::~MarkupDocument() = default;

void MarkupDocument::EnsureCapacity(size_t records) {
  if (records <= capacity_) return;
  // While the table is smaller than one segment it is a single segment sized to need;
  // only that one (partly filled) segment is ever copied. Beyond it the table grows by
  // whole segments and records already written never move.
  if (capacity_ < kSegmentSize) {
    size_t size = std::min<size_t>(kSegmentSize, std::max(records, 2 * capacity_));
    std::unique_ptr<Record[]> first(new Record[size]);
    if (!segments_.empty()) {
      std::copy(segments_[0].get(), segments_[0].get() + count_, first.get());
      segments_[0] = std::move(first);
    } else {
      segments_.push_back(std::move(first));
    }
    capacity_ = size;
  }
  while (capacity_ < records) {
    segments_.reserve(segments_.size() + 1);
    segments_.emplace_back(new Record[kSegmentSize]);
    capacity_ += kSegmentSize;
  }
}

void MarkupDocument::AddFinding(std::string_view finding, size_t offset, size_t length,
                                std::string_view name, std::string_view kind) {
  if (++findings_ > kMaxFindings) return;
  diagnostics_ += finding;
  if (!kind.empty()) {
    diagnostics_ += " kind=";
    diagnostics_ += kind;
  }
  diagnostics_ += " offset=";
  diagnostics_ += std::to_string(offset);
  if (length != 0) {
    diagnostics_ += " length=";
    diagnostics_ += std::to_string(length);
  }
  if (!name.empty()) {
    diagnostics_ += " name=";
    diagnostics_ += name.substr(0, kMaxQuotedName);
  }
  diagnostics_ += '\n';
}

bool MarkupDocument::ParseText(std::string_view text) {
  try {
    Parse(text);
  } catch (const std::bad_alloc&) {
    // Out of memory: the document keeps what was indexed and is not well-formed. The
    // elements still open reach to the end of the text, like any start tag never closed.
    wellFormed_ = false;
    if (count_ > 0) {
      MarkIllFormed();
      while (open_.size() > 1) {
        if (open_.back().index < count_) At(open_.back().index).flags |= kUnended;
        open_.pop_back();
      }
    }
    try {
      AddFinding("out_of_memory", text_.size());
    } catch (const std::bad_alloc&) {
    }
  }
  open_.clear();
  openNames_.clear();
  countingNames_ = false;
  return wellFormed_;
}

void MarkupDocument::Parse(std::string_view source) {
  count_ = 0;
  wellFormed_ = false;
  diagnostics_.clear();
  findings_ = 0;
  parentPos_ = currentPos_ = childPos_ = 0;
  nodeKind_ = MarkupNodeKind::None;
  attrTag_ = SIZE_MAX;
  open_.clear();
  openNames_.clear();
  countingNames_ = false;
  topLevel_ = 0;

  text_.assign(source.data(), source.size());
  // About one element per 64 bytes of text: most documents index without growing.
  EnsureCapacity(text_.size() / 64 + 8);
  At(0) = Record{0, text_.size(), 0, 0, 0, 0, 0, 0};
  count_ = 1;
  open_.push_back(OpenElement{0, 0, {}});

  const char* const begin = text_.data();
  const char* const end = begin + text_.size();
  const char* p = begin;
  while (p < end) {
    const char* lt = markup::FindChar(p, end, '<');
    if (lt == nullptr) break;
    // Start and end tags, by far the most frequent nodes, are read without the general
    // dispatch. (Each node is initialised in place: copying it costs more than reading.)
    if (end - lt >= 2 && markup::Is(lt[1], markup::kNameStart)) {
      const ScannedNode node = markup::ScanStartTag(lt, end);
      p = node.next;
      if (!node.terminated) {
        NoteNode(node, lt);
      } else if (!AddElement(lt, node.name, static_cast<size_t>(node.next - lt),
                             node.emptyElement)) {
        p = end;
      }
    } else if (end - lt >= 2 && lt[1] == '/') {
      const ScannedNode node = markup::ScanEndTag(lt, end);
      p = node.next;
      if (node.terminated) {
        CloseElement(lt, node.name, static_cast<size_t>(node.next - lt));
      } else {
        NoteNode(node, lt);
      }
    } else {
      const ScannedNode node = markup::ScanNode(lt, end);
      p = node.next;
      NoteNode(node, lt);
    }
  }

  while (open_.size() > 1) CloseInnermost(text_.size(), true);
  if (topLevel_ == 0) AddFinding("no_root_element", text_.size());
  if (findings_ > kMaxFindings) {
    diagnostics_ += "more_findings count=" + std::to_string(findings_ - kMaxFindings) + '\n';
  }
  wellFormed_ = (At(0).flags & kIllFormed) == 0 && topLevel_ == 1;
}

// Records what a node other than a complete start or end tag tells about the document:
// unterminated nodes, malformed openings, a declaration out of place.
void MarkupDocument::NoteNode(const ScannedNode& node, const char* lt) {
  const size_t offset = static_cast<size_t>(lt - text_.data());
  const char* kind = nullptr;  // of an unterminated node
  switch (node.type) {
    case NodeType::StartTag:
      kind = "start_tag";
      break;
    case NodeType::EndTag:
      kind = "end_tag";
      break;
    case NodeType::ProcessingInstruction:
      kind = "processing_instruction";
      break;
    case NodeType::Comment:
      kind = "comment";
      break;
    case NodeType::CData:
      kind = "cdata_section";
      break;
    case NodeType::DocumentType:
      kind = "document_type";
      if (node.terminated && count_ > 1) {
        // A document type declaration belongs before the first element.
        AddFinding("doctype_tag_syntax", offset, static_cast<size_t>(node.next - lt));
        MarkIllFormed();
      }
      break;
    case NodeType::Incomplete:
      AddFinding("unterminated_tag_syntax", offset, 0, {}, "tag");
      MarkIllFormed();
      return;
    case NodeType::StrayLessThan:
      AddFinding("first_tag_syntax", offset);
      MarkIllFormed();
      return;
    case NodeType::BadComment:
      AddFinding("comment_tag_syntax", offset);
      MarkIllFormed();
      return;
    case NodeType::BadCData:
      AddFinding("cdata_section_syntax", offset);
      MarkIllFormed();
      return;
    case NodeType::BadDocumentType:
      AddFinding("doctype_tag_syntax", offset);
      MarkIllFormed();
      return;
    case NodeType::BadExclamation:
      AddFinding("exclamation_tag_syntax", offset);
      MarkIllFormed();
      return;
  }
  if (!node.terminated) {
    AddFinding("unterminated_tag_syntax", offset, 0, node.name, kind);
    MarkIllFormed();
  }
}

bool MarkupDocument::AddElement(const char* lt, std::string_view name, size_t tagLength,
                                bool empty) {
  if (count_ == kMaxRecords) {
    AddFinding("too_many_elements", static_cast<size_t>(lt - text_.data()));
    MarkIllFormed();
    return false;
  }
  if (count_ == capacity_) EnsureCapacity(size_t{count_} + 1);
  const uint32_t index = count_++;
  OpenElement& parent = open_.back();
  Record& record = At(index);
  record.start = static_cast<size_t>(lt - text_.data());
  // Until its end tag is found, an open element reaches to the end of the text.
  record.length = empty ? tagLength : text_.size() - record.start;
  record.tagLength = tagLength;
  record.parent = parent.index;
  record.firstChild = 0;
  record.nextSibling = 0;
  record.prevSibling = parent.lastChild;
  record.flags = 0;
  if (parent.lastChild != 0) {
    At(parent.lastChild).nextSibling = index;
  } else {
    At(parent.index).firstChild = index;
  }
  parent.lastChild = index;
  if (parent.index == 0 && ++topLevel_ == 2) {
    AddFinding("root_has_sibling", record.start, tagLength, name);
  }
  if (!empty) {
    open_.push_back(OpenElement{index, 0, name});
    if (countingNames_) ++openNames_[name];
  }
  return true;
}

// Closes the innermost open element at `end` (the offset just after its end tag, or where
// the text or the enclosing element ends when it was never closed).
void MarkupDocument::CloseInnermost(size_t end, bool unended) {
  const OpenElement top = open_.back();
  Record& record = At(top.index);
  record.length = end - record.start;
  if (unended) {
    record.flags |= kUnended;
    AddFinding("unended_start_tag", record.start, record.tagLength, top.name);
    MarkIllFormed();
  }
  if (countingNames_) {
    auto it = openNames_.find(top.name);
    if (it != openNames_.end() && --it->second == 0) openNames_.erase(it);
  }
  open_.pop_back();
}

void MarkupDocument::CountOpenNames() {
  countingNames_ = true;
  for (size_t i = 1; i < open_.size(); ++i) ++openNames_[open_[i].name];
}

void MarkupDocument::CloseElement(const char* lt, std::string_view name, size_t tagLength) {
  const size_t offset = static_cast<size_t>(lt - text_.data());
  if (open_.size() > 1 && markup::SameName(open_.back().name, name)) {
    CloseInnermost(offset + tagLength, false);
    return;
  }
  // The end tag does not close the innermost element. If it closes one further out, the
  // elements inside that one were never closed; otherwise it is a lone end tag. Knowing
  // which open names exist keeps this linear however deep the nesting and however many
  // stray end tags follow.
  if (!countingNames_) CountOpenNames();
  if (openNames_.find(name) == openNames_.end()) {
    At(open_.back().index).flags |= kLoneEndTag;
    AddFinding("lone_end_tag", offset, tagLength, name);
    MarkIllFormed();
    return;
  }
  while (open_.size() > 1 && open_.back().name != name) CloseInnermost(offset, true);
  if (open_.size() > 1) CloseInnermost(offset + tagLength, false);
}

std::string_view MarkupDocument::NameOf(uint32_t index) const {
  const Record& record = At(index);
  const char* tag = text_.data() + record.start;
  if (record.tagLength < 2) return {};
  const char* nameEnd = markup::ScanName(tag + 1, tag + record.tagLength);
  return std::string_view(tag + 1, static_cast<size_t>(nameEnd - tag - 1));
}

MarkupDocument::Range MarkupDocument::ContentRange(uint32_t index) const {
  if (index == 0) return Range{0, text_.size()};
  const Record& record = At(index);
  const size_t begin = record.start + record.tagLength;
  const size_t end = record.start + record.length;
  if (record.flags & kUnended) return Range{begin, end};
  if (record.length == record.tagLength) return Range{begin, begin};  // "<a/>"
  // The end tag is the last '<' of the element: an end tag holds no other '<'.
  size_t endTag = end;
  while (endTag > begin && text_[endTag - 1] != '<') --endTag;
  return Range{begin, endTag > begin ? endTag - 1 : begin};
}

bool MarkupDocument::FindNextElement(std::string_view name) {
  if (count_ == 0) return false;
  uint32_t index = currentPos_ != 0 ? At(currentPos_).nextSibling : At(parentPos_).firstChild;
  for (; index != 0; index = At(index).nextSibling) {
    if (markup::SameName(NameOf(index), name)) {
      currentPos_ = index;
      childPos_ = 0;
      nodeKind_ = MarkupNodeKind::Element;
      return true;
    }
  }
  return false;
}

MarkupNodeKind MarkupDocument::FindNode() {
  if (count_ == 0) return MarkupNodeKind::None;
  const Range content = ContentRange(parentPos_);
  size_t pos;
  if (nodeKind_ != MarkupNodeKind::None && nodeKind_ != MarkupNodeKind::Element) {
    pos = nodeOffset_ + nodeLength_;
  } else if (currentPos_ != 0) {
    pos = At(currentPos_).start + At(currentPos_).length;
  } else {
    pos = content.begin;
  }
  const char* const begin = text_.data();
  const char* const end = begin + content.end;
  const char* p = begin + pos;
  // The element that comes next among the siblings, if any.
  const uint32_t nextElement =
      currentPos_ != 0 ? At(currentPos_).nextSibling : At(parentPos_).firstChild;

  while (p < end) {
    // A run of text, including '<' that begins no markup, up to the next node.
    const char* runStart = p;
    ScannedNode node{};
    const char* nodeStart = nullptr;
    while (p < end) {
      const char* lt = static_cast<const char*>(std::memchr(p, '<', static_cast<size_t>(end - p)));
      if (lt == nullptr) {
        p = end;
        break;
      }
      node = markup::ScanNode(lt, end);
      if (IsNode(node)) {
        if (node.type != NodeType::StartTag ||
            (nextElement != 0 && At(nextElement).start == static_cast<size_t>(lt - begin))) {
          nodeStart = lt;
          p = lt;
          break;
        }
      }
      p = node.next;  // not a node of its own (or a tag the index has not taken): text
    }
    if (p > runStart) {
      nodeKind_ = MarkupNodeKind::Text;
      nodeOffset_ = static_cast<size_t>(runStart - begin);
      nodeLength_ = static_cast<size_t>(p - runStart);
      nodeTerminated_ = true;
      childPos_ = 0;
      return nodeKind_;
    }
    if (nodeStart == nullptr) break;
    if (node.type == NodeType::EndTag) {
      p = node.next;  // an end tag that closed nothing here belongs to no node
      continue;
    }
    if (node.type == NodeType::StartTag) {
      currentPos_ = nextElement;
      nodeKind_ = MarkupNodeKind::Element;
    } else {
      nodeKind_ = KindOf(node.type);
      nodeOffset_ = static_cast<size_t>(nodeStart - begin);
      nodeLength_ = static_cast<size_t>(node.next - nodeStart);
      nodeTerminated_ = node.terminated;
    }
    childPos_ = 0;
    return nodeKind_;
  }
  return MarkupNodeKind::None;
}

bool MarkupDocument::EnterElement() {
  if (nodeKind_ != MarkupNodeKind::Element || currentPos_ == 0) return false;
  parentPos_ = currentPos_;
  currentPos_ = childPos_;
  childPos_ = 0;
  nodeKind_ = currentPos_ != 0 ? MarkupNodeKind::Element : MarkupNodeKind::None;
  return true;
}

bool MarkupDocument::LeaveElement() {
  if (parentPos_ == 0) return false;
  childPos_ = currentPos_;
  currentPos_ = parentPos_;
  parentPos_ = At(currentPos_).parent;
  nodeKind_ = MarkupNodeKind::Element;
  return true;
}

void MarkupDocument::ResetPosition() {
  currentPos_ = 0;
  childPos_ = 0;
  nodeKind_ = MarkupNodeKind::None;
}

std::string MarkupDocument::GetTagName() const {
  if (nodeKind_ != MarkupNodeKind::Element) return {};
  return std::string(NameOf(currentPos_));
}

// The part of the current element's start tag (or instruction) that holds its attributes.
bool MarkupDocument::TagBody(Range& body) const {
  if (nodeKind_ == MarkupNodeKind::Element) {
    const Record& record = At(currentPos_);
    body = Range{record.start + 1 + NameOf(currentPos_).size(), record.start + record.tagLength};
    return true;
  }
  if (nodeKind_ == MarkupNodeKind::ProcessingInstruction) {
    const char* tag = text_.data() + nodeOffset_;
    const char* end = tag + nodeLength_ - (nodeTerminated_ ? 2 : 0);
    const char* target = markup::ScanName(tag + 2, end);
    body = Range{static_cast<size_t>(target - text_.data()),
                 static_cast<size_t>(end - text_.data())};
    return true;
  }
  return false;
}

std::string MarkupDocument::GetAttribute(std::string_view name) const {
  if (nodeKind_ != MarkupNodeKind::Element) return {};
  Range body;
  TagBody(body);
  const char* p = text_.data() + body.begin;
  const char* end = text_.data() + body.end;
  markup::Attribute attr;
  markup::TagEnd how;
  while (markup::NextAttribute(p, end, attr, how)) {
    if (markup::SameName(attr.name, name)) return DecodeCharacterReferences(attr.value);
  }
  return {};
}

bool MarkupDocument::GetAttributeAt(size_t n, std::string& name, std::string& value) {
  Range body;
  if (!TagBody(body)) return false;
  const size_t tag = nodeKind_ == MarkupNodeKind::Element ? At(currentPos_).start : nodeOffset_;
  // Resume where the last call on this tag stopped when it stopped before n.
  size_t index = 0;
  size_t pos = body.begin;
  if (attrTag_ == tag && attrIndex_ <= n) {
    index = attrIndex_;
    pos = attrPos_;
  }
  const char* p = text_.data() + pos;
  const char* end = text_.data() + body.end;
  markup::Attribute attr;
  markup::TagEnd how;
  while (markup::NextAttribute(p, end, attr, how)) {
    if (index++ == n) {
      name.assign(attr.name);
      value = DecodeCharacterReferences(attr.value);
      attrTag_ = tag;
      attrIndex_ = index;
      attrPos_ = static_cast<size_t>(p - text_.data());
      return true;
    }
  }
  return false;
}

std::string MarkupDocument::GetElementText() const {
  switch (nodeKind_) {
    case MarkupNodeKind::None:
      return {};
    case MarkupNodeKind::Element:
      if (At(currentPos_).firstChild != 0) return {};
      return ContentText(ContentRange(currentPos_));
    case MarkupNodeKind::Text:
      return ContentText(Range{nodeOffset_, nodeOffset_ + nodeLength_});
    default:
      break;
  }
  // Delimiters: "<?" "?>", "<!--" "-->", "<![CDATA[" "]]>", "<!" ">".
  size_t open = 2;
  size_t close = 1;
  if (nodeKind_ == MarkupNodeKind::ProcessingInstruction) close = 2;
  if (nodeKind_ == MarkupNodeKind::Comment) open = 4, close = 3;
  if (nodeKind_ == MarkupNodeKind::CData) open = 9, close = 3;
  if (!nodeTerminated_) close = 0;
  if (nodeLength_ < open + close) return {};
  return text_.substr(nodeOffset_ + open, nodeLength_ - open - close);
}

// The text of a range of element content: text with references decoded, CDATA content
// as it stands; comments, instructions, declarations and end tags left out. A '<' that
// begins no markup, and a tag cut off by the next '<', are text.
std::string MarkupDocument::ContentText(Range range) const {
  std::string out;
  const char* p = text_.data() + range.begin;
  const char* const end = text_.data() + range.end;
  while (p < end) {
    const char* lt = static_cast<const char*>(std::memchr(p, '<', static_cast<size_t>(end - p)));
    if (lt == nullptr) {
      AppendDecodedText(out, std::string_view(p, static_cast<size_t>(end - p)));
      break;
    }
    AppendDecodedText(out, std::string_view(p, static_cast<size_t>(lt - p)));
    const ScannedNode node = markup::ScanNode(lt, end);
    if (node.type == NodeType::CData) {
      // (An unterminated section may be cut short even inside its opening.)
      const char* inner = lt + std::min<size_t>(markup::kCDataOpen.size(),
                                                static_cast<size_t>(end - lt));
      const char* innerEnd = node.terminated ? node.next - 3 : end;
      out.append(inner, static_cast<size_t>(innerEnd - inner));
    } else if (!IsNode(node)) {
      AppendDecodedText(out, std::string_view(lt, static_cast<size_t>(node.next - lt)));
    }
    p = node.next;
  }
  return out;
}

}  // namespace Corvane::Model
