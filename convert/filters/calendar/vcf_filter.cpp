#include "convert/filters/calendar/vcf_filter.h"

#include <fstream>
#include <string>
#include <vector>

#include "convert/filters/sniff.h"
#include "convert/filters/common/text_decode.h"

namespace quarn {

namespace {

constexpr std::size_t kMaxAddressBookBytes = std::size_t{128} << 20;

std::string Upper(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return out;
}

// One content line: "group.NAME;PARAM=x;TYPE=a,b:value".
struct Property {
  std::string name;                 // upper case, group removed
  std::vector<std::string> types;   // lower case: "work", "cell", ...
  std::string encoding, charset;    // upper case, as written
  std::string value;                // raw, not yet unescaped
};

Property Parse(std::string_view line) {
  Property p;
  // The name and parameters end at the first colon outside quotes.
  std::size_t colon = std::string_view::npos;
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '"') quoted = !quoted;
    else if (line[i] == ':' && !quoted) {
      colon = i;
      break;
    }
  }
  if (colon == std::string_view::npos) return p;
  p.value = std::string(line.substr(colon + 1));
  std::string_view head = line.substr(0, colon);
  std::vector<std::string_view> parts;
  for (std::size_t start = 0;;) {
    std::size_t semi = head.find(';', start);
    parts.push_back(head.substr(start, semi == std::string_view::npos ? std::string_view::npos : semi - start));
    if (semi == std::string_view::npos) break;
    start = semi + 1;
  }
  std::string_view name = parts[0];
  if (std::size_t dot = name.rfind('.'); dot != std::string_view::npos) name.remove_prefix(dot + 1);
  p.name = Upper(name);
  for (std::size_t i = 1; i < parts.size(); ++i) {
    std::string_view param = parts[i];
    std::size_t eq = param.find('=');
    std::string key = Upper(eq == std::string_view::npos ? std::string_view("TYPE") : param.substr(0, eq));
    std::string val(eq == std::string_view::npos ? param : param.substr(eq + 1));
    if (!val.empty() && val.front() == '"' && val.back() == '"' && val.size() >= 2) val = val.substr(1, val.size() - 2);
    if (key == "ENCODING") {
      p.encoding = Upper(val);
    } else if (key == "CHARSET") {
      p.charset = val;
    } else if (key == "TYPE") {
      std::string upper = Upper(val);
      // vCard 2.1 writes the encoding as a bare parameter too.
      if (upper == "QUOTED-PRINTABLE" || upper == "BASE64" || upper == "B") {
        p.encoding = upper;
        continue;
      }
      for (std::size_t start = 0;;) {
        std::size_t comma = val.find(',', start);
        std::string t = val.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        for (char& c : t)
          if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
        if (!t.empty() && t != "pref" && t != "internet" && t != "voice" && t != "x400") p.types.push_back(t);
        if (comma == std::string::npos) break;
        start = comma + 1;
      }
    }
  }
  return p;
}

std::string QuotedPrintable(std::string_view s) {
  std::string out;
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '=') {
      int hi = i + 1 < s.size() ? hex(s[i + 1]) : -1;
      int lo = i + 2 < s.size() ? hex(s[i + 2]) : -1;
      if (hi >= 0 && lo >= 0) {
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
        continue;
      }
    }
    out.push_back(s[i]);
  }
  return out;
}

// The value's components: split at unescaped separators (";" for structured
// values), each with its escapes resolved.
std::vector<std::string> Components(std::string_view value, char separator) {
  std::vector<std::string> out(1);
  for (std::size_t i = 0; i < value.size(); ++i) {
    char c = value[i];
    if (c == '\\' && i + 1 < value.size()) {
      char n = value[++i];
      out.back().push_back(n == 'n' || n == 'N' ? '\n' : n);
    } else if (c == separator) {
      out.emplace_back();
    } else {
      out.back().push_back(c);
    }
  }
  return out;
}

std::string Join(const std::vector<std::string>& parts, std::string_view glue) {
  std::string out;
  for (const std::string& p : parts) {
    std::size_t a = p.find_first_not_of(" \t\r\n");
    if (a == std::string::npos) continue;
    std::size_t b = p.find_last_not_of(" \t\r\n");
    if (!out.empty()) out += glue;
    out += p.substr(a, b - a + 1);
  }
  return out;
}

class CardWriter {
 public:
  CardWriter(TextSink& sink, std::string_view default_charset) : sink_(sink), default_charset_(default_charset) {}

  void Begin() { lines_.clear(); name_.clear(); structured_name_.clear(); }

  void Add(const Property& p) {
    if (p.encoding == "BASE64" || p.encoding == "B") return;  // pictures, sounds, keys
    std::string raw = p.encoding == "QUOTED-PRINTABLE" ? QuotedPrintable(p.value) : p.value;
    // A value that names a single-byte code page over bytes that are UTF-8
    // beyond ASCII (a phone's export) is UTF-8.
    std::string charset(p.charset.empty() ? default_charset_ : std::string_view(p.charset));
    if (IsSingleByteCharset(CharsetForLabel(charset))) charset = LabelledCharset(raw, charset);
    std::string value = DecodeToUtf8(raw, charset);
    const std::string& n = p.name;
    std::string types;
    for (const std::string& t : p.types) types += (types.empty() ? "" : ", ") + t;
    auto labelled = [&](const char* label) { return types.empty() ? std::string(label) : std::string(label) + " (" + types + ")"; };
    if (n == "FN") name_ = Join(Components(value, '\0'), " ");
    else if (n == "N") {
      auto c = Components(value, ';');
      // Prefix, given, additional, family, suffix.
      std::vector<std::string> ordered;
      for (std::size_t i : {3u, 1u, 2u, 0u, 4u})
        if (i < c.size()) ordered.push_back(c[i]);
      structured_name_ = Join(ordered, " ");
    } else if (n == "NICKNAME") lines_.push_back("Nickname: " + Join(Components(value, ','), ", "));
    else if (n == "ORG") lines_.push_back("Organization: " + Join(Components(value, ';'), ", "));
    else if (n == "TITLE") lines_.push_back("Title: " + Join(Components(value, '\0'), " "));
    else if (n == "ROLE") lines_.push_back("Role: " + Join(Components(value, '\0'), " "));
    else if (n == "EMAIL") lines_.push_back(labelled("Email") + ": " + Join(Components(value, '\0'), " "));
    else if (n == "TEL") lines_.push_back(labelled("Phone") + ": " + Join(Components(value, '\0'), " "));
    else if (n == "ADR") lines_.push_back(labelled("Address") + ": " + Join(Components(value, ';'), ", "));
    else if (n == "URL") lines_.push_back(labelled("Web") + ": " + Join(Components(value, '\0'), " "));
    else if (n == "BDAY") lines_.push_back("Birthday: " + Join(Components(value, '\0'), " "));
    else if (n == "ANNIVERSARY") lines_.push_back("Anniversary: " + Join(Components(value, '\0'), " "));
    else if (n == "CATEGORIES") lines_.push_back("Categories: " + Join(Components(value, ','), ", "));
    else if (n == "IMPP" || n == "X-JABBER" || n == "X-SKYPE" || n == "X-AIM" || n == "X-ICQ" || n == "X-MSN")
      lines_.push_back(labelled("Chat") + ": " + Join(Components(value, '\0'), " "));
    else if (n == "NOTE") notes_.push_back(Join(Components(value, '\0'), " "));
  }

  void End() {
    std::string name = !name_.empty() ? name_ : structured_name_;
    if (name.empty() && lines_.empty() && notes_.empty()) return;
    if (!sink_.empty()) sink_.Append("\n");
    sink_.Line("Name: " + (name.empty() ? std::string("(no name)") : name));
    for (std::string& l : lines_) {
      for (char& c : l)
        if (c == '\n' || c == '\r') c = ' ';
      if (l.back() != ' ') sink_.Line(l);
    }
    for (const std::string& note : notes_) sink_.Line(note);
    sink_.EndChunk();
    lines_.clear();
    notes_.clear();
    ++cards_;
  }

  std::size_t cards() const { return cards_; }

 private:
  TextSink& sink_;
  std::string_view default_charset_;
  std::string name_, structured_name_;
  std::vector<std::string> lines_, notes_;
  std::size_t cards_ = 0;
};

}  // namespace

std::size_t WriteVcards(std::string_view text, TextSink& sink, std::string_view default_charset) {
  CardWriter card(sink, default_charset);
  bool open = false;
  std::string logical;
  auto flush = [&] {
    if (logical.empty()) return;
    std::size_t colon = logical.find(':');
    std::string head = Upper(std::string_view(logical).substr(0, std::min(colon, logical.size())));
    if (head == "BEGIN" && Upper(std::string_view(logical).substr(colon + 1)) == "VCARD") {
      if (open) card.End();
      card.Begin();
      open = true;
    } else if (head == "END" && open && Upper(std::string_view(logical).substr(colon + 1)) == "VCARD") {
      card.End();
      open = false;
    } else if (open) {
      card.Add(Parse(logical));
    }
    logical.clear();
  };
  bool qp_soft_break = false;
  for (std::size_t pos = 0; pos < text.size() && !sink.full();) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (qp_soft_break) {
      logical.pop_back();  // the "=" that joins the lines
      logical.append(line);
    } else if (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
      logical.append(line.substr(1));  // a folded line
    } else {
      flush();
      logical.assign(line);
    }
    // A quoted-printable value ending in "=" goes on in the next line.
    std::size_t colon = logical.find(':');
    qp_soft_break = !logical.empty() && logical.back() == '=' && colon != std::string::npos &&
                    Upper(std::string_view(logical).substr(0, colon)).find("QUOTED-PRINTABLE") != std::string::npos;
  }
  flush();
  if (open) card.End();
  return card.cards();
}

namespace {

class VcfFilter : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    Sniffed what = SniffContent(path);
    if (what.kind != ContentKind::kVcard) {
      if (auto r = ExtractRedirected(path, "vcf", sink)) return *r;
      return ExtractResult::UnknownFormat("not a vCard file: no BEGIN:VCARD at the start");
    }
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return ExtractResult::Failed("cannot open the address book");
    std::streamoff size = in.tellg();
    if (size < 0 || static_cast<std::uint64_t>(size) > kMaxAddressBookBytes)
      return ExtractResult::Failed("the address book is larger than 128 MiB");
    std::string bytes(static_cast<std::size_t>(size), '\0');
    in.seekg(0);
    if (!in.read(bytes.data(), size)) return ExtractResult::Failed("cannot read the address book");
    // UTF-8 (or UTF-16 with its mark) as a whole; values that name another
    // character set are decoded by that set, from the bytes as written.  A
    // book whose bytes are not UTF-8 (an old export in the machine's code
    // page) has its unlabelled values read in the code page of its bytes.
    std::string text = bytes;
    std::string charset = "UTF-8";
    if (bytes.size() >= 2 && (bytes.compare(0, 2, "\xFF\xFE") == 0 || bytes.compare(0, 2, "\xFE\xFF") == 0)) {
      text = DecodeToUtf8(bytes, {});
    } else {
      charset = LabelledCharset(bytes, charset);
    }
    std::size_t cards = WriteVcards(text, sink, charset);
    if (cards == 0) return ExtractResult::Failed("the address book holds no card");
    if (sink.full()) return ExtractResult::Incomplete("the text was cut at the size limit");
    return ExtractResult::Ok();
  }
};

}  // namespace

std::unique_ptr<BuiltinFilter> CreateVcfFilter() { return std::make_unique<VcfFilter>(); }

}  // namespace quarn
