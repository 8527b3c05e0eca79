// Recognises what a document really is from its first bytes (and, for zip and
// compound files, from the names of the parts inside), so that a filter can
// refuse content it cannot read and hand a mislabelled document to the
// built-in filter that reads it.  Reentrant; reads the file, keeps nothing.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "convert/filters/builtin_filter.h"

namespace quarn {

enum class ContentKind {
  kUnreadable,    // the file cannot be opened
  kEmpty,         // zero bytes
  kUnknown,       // nothing recognised
  kCompoundFile,  // OLE2 compound file (Office 97-2003, .msg, encrypted OOXML)
  kZip,           // zip container (OOXML, ODF, EPUB, XPS, iWork, ...)
  kPdf,
  kRtf,
  kHtml,
  kXml,
  kMail,          // RFC 822 message (header lines at the very start)
  kMbox,          // a mailbox: a "From " separator line, then a message
  kArchive,       // 7z, RAR, tar, cpio, ar, ISO 9660, cabinet, or one compressed file
  kOutlookData,   // Outlook personal folders (.pst, .ost)
  kTnef,          // a TNEF stream (winmail.dat)
  kHelp,          // compiled HTML help (.chm)
  kCalendar,      // iCalendar
  kVcard,         // vCard
  kImage,         // a picture: PNG, JPEG, GIF, TIFF, BMP, WebP, PNM, JPEG 2000, HEIF, AVIF
};

struct Sniffed {
  ContentKind kind = ContentKind::kUnknown;
  // The built-in filter that reads this content ("docx", "xlsx", "xlsb", "pptx",
  // "odf", "epub", "doc", "xls", "ppt", "msg", "pdf", "rtf", "html", "xml",
  // "eml", "mbox", "archive", "pst", "tnef", "chm", "ics", "vcf", "image", "heif",
  // "wordperfect", "visio", "djvu", "postscript", ... as builtin.cpp names them), or empty
  // when the content does not name one plainly.
  std::string filter;
  // An OOXML package wrapped in a compound file (EncryptedPackage): the
  // document is encrypted.
  bool encrypted_package = false;
  // A compound file whose content Office encrypted for rights management
  // (its DRMContent stream): what the document's own streams hold is only
  // the notice shown where rights management is not available.
  bool rights_managed = false;
  // Nothing else recognised, and the first bytes read as text.
  bool text = false;
};

Sniffed SniffContent(const std::string& path);

// What the first bytes of a document say by their signature alone, without
// looking inside zips and compound files (their filter stays empty): enough
// to decide whether a member of a container is worth unpacking.
Sniffed SniffHead(std::string_view head);
// True when head (the first bytes of a file) opens with the signature of a
// picture format the picture filters (image, heif) read.
bool LooksLikePicture(std::string_view head);
// A PostScript program or an EPS picture: "%!PS" or a bare "%!" line, the
// binary header of a DOS EPS, or a printer job (PJL) that switches to
// PostScript.  Font programs ("%!PS-AdobeFont", "%!FontType1") are not
// documents and do not count.
bool LooksLikePostScript(std::string_view head);
// A HEIF or AVIF picture (a phone's photo or scan) by its first box.
bool LooksLikeHeif(std::string_view head);
// Apple Mail saves a message (.emlx) after a line giving its length in
// bytes, and its flags as a property list after it: the message's bytes, or
// the input as it is when it has no such line.
std::string_view AppleMailMessage(std::string_view bytes);

// For a filter named self: the built-in filter name that path's content
// plainly belongs to when that is another filter, else nullopt (the content
// is self's, or nothing is recognised and self should try and fail cleanly).
std::optional<std::string> RedirectFor(const std::string& path, std::string_view self);

// The usual opening of a built-in filter's Extract: when the content belongs
// to another built-in filter, runs that one and returns its result.
//   if (auto r = ExtractRedirected(path, "docx", sink)) return *r;
std::optional<ExtractResult> ExtractRedirected(const std::string& path, std::string_view self, TextSink& sink);

}  // namespace quarn
