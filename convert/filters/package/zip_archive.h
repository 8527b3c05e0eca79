// Bounded reading of zip containers (OOXML, ODF, EPUB) for the built-in
// filters: entries by name, read whole or streamed into a libxml2 reader,
// with every inflated byte counted so that a decompression bomb stops the
// document, not the run.  One object per document, on one thread.
#pragma once

#include <libxml/xmlreader.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "convert/filters/markup/safe_xml.h"

struct zip;

namespace quarn {

struct ZipLimits {
  // Inflated bytes one entry may produce.
  std::uint64_t max_entry_bytes = std::uint64_t{512} << 20;
  // Inflated bytes all entries read from one archive may produce together.
  std::uint64_t max_total_bytes = std::uint64_t{1} << 30;
  // An entry that inflates past ratio_floor_bytes may not exceed this many
  // inflated bytes per compressed byte (real documents stay far below).
  std::uint64_t max_ratio = 200;
  std::uint64_t ratio_floor_bytes = std::uint64_t{16} << 20;
};

class ZipArchive;

// A libxml2 text reader over one zip entry; owns both.
class XmlPartReader {
 public:
  XmlPartReader() = default;
  XmlPartReader(XmlPartReader&&) noexcept;
  XmlPartReader& operator=(XmlPartReader&&) noexcept;
  ~XmlPartReader();

  explicit operator bool() const { return reader_ != nullptr; }
  xmlTextReaderPtr get() const { return reader_; }
  // Why reading stopped early (a bomb, a damaged entry), or empty.
  std::string problem() const;
  // The parser's first error as a reason ("<part>: nested deeper than 256
  // levels", "the part <part> is not well-formed XML (...)"), or empty.
  // Kept until a caller sets its own error handler on the reader.
  std::string xml_problem() const;

 private:
  friend class ZipArchive;
  struct Stream;
  xmlTextReaderPtr reader_ = nullptr;
  std::unique_ptr<Stream> stream_;
};

class ZipArchive {
 public:
  // Opens path as a zip; nullptr with *error set when it is not one or is
  // damaged beyond reading any entry.  A zip whose directory is lost is read
  // from the entries before the damage (see damage()).
  static std::unique_ptr<ZipArchive> Open(const std::string& path, std::string* error, ZipLimits limits = {});
  // A package made in memory of the entries given (name, bytes), as a flat
  // XML package's parts are; nullptr when it holds none.
  static std::unique_ptr<ZipArchive> FromEntries(const std::vector<std::pair<std::string, std::string>>& entries,
                                                 ZipLimits limits = {});
  ~ZipArchive();
  ZipArchive(const ZipArchive&) = delete;
  ZipArchive& operator=(const ZipArchive&) = delete;

  // Whether an entry of that name exists (exact name first, then without regard to case).
  bool Has(std::string_view name) const;
  std::vector<std::string> Names() const;
  // The inflated size the directory gives an entry (0 when unknown); reading
  // checks it, so it bounds what Read will hold.
  std::uint64_t Size(std::string_view name) const;
  // Whether the entry is stored with zip encryption.
  bool IsEncrypted(std::string_view name) const;

  // Reads a whole entry into out.  False with *error set when it is missing,
  // encrypted, damaged or beyond the limits (out then holds what was read).
  bool Read(std::string_view name, std::string& out, std::string* error);

  // Streams an entry into a libxml2 text reader parsed with options.
  XmlPartReader OpenXml(std::string_view name, std::string* error, int options = kSafeXmlOptions);

  const ZipLimits& limits() const { return limits_; }
  // Empty, or why the package was read from the entries that survived its
  // damage (the reason its text is incomplete).
  const std::string& damage() const { return damage_; }
  void set_damage(std::string why) { damage_ = std::move(why); }

 private:
  ZipArchive(zip* z, ZipLimits limits) : zip_(z), limits_(limits) {}
  std::int64_t Locate(std::string_view name) const;
  zip* zip_;
  ZipLimits limits_;
  std::string damage_;
  std::uint64_t total_read_ = 0;
  friend class XmlPartReader;
};

// Whether the file begins with a zip entry's header, as every package does
// (a damaged one too, while a flat XML document does not).
bool StartsWithZipEntry(const std::string& path);

// Resolves a relative part name against the folder of base ("word/document.xml"
// + "../media/x" -> "media/x"; a leading "/" is from the root).
std::string ResolvePartName(std::string_view base, std::string_view target);

}  // namespace quarn
