#include "engine/markup/character_references.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace Corvane::Model {
namespace {

struct NamedReference {
  const char* name;
  uint32_t codePoint;
};

// The Latin-1 references of HTML 4, U+00A0 to U+00FF in code-point order.
constexpr const char* kLatin1Names[] = {
    "nbsp",   "iexcl",  "cent",   "pound",  "curren", "yen",    "brvbar", "sect",
    "uml",    "copy",   "ordf",   "laquo",  "not",    "shy",    "reg",    "macr",
    "deg",    "plusmn", "sup2",   "sup3",   "acute",  "micro",  "para",   "middot",
    "cedil",  "sup1",   "ordm",   "raquo",  "frac14", "frac12", "frac34", "iquest",
    "Agrave", "Aacute", "Acirc",  "Atilde", "Auml",   "Aring",  "AElig",  "Ccedil",
    "Egrave", "Eacute", "Ecirc",  "Euml",   "Igrave", "Iacute", "Icirc",  "Iuml",
    "ETH",    "Ntilde", "Ograve", "Oacute", "Ocirc",  "Otilde", "Ouml",   "times",
    "Oslash", "Ugrave", "Uacute", "Ucirc",  "Uuml",   "Yacute", "THORN",  "szlig",
    "agrave", "aacute", "acirc",  "atilde", "auml",   "aring",  "aelig",  "ccedil",
    "egrave", "eacute", "ecirc",  "euml",   "igrave", "iacute", "icirc",  "iuml",
    "eth",    "ntilde", "ograve", "oacute", "ocirc",  "otilde", "ouml",   "divide",
    "oslash", "ugrave", "uacute", "ucirc",  "uuml",   "yacute", "thorn",  "yuml",
};
static_assert(std::size(kLatin1Names) == 96);

// The symbol and special references of HTML 4, plus `apos` (which XML adds).
constexpr NamedReference kOtherReferences[] = {
    {"quot", 34}, {"amp", 38}, {"apos", 39}, {"lt", 60}, {"gt", 62},
    {"OElig", 338}, {"oelig", 339}, {"Scaron", 352}, {"scaron", 353}, {"Yuml", 376},
    {"fnof", 402}, {"circ", 710}, {"tilde", 732},
    {"Alpha", 913}, {"Beta", 914}, {"Gamma", 915}, {"Delta", 916}, {"Epsilon", 917},
    {"Zeta", 918}, {"Eta", 919}, {"Theta", 920}, {"Iota", 921}, {"Kappa", 922},
    {"Lambda", 923}, {"Mu", 924}, {"Nu", 925}, {"Xi", 926}, {"Omicron", 927}, {"Pi", 928},
    {"Rho", 929}, {"Sigma", 931}, {"Tau", 932}, {"Upsilon", 933}, {"Phi", 934},
    {"Chi", 935}, {"Psi", 936}, {"Omega", 937},
    {"alpha", 945}, {"beta", 946}, {"gamma", 947}, {"delta", 948}, {"epsilon", 949},
    {"zeta", 950}, {"eta", 951}, {"theta", 952}, {"iota", 953}, {"kappa", 954},
    {"lambda", 955}, {"mu", 956}, {"nu", 957}, {"xi", 958}, {"omicron", 959}, {"pi", 960},
    {"rho", 961}, {"sigmaf", 962}, {"sigma", 963}, {"tau", 964}, {"upsilon", 965},
    {"phi", 966}, {"chi", 967}, {"psi", 968}, {"omega", 969}, {"thetasym", 977},
    {"upsih", 978}, {"piv", 982},
    {"ensp", 8194}, {"emsp", 8195}, {"thinsp", 8201}, {"zwnj", 8204}, {"zwj", 8205},
    {"lrm", 8206}, {"rlm", 8207}, {"ndash", 8211}, {"mdash", 8212}, {"lsquo", 8216},
    {"rsquo", 8217}, {"sbquo", 8218}, {"ldquo", 8220}, {"rdquo", 8221}, {"bdquo", 8222},
    {"dagger", 8224}, {"Dagger", 8225}, {"bull", 8226}, {"hellip", 8230}, {"permil", 8240},
    {"prime", 8242}, {"Prime", 8243}, {"lsaquo", 8249}, {"rsaquo", 8250}, {"oline", 8254},
    {"frasl", 8260}, {"euro", 8364},
    {"image", 8465}, {"weierp", 8472}, {"real", 8476}, {"trade", 8482}, {"alefsym", 8501},
    {"larr", 8592}, {"uarr", 8593}, {"rarr", 8594}, {"darr", 8595}, {"harr", 8596},
    {"crarr", 8629}, {"lArr", 8656}, {"uArr", 8657}, {"rArr", 8658}, {"dArr", 8659},
    {"hArr", 8660},
    {"forall", 8704}, {"part", 8706}, {"exist", 8707}, {"empty", 8709}, {"nabla", 8711},
    {"isin", 8712}, {"notin", 8713}, {"ni", 8715}, {"prod", 8719}, {"sum", 8721},
    {"minus", 8722}, {"lowast", 8727}, {"radic", 8730}, {"prop", 8733}, {"infin", 8734},
    {"ang", 8736}, {"and", 8743}, {"or", 8744}, {"cap", 8745}, {"cup", 8746},
    {"int", 8747}, {"there4", 8756}, {"sim", 8764}, {"cong", 8773}, {"asymp", 8776},
    {"ne", 8800}, {"equiv", 8801}, {"le", 8804}, {"ge", 8805}, {"sub", 8834},
    {"sup", 8835}, {"nsub", 8836}, {"sube", 8838}, {"supe", 8839}, {"oplus", 8853},
    {"otimes", 8855}, {"perp", 8869}, {"sdot", 8901},
    {"lceil", 8968}, {"rceil", 8969}, {"lfloor", 8970}, {"rfloor", 8971}, {"lang", 9001},
    {"rang", 9002}, {"loz", 9674}, {"spades", 9824}, {"clubs", 9827}, {"hearts", 9829},
    {"diams", 9830},
};
static_assert(std::size(kOtherReferences) == 157);  // 124 symbols, 32 specials, apos

// The longest name looked up; no HTML 4 name is longer.
constexpr size_t kMaxNameLength = 9;

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

// Compares ASCII case-insensitively: <0, 0, >0.
int CompareNoCase(std::string_view a, std::string_view b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    char x = LowerAscii(a[i]);
    char y = LowerAscii(b[i]);
    if (x != y) return static_cast<unsigned char>(x) < static_cast<unsigned char>(y) ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

// All references sorted by case-folded name, built once.
const std::vector<NamedReference>& SortedReferences() {
  static const std::vector<NamedReference> table = [] {
    std::vector<NamedReference> all;
    all.reserve(std::size(kLatin1Names) + std::size(kOtherReferences));
    for (size_t i = 0; i < std::size(kLatin1Names); ++i)
      all.push_back({kLatin1Names[i], static_cast<uint32_t>(0xA0 + i)});
    all.insert(all.end(), std::begin(kOtherReferences), std::end(kOtherReferences));
    std::sort(all.begin(), all.end(), [](const NamedReference& a, const NamedReference& b) {
      return CompareNoCase(a.name, b.name) < 0;
    });
    return all;
  }();
  return table;
}

bool IsLowerCase(std::string_view name) {
  return std::none_of(name.begin(), name.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
}

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

int DigitValue(char c, bool hex) {
  if (c >= '0' && c <= '9') return c - '0';
  if (hex && c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (hex && c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsAsciiAlnum(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Resolves the reference that starts with the `&` at text[0]. Returns the length of the
// whole reference (with `&` and `;`) and sets `cp`, or returns 0 when it cannot be resolved.
size_t ResolveReference(std::string_view text, uint32_t& cp) {
  size_t i = 1;
  if (i < text.size() && text[i] == '#') {
    ++i;
    bool hex = i < text.size() && (text[i] == 'x' || text[i] == 'X');
    if (hex) ++i;
    size_t firstDigit = i;
    // Digits are read to their end, but the value stops growing once it is out of range,
    // so that any number of digits can neither overflow nor wrap into a valid value.
    uint32_t value = 0;
    bool outOfRange = false;
    for (int d; i < text.size() && (d = DigitValue(text[i], hex)) >= 0; ++i) {
      if (!outOfRange) {
        value = value * (hex ? 16 : 10) + static_cast<uint32_t>(d);
        outOfRange = value > 0x10FFFF;
      }
    }
    if (i == firstDigit || i >= text.size() || text[i] != ';') return 0;
    // Zero, surrogates and values beyond U+10FFFF name no character: kept literally.
    if (outOfRange || value == 0 || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    cp = value;
    return i + 1;
  }
  size_t nameEnd = i;
  while (nameEnd < text.size() && nameEnd - i <= kMaxNameLength && IsAsciiAlnum(text[nameEnd]))
    ++nameEnd;
  size_t length = nameEnd - i;
  if (length == 0 || length > kMaxNameLength) return 0;
  if (nameEnd >= text.size() || text[nameEnd] != ';') return 0;
  cp = LookupNamedReference(text.substr(i, length));
  return cp == 0 ? 0 : nameEnd + 1;
}

}  // namespace

uint32_t LookupNamedReference(std::string_view name) {
  if (name.empty() || name.size() > kMaxNameLength) return 0;
  const auto& table = SortedReferences();
  struct ByFoldedName {
    bool operator()(const NamedReference& a, std::string_view b) const {
      return CompareNoCase(a.name, b) < 0;
    }
    bool operator()(std::string_view a, const NamedReference& b) const {
      return CompareNoCase(a, b.name) < 0;
    }
  };
  auto [first, last] = std::equal_range(table.begin(), table.end(), name, ByFoldedName{});
  if (first == last) return 0;
  for (auto it = first; it != last; ++it)
    if (name == it->name) return it->codePoint;
  for (auto it = first; it != last; ++it)
    if (IsLowerCase(it->name)) return it->codePoint;
  return first->codePoint;
}

void AppendDecodedText(std::string& out, std::string_view raw) {
  size_t pos = 0;
  while (pos < raw.size()) {
    size_t amp = raw.find('&', pos);
    if (amp == std::string_view::npos) break;
    out.append(raw.data() + pos, amp - pos);
    uint32_t cp = 0;
    size_t length = ResolveReference(raw.substr(amp), cp);
    if (length == 0) {
      // Kept literally: the `&` goes out as it is and the rest is read as plain text.
      out += '&';
      pos = amp + 1;
    } else {
      AppendUtf8(out, cp);
      pos = amp + length;
    }
  }
  out.append(raw.data() + pos, raw.size() - pos);
}

}  // namespace Corvane::Model
