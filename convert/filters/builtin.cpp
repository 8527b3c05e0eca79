#include "convert/filters/builtin.h"

#include <algorithm>
#include <array>
#include <iterator>

#include "convert/filters/module.h"
#include "convert/filters/pdf_filter.h"
#include "convert/filters/rtf_filter.h"
#include "convert/filters/text_filter.h"

namespace quarn {

namespace {

// Class ids: {5155524E-F0xx-...} create a filter, {5155524E-A0xx-...} are the
// persistent handlers that extensions point to.  Never reuse a number.
constexpr std::string_view kDocxExtensions[] = {".docx", ".docm", ".dotx", ".dotm"};
constexpr std::string_view kXlsxExtensions[] = {".xlsx", ".xlsm", ".xltx", ".xltm"};
constexpr std::string_view kXlsbExtensions[] = {".xlsb"};
constexpr std::string_view kPptxExtensions[] = {".pptx", ".pptm", ".ppsx", ".ppsm", ".potx", ".potm"};
constexpr std::string_view kTextExtensions[] = {
    ".txt", ".text", ".log", ".csv", ".tsv", ".md", ".markdown", ".rst", ".ini", ".cfg", ".conf",
    ".json", ".yaml", ".yml", ".sql", ".tex", ".c", ".h", ".cc", ".cpp", ".cxx", ".hpp", ".hh",
    ".java", ".js", ".ts", ".py", ".rb", ".pl", ".pm", ".php", ".sh", ".bash", ".go", ".rs", ".cs",
    ".swift", ".kt", ".lua", ".r", ".m", ".css", ".bat", ".ps1", ".properties", ".toml", ".srt",
    ".asc", ".nfo", ".diz", ".me", ".1st", ".readme", ".err", ".out", ".patch", ".diff", ".mk",
    ".cmake", ".s", ".asm", ".f", ".f90", ".pas", ".vb", ".vbs", ".tcl", ".el", ".lisp", ".scm",
    ".hs", ".ml", ".erl", ".ex", ".exs", ".scala", ".groovy", ".dart", ".jsx", ".tsx", ".vue",
    ".less", ".scss", ".sass", ".env", ".gitignore", ".editorconfig", ".vtt", ".sub", ".po",
    ".pot", ".strings", ".tab", ".psv", ".ndjson", ".jsonl", ".bib", ".sty", ".cls",
    ".adoc", ".org", ".textile", ".wiki",
};
constexpr std::string_view kDocExtensions[] = {".doc", ".dot"};
constexpr std::string_view kXlsExtensions[] = {".xls", ".xlt"};
constexpr std::string_view kPptExtensions[] = {".ppt", ".pps", ".pot"};
constexpr std::string_view kEmlExtensions[] = {".eml", ".emlx"};
constexpr std::string_view kMsgExtensions[] = {".msg", ".oft"};
constexpr std::string_view kArchiveExtensions[] = {
    ".zip", ".zipx", ".7z", ".rar", ".tar", ".tgz", ".tbz", ".tbz2", ".tb2", ".txz", ".tzst", ".tlz", ".taz",
    // comic books packed with RAR, 7-Zip or tar: their pages are pictures, read by OCR
    ".cbr", ".cb7", ".cbt",
    ".cpio", ".ar", ".iso", ".cab", ".lzh", ".lha", ".gz",  ".bz2", ".xz",  ".zst",  ".lz4", ".lz",
    ".lzma", ".z",
};
constexpr std::string_view kMboxExtensions[] = {".mbox", ".mbx"};
// Web archives of crawlers, and their older ARC form (compressed ones
// through the archive filter).
constexpr std::string_view kWarcExtensions[] = {".warc", ".arc"};
// Outlook Express's mail folders (version 4's .mbx is found by content).
constexpr std::string_view kDbxExtensions[] = {".dbx"};
constexpr std::string_view kTnefExtensions[] = {".tnef", ".dat"};
constexpr std::string_view kMhtmlExtensions[] = {".mht", ".mhtml"};
constexpr std::string_view kPstExtensions[] = {".pst", ".ost"};
constexpr std::string_view kChmExtensions[] = {".chm"};
constexpr std::string_view kIcsExtensions[] = {".ics", ".ical", ".ifb"};
constexpr std::string_view kVcfExtensions[] = {".vcf", ".vcard"};

constexpr std::string_view kPdfExtensions[] = {".pdf"};
// A document inside its signature (CMS / PKCS #7).
constexpr std::string_view kSignedExtensions[] = {".p7m"};
constexpr std::string_view kWebArchiveExtensions[] = {".webarchive"};
// Access databases and their compiled forms.
constexpr std::string_view kAccessExtensions[] = {".mdb", ".accdb", ".mde", ".accde"};
// dBASE, FoxPro and Clipper tables, and shapefiles' attribute tables.
constexpr std::string_view kDbaseExtensions[] = {".dbf"};
// Memo files (dBASE, FoxPro) and a shapefile's code page file.
constexpr std::string_view kDbaseSideExtensions[] = {".dbt", ".fpt", ".cpg"};
// SQLite databases by their usual names; any other name by content.
constexpr std::string_view kSqliteExtensions[] = {".sqlite", ".sqlite3", ".db3", ".sqlitedb"};
// Paradox tables; a SQLite database named .db goes to its own filter.
constexpr std::string_view kParadoxExtensions[] = {".db"};
constexpr std::string_view kParadoxSideExtensions[] = {".mb"};
constexpr std::string_view kPostScriptExtensions[] = {".ps", ".eps", ".epsi", ".epsf"};
constexpr std::string_view kHtmlExtensions[] = {".htm", ".html", ".xhtml", ".shtml"};

constexpr std::string_view kOdfExtensions[] = {".odt", ".ott", ".ods", ".ots", ".odp", ".otp", ".odg",
                                               ".otg", ".fodt", ".fods", ".fodp", ".fodg",
                                               // the older XML formats OpenDocument grew from
                                               ".sxw", ".stw", ".sxc", ".stc", ".sxi", ".sti", ".sxd",
                                               ".std", ".sxg"};

constexpr std::string_view kEpubExtensions[] = {".epub"};
// Outlook for Mac's archives.
constexpr std::string_view kOlmExtensions[] = {".olm"};
constexpr std::string_view kRtfExtensions[] = {".rtf"};
constexpr std::string_view kXmlExtensions[] = {".xml"};
// HEIF and AVIF: the pictures phones take and their scanner apps save.
constexpr std::string_view kHeifExtensions[] = {".heic", ".heif", ".hif", ".avif"};
constexpr std::string_view kImageExtensions[] = {".png", ".jpg", ".jpeg", ".jpe",  ".jfif", ".jif", ".tif",
                                                 ".tiff", ".gif", ".bmp",  ".webp", ".pbm",  ".pgm", ".ppm",
                                                 ".pnm", ".jp2", ".j2k",  ".j2c",  ".jpx",  ".jpf"};

// The formats of other office suites, read through the Document Liberation
// libraries, MuPDF and djvulibre.
constexpr std::string_view kWordPerfectExtensions[] = {".wpd", ".wp", ".wp4", ".wp5", ".wp6", ".wp7", ".wpt"};
constexpr std::string_view kWpgExtensions[] = {".wpg"};
constexpr std::string_view kWorksExtensions[] = {".wps", ".wks", ".wdb", ".wk1", ".wk3", ".wk4", ".123", ".wb1",
                                                 ".wb2", ".wb3", ".wq1", ".wq2", ".qpw", ".wri", ".psw"};
constexpr std::string_view kMacExtensions[] = {".cwk", ".mw", ".mcw", ".mwd", ".wn"};
constexpr std::string_view kIworkExtensions[] = {".pages", ".numbers", ".key"};
constexpr std::string_view kVisioExtensions[] = {".vsd", ".vdx", ".vsdx", ".vsdm", ".vss", ".vst", ".vssx",
                                                 ".vssm", ".vstx", ".vstm", ".vsx", ".vtx"};
constexpr std::string_view kPublisherExtensions[] = {".pub"};
constexpr std::string_view kStarOfficeExtensions[] = {".sdw", ".sdc", ".sdd", ".sda", ".sgl"};
constexpr std::string_view kCorelExtensions[] = {".cdr", ".cdt", ".cmx"};
constexpr std::string_view kQuarkExtensions[] = {".qxp", ".qxd", ".qxt"};
constexpr std::string_view kZonerExtensions[] = {".zmf", ".zbr"};
constexpr std::string_view kFreeHandExtensions[] = {".fh", ".fh3", ".fh4", ".fh5", ".fh7", ".fh8", ".fh9",
                                                    ".fh10", ".fh11", ".ft11"};
constexpr std::string_view kPageMakerExtensions[] = {".pmd", ".pm6", ".p65"};
constexpr std::string_view kAbiWordExtensions[] = {".abw", ".zabw", ".awt"};
constexpr std::string_view kEbookExtensions[] = {".fb2", ".pdb", ".prc", ".mobi", ".azw", ".azw3", ".lrf", ".tcr"};
constexpr std::string_view kXpsExtensions[] = {".xps", ".oxps"};
constexpr std::string_view kCbzExtensions[] = {".cbz"};
constexpr std::string_view kSvgExtensions[] = {".svg"};
constexpr std::string_view kDjvuExtensions[] = {".djvu", ".djv"};

constexpr std::array kFilters = {
    BuiltinFilterInfo{"text", "{5155524E-F001-4000-8000-000000000001}", "{5155524E-A001-4000-8000-000000000001}",
                      kTextExtensions, CreateTextFilter, ""},
    BuiltinFilterInfo{"pdf", "{5155524E-F003-4000-8000-000000000003}", "{5155524E-A003-4000-8000-000000000003}",
                      kPdfExtensions, CreatePdfFilter, ""},
    BuiltinFilterInfo{"html", "{5155524E-F002-4000-8000-000000000002}", "{5155524E-A002-4000-8000-000000000002}",
                      kHtmlExtensions, nullptr, "markup"},
    BuiltinFilterInfo{"docx", "{5155524E-F004-4000-8000-000000000004}", "{5155524E-A004-4000-8000-000000000004}",
                      kDocxExtensions, nullptr, "package"},
    BuiltinFilterInfo{"xlsx", "{5155524E-F005-4000-8000-000000000005}", "{5155524E-A005-4000-8000-000000000005}",
                      kXlsxExtensions, nullptr, "package"},
    BuiltinFilterInfo{"xlsb", "{5155524E-F054-4000-8000-000000000054}", "{5155524E-A054-4000-8000-000000000054}",
                      kXlsbExtensions, nullptr, "package"},
    BuiltinFilterInfo{"pptx", "{5155524E-F006-4000-8000-000000000006}", "{5155524E-A006-4000-8000-000000000006}",
                      kPptxExtensions, nullptr, "package"},
    BuiltinFilterInfo{"odf", "{5155524E-F007-4000-8000-000000000007}", "{5155524E-A007-4000-8000-000000000007}",
                      kOdfExtensions, nullptr, "package"},
    BuiltinFilterInfo{"epub", "{5155524E-F008-4000-8000-000000000008}", "{5155524E-A008-4000-8000-000000000008}",
                      kEpubExtensions, nullptr, "package"},
    BuiltinFilterInfo{"olm", "{5155524E-F059-4000-8000-000000000059}", "{5155524E-A059-4000-8000-000000000059}",
                      kOlmExtensions, nullptr, "package"},
    BuiltinFilterInfo{"rtf", "{5155524E-F009-4000-8000-000000000009}", "{5155524E-A009-4000-8000-000000000009}",
                      kRtfExtensions, CreateRtfFilter, ""},
    BuiltinFilterInfo{"xml", "{5155524E-F00A-4000-8000-00000000000A}", "{5155524E-A00A-4000-8000-00000000000A}",
                      kXmlExtensions, nullptr, "markup"},
    BuiltinFilterInfo{"doc", "{5155524E-F00B-4000-8000-00000000000B}", "{5155524E-A00B-4000-8000-00000000000B}",
                      kDocExtensions, nullptr, "ole"},
    BuiltinFilterInfo{"xls", "{5155524E-F00C-4000-8000-00000000000C}", "{5155524E-A00C-4000-8000-00000000000C}",
                      kXlsExtensions, nullptr, "ole"},
    BuiltinFilterInfo{"ppt", "{5155524E-F00D-4000-8000-00000000000D}", "{5155524E-A00D-4000-8000-00000000000D}",
                      kPptExtensions, nullptr, "ole"},
    BuiltinFilterInfo{"eml", "{5155524E-F00E-4000-8000-00000000000E}", "{5155524E-A00E-4000-8000-00000000000E}",
                      kEmlExtensions, nullptr, "mail"},
    BuiltinFilterInfo{"archive", "{5155524E-F020-4000-8000-000000000020}", "{5155524E-A020-4000-8000-000000000020}",
                      kArchiveExtensions, nullptr, "archive"},
    BuiltinFilterInfo{"warc", "{5155524E-F05A-4000-8000-00000000005A}", "{5155524E-A05A-4000-8000-00000000005A}",
                      kWarcExtensions, nullptr, "archive"},
    BuiltinFilterInfo{"msg", "{5155524E-F021-4000-8000-000000000021}", "{5155524E-A021-4000-8000-000000000021}",
                      kMsgExtensions, nullptr, "ole"},
    // Office 2007 and later documents kept encrypted in a compound file:
    // found by their content under the names of the documents they hold.
    BuiltinFilterInfo{"ooxml-encrypted", "{5155524E-F05B-4000-8000-00000000005B}",
                      "{5155524E-A05B-4000-8000-00000000005B}", {}, nullptr, "ole"},
    BuiltinFilterInfo{"mbox", "{5155524E-F022-4000-8000-000000000022}", "{5155524E-A022-4000-8000-000000000022}",
                      kMboxExtensions, nullptr, "mail"},
    BuiltinFilterInfo{"dbx", "{5155524E-F058-4000-8000-000000000058}", "{5155524E-A058-4000-8000-000000000058}",
                      kDbxExtensions, nullptr, "mail"},
    BuiltinFilterInfo{"tnef", "{5155524E-F023-4000-8000-000000000023}", "{5155524E-A023-4000-8000-000000000023}",
                      kTnefExtensions, nullptr, "mail"},
    BuiltinFilterInfo{"mhtml", "{5155524E-F024-4000-8000-000000000024}", "{5155524E-A024-4000-8000-000000000024}",
                      kMhtmlExtensions, nullptr, "mail"},
    BuiltinFilterInfo{"pst", "{5155524E-F025-4000-8000-000000000025}", "{5155524E-A025-4000-8000-000000000025}",
                      kPstExtensions, nullptr, "pst"},
    BuiltinFilterInfo{"chm", "{5155524E-F026-4000-8000-000000000026}", "{5155524E-A026-4000-8000-000000000026}",
                      kChmExtensions, nullptr, "chm"},
    BuiltinFilterInfo{"ics", "{5155524E-F027-4000-8000-000000000027}", "{5155524E-A027-4000-8000-000000000027}",
                      kIcsExtensions, nullptr, "calendar"},
    BuiltinFilterInfo{"vcf", "{5155524E-F028-4000-8000-000000000028}", "{5155524E-A028-4000-8000-000000000028}",
                      kVcfExtensions, nullptr, "calendar"},
    BuiltinFilterInfo{"wordperfect", "{5155524E-F040-4000-8000-000000000040}",
                      "{5155524E-A040-4000-8000-000000000040}", kWordPerfectExtensions, nullptr, "wordperfect"},
    BuiltinFilterInfo{"wpg", "{5155524E-F041-4000-8000-000000000041}", "{5155524E-A041-4000-8000-000000000041}",
                      kWpgExtensions, nullptr, "wordperfect"},
    BuiltinFilterInfo{"works", "{5155524E-F042-4000-8000-000000000042}", "{5155524E-A042-4000-8000-000000000042}",
                      kWorksExtensions, nullptr, "works"},
    BuiltinFilterInfo{"mac", "{5155524E-F043-4000-8000-000000000043}", "{5155524E-A043-4000-8000-000000000043}",
                      kMacExtensions, nullptr, "mac"},
    BuiltinFilterInfo{"iwork", "{5155524E-F044-4000-8000-000000000044}", "{5155524E-A044-4000-8000-000000000044}",
                      kIworkExtensions, nullptr, "iwork"},
    BuiltinFilterInfo{"visio", "{5155524E-F045-4000-8000-000000000045}", "{5155524E-A045-4000-8000-000000000045}",
                      kVisioExtensions, nullptr, "visio"},
    BuiltinFilterInfo{"publisher", "{5155524E-F046-4000-8000-000000000046}",
                      "{5155524E-A046-4000-8000-000000000046}", kPublisherExtensions, nullptr, "publisher"},
    BuiltinFilterInfo{"staroffice", "{5155524E-F047-4000-8000-000000000047}",
                      "{5155524E-A047-4000-8000-000000000047}", kStarOfficeExtensions, nullptr, "staroffice"},
    BuiltinFilterInfo{"corel", "{5155524E-F048-4000-8000-000000000048}", "{5155524E-A048-4000-8000-000000000048}",
                      kCorelExtensions, nullptr, "corel"},
    BuiltinFilterInfo{"quark", "{5155524E-F049-4000-8000-000000000049}", "{5155524E-A049-4000-8000-000000000049}",
                      kQuarkExtensions, nullptr, "quark"},
    BuiltinFilterInfo{"zoner", "{5155524E-F04A-4000-8000-00000000004A}", "{5155524E-A04A-4000-8000-00000000004A}",
                      kZonerExtensions, nullptr, "zoner"},
    BuiltinFilterInfo{"freehand", "{5155524E-F04B-4000-8000-00000000004B}", "{5155524E-A04B-4000-8000-00000000004B}",
                      kFreeHandExtensions, nullptr, "freehand"},
    BuiltinFilterInfo{"pagemaker", "{5155524E-F04C-4000-8000-00000000004C}",
                      "{5155524E-A04C-4000-8000-00000000004C}", kPageMakerExtensions, nullptr, "pagemaker"},
    BuiltinFilterInfo{"abiword", "{5155524E-F04D-4000-8000-00000000004D}", "{5155524E-A04D-4000-8000-00000000004D}",
                      kAbiWordExtensions, nullptr, "abiword"},
    BuiltinFilterInfo{"ebook", "{5155524E-F04E-4000-8000-00000000004E}", "{5155524E-A04E-4000-8000-00000000004E}",
                      kEbookExtensions, nullptr, "ebook"},
    BuiltinFilterInfo{"xps", "{5155524E-F04F-4000-8000-00000000004F}", "{5155524E-A04F-4000-8000-00000000004F}",
                      kXpsExtensions, nullptr, "fitz"},
    BuiltinFilterInfo{"cbz", "{5155524E-F050-4000-8000-000000000050}", "{5155524E-A050-4000-8000-000000000050}",
                      kCbzExtensions, nullptr, "fitz"},
    BuiltinFilterInfo{"svg", "{5155524E-F051-4000-8000-000000000051}", "{5155524E-A051-4000-8000-000000000051}",
                      kSvgExtensions, nullptr, "fitz"},
    BuiltinFilterInfo{"djvu", "{5155524E-F052-4000-8000-000000000052}", "{5155524E-A052-4000-8000-000000000052}",
                      kDjvuExtensions, nullptr, "djvu"},
    BuiltinFilterInfo{"signed", "{5155524E-F055-4000-8000-000000000055}", "{5155524E-A055-4000-8000-000000000055}",
                      kSignedExtensions, nullptr, "signed"},
    BuiltinFilterInfo{"postscript", "{5155524E-F056-4000-8000-000000000056}",
                      "{5155524E-A056-4000-8000-000000000056}", kPostScriptExtensions, nullptr, "postscript"},
    BuiltinFilterInfo{"webarchive", "{5155524E-F057-4000-8000-000000000057}",
                      "{5155524E-A057-4000-8000-000000000057}", kWebArchiveExtensions, nullptr, "webarchive"},
    BuiltinFilterInfo{"access", "{5155524E-F05C-4000-8000-00000000005C}", "{5155524E-A05C-4000-8000-00000000005C}",
                      kAccessExtensions, nullptr, "access"},
    BuiltinFilterInfo{"dbase", "{5155524E-F05D-4000-8000-00000000005D}", "{5155524E-A05D-4000-8000-00000000005D}",
                      kDbaseExtensions, nullptr, "dbase", kDbaseSideExtensions},
    BuiltinFilterInfo{"sqlite", "{5155524E-F05E-4000-8000-00000000005E}", "{5155524E-A05E-4000-8000-00000000005E}",
                      kSqliteExtensions, nullptr, "sqlite"},
    BuiltinFilterInfo{"paradox", "{5155524E-F05F-4000-8000-00000000005F}", "{5155524E-A05F-4000-8000-00000000005F}",
                      kParadoxExtensions, nullptr, "paradox", kParadoxSideExtensions, true},
    BuiltinFilterInfo{"heif", "{5155524E-F053-4000-8000-000000000053}", "{5155524E-A053-4000-8000-000000000053}",
                      kHeifExtensions, nullptr, "heif"},
    BuiltinFilterInfo{"image", "{5155524E-F010-4000-8000-000000000010}", "{5155524E-A010-4000-8000-000000000010}",
                      kImageExtensions, nullptr, "image"},
};

// Every extension with the filter that registers it, sorted by extension
// and, for one extension, by the filter's place in the table; made when the
// program is compiled, so that looking an extension up costs no start-up.
struct ExtensionEntry {
  std::string_view extension;
  std::size_t filter = 0;
};

constexpr std::size_t kExtensionCount = [] {
  std::size_t n = 0;
  for (const BuiltinFilterInfo& f : kFilters) n += f.extensions.size();
  return n;
}();

constexpr auto kExtensionIndex = [] {
  std::array<ExtensionEntry, kExtensionCount> index{};
  std::size_t at = 0;
  for (std::size_t f = 0; f < kFilters.size(); ++f)
    for (std::string_view ext : kFilters[f].extensions) index[at++] = {ext, f};
  std::sort(index.begin(), index.end(), [](const ExtensionEntry& a, const ExtensionEntry& b) {
    return a.extension != b.extension ? a.extension < b.extension : a.filter < b.filter;
  });
  return index;
}();

}  // namespace

std::span<const BuiltinFilterInfo> BuiltinFilters() { return kFilters; }

const BuiltinFilterInfo* FindBuiltinFilterForExtension(std::string_view extension) {
  const auto past = std::upper_bound(
      kExtensionIndex.begin(), kExtensionIndex.end(), extension,
      [](std::string_view ext, const ExtensionEntry& entry) { return ext < entry.extension; });
  // Of two filters that list one extension, the later one's registration holds.
  if (past == kExtensionIndex.begin() || std::prev(past)->extension != extension) return nullptr;
  return &kFilters[std::prev(past)->filter];
}

const BuiltinFilterInfo* FindBuiltinFilter(std::string_view name) {
  for (const BuiltinFilterInfo& f : kFilters)
    if (f.name == name) return &f;
  return nullptr;
}

ExtractResult ExtractWithBuiltin(std::string_view name, const std::string& path, TextSink& sink) {
  const BuiltinFilterInfo* info = FindBuiltinFilter(name);
  if (!info) return ExtractResult::Failed("no built-in filter \"" + std::string(name) + "\"");
  // Filters hand a document on when its content is another format's, and
  // some try a second reader for a shared extension; should two of them
  // keep handing one file back and forth, the chain ends here instead of
  // in a stack overflow.  Per thread: each document is read on one thread.
  thread_local int depth = 0;
  if (depth >= 8) return ExtractResult::Failed("no filter could settle what this document is");
  std::string error;
  std::unique_ptr<BuiltinFilter> filter = CreateBuiltinFilter(*info, &error);
  if (!filter) return ExtractResult::Failed(error);
  ++depth;
  struct Leave {
    int& depth;
    ~Leave() { --depth; }
  } leave{depth};
  return filter->Extract(path, sink);
}

std::unique_ptr<BuiltinFilter> CreateBuiltinFilter(const BuiltinFilterInfo& info, std::string* error) {
  if (info.create) return info.create();
  const FilterModule* module = LoadFilterModule(info.module, error);
  if (!module) return nullptr;
  std::unique_ptr<BuiltinFilter> filter = module->create(info.name);
  if (!filter && error) *error = "the filter module " + std::string(info.module) + " has no filter " + std::string(info.name);
  return filter;
}

}  // namespace quarn
