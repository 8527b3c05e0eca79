#include "convert/filters/package/epub_filter.h"

#include <libxml/xmlreader.h>

#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "convert/filters/members.h"
#include "convert/filters/package/ooxml.h"
#include "convert/filters/package/zip_archive.h"
#include "convert/filters/markup/html_filter.h"
#include "convert/filters/sniff.h"

namespace quarn {

namespace {

std::string_view LocalName(xmlTextReaderPtr r) {
  const xmlChar* l = xmlTextReaderConstLocalName(r);
  return l ? reinterpret_cast<const char*>(l) : "";
}

std::string Attr(xmlTextReaderPtr r, const char* name) {
  xmlChar* v = xmlTextReaderGetAttribute(r, reinterpret_cast<const xmlChar*>(name));
  if (!v) return {};
  std::string s(reinterpret_cast<const char*>(v));
  xmlFree(v);
  return s;
}

int Hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A package-relative reference as a part name: fragment dropped, %XX decoded.
std::string DecodeHref(std::string_view href) {
  href = href.substr(0, href.find_first_of("#?"));
  std::string out;
  for (std::size_t i = 0; i < href.size(); ++i) {
    if (href[i] == '%' && i + 2 < href.size() && Hex(href[i + 1]) >= 0 && Hex(href[i + 2]) >= 0) {
      out.push_back(static_cast<char>(Hex(href[i + 1]) * 16 + Hex(href[i + 2])));
      i += 2;
    } else {
      out.push_back(href[i]);
    }
  }
  return out;
}

// The package document that container.xml names (the first OPF rootfile).
std::string PackagePath(ZipArchive& zip, std::string* error) {
  XmlPartReader r = zip.OpenXml("META-INF/container.xml", error);
  if (!r) return {};
  std::string first;
  while (xmlTextReaderRead(r.get()) == 1) {
    if (xmlTextReaderNodeType(r.get()) != XML_READER_TYPE_ELEMENT || LocalName(r.get()) != "rootfile") continue;
    std::string path = DecodeHref(Attr(r.get(), "full-path"));
    std::string type = Attr(r.get(), "media-type");
    if (type == "application/oebps-package+xml" && !path.empty()) return path;
    if (first.empty()) first = path;
  }
  return first;
}

struct Package {
  std::vector<std::string> chapters;  // part names in reading order
  bool ok = false;
};

bool IsHtmlType(std::string_view type) {
  return type == "application/xhtml+xml" || type == "text/html" || type == "application/x-dtbook+xml";
}

Package ReadPackage(ZipArchive& zip, const std::string& opf, std::string* error) {
  Package p;
  XmlPartReader r = zip.OpenXml(opf, error);
  if (!r) return p;
  struct Item {
    std::string path;
    std::string type;
  };
  std::map<std::string, Item> items;
  std::vector<std::string> manifest_order;
  std::vector<std::string> spine;
  int ret;
  while ((ret = xmlTextReaderRead(r.get())) == 1) {
    if (xmlTextReaderNodeType(r.get()) != XML_READER_TYPE_ELEMENT) continue;
    std::string_view l = LocalName(r.get());
    if (l == "item") {
      std::string id = Attr(r.get(), "id");
      Item it{ResolvePartName(opf, DecodeHref(Attr(r.get(), "href"))), Attr(r.get(), "media-type")};
      if (IsHtmlType(it.type)) manifest_order.push_back(it.path);
      items.emplace(std::move(id), std::move(it));
    } else if (l == "itemref") {
      spine.push_back(Attr(r.get(), "idref"));
    }
  }
  if (ret == -1) {
    *error = "the package document " + opf + " is malformed";
    return p;
  }
  for (const std::string& id : spine) {
    auto it = items.find(id);
    if (it != items.end() && !it->second.path.empty()) p.chapters.push_back(it->second.path);
  }
  // A package without a usable spine is still readable in manifest order.
  if (p.chapters.empty()) p.chapters = manifest_order;
  p.ok = true;
  return p;
}

// Parts that META-INF/encryption.xml says are encrypted (font obfuscation
// included; only chapters matter here).
std::set<std::string> EncryptedParts(ZipArchive& zip) {
  std::set<std::string> parts;
  if (!zip.Has("META-INF/encryption.xml")) return parts;
  std::string err;
  XmlPartReader r = zip.OpenXml("META-INF/encryption.xml", &err);
  if (!r) return parts;
  while (xmlTextReaderRead(r.get()) == 1) {
    if (xmlTextReaderNodeType(r.get()) == XML_READER_TYPE_ELEMENT && LocalName(r.get()) == "CipherReference") {
      std::string uri = DecodeHref(Attr(r.get(), "URI"));
      if (!uri.empty() && uri[0] == '/') uri.erase(0, 1);
      parts.insert(uri);
    }
  }
  return parts;
}

// The pictures a chapter shows (<img src>, SVG's <image href>), in order, as
// part names; added to out, at most kMaxScannedPictures in all.
void ChapterPictures(ZipArchive& zip, const std::string& chapter, std::vector<std::string>& out) {
  std::string err;
  XmlPartReader r = zip.OpenXml(chapter, &err);
  if (!r) return;
  while (xmlTextReaderRead(r.get()) == 1 && out.size() < kMaxScannedPictures) {
    if (xmlTextReaderNodeType(r.get()) != XML_READER_TYPE_ELEMENT) continue;
    const std::string_view l = LocalName(r.get());
    std::string href;
    if (l == "img") {
      href = Attr(r.get(), "src");
    } else if (l == "image") {
      href = Attr(r.get(), "xlink:href");
      if (href.empty()) href = Attr(r.get(), "href");
    }
    if (href.empty() || href.rfind("data:", 0) == 0 || href.find("://") != std::string::npos) continue;
    out.push_back(ResolvePartName(chapter, DecodeHref(href)));
  }
}

class EpubFilter final : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    if (auto r = ExtractRedirected(path, "epub", sink)) return *r;
    std::string err;
    std::unique_ptr<ZipArchive> zip = ZipArchive::Open(path, &err);
    if (!zip) return ExtractResult::UnknownFormat("not an EPUB book: " + err);
    if (!zip->Has("META-INF/container.xml"))
      return ExtractResult::UnknownFormat("not an EPUB book (no META-INF/container.xml)");
    std::string opf = PackagePath(*zip, &err);
    if (opf.empty())
      return ExtractResult::Failed(err.empty() ? "META-INF/container.xml names no package document" : err);
    Package pkg = ReadPackage(*zip, opf, &err);
    if (!pkg.ok) return ExtractResult::Failed(err.empty() ? "the package document " + opf + " cannot be read" : err);
    if (pkg.chapters.empty()) return ExtractResult::Failed("the package document lists no chapters");

    const std::set<std::string> encrypted = EncryptedParts(*zip);
    std::size_t locked = 0;
    for (const std::string& c : pkg.chapters)
      if (encrypted.count(c) || zip->IsEncrypted(c)) ++locked;
    if (locked == pkg.chapters.size()) {
      // A shop's rights file says the key is a licence, not a password.
      if (zip->Has("META-INF/rights.xml") || zip->Has("META-INF/sinf.xml"))
        return {ExtractResult::Status::kPassword, "the book is locked with DRM: only a licensed reader can open it"};
      return ExtractResult::Password();
    }

    std::string missing = zip->damage();
    auto note = [&missing](const std::string& why) {
      if (missing.empty()) missing = why;
    };
    if (locked) note(std::to_string(locked) + " encrypted chapter(s) could not be read");
    std::set<std::string> done;
    std::string bytes;
    for (const std::string& c : pkg.chapters) {
      if (sink.full()) break;
      if (encrypted.count(c) || zip->IsEncrypted(c) || !done.insert(c).second) continue;
      if (!zip->Has(c)) {
        note("the chapter " + c + " is missing from the book");
        continue;
      }
      bytes.clear();
      if (!zip->Read(c, bytes, &err)) {
        note("the chapter " + c + ": " + err);
        if (bytes.empty()) continue;
      }
      ExtractResult r = ExtractHtmlText(bytes, "", sink, HtmlTitle::kDropped);
      if (!r.ok() && r.status != ExtractResult::Status::kFailed) note("the chapter " + c + ": " + r.reason);
      sink.EndLine();
      sink.EndChunk();
    }
    // A book of pictures and no words (a comic, a scanned book) has its
    // pages read by OCR.
    if (!sink.full() && !HasWords(sink)) {
      std::vector<std::string> pictures;
      for (const std::string& c : pkg.chapters)
        if (!encrypted.count(c) && zip->Has(c) && !zip->IsEncrypted(c)) ChapterPictures(*zip, c, pictures);
      PrivateFolder folder;
      if (!pictures.empty() && !ooxml::ReadScannedPictures(*zip, pictures, sink, folder, &err)) note(err);
    }
    if (!missing.empty()) {
      return sink.empty() ? ExtractResult::Failed(missing) : ExtractResult::Incomplete(missing);
    }
    return ExtractResult::Ok();
  }
};

}  // namespace

std::unique_ptr<BuiltinFilter> CreateEpubFilter() { return std::make_unique<EpubFilter>(); }

}  // namespace quarn
