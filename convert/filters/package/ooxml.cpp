#include "convert/filters/package/ooxml.h"

#include <cctype>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <set>

#include "convert/filters/common/number_format.h"
#include "convert/filters/common/scanned_pictures.h"
#include "convert/filters/members.h"
#include "convert/filters/sniff.h"

namespace quarn::ooxml {

namespace {

constexpr const char* kFlatPackageNs = "http://schemas.microsoft.com/office/2006/xmlPackage";
// What a flat package's parts may hold in memory together, and how many.
constexpr std::uint64_t kMaxFlatBytes = std::uint64_t{256} << 20;
constexpr std::size_t kMaxFlatParts = 10000;
// A damaged flat package up to this size is read again from the tree the
// parser recovers.
constexpr std::uintmax_t kMaxRecoveredFlatBytes = std::uintmax_t{32} << 20;

// Base64 as a flat package writes binary parts: white space between the
// characters, padding at the end.
std::string DecodeBase64(std::string_view text) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  std::string out;
  out.reserve(text.size() / 4 * 3);
  std::uint32_t bits = 0;
  int count = 0;
  for (char c : text) {
    const int v = value(c);
    if (v < 0) continue;
    bits = (bits << 6) | static_cast<std::uint32_t>(v);
    if (++count == 4) {
      out.push_back(static_cast<char>((bits >> 16) & 0xFF));
      out.push_back(static_cast<char>((bits >> 8) & 0xFF));
      out.push_back(static_cast<char>(bits & 0xFF));
      bits = 0;
      count = 0;
    }
  }
  if (count == 2) out.push_back(static_cast<char>((bits >> 4) & 0xFF));
  if (count == 3) {
    out.push_back(static_cast<char>((bits >> 10) & 0xFF));
    out.push_back(static_cast<char>((bits >> 2) & 0xFF));
  }
  return out;
}

void IgnoreMessage(void*, const char*, ...) {}

std::string XmlString(xmlChar* owned) {
  if (!owned) return {};
  std::string s(reinterpret_cast<const char*>(owned));
  xmlFree(owned);
  return s;
}

// The parts of a flat package (one XML file holding every part of a Word or
// PowerPoint document, as "Word XML Document" saves it) gathered into a
// package in memory; nullptr with *error when it holds none.
std::unique_ptr<ZipArchive> OpenFlatPackage(const std::string& path, ZipLimits limits, std::string* error) {
  std::vector<std::pair<std::string, std::string>> parts;
  // Gathers the parts the reader meets; its last status.
  auto gather = [&](xmlTextReaderPtr r) {
    parts.clear();
    std::uint64_t total = 0;
    std::string name;
    int status;
    while ((status = xmlTextReaderRead(r)) == 1) {
      if (xmlTextReaderNodeType(r) != XML_READER_TYPE_ELEMENT) continue;
      const xmlChar* ns = xmlTextReaderConstNamespaceUri(r);
      if (!ns || std::strcmp(reinterpret_cast<const char*>(ns), kFlatPackageNs) != 0) continue;
      const std::string_view local = reinterpret_cast<const char*>(xmlTextReaderConstLocalName(r));
      if (local == "part") {
        name = XmlString(xmlTextReaderGetAttributeNs(r, BAD_CAST "name", BAD_CAST kFlatPackageNs));
        while (!name.empty() && name.front() == '/') name.erase(0, 1);
        continue;
      }
      if ((local != "xmlData" && local != "binaryData") || name.empty()) continue;
      // A part's XML is its element written out again, namespaces and all.
      std::string bytes = local == "xmlData" ? XmlString(xmlTextReaderReadInnerXml(r))
                                             : DecodeBase64(XmlString(xmlTextReaderReadString(r)));
      total += bytes.size();
      if (total > std::min(limits.max_total_bytes, kMaxFlatBytes) || parts.size() == kMaxFlatParts) {
        *error = "the flat XML package holds more than can be read";
        return 1;
      }
      parts.emplace_back(std::move(name), std::move(bytes));
      name.clear();
    }
    return status;
  };
  std::unique_ptr<xmlTextReader, decltype(&xmlFreeTextReader)> reader(
      xmlReaderForFile(path.c_str(), nullptr, kSafeXmlOptions), xmlFreeTextReader);
  if (!reader) {
    *error = "the flat XML package cannot be read";
    return nullptr;
  }
  // Parse errors are this function's to report, never printed.  (A reader
  // that walks a tree has no parser to take the handler.)
  xmlTextReaderSetStructuredErrorHandler(reader.get(), [](void*, xmlErrorPtr) {}, nullptr);
  if (gather(reader.get()) < 0) {
    *error = "the flat XML package is damaged";
    // The streaming reader stops at the damage; a file small enough is read
    // again from the tree the parser recovers, so that the parts after the
    // damage count too (a tree costs a multiple of the file's size).
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    std::unique_ptr<xmlParserCtxt, decltype(&xmlFreeParserCtxt)> ctxt(xmlNewParserCtxt(), xmlFreeParserCtxt);
    if (!ec && size <= kMaxRecoveredFlatBytes && ctxt) {
      ctxt->sax->error = &IgnoreMessage;
      ctxt->sax->warning = &IgnoreMessage;
      std::unique_ptr<xmlDoc, decltype(&xmlFreeDoc)> doc(
          xmlCtxtReadFile(ctxt.get(), path.c_str(), nullptr, kSafeXmlOptions | XML_PARSE_RECOVER), xmlFreeDoc);
      std::vector<std::pair<std::string, std::string>> streamed = std::move(parts);
      std::unique_ptr<xmlTextReader, decltype(&xmlFreeTextReader)> walker(
          doc ? xmlReaderWalker(doc.get()) : nullptr, xmlFreeTextReader);
      if (walker) gather(walker.get());
      if (parts.size() < streamed.size()) parts = std::move(streamed);
    }
  }
  if (parts.empty()) {
    if (error->empty()) *error = "the XML file holds no package parts";
    return nullptr;
  }
  return ZipArchive::FromEntries(parts, limits);
}

}  // namespace

std::unique_ptr<ZipArchive> OpenPackage(const std::string& path, std::string_view self, TextSink& sink,
                                        ExtractResult* result, ZipLimits limits) {
  if (auto r = ExtractRedirected(path, self, sink)) {
    *result = *r;
    return nullptr;
  }
  Sniffed s = SniffContent(path);
  switch (s.kind) {
    case ContentKind::kUnreadable:
      *result = ExtractResult::Failed("cannot open the document");
      return nullptr;
    case ContentKind::kEmpty:
      *result = ExtractResult::UnknownFormat("the file is empty");
      return nullptr;
    case ContentKind::kCompoundFile:
      // Office encrypts an OOXML package by wrapping it in a compound file.
      *result = s.encrypted_package ? ExtractResult::Password()
                                    : ExtractResult::UnknownFormat("a compound file, not an Office Open XML package");
      return nullptr;
    case ContentKind::kZip:
      break;
    case ContentKind::kXml:
      if (s.filter == self) {
        // A flat package: its damage, if any, makes the text incomplete.
        std::string error;
        auto zip = OpenFlatPackage(path, limits, &error);
        if (!zip) *result = ExtractResult::Failed(error);
        else if (!error.empty()) zip->set_damage(error);
        return zip;
      }
      [[fallthrough]];
    default:
      *result = ExtractResult::UnknownFormat("not an Office Open XML package (no zip container)");
      return nullptr;
  }
  std::string error;
  auto zip = ZipArchive::Open(path, &error, limits);
  if (!zip) {
    *result = ExtractResult::Failed("damaged package: " + error);
    return nullptr;
  }
  return zip;
}

std::string RelsPartName(std::string_view part) {
  std::size_t slash = part.rfind('/');
  if (slash == std::string_view::npos) return "_rels/" + std::string(part) + ".rels";
  return std::string(part.substr(0, slash)) + "/_rels/" + std::string(part.substr(slash + 1)) + ".rels";
}

bool Relationships::Load(ZipArchive& zip, std::string_view source, std::string* error) {
  rels_.clear();
  std::string name = RelsPartName(source);
  if (!zip.Has(name)) return true;
  XmlCursor x(zip, name);
  while (x.Read()) {
    if (!x.IsStart() || x.LocalName() != "Relationship") continue;
    Relationship r;
    r.id = x.Attr("Id").value_or("");
    r.type = x.Attr("Type").value_or("");
    std::string target = x.Attr("Target").value_or("");
    r.external = x.Attr("TargetMode").value_or("") == "External";
    r.target = r.external ? target : ResolvePartName(source, target);
    rels_.push_back(std::move(r));
  }
  if (x.failed() || !x.opened()) {
    if (error) *error = x.error();
    return false;
  }
  return true;
}

const Relationship* Relationships::ById(std::string_view id) const {
  for (const Relationship& r : rels_)
    if (r.id == id) return &r;
  return nullptr;
}

std::vector<const Relationship*> Relationships::OfKind(std::string_view kind) const {
  std::vector<const Relationship*> out;
  for (const Relationship& r : rels_) {
    if (r.external || r.type.size() <= kind.size()) continue;
    std::string_view t = r.type;
    if (t.substr(t.size() - kind.size()) == kind && t[t.size() - kind.size() - 1] == '/') out.push_back(&r);
  }
  return out;
}

const Relationship* Relationships::FirstOfKind(std::string_view kind) const {
  auto all = OfKind(kind);
  return all.empty() ? nullptr : all.front();
}

std::string MainPart(ZipArchive& zip, std::string_view fallback) {
  Relationships rels;
  if (rels.Load(zip, "", nullptr))
    if (const Relationship* r = rels.FirstOfKind("officeDocument"); r && zip.Has(r->target)) return r->target;
  return std::string(fallback);
}

XmlCursor::XmlCursor(ZipArchive& zip, std::string_view part)
    : part_(part), reader_(zip.OpenXml(part, &open_error_)) {}

bool XmlCursor::Read() {
  if (!reader_ || failed_) return false;
  int rc = xmlTextReaderRead(reader_.get());
  if (rc < 0) failed_ = true;
  return rc == 1;
}

bool XmlCursor::Skip() {
  if (!reader_ || failed_) return false;
  int rc = xmlTextReaderNext(reader_.get());
  if (rc < 0) failed_ = true;
  return rc == 1;
}

bool XmlCursor::IsText() const {
  int t = type();
  return t == XML_READER_TYPE_TEXT || t == XML_READER_TYPE_CDATA || t == XML_READER_TYPE_SIGNIFICANT_WHITESPACE ||
         t == XML_READER_TYPE_WHITESPACE;
}

std::string_view XmlCursor::LocalName() const {
  const xmlChar* n = xmlTextReaderConstLocalName(reader_.get());
  return n ? std::string_view(reinterpret_cast<const char*>(n)) : std::string_view();
}

std::string_view XmlCursor::Value() const {
  const xmlChar* v = xmlTextReaderConstValue(reader_.get());
  return v ? std::string_view(reinterpret_cast<const char*>(v)) : std::string_view();
}

std::optional<std::string> XmlCursor::FindAttr(bool (*match)(const xmlChar* local, const xmlChar* ns,
                                                                std::string_view want),
                                                std::string_view want) const {
  xmlTextReaderPtr r = reader_.get();
  std::optional<std::string> out;
  if (xmlTextReaderMoveToFirstAttribute(r) != 1) return out;
  do {
    if (match(xmlTextReaderConstLocalName(r), xmlTextReaderConstNamespaceUri(r), want)) {
      const xmlChar* v = xmlTextReaderConstValue(r);
      out = v ? reinterpret_cast<const char*>(v) : "";
      break;
    }
  } while (xmlTextReaderMoveToNextAttribute(r) == 1);
  xmlTextReaderMoveToElement(r);
  return out;
}

std::optional<std::string> XmlCursor::Attr(std::string_view local) const {
  return FindAttr(
      [](const xmlChar* n, const xmlChar*, std::string_view want) {
        return n && want == reinterpret_cast<const char*>(n);
      },
      local);
}

std::optional<std::string> XmlCursor::RelId() const {
  return FindAttr(
      [](const xmlChar* n, const xmlChar* ns, std::string_view) {
        return n && ns && *ns && std::string_view(reinterpret_cast<const char*>(n)) == "id";
      },
      {});
}

std::string XmlCursor::error() const {
  if (!reader_) return open_error_.empty() ? "the part " + part_ + " cannot be read" : open_error_;
  std::string p = reader_.problem();
  if (!p.empty()) return p;
  if (!failed_) return {};
  p = reader_.xml_problem();
  return p.empty() ? "the part " + part_ + " is not well-formed XML" : p;
}

bool IsTrue(std::string_view v) { return v == "1" || v == "true" || v == "on"; }

// The text of a drawing, chart, diagram or comments part: every <t>
// element's text (<p:text> in a presentation's comment), a line at the end of each paragraph (<a:p>) and of each
// comment, each of a chart's cached labels (series names, category labels,
// categories that are numbers or dates shown through their format) on a
// line of its own, phonetic readings (<rPh>) left out.  Line breaks inside
// a text become spaces.  A chart's values are numbers for the plot, not text.
bool ReadPartText(ZipArchive& zip, const std::string& part, TextSink& sink, std::string* error) {
  XmlCursor x(zip, part);
  std::string line;
  bool in_text = false;
  bool in_format = false;
  int phonetic = 0;
  int comment = 0;       // inside a presentation's <p:cm>
  int string_cache = 0;  // strCache, strLit, multiLvlStrCache
  int category = 0;      // inside <c:cat> or <c:xVal>: numbers there are labels
  int number_cache = 0;  // numCache, numLit
  bool date1904 = false;
  NumberFormat cache_format;
  std::optional<NumberFormat> point_format;
  std::string code;
  auto end_line = [&] {
    std::size_t first = line.find_first_not_of(' ');
    if (first != std::string::npos) sink.Line(std::string_view(line).substr(first));
    line.clear();
  };
  auto is_string_cache = [](std::string_view n) { return n == "strCache" || n == "strLit" || n == "multiLvlStrCache"; };
  auto is_number_cache = [](std::string_view n) { return n == "numCache" || n == "numLit"; };
  auto in_label = [&] { return string_cache > 0 || (category > 0 && number_cache > 0); };
  while (x.Read() && !sink.full()) {
    std::string_view n = x.LocalName();
    if (x.IsStart()) {
      const bool empty = x.IsEmpty();
      // A presentation's comment keeps its text in <p:text>.
      if (n == "cm" && !empty) ++comment;
      in_text = (n == "t" || (n == "text" && comment > 0) || (n == "v" && in_label())) && !empty;
      in_format = n == "formatCode" && number_cache > 0 && !empty;
      if (in_format) code.clear();
      if (n == "rPh" && !empty) ++phonetic;
      else if (is_string_cache(n) && !empty) ++string_cache;
      else if ((n == "cat" || n == "xVal") && !empty) ++category;
      else if (is_number_cache(n) && !empty) ++number_cache, cache_format = NumberFormat();
      else if (n == "pt" && number_cache > 0) {
        std::optional<std::string> f = x.Attr("formatCode");
        point_format = f ? std::optional<NumberFormat>(NumberFormat(*f)) : std::nullopt;
      } else if (n == "date1904") {
        date1904 = IsTrue(x.Attr("val").value_or("1"));
      }
    } else if (x.IsEnd()) {
      if (n == "t") in_text = false;
      else if (n == "text" && comment > 0) in_text = false, end_line();
      else if (n == "cm" && comment > 0) --comment;
      else if (n == "rPh") --phonetic;
      else if (is_string_cache(n)) --string_cache;
      else if (n == "cat" || n == "xVal") --category;
      else if (is_number_cache(n)) --number_cache;
      else if (n == "formatCode" && in_format) in_format = false, cache_format = NumberFormat(code);
      else if (n == "v" && in_text && category > 0 && number_cache > 0 && string_cache == 0) {
        in_text = false;
        double v = 0;
        auto [p, ec] = std::from_chars(line.data(), line.data() + line.size(), v);
        if (ec == std::errc() && p == line.data() + line.size())
          line = (point_format ? *point_format : cache_format).Format(v, date1904);
        end_line();
      } else if (n == "p" || n == "comment" || (n == "v" && in_label())) {
        in_text = false;
        end_line();
      }
    } else if (in_format && x.IsText()) {
      code += x.Value();
    } else if (in_text && phonetic == 0 && x.IsText()) {
      for (char c : x.Value()) line += (c == '\t' || c == '\n' || c == '\r') ? ' ' : c;
    }
  }
  end_line();
  if (x.failed() || !x.opened()) {
    *error = x.error();
    return false;
  }
  return true;
}

namespace {

// Reads the part's bytes as a member named name, its text a line per chunk.
bool ReadPartAsMember(ZipArchive& zip, const std::string& part, std::string_view name, TextSink& sink,
                      PrivateFolder& folder, std::string* error) {
  if (zip.Size(part) > kMaxEmbeddedBytes) return true;
  std::string bytes;
  if (!zip.Read(part, bytes, error)) return false;
  if (bytes.empty() || bytes.size() > kMaxEmbeddedBytes) return true;
  TextSink member = MemberSink(sink);
  ExtractMemberBytes(folder, name, bytes, member);
  for (const std::string& chunk : member.chunks()) {
    sink.Append(chunk);
    sink.EndLine();
  }
  return true;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

}  // namespace

bool ReadEmbedded(ZipArchive& zip, const std::string& part, TextSink& sink, PrivateFolder& folder,
                  std::string* error) {
  // The object's own name finds its filter (a workbook part ends in .xlsx);
  // a compound file (.bin) is read by the filter its streams name.
  return ReadPartAsMember(zip, part, part, sink, folder, error);
}

std::string ContentTypeOf(ZipArchive& zip, std::string_view part) {
  constexpr std::string_view kTypes = "[Content_Types].xml";
  if (!zip.Has(std::string(kTypes))) return {};
  std::size_t slash = part.rfind('/');
  std::size_t dot = part.rfind('.');
  std::string_view extension = dot != std::string_view::npos && (slash == std::string_view::npos || dot > slash)
                                   ? part.substr(dot + 1)
                                   : std::string_view();
  std::string by_default;
  XmlCursor x(zip, kTypes);
  while (x.Read()) {
    if (!x.IsStart()) continue;
    std::string_view n = x.LocalName();
    if (n == "Override") {
      // Part names are absolute and compared without regard to case.
      std::string name = x.Attr("PartName").value_or("");
      std::string_view bare = name;
      if (!bare.empty() && bare.front() == '/') bare.remove_prefix(1);
      if (EqualsNoCase(bare, part)) return x.Attr("ContentType").value_or("");
    } else if (n == "Default" && !extension.empty() && by_default.empty() &&
               EqualsNoCase(x.Attr("Extension").value_or(""), extension)) {
      by_default = x.Attr("ContentType").value_or("");
    }
  }
  return by_default;
}

bool ReadImportedChunk(ZipArchive& zip, const std::string& part, TextSink& sink, PrivateFolder& folder,
                       std::string* error) {
  // Writers name these parts freely ("afchunk.dat", "chunk1", "AltChunk1.html"):
  // the content type, which Word goes by, names the filter; a type it does not
  // know leaves the part's own name, then its content, to find one.
  struct Kind {
    std::string_view type;
    std::string_view name;
  };
  static constexpr Kind kKinds[] = {
      {"text/html", "chunk.html"},
      {"application/xhtml+xml", "chunk.xhtml"},
      {"message/rfc822", "chunk.mht"},
      {"multipart/related", "chunk.mht"},
      {"application/rtf", "chunk.rtf"},
      {"text/rtf", "chunk.rtf"},
      {"text/plain", "chunk.txt"},
      {"application/vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml", "chunk.docx"},
      {"application/vnd.openxmlformats-officedocument.wordprocessingml.template.main+xml", "chunk.docx"},
      {"application/vnd.ms-word.document.macroEnabled.main+xml", "chunk.docx"},
      {"application/vnd.ms-word.template.macroEnabledTemplate.main+xml", "chunk.docx"},
  };
  std::string type = ContentTypeOf(zip, part);
  // Parameters (";charset=...") do not change the kind.
  std::string_view bare = std::string_view(type).substr(0, type.find(';'));
  while (!bare.empty() && bare.back() == ' ') bare.remove_suffix(1);
  for (const Kind& k : kKinds)
    if (EqualsNoCase(bare, k.type)) return ReadPartAsMember(zip, part, k.name, sink, folder, error);
  return ReadPartAsMember(zip, part, part, sink, folder, error);
}

}  // namespace quarn::ooxml

namespace quarn::ooxml {

bool ReadScannedPictures(ZipArchive& zip, const std::vector<std::string>& parts, TextSink& sink,
                         PrivateFolder& folder, std::string* error) {
  std::set<std::string> seen;
  std::size_t read = 0;
  bool ok = true;
  for (const std::string& part : parts) {
    if (sink.full() || read == kMaxScannedPictures) break;
    if (!seen.insert(part).second || !zip.Has(part) || zip.Size(part) > kMaxEmbeddedBytes) continue;
    std::string bytes, part_error;
    if (!zip.Read(part, bytes, &part_error)) {
      if (ok && error) *error = part_error;
      ok = false;
      continue;
    }
    if (!IsPictureAttachment(bytes)) continue;
    ++read;
    RecognizePicture(bytes, part, folder, sink);
  }
  return ok;
}

}  // namespace quarn::ooxml
