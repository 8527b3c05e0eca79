#include "convert/filters/markup/math_text.h"

#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace quarn {

namespace {

// Formulas nest, but not this deep; a hostile file stops here.
constexpr int kMaxDepth = 256;
// A formula is a line, not a document: beyond this its text is cut.
constexpr std::size_t kMaxBytes = 64 * 1024;

std::string_view Name(xmlNodePtr n) { return n->name ? reinterpret_cast<const char*>(n->name) : ""; }

bool IsElement(xmlNodePtr n) { return n && n->type == XML_ELEMENT_NODE; }

std::vector<xmlNodePtr> Children(xmlNodePtr n) {
  std::vector<xmlNodePtr> out;
  for (xmlNodePtr c = n ? n->children : nullptr; c; c = c->next)
    if (IsElement(c)) out.push_back(c);
  return out;
}

xmlNodePtr Child(xmlNodePtr n, std::string_view name) {
  for (xmlNodePtr c = n ? n->children : nullptr; c; c = c->next)
    if (IsElement(c) && Name(c) == name) return c;
  return nullptr;
}

// An attribute by local name, whatever its namespace.
std::string Attr(xmlNodePtr n, const char* name, bool* present = nullptr) {
  for (xmlAttrPtr a = n ? n->properties : nullptr; a; a = a->next) {
    if (!a->name || std::strcmp(reinterpret_cast<const char*>(a->name), name) != 0) continue;
    if (present) *present = true;
    xmlChar* v = xmlNodeListGetString(n->doc, a->children, 1);
    std::string s = v ? reinterpret_cast<const char*>(v) : "";
    xmlFree(v);
    return s;
  }
  if (present) *present = false;
  return {};
}

// The text content of a token, its white space collapsed.  MathML's white
// space around a token means nothing; Office Math text keeps it (keep_edges).
// Function application reads as a space ("sin θ"), the other invisible
// operators as nothing.
std::string TokenText(xmlNodePtr n, bool keep_edges) {
  xmlChar* v = xmlNodeGetContent(n);
  std::string raw = v ? reinterpret_cast<const char*>(v) : "";
  xmlFree(v);
  std::string out;
  bool space = false;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(raw[i]);
    if (c == 0xE2 && i + 2 < raw.size() && static_cast<unsigned char>(raw[i + 1]) == 0x81 &&
        static_cast<unsigned char>(raw[i + 2]) >= 0xA1 && static_cast<unsigned char>(raw[i + 2]) <= 0xA4) {
      if (static_cast<unsigned char>(raw[i + 2]) == 0xA1) space = true;  // U+2061
      i += 2;  // U+2061..U+2064
      continue;
    }
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      space = true;
      continue;
    }
    if (space && out.empty() && !keep_edges) space = false;
    if (space) out.push_back(' ');
    space = false;
    out.push_back(static_cast<char>(c));
  }
  if (space && keep_edges) out.push_back(' ');
  return out;
}

// Whether s reads as one unit after ^, _ or /: a number, a name, or one character.
bool IsAtom(std::string_view s) {
  if (s.empty()) return true;
  bool plain = true;
  for (char c : s)
    plain = plain && ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.');
  if (plain) return true;
  // A single character, whatever its length in UTF-8.
  std::size_t len = 1;
  auto lead = static_cast<unsigned char>(s[0]);
  if (lead >= 0xF0) len = 4;
  else if (lead >= 0xE0) len = 3;
  else if (lead >= 0xC0) len = 2;
  if (s.size() == len) return true;
  // A root of a bracketed group.
  for (std::string_view root : {"\u221A", "\u221B", "\u221C"})
    if (s.size() > root.size() && s.starts_with(root) && (s[root.size()] == '(' || s[root.size()] == '['))
      return IsAtom(s.substr(root.size()));
  // Already in one pair of brackets: "(a+b)", not "(a)(b)".
  char open = s.front(), close = open == '(' ? ')' : open == '[' ? ']' : 0;
  if (!close || s.back() != close) return false;
  int depth = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == open) ++depth;
    else if (s[i] == close && --depth == 0 && i + 1 < s.size()) return false;
  }
  return depth == 0;
}

std::string Trim(const std::string& s) {
  std::size_t b = s.find_first_not_of(' '), e = s.find_last_not_of(' ');
  return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

std::string Group(const std::string& s) {
  std::string t = Trim(s);
  return IsAtom(t) ? t : "(" + t + ")";
}

// Digits and signs as Unicode super- or subscripts; false when s has a
// character with no such form.
bool Script(std::string_view s, bool super, std::string* out) {
  static const char* const kSup[] = {"⁰", "¹", "²", "³", "⁴", "⁵", "⁶", "⁷", "⁸", "⁹"};
  static const char* const kSub[] = {"₀", "₁", "₂", "₃", "₄", "₅", "₆", "₇", "₈", "₉"};
  if (s.empty()) return false;
  if (super && (s == "\u2218" || s == "\u00B0")) {  // a raised ring: degrees
    *out = "\u00B0";
    return true;
  }
  std::string r;
  for (std::size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c >= '0' && c <= '9') r += (super ? kSup : kSub)[c - '0'];
    else if (c == '+') r += super ? "⁺" : "₊";
    else if (c == '-') r += super ? "⁻" : "₋";
    else if (c == '=') r += super ? "⁼" : "₌";
    else if (c == '(') r += super ? "⁽" : "₍";
    else if (c == ')') r += super ? "⁾" : "₎";
    else if (super && c == 'n') r += "ⁿ";
    else if (super && c == 'i') r += "ⁱ";
    else if (s.substr(i, 3) == "\u2212") {  // minus sign
      r += super ? "⁻" : "₋";
      i += 2;
    } else {
      return false;
    }
  }
  *out = r;
  return true;
}

std::string Sup(const std::string& base, const std::string& raw_exp) {
  std::string s, exp = Trim(raw_exp);
  if (exp.empty()) return base;
  if (Script(exp, true, &s)) return base + s;
  return base + "^" + Group(exp);
}

std::string Sub(const std::string& base, const std::string& raw_idx) {
  std::string s, idx = Trim(raw_idx);
  if (idx.empty()) return base;
  if (Script(idx, false, &s)) return base + s;
  return base + "_" + Group(idx);
}

std::string Frac(const std::string& num, const std::string& den) { return Group(num) + "/" + Group(den); }

std::string Root(const std::string& degree, const std::string& base) {
  if (degree.empty() || degree == "2") return "√" + Group(base);
  if (degree == "3") return "∛" + Group(base);
  if (degree == "4") return "∜" + Group(base);
  return Sup("", degree) + "√" + Group(base);
}

// Relations stand apart from what they relate: "E = m⋅c²".
std::string SpaceRelations(const std::string& s) {
  static const std::string_view kRelations[] = {"=", "≠", "≈", "≡", "≤", "≥", "<", ">", "→", "⇒", "⇔", "∼", "≅"};
  std::string out;
  for (std::size_t i = 0; i < s.size();) {
    std::string_view rel;
    for (std::string_view r : kRelations)
      if (s.compare(i, r.size(), r) == 0) rel = r;
    if (rel.empty()) {
      out.push_back(s[i++]);
      continue;
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    if (!out.empty()) out.push_back(' ');
    out.append(rel);
    i += rel.size();
    while (i < s.size() && s[i] == ' ') ++i;
    if (i < s.size()) out.push_back(' ');
  }
  return out;
}

std::string Finish(std::string s) {
  if (s.size() > kMaxBytes) {
    std::size_t cut = kMaxBytes;
    while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
    s.resize(cut);
  }
  std::string spaced = SpaceRelations(s), out;
  for (char c : spaced)
    if (c != ' ' || (!out.empty() && out.back() != ' ')) out.push_back(c);
  return Trim(out);
}

class Omml {
 public:
  std::string Text(xmlNodePtr n, int depth = 0) {
    if (!IsElement(n) || depth > kMaxDepth || size_ > kMaxBytes) return "";
    std::string_view name = Name(n);
    if (name == "t") return Count(TokenText(n, true));
    if (name.ends_with("Pr") || name == "ctrlPr") return "";  // properties
    if (name == "f") return Frac(Part(n, "num", depth), Part(n, "den", depth));
    if (name == "sSup") return Sup(Part(n, "e", depth), Part(n, "sup", depth));
    if (name == "sSub") return Sub(Part(n, "e", depth), Part(n, "sub", depth));
    if (name == "sSubSup") return Sup(Sub(Part(n, "e", depth), Part(n, "sub", depth)), Part(n, "sup", depth));
    if (name == "sPre") return Sup(Sub("", Part(n, "sub", depth)), Part(n, "sup", depth)) + Part(n, "e", depth);
    if (name == "rad") {
      bool hidden = Attr(Child(Child(n, "radPr"), "degHide"), "val") == "1";
      return Root(hidden ? "" : Part(n, "deg", depth), Part(n, "e", depth));
    }
    if (name == "nary") {
      bool present = false;
      std::string op = Attr(Child(Child(n, "naryPr"), "chr"), "val", &present);
      if (!present) op = "∫";
      std::string s = Sup(Sub(op, Part(n, "sub", depth)), Part(n, "sup", depth));
      std::string body = Part(n, "e", depth);
      return body.empty() ? s : s + " " + body;
    }
    if (name == "d") {
      xmlNodePtr pr = Child(n, "dPr");
      bool has_beg = false, has_end = false, has_sep = false;
      std::string beg = Attr(Child(pr, "begChr"), "val", &has_beg);
      std::string end = Attr(Child(pr, "endChr"), "val", &has_end);
      std::string sep = Attr(Child(pr, "sepChr"), "val", &has_sep);
      if (!has_beg) beg = "(";
      if (!has_end) end = ")";
      if (!has_sep) sep = "|";
      std::string inner;
      bool first = true;
      for (xmlNodePtr c : Children(n)) {
        if (Name(c) != "e") continue;
        if (!first) inner += sep;
        first = false;
        inner += Text(c, depth + 1);
      }
      return beg + inner + end;
    }
    if (name == "func") {
      std::string fn = Trim(Part(n, "fName", depth)), arg = Trim(Part(n, "e", depth));
      bool glue = arg.empty() || arg[0] == '(' || arg[0] == '[';
      return glue ? fn + arg : fn + " " + arg;
    }
    if (name == "limLow") return Sub(Part(n, "e", depth), Part(n, "lim", depth));
    if (name == "limUpp") return Sup(Part(n, "e", depth), Part(n, "lim", depth));
    if (name == "eqArr" || name == "mr") return Join(n, "e", "; ", depth);
    if (name == "m") return "[" + Join(n, "mr", "; ", depth) + "]";
    if (name == "acc" || name == "bar" || name == "groupChr") return Part(n, "e", depth);
    std::string s;
    for (xmlNodePtr c : Children(n)) s += Text(c, depth + 1);
    return s;
  }

 private:
  std::string Part(xmlNodePtr n, std::string_view name, int depth) {
    xmlNodePtr c = Child(n, name);
    return c ? Text(c, depth + 1) : "";
  }
  std::string Join(xmlNodePtr n, std::string_view name, std::string_view sep, int depth) {
    std::string s;
    bool first = true;
    for (xmlNodePtr c : Children(n)) {
      if (Name(c) != name) continue;
      if (name == "mr") {
        if (!first) s += sep;
        s += Join(c, "e", ", ", depth + 1);
      } else {
        if (!first) s += sep;
        s += Text(c, depth + 1);
      }
      first = false;
    }
    return s;
  }
  std::string Count(std::string s) {
    size_ += s.size();
    return s;
  }
  std::size_t size_ = 0;
};

class MathMl {
 public:
  std::string Text(xmlNodePtr n, int depth = 0) {
    if (!IsElement(n) || depth > kMaxDepth || size_ > kMaxBytes) return "";
    std::string_view name = Name(n);
    if (name == "mi" || name == "mn" || name == "mo" || name == "mtext" || name == "ms") {
      std::string t = TokenText(n, false);
      size_ += t.size();
      return t;
    }
    if (name == "mspace") return " ";
    if (name == "annotation" || name == "annotation-xml" || name == "mphantom" || name == "none" ||
        name == "mprescripts")
      return "";
    std::vector<xmlNodePtr> kids = Children(n);
    auto arg = [&](std::size_t i) { return i < kids.size() ? Text(kids[i], depth + 1) : std::string(); };
    if (name == "semantics") return arg(0);
    if (name == "msup") return Sup(arg(0), arg(1));
    if (name == "msub") return Sub(arg(0), arg(1));
    if (name == "msubsup") return Sup(Sub(arg(0), arg(1)), arg(2));
    if (name == "munder" || name == "mover" || name == "munderover") {
      std::string base = arg(0), first = arg(1);
      // An accent (a bar, a hat) marks its base rather than limiting it.
      if (name == "mover" && (Attr(n, "accent") == "true" || !IsWord(first))) return base + first;
      if (name == "munder" && Attr(n, "accentunder") == "true") return base + first;
      if (name == "mover") return Sup(base, first);
      if (name == "munder") return Sub(base, first);
      return Sup(Sub(base, first), arg(2));
    }
    if (name == "mfrac") return Frac(arg(0), arg(1));
    if (name == "msqrt") return Root("", Row(kids, depth));
    if (name == "mroot") return Root(arg(1), arg(0));
    if (name == "mfenced") {
      bool has_open = false, has_close = false, has_sep = false;
      std::string open = Attr(n, "open", &has_open), close = Attr(n, "close", &has_close);
      std::string seps = Attr(n, "separators", &has_sep);
      if (!has_open) open = "(";
      if (!has_close) close = ")";
      if (!has_sep) seps = ",";
      std::string inner;
      for (std::size_t i = 0; i < kids.size(); ++i) {
        if (i && !seps.empty()) inner += seps.substr(0, 1);
        inner += arg(i);
      }
      return open + inner + close;
    }
    if (name == "mtable") {
      std::string s;
      for (std::size_t i = 0; i < kids.size(); ++i) {
        if (i) s += "; ";
        std::string row;
        std::vector<xmlNodePtr> cells = Children(kids[i]);
        for (std::size_t j = 0; j < cells.size(); ++j) {
          if (j) row += ", ";
          row += Text(cells[j], depth + 2);
        }
        s += row;
      }
      return "[" + s + "]";
    }
    return Row(kids, depth);
  }

 private:
  static bool IsWord(const std::string& s) {
    for (char c : s)
      if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
    return false;
  }
  std::string Row(const std::vector<xmlNodePtr>& kids, int depth) {
    std::string s;
    for (xmlNodePtr c : kids) {
      s += Text(c, depth + 1);
      if (IsLargeOperator(c)) s += ' ';  // "∑_(k = 0)^m v": the operand stands apart
    }
    return s;
  }
  // A sum, product or integral with its limits.
  static bool IsLargeOperator(xmlNodePtr n) {
    std::string_view name = Name(n);
    if (name != "munderover" && name != "munder" && name != "mover" && name != "msubsup" && name != "msub" &&
        name != "msup")
      return false;
    std::vector<xmlNodePtr> kids = Children(n);
    if (kids.empty() || Name(kids[0]) != "mo") return false;
    std::string op = TokenText(kids[0], false);
    for (std::string_view big : {"\u2211", "\u220F", "\u2210", "\u222B", "\u222C", "\u222D", "\u222E", "\u22C3", "\u22C2"})
      if (op == big) return true;
    return false;
  }
  std::size_t size_ = 0;
};

}  // namespace

std::string OmmlText(xmlNodePtr omath) { return Finish(Omml().Text(omath)); }

std::string ReadMathText(xmlTextReaderPtr r, MathKind kind, int* status) {
  constexpr std::size_t kMaxNodes = 100000;
  struct DocFree {
    void operator()(xmlDocPtr d) const { xmlFreeDoc(d); }
  };
  std::unique_ptr<xmlDoc, DocFree> doc(xmlNewDoc(BAD_CAST "1.0"));
  *status = 1;
  if (!doc) return "";
  auto element = [&](xmlNodePtr parent) {
    const xmlChar* name = xmlTextReaderConstLocalName(r);
    xmlNodePtr n = parent ? xmlNewChild(parent, nullptr, name, nullptr) : xmlNewNode(nullptr, name);
    if (n && xmlTextReaderMoveToFirstAttribute(r) == 1) {
      do xmlNewProp(n, xmlTextReaderConstLocalName(r), xmlTextReaderConstValue(r));
      while (xmlTextReaderMoveToNextAttribute(r) == 1);
      xmlTextReaderMoveToElement(r);
    }
    return n;
  };
  xmlNodePtr root = element(nullptr);
  if (!root) return "";
  xmlDocSetRootElement(doc.get(), root);
  if (xmlTextReaderIsEmptyElement(r) != 1) {
    const int depth = xmlTextReaderDepth(r);
    std::vector<xmlNodePtr> open{root};
    std::size_t nodes = 1;
    while ((*status = xmlTextReaderRead(r)) == 1) {
      int type = xmlTextReaderNodeType(r);
      if (type == XML_READER_TYPE_END_ELEMENT) {
        if (xmlTextReaderDepth(r) == depth) break;
        if (open.size() > 1) open.pop_back();
      } else if (type == XML_READER_TYPE_ELEMENT) {
        bool keep = open.back() && nodes < kMaxNodes;
        xmlNodePtr n = keep ? element(open.back()) : nullptr;
        nodes += keep;
        if (xmlTextReaderIsEmptyElement(r) != 1) open.push_back(n);
      } else if (type == XML_READER_TYPE_TEXT || type == XML_READER_TYPE_CDATA ||
                 type == XML_READER_TYPE_SIGNIFICANT_WHITESPACE) {
        if (open.back() && nodes < kMaxNodes) xmlNodeAddContent(open.back(), xmlTextReaderConstValue(r));
      }
    }
  }
  return kind == MathKind::kOmml ? OmmlText(root) : MathMlText(root);
}

std::string MathMlText(xmlNodePtr math) { return Finish(MathMl().Text(math)); }

}  // namespace quarn
