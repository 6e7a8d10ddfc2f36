#include "engine/markup/markup_document.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "engine/markup/character_references.h"

using Corvane::Model::LookupNamedReference;
using Corvane::Model::MarkupDocument;
using Corvane::Model::MarkupNodeKind;

namespace {

// The names of the findings in the order they were recorded, separated by spaces.
std::string FindingNames(const MarkupDocument& doc) {
  std::istringstream lines(doc.diagnostics());
  std::string line, names;
  while (std::getline(lines, line)) {
    if (!names.empty()) names += ' ';
    names += line.substr(0, line.find(' '));
  }
  return names;
}

// All attributes of the current node as "name=value|name=value".
std::string Attributes(MarkupDocument& doc) {
  std::string out, name, value;
  for (size_t i = 0; doc.GetAttributeAt(i, name, value); ++i) {
    if (i) out += '|';
    out += name + "=" + value;
  }
  return out;
}

// Follows a path of element names ("a/b") from the top level; true when every step is found.
bool GoTo(MarkupDocument& doc, const std::string& path) {
  std::istringstream steps(path);
  std::string step;
  bool first = true;
  while (std::getline(steps, step, '/')) {
    if (!first && !doc.EnterElement()) return false;
    if (!doc.FindNextElement(step)) return false;
    first = false;
  }
  return true;
}

// Visits every node with FindNode / EnterElement / LeaveElement, without recursion, and
// returns how many elements it met.
uint32_t WalkAll(MarkupDocument& doc) {
  doc.ResetPosition();
  while (doc.LeaveElement()) {
  }
  doc.ResetPosition();
  uint32_t elements = 0;
  for (;;) {
    MarkupNodeKind kind = doc.FindNode();
    if (kind == MarkupNodeKind::None) {
      if (!doc.LeaveElement()) break;
      continue;
    }
    std::string name, value;
    doc.GetAttributeAt(0, name, value);
    doc.GetElementText();
    if (kind == MarkupNodeKind::Element) {
      ++elements;
      doc.GetAttribute("id");
      EXPECT_TRUE(doc.EnterElement());
    }
  }
  return elements;
}

struct ParseCase {
  const char* text;
  bool wellFormed;
  const char* findings;  // names, in order
  const char* path;      // element to look at ("" for none)
  const char* elementText;
  const char* attributes;
};

// The well-formedness rule, the findings, attributes and element text, including the cases
// where the reader had to choose: values without quotes, attributes without '=', numeric
// references out of range, names that differ only in case.
TEST(MarkupDocumentTest, ParsesAndReadsAsExpected) {
  const ParseCase cases[] = {
      {"<a><b/></a>", true, "", "a/b", "", ""},
      {"<a/><b/>", false, "root_has_sibling", "b", "", ""},
      {"", false, "no_root_element", "", "", ""},
      {"  plain text  ", false, "no_root_element", "", "", ""},
      {"<a><b></a>", false, "unended_start_tag", "a/b", "", ""},
      {"<a></b></a>", false, "lone_end_tag", "a", "", ""},
      {"<a><b><c></a><d/>", false, "unended_start_tag unended_start_tag root_has_sibling", "a/b/c",
       "", ""},
      {"<a x='1' y=\"2 > 3\"/>", true, "", "a", "", "x=1|y=2 > 3"},
      {"<a>&lt;&#65;&#x42;&AMP;&unknown;</a>", true, "", "a", "<AB&&unknown;", ""},
      {"<a>x<![CDATA[<y>]]>z<!--c--></a>", true, "", "a", "x<y>z", ""},
      {"<a><b/>text</a>", true, "", "a", "", ""},
      {"<a>x<?pi y?>z</a>", true, "", "a", "xz", ""},
      {"<a></a>", true, "", "a", "", ""},
      {"<a> x \r\n y </a>", true, "", "a", " x \r\n y ", ""},
      // A value without quotes ends at white space, '>' or "/>".
      {"<a x=1/>", true, "", "a", "", "x=1"},
      {"<a x=1 y=it's z=a/b>t</a>", true, "", "a", "t", "x=1|y=it's|z=a/b"},
      {"<a x= \"1\" y =2 />", true, "", "a", "", "x=1|y=2"},
      // A name without '=' is an attribute with an empty value.
      {"<a x y=\"1\" z/>", true, "", "a", "", "x=|y=1|z="},
      {"<a v=\"&quot;&apos;&#x3c;&gt;\"/>", true, "", "a", "", "v=\"'<>"},
      // Numeric references: zero, surrogates, beyond U+10FFFF, overflowing digits, no
      // digits or no ';' are kept literally; the largest code point is not.
      {"<a>&#0;&#xD800;&#55296;&#x110000;&#1114112;&#99999999999999999999;&#;&#x;&#65</a>", true,
       "", "a", "&#0;&#xD800;&#55296;&#x110000;&#1114112;&#99999999999999999999;&#;&#x;&#65", ""},
      {"<a>&#x10FFFF;&#X41;&#00066;&#x00000043;</a>", true, "", "a", "\xF4\x8F\xBF\xBF" "ABC", ""},
      // Named references ignore case, but an exact match wins over one that differs in case.
      {"<a>&Dagger;&dagger;&DAGGER;&eacute;&Eacute;&EACUTE;&nbsp;</a>", true, "", "a",
       "\xE2\x80\xA1\xE2\x80\xA0\xE2\x80\xA0\xC3\xA9\xC3\x89\xC3\xA9\xC2\xA0", ""},
      // At most nine characters; the longest HTML 4 name has eight.
      {"<a>&thetasym;&abcdefghi;&abcdefghij;&amp &&amp;&;&lt</a>", true, "", "a",
       "\xCF\x91&abcdefghi;&abcdefghij;&amp &&&;&lt", ""},
      {"<?xml version=\"1.0\"?>\n<!DOCTYPE a [<!ENTITY e \"]>\"> <!-- ]> -->]>\n<!--c--><a/>\n",
       true, "", "a", "", ""},
      {"<!doctype html><a/>", true, "", "a", "", ""},
      {"\xEF\xBB\xBF<\xC3\xA9l\xC3\xA8ve nom=\"\xE4\xB8\xAD\"/>", true, "", "\xC3\xA9l\xC3\xA8ve",
       "", "nom=\xE4\xB8\xAD"},
      // Text after the root element is tolerated.
      {"<a/>trailing", true, "", "a", "", ""},
      // Unterminated nodes, each with its kind.
      {"<a", false, "unterminated_tag_syntax no_root_element", "", "", ""},
      {"<a x=\"1>2/>", false, "unterminated_tag_syntax no_root_element", "", "", ""},
      {"<a></a", false, "unterminated_tag_syntax unended_start_tag", "a", "", ""},
      {"<a><!-- x", false, "unterminated_tag_syntax unended_start_tag", "a", "", ""},
      {"<a><![CDATA[x", false, "unterminated_tag_syntax unended_start_tag", "a", "x", ""},
      {"<a><![CDA", false, "unterminated_tag_syntax unended_start_tag", "a", "", ""},
      {"<?xml version=\"1.0\"", false, "unterminated_tag_syntax no_root_element", "", "", ""},
      {"<!DOCTYPE a [ <!ELEMENT a ANY> ", false, "unterminated_tag_syntax no_root_element", "", "",
       ""},
      {"<a/><", false, "unterminated_tag_syntax", "a", "", ""},
      {"<a/><!", false, "unterminated_tag_syntax", "a", "", ""},
      // A '<' outside a quoted value breaks the tag off; reserved names such as "<para>"
      // cannot get into an attribute list.
      {"<a <para>=\"x\"/>", false, "unterminated_tag_syntax unended_start_tag", "para", "=\"x\"/>",
       ""},
      {"<r><a x <b/></r>", false, "unterminated_tag_syntax", "r/b", "", ""},
      // Malformed openings.
      {"<a>1 < 2</a>", false, "first_tag_syntax", "a", "1 < 2", ""},
      {"<a><!x></a>", false, "exclamation_tag_syntax", "a", "<!x>", ""},
      {"<a><!-x--></a>", false, "comment_tag_syntax", "a", "<!-x-->", ""},
      {"<a><![CDAT[x]]></a>", false, "cdata_section_syntax", "a", "<![CDAT[x]]>", ""},
      {"<a><!DOCTYP a></a>", false, "doctype_tag_syntax", "a", "<!DOCTYP a>", ""},
      {"<a><!DOCTYPE a></a>", false, "doctype_tag_syntax", "a", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    MarkupDocument doc;
    EXPECT_EQ(doc.ParseText(c.text), c.wellFormed);
    EXPECT_EQ(doc.IsWellFormed(), c.wellFormed);
    EXPECT_EQ(FindingNames(doc), c.findings) << doc.diagnostics();
    if (*c.path == '\0') continue;
    ASSERT_TRUE(GoTo(doc, c.path));
    EXPECT_EQ(doc.GetElementText(), c.elementText);
    EXPECT_EQ(Attributes(doc), c.attributes);
  }
}

TEST(MarkupDocumentTest, FindingsNameTheirPlace) {
  MarkupDocument doc;
  doc.ParseText("<a></b></a>");
  EXPECT_EQ(doc.diagnostics(), "lone_end_tag offset=3 length=4 name=b\n");
  doc.ParseText("<a><b></a");
  EXPECT_EQ(doc.diagnostics(),
            "unterminated_tag_syntax kind=end_tag offset=6 name=a\n"
            "unended_start_tag offset=3 length=3 name=b\n"
            "unended_start_tag offset=0 length=3 name=a\n");
}

TEST(MarkupDocumentTest, NamedReferenceLookup) {
  EXPECT_EQ(LookupNamedReference("Dagger"), 0x2021u);
  EXPECT_EQ(LookupNamedReference("dagger"), 0x2020u);
  EXPECT_EQ(LookupNamedReference("DAGGER"), 0x2020u);
  EXPECT_EQ(LookupNamedReference("Omega"), 0x3A9u);
  EXPECT_EQ(LookupNamedReference("OMEGA"), 0x3C9u);
  EXPECT_EQ(LookupNamedReference("hArr"), 0x21D4u);
  EXPECT_EQ(LookupNamedReference("HARR"), 0x2194u);
  EXPECT_EQ(LookupNamedReference("yuml"), 0xFFu);
  EXPECT_EQ(LookupNamedReference("Yuml"), 0x178u);
  EXPECT_EQ(LookupNamedReference("APOS"), 0x27u);
  EXPECT_EQ(LookupNamedReference("euro"), 0x20ACu);
  EXPECT_EQ(LookupNamedReference("frac34"), 0xBEu);
  EXPECT_EQ(LookupNamedReference("nosuch"), 0u);
  EXPECT_EQ(LookupNamedReference(""), 0u);
}

TEST(MarkupDocumentTest, FailedSearchLeavesTheCursorWhereItWas) {
  MarkupDocument doc;
  ASSERT_TRUE(doc.ParseText("<r><a/><d id=\"1\"/><c2/><d id=\"2\"/></r>"));
  ASSERT_TRUE(GoTo(doc, "r/a"));
  EXPECT_FALSE(doc.FindNextElement("c"));
  EXPECT_EQ(doc.GetTagName(), "a");
  ASSERT_TRUE(doc.FindNextElement("d"));
  EXPECT_EQ(doc.GetAttribute("id"), "1");
  ASSERT_TRUE(doc.FindNextElement("d"));
  EXPECT_EQ(doc.GetAttribute("id"), "2");
  EXPECT_FALSE(doc.FindNextElement("d"));
  EXPECT_FALSE(doc.FindNextElement("a"));  // only forward
  doc.ResetPosition();
  EXPECT_EQ(doc.GetTagName(), "");
  EXPECT_EQ(doc.GetAttribute("id"), "");
  ASSERT_TRUE(doc.FindNextElement("d"));
  EXPECT_EQ(doc.GetAttribute("id"), "1");
}

TEST(MarkupDocumentTest, EnterAndLeaveRememberTheChildPosition) {
  MarkupDocument doc;
  ASSERT_TRUE(doc.ParseText("<r><x><y id=\"1\"/><y id=\"2\"/></x><X id=\"3\"/><x id=\"4\"/></r>"));
  EXPECT_FALSE(doc.EnterElement());  // no current element
  EXPECT_FALSE(doc.LeaveElement());  // top level
  ASSERT_TRUE(GoTo(doc, "r/x/y"));
  ASSERT_TRUE(doc.FindNextElement("y"));
  ASSERT_TRUE(doc.LeaveElement());
  EXPECT_EQ(doc.GetTagName(), "x");
  ASSERT_TRUE(doc.EnterElement());
  EXPECT_EQ(doc.GetAttribute("id"), "2");  // back at the child it was left from
  EXPECT_FALSE(doc.FindNextElement("y"));
  ASSERT_TRUE(doc.LeaveElement());
  ASSERT_TRUE(doc.FindNextElement("x"));  // case-sensitive: skips X
  EXPECT_EQ(doc.GetAttribute("id"), "4");
  ASSERT_TRUE(doc.EnterElement());  // after FindNextElement: before the first child
  EXPECT_EQ(doc.CurrentNodeKind(), MarkupNodeKind::None);
  EXPECT_FALSE(doc.FindNextElement("y"));
  ASSERT_TRUE(doc.LeaveElement());
  ASSERT_TRUE(doc.LeaveElement());
  EXPECT_EQ(doc.GetTagName(), "r");
  EXPECT_FALSE(doc.LeaveElement());
}

TEST(MarkupDocumentTest, AttributesInAnyOrderOfAsking) {
  MarkupDocument doc;
  ASSERT_TRUE(doc.ParseText("<a p=\"0\" q='1' r=2 s/>"));
  ASSERT_TRUE(doc.FindNextElement("a"));
  std::string name, value;
  for (size_t n : {2, 0, 3, 1, 3, 2}) {
    ASSERT_TRUE(doc.GetAttributeAt(n, name, value)) << n;
    EXPECT_EQ(name, std::string(1, static_cast<char>('p' + n)));
    EXPECT_EQ(value, n == 3 ? "" : std::to_string(n));
  }
  EXPECT_FALSE(doc.GetAttributeAt(4, name, value));
  EXPECT_EQ(doc.GetAttribute("q"), "1");
  EXPECT_EQ(doc.GetAttribute("Q"), "");
  EXPECT_EQ(doc.GetAttribute("t"), "");
}

TEST(MarkupDocumentTest, WalksEveryKindOfNode) {
  MarkupDocument doc;
  EXPECT_FALSE(doc.ParseText(
      "<?xml version=\"1.0\" encoding='UTF-8'?><!DOCTYPE r><!--top--><r>t1&amp;<![CDATA[c&amp;]]>"
      "<!--m--><?pi a=\"1\"?><e x=\"1\"/></x>t2 < 3</r>"));
  EXPECT_EQ(FindingNames(doc), "lone_end_tag first_tag_syntax");
  struct Step {
    MarkupNodeKind kind;
    const char* text;
    const char* attributes;
  };
  const Step top[] = {
      {MarkupNodeKind::ProcessingInstruction, "xml version=\"1.0\" encoding='UTF-8'",
       "version=1.0|encoding=UTF-8"},
      {MarkupNodeKind::DocumentType, "DOCTYPE r", ""},
      {MarkupNodeKind::Comment, "top", ""},
      {MarkupNodeKind::Element, "", ""},
  };
  for (const auto& step : top) {
    ASSERT_EQ(doc.FindNode(), step.kind) << step.text;
    EXPECT_EQ(doc.GetElementText(), step.text);
    EXPECT_EQ(Attributes(doc), step.attributes);
  }
  EXPECT_EQ(doc.FindNode(), MarkupNodeKind::None);
  EXPECT_EQ(doc.GetTagName(), "r");  // unchanged
  ASSERT_TRUE(doc.EnterElement());
  const Step inside[] = {
      {MarkupNodeKind::Text, "t1&", ""},
      {MarkupNodeKind::CData, "c&amp;", ""},
      {MarkupNodeKind::Comment, "m", ""},
      {MarkupNodeKind::ProcessingInstruction, "pi a=\"1\"", "a=1"},
      {MarkupNodeKind::Element, "", "x=1"},
      {MarkupNodeKind::Text, "t2 < 3", ""},  // the lone end tag belongs to no node
  };
  for (const auto& step : inside) {
    ASSERT_EQ(doc.FindNode(), step.kind) << step.text;
    EXPECT_EQ(doc.GetElementText(), step.text);
    EXPECT_EQ(Attributes(doc), step.attributes);
    EXPECT_EQ(doc.GetAttribute("x"), step.kind == MarkupNodeKind::Element ? "1" : "");
  }
  EXPECT_EQ(doc.FindNode(), MarkupNodeKind::None);
  // FindNextElement goes on from the element before the current node.
  doc.ResetPosition();
  ASSERT_EQ(doc.FindNode(), MarkupNodeKind::Text);
  EXPECT_TRUE(doc.FindNextElement("e"));
}

TEST(MarkupDocumentTest, IndexCrossesSegmentBoundaries) {
  const uint32_t count = MarkupDocument::kSegmentSize + 4464;  // 70,000
  std::string text = "<r>";
  for (uint32_t i = 0; i < count; ++i) text += "<e i=\"" + std::to_string(i) + "\"/>";
  text += "</r>";
  MarkupDocument doc;
  ASSERT_TRUE(doc.ParseText(text));
  EXPECT_EQ(doc.ElementCount(), count + 1);
  ASSERT_TRUE(GoTo(doc, "r"));
  ASSERT_TRUE(doc.EnterElement());
  uint32_t seen = 0;
  while (doc.FindNextElement("e")) {
    ASSERT_EQ(doc.GetAttribute("i"), std::to_string(seen));
    ++seen;
  }
  EXPECT_EQ(seen, count);

  // The same object parses a small document next: nothing of the large one remains.
  EXPECT_TRUE(doc.ParseText("<z k=\"v\">t</z>"));
  EXPECT_EQ(doc.ElementCount(), 1u);
  EXPECT_EQ(doc.diagnostics(), "");
  EXPECT_FALSE(doc.FindNextElement("r"));
  ASSERT_TRUE(doc.FindNextElement("z"));
  EXPECT_EQ(doc.GetElementText(), "t");
  ASSERT_TRUE(doc.EnterElement());
  EXPECT_FALSE(doc.FindNextElement("e"));
}

TEST(MarkupDocumentTest, DeepNestingNeedsNoRecursion) {
  const int depth = 100000;
  std::string open, close;
  for (int i = 0; i < depth; ++i) open += "<a>";
  for (int i = 0; i < depth; ++i) close += "</a>";

  MarkupDocument doc;
  ASSERT_TRUE(doc.ParseText(open + "x" + close));
  for (int i = 0; i < depth; ++i) {
    ASSERT_TRUE(doc.FindNextElement("a")) << i;
    if (i + 1 < depth) {
      ASSERT_TRUE(doc.EnterElement());
    }
  }
  EXPECT_EQ(doc.GetElementText(), "x");
  EXPECT_EQ(WalkAll(doc), static_cast<uint32_t>(depth));

  // Never closed: everything is indexed, the findings list stays bounded.
  EXPECT_FALSE(doc.ParseText(open));
  EXPECT_EQ(doc.ElementCount(), static_cast<uint32_t>(depth));
  EXPECT_EQ(WalkAll(doc), static_cast<uint32_t>(depth));
  EXPECT_NE(doc.diagnostics().find("more_findings count=99000\n"), std::string::npos);

  // End tags that close nothing, below deep nesting, stay linear.
  std::string lone;
  for (int i = 0; i < depth; ++i) lone += "</b>";
  EXPECT_FALSE(doc.ParseText(open + lone + close));
  EXPECT_EQ(doc.ElementCount(), static_cast<uint32_t>(depth));
  EXPECT_EQ(FindingNames(doc).substr(0, 12), "lone_end_tag");
}

const char kConfig[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<checkitems version=\"2.0\" base=\"https://bank.example/conf/\">\n"
    "  <config type=\"registry\">\n"
    "    <entry type=\"reg_dword\" name=\"A&amp;B\" value=\"1\" mask=\"0\" bit=\"64\">"
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Bank</entry>\n"
    "  </config>\n"
    "  <data name=\"tip\"><![CDATA[<b>hello</b>]]></data>\n"
    "  <item cls=\"key\" type=\"k1\" keyid=\"1234|5678\"><detect dtype=\"file\">%SystemRoot%\\x.dll"
    "</detect><installer md5=\"00\">sub/x.exe</installer></item>\n"
    "</checkitems>\n";

TEST(MarkupDocumentTest, TruncatedDocumentsAreIndexedAsFarAsTheyGo) {
  const std::string full = kConfig;
  MarkupDocument doc;
  ASSERT_TRUE(doc.ParseText(full));
  const uint32_t elements = doc.ElementCount();
  const size_t rootEnd = full.rfind('>') + 1;
  uint32_t previous = 0;
  for (size_t length = 0; length < rootEnd; ++length) {
    SCOPED_TRACE(length);
    EXPECT_FALSE(doc.ParseText(full.substr(0, length)));
    EXPECT_GE(doc.ElementCount(), previous);  // a longer prefix never indexes less
    EXPECT_LE(doc.ElementCount(), elements);
    previous = doc.ElementCount();
    EXPECT_EQ(WalkAll(doc), doc.ElementCount());
  }
  EXPECT_EQ(previous, elements);
}

TEST(MarkupDocumentTest, BinaryInputIsHarmless) {
  std::mt19937 random(20240611);
  MarkupDocument doc;
  for (int round = 0; round < 40; ++round) {
    std::string bytes(16384, '\0');
    // Mostly markup characters, so that the bytes make many (broken) nodes.
    const char alphabet[] = "<>/!?-[]=\"'&#;ax \0\xff";
    for (auto& b : bytes)
      b = (round % 2) ? static_cast<char>(random()) : alphabet[random() % (sizeof alphabet - 1)];
    doc.ParseText(bytes);
    EXPECT_EQ(WalkAll(doc), doc.ElementCount());
  }
  // A single NUL byte inside an otherwise good document is only a character.
  ASSERT_TRUE(doc.ParseText(std::string("<a>x\0y</a>", 10)));
  ASSERT_TRUE(doc.FindNextElement("a"));
  EXPECT_EQ(doc.GetElementText(), std::string("x\0y", 3));
}

TEST(MarkupDocumentTest, EmptyDocumentFindsNothing) {
  MarkupDocument doc;  // never parsed
  EXPECT_FALSE(doc.IsWellFormed());
  EXPECT_FALSE(doc.FindNextElement("a"));
  EXPECT_EQ(doc.FindNode(), MarkupNodeKind::None);
  EXPECT_FALSE(doc.EnterElement());
  EXPECT_FALSE(doc.LeaveElement());
  EXPECT_EQ(doc.GetAttribute("a"), "");
  EXPECT_EQ(doc.GetElementText(), "");
  std::string name, value;
  EXPECT_FALSE(doc.GetAttributeAt(0, name, value));
  EXPECT_EQ(doc.ElementCount(), 0u);
}

}  // namespace
