// The archive filter over archives built here with libarchive's writer: the
// members of a zip (a docx, a PDF, a picture, a nested zip) in order with
// their text, tar and its compressions, single compressed files (a gzipped
// docx among them), names in legacy code pages, empty and truncated archives,
// encrypted members, and hostile archives (bombs, nesting, "../" and absolute
// paths, links, too many members, sizes beyond any limit), each bounded and
// leaving nothing behind.
#include <gtest/gtest.h>

#include <archive.h>
#include <archive_entry.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "convert/filters/archive/archive_filter.h"
#include "convert/filters/builtin.h"
#include "tests/support/temp_tree.h"

namespace quarn {
namespace {

namespace fs = std::filesystem;
using testing::TempTree;

struct Member {
  Member(std::string n, std::string b, mode_t t = AE_IFREG, std::string l = {})
      : name(std::move(n)), bytes(std::move(b)), type(t), link(std::move(l)) {}
  std::string name, bytes;
  mode_t type;
  std::string link;  // for symbolic links
};

std::string ReadFile(const std::string& path) {
  std::string bytes = TempTree::Read(path);
  EXPECT_FALSE(bytes.empty()) << path;
  return bytes;
}

// Writes members into an archive of the given format and compression.
void WriteArchive(const std::string& path, int (*format)(archive*), int (*filter)(archive*),
                  const std::vector<Member>& members, const char* options = nullptr) {
  archive* a = archive_write_new();
  format(a);
  if (filter) filter(a);
  if (options) {
    ASSERT_EQ(archive_write_set_options(a, options), ARCHIVE_OK) << archive_error_string(a);
    archive_write_set_passphrase(a, "secret");
  }
  ASSERT_EQ(archive_write_open_filename(a, path.c_str()), ARCHIVE_OK);
  for (const Member& m : members) {
    archive_entry* e = archive_entry_new();
    archive_entry_set_pathname(e, m.name.c_str());
    archive_entry_set_filetype(e, m.type);
    archive_entry_set_perm(e, 0644);
    if (m.type == AE_IFLNK) archive_entry_set_symlink(e, m.link.c_str());
    archive_entry_set_size(e, m.type == AE_IFREG ? static_cast<la_int64_t>(m.bytes.size()) : 0);
    archive_write_header(a, e);
    if (m.type == AE_IFREG) archive_write_data(a, m.bytes.data(), m.bytes.size());
    archive_entry_free(e);
  }
  archive_write_close(a);
  archive_write_free(a);
}

// A zip of stored members whose names are kept as given, without the UTF-8
// flag, as DOS and older Windows zip tools wrote them.
void WriteLegacyZip(const std::string& path, const std::vector<std::pair<std::string, std::string>>& members) {
  auto crc32 = [](const std::string& s) {
    std::uint32_t c = 0xFFFFFFFFu;
    for (unsigned char b : s) {
      c ^= b;
      for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
    }
    return ~c;
  };
  auto le = [](std::string& out, std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  };
  std::string body, central;
  for (const auto& [name, data] : members) {
    const std::uint32_t offset = static_cast<std::uint32_t>(body.size()), crc = crc32(data);
    const auto size = static_cast<std::uint32_t>(data.size());
    le(body, 0x04034b50, 4), le(body, 20, 2), le(body, 0, 2), le(body, 0, 2), le(body, 0, 4);
    le(body, crc, 4), le(body, size, 4), le(body, size, 4), le(body, static_cast<std::uint32_t>(name.size()), 2);
    le(body, 0, 2);
    body += name + data;
    le(central, 0x02014b50, 4), le(central, 20, 2), le(central, 20, 2), le(central, 0, 2), le(central, 0, 2);
    le(central, 0, 4), le(central, crc, 4), le(central, size, 4), le(central, size, 4);
    le(central, static_cast<std::uint32_t>(name.size()), 2), le(central, 0, 2), le(central, 0, 2), le(central, 0, 2);
    le(central, 0, 2), le(central, 0, 4), le(central, offset, 4);
    central += name;
  }
  std::string end;
  const auto count = static_cast<std::uint32_t>(members.size());
  le(end, 0x06054b50, 4), le(end, 0, 4), le(end, count, 2), le(end, count, 2);
  le(end, static_cast<std::uint32_t>(central.size()), 4), le(end, static_cast<std::uint32_t>(body.size()), 4);
  le(end, 0, 2);
  std::ofstream(path, std::ios::binary) << body << central << end;
}

struct Read {
  ExtractResult result;
  std::string text;
};

Read Extract(const std::string& path, const ContainerLimits& limits = {}) {
  TextSink sink;
  Read r;
  r.result = CreateArchiveFilter(limits)->Extract(path, sink);
  r.text = sink.Joined();
  return r;
}

class ArchiveFilterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Private folders go here, so that what is left behind is seen.
    temp_ = tree_.Folder("tmp");
    old_ = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
    setenv("TMPDIR", temp_.c_str(), 1);
  }
  void TearDown() override {
    EXPECT_TRUE(fs::is_empty(temp_)) << "temporary files were left behind";
    if (old_.empty()) unsetenv("TMPDIR");
    else setenv("TMPDIR", old_.c_str(), 1);
  }
  TempTree tree_;
  std::string temp_, old_;
};

TEST_F(ArchiveFilterTest, ZipListsEveryMemberInOrderWithTheTextOfThoseAFilterReads) {
  const std::string inner = tree_ / "inner.zip";
  WriteArchive(inner, archive_write_set_format_zip, nullptr, {{"note.txt", "nested note words\n"}});
  const std::string zip = tree_ / "docs.zip";
  WriteArchive(zip, archive_write_set_format_zip, nullptr,
               {{"reports/", "", AE_IFDIR},
                {"reports/sample.docx", ReadFile(std::string(QUARN_TEST_DATA) + "/package/ooxml/sample.docx")},
                {"reports/two_pages.pdf", ReadFile(std::string(QUARN_TEST_DATA) + "/convert/pdf/two_pages.pdf")},
                {"layers.xcf", std::string("gimp xcf v011", 13) + std::string(100, '\0')},
                {"inner.zip", ReadFile(inner)},
                {"README", "plain words without an extension\n"}});
  Read r = Extract(zip);
  EXPECT_TRUE(r.result.ok()) << r.result.reason;
  const std::string& t = r.text;
  auto at = [&](const std::string& s) { return t.find(s); };
  ASSERT_NE(at("reports/sample.docx\n"), std::string::npos) << t;
  EXPECT_NE(at("Plain paragraph with"), std::string::npos);
  EXPECT_NE(at("the quarterly report"), std::string::npos);
  EXPECT_NE(at("layers.xcf\n"), std::string::npos);  // no filter: the name only
  EXPECT_NE(at("nested note words"), std::string::npos);
  EXPECT_NE(at("plain words without an extension"), std::string::npos);
  EXPECT_LT(at("reports/sample.docx"), at("Plain paragraph"));
  EXPECT_LT(at("Plain paragraph"), at("reports/two_pages.pdf"));
  EXPECT_LT(at("inner.zip"), at("note.txt"));
}

TEST_F(ArchiveFilterTest, AMembersTextEndsItsLineThoughItsFileHadNoLineEnd) {
  const std::string zip = tree_ / "notes.zip";
  WriteArchive(zip, archive_write_set_format_zip, nullptr,
               {{"first.txt", "first member words"}, {"second.txt", "second member words"}});
  Read r = Extract(zip);
  EXPECT_TRUE(r.result.ok()) << r.result.reason;
  // The next member's name starts a line of its own after a blank line, and
  // no line gains a stray space from the chunks between.
  EXPECT_NE(r.text.find("first.txt\nfirst member words\n\nsecond.txt\nsecond member words"), std::string::npos)
      << r.text;
  EXPECT_EQ(r.text.find(" \n"), std::string::npos) << r.text;
}

TEST_F(ArchiveFilterTest, NamesWithoutTheUtf8FlagAreReadInTheirDosOrJapaneseCodePage) {
  const std::string zip = tree_ / "legacy.zip";
  WriteLegacyZip(zip, {{"R\x82sum\x82 \xA4.txt", "dos words\n"},                    // code page 437
                       {"\x93\xFA\x96\x7B\x8C\xEA\x82\xCC\x95\xB6\x8F\x91.txt", "sjis words\n"},  // Shift-JIS
                       {"\x83\x65\x83\x58\x83\x67.txt", "katakana words\n"},  // Shift-JIS, all second bytes ASCII
                       {"\x8Enderung.txt", "umlaut words\n"}});  // a letter that Shift-JIS would misread
  Read r = Extract(zip);
  EXPECT_TRUE(r.result.ok()) << r.result.reason;
  EXPECT_NE(r.text.find("Résumé ñ.txt\ndos words"), std::string::npos) << r.text;
  EXPECT_NE(r.text.find("日本語の文書.txt\nsjis words"), std::string::npos) << r.text;
  EXPECT_NE(r.text.find("テスト.txt\nkatakana words"), std::string::npos) << r.text;
  EXPECT_NE(r.text.find("Änderung.txt\numlaut words"), std::string::npos) << r.text;
  // A tar from before UTF-8 keeps its names in Latin-1.
  const std::string tar = tree_ / "latin1.tar";
  WriteArchive(tar, archive_write_set_format_ustar, nullptr, {{"umlauts-\xC4\xD6\xDC\xDF.txt", "tar words\n"}});
  r = Extract(tar);
  EXPECT_NE(r.text.find("umlauts-ÄÖÜß.txt\ntar words"), std::string::npos) << r.text;
}

TEST_F(ArchiveFilterTest, TarAndItsCompressionsAndSingleCompressedFiles) {
  for (auto filter : {archive_write_add_filter_gzip, archive_write_add_filter_bzip2, archive_write_add_filter_xz,
                      archive_write_add_filter_zstd}) {
    const std::string tar = tree_ / "project.tar.x";
    WriteArchive(tar, archive_write_set_format_pax_restricted, filter, {{"src/notes.md", "tarred words\n"}});
    Read r = Extract(tar);
    EXPECT_NE(r.text.find("src/notes.md\ntarred words"), std::string::npos) << r.text;
  }
  // One compressed file: its text alone, read by the filter of its inner name.
  const std::string gz = tree_ / "letter.html.gz";
  WriteArchive(gz, archive_write_set_format_raw, archive_write_add_filter_gzip,
               {{"letter.html", "<html><body><p>Dear reader</p><script>no</script></body></html>"}});
  Read r = Extract(gz);
  EXPECT_TRUE(r.result.ok()) << r.result.reason;
  EXPECT_EQ(r.text.find("no"), std::string::npos) << r.text;  // read as a page, not as text
  EXPECT_NE(r.text.find("Dear reader"), std::string::npos) << r.text;
  // A file that is no archive at all is refused, not read as "raw" data.
  Read plain = Extract(tree_.Write("fake.zip", "just text\n"));
  EXPECT_EQ(plain.result.status, ExtractResult::Status::kUnknownFormat);
}

TEST_F(ArchiveFilterTest, TextUnderNamesNoFilterKnowsIsReadAsText) {
  // A rotated log and a changelog, in an archive and compressed on their
  // own, are read; binary data under such a name is named only.
  const std::string tar = tree_ / "logs.tar";
  WriteArchive(tar, archive_write_set_format_pax_restricted, nullptr,
               {{"syslog.2", "disk full on the archive volume\n"},
                {"changelog.Debian", "quarn (1.2.3) unstable; urgency=low\n"},
                {"data.v2", std::string("\x01\x02\0\xFF\xFE binary", 13)},
                // Text that is data: a font program and base64 lines; and an
                // EPS picture, which its own filter reads (no words in it).
                {"courier.pfa", "%!PS-AdobeFont-1.0: Courier 001.004\n" + std::string(3000, 'A') + "\n"},
                {"figure.eps", "%!PS-Adobe-3.0 EPSF-3.0\n%%BoundingBox: 0 0 192 144\n%" + std::string(3000, 'A') +
                                   "\n0 0 moveto 192 144 lineto stroke showpage\n"},
                {"blob.b64", std::string(60, 'Q') + "\n" + std::string(3000, 'Z') + "\n"}});
  Read r = Extract(tar);
  // The drawing has no words: the only member not read whole.
  EXPECT_EQ(r.result.reason, "1 member was not read whole (figure.eps: printed to PDF, the PDF has no text layer)");
  EXPECT_NE(r.text.find("syslog.2\ndisk full on the archive volume"), std::string::npos) << r.text;
  EXPECT_NE(r.text.find("changelog.Debian\nquarn (1.2.3) unstable"), std::string::npos) << r.text;
  EXPECT_NE(r.text.find("data.v2\n"), std::string::npos) << r.text;
  EXPECT_EQ(r.text.find("binary"), std::string::npos) << r.text;
  EXPECT_EQ(r.text.find("BoundingBox"), std::string::npos) << r.text;
  EXPECT_EQ(r.text.find("AAAA"), std::string::npos) << r.text;
  EXPECT_NE(r.text.find("courier.pfa\n"), std::string::npos) << r.text;
  EXPECT_EQ(r.text.find("QQQQ"), std::string::npos) << r.text;
  const std::string gz = tree_ / "syslog.2.gz";
  WriteArchive(gz, archive_write_set_format_raw, archive_write_add_filter_gzip, {{"syslog.2", "rotated words\n"}});
  Read single = Extract(gz);
  EXPECT_TRUE(single.result.ok()) << single.result.reason;
  EXPECT_NE(single.text.find("rotated words"), std::string::npos) << single.text;
}

TEST_F(ArchiveFilterTest, FormatsNamedByTheirFirstBytesAreReadUnderAnyName) {
  // A database backed up as "contacts.bak": its engine's name opens it.
  const std::string zip = tree_ / "backup.zip";
  WriteArchive(zip, archive_write_set_format_zip, nullptr,
               {{"contacts.bak", ReadFile(std::string(QUARN_TEST_DATA) + "/access/contacts.mdb")}});
  Read r = Extract(zip);
  EXPECT_TRUE(r.result.ok()) << r.result.reason;
  EXPECT_NE(r.text.find("contacts.bak\nCustomers\n"), std::string::npos) << r.text;
}

TEST_F(ArchiveFilterTest, ACompressedZipPackageIsReadAsTheDocumentItIs) {
  // A gzipped .docx is a zip inside gzip: read as the document, not listed as its parts.
  const std::string docx = ReadFile(std::string(QUARN_TEST_DATA) + "/package/ooxml/sample.docx");
  for (const std::string name : {"report.docx.gz", "report.gz"}) {
    const std::string gz = tree_ / name;
    WriteArchive(gz, archive_write_set_format_raw, archive_write_add_filter_gzip, {{"report.docx", docx}});
    Read r = Extract(gz);
    EXPECT_TRUE(r.result.ok()) << name << ": " << r.result.reason;
    EXPECT_NE(r.text.find("Plain paragraph with"), std::string::npos) << r.text;
    EXPECT_EQ(r.text.find("word/document.xml"), std::string::npos) << r.text;
  }
  // A compressed zip archive is read as that zip, its members by name.
  const std::string inner = tree_ / "inner.zip";
  WriteArchive(inner, archive_write_set_format_zip, nullptr, {{"note.txt", "zipped note words\n"}});
  const std::string gz = tree_ / "bundle.zip.gz";
  WriteArchive(gz, archive_write_set_format_raw, archive_write_add_filter_gzip, {{"bundle.zip", ReadFile(inner)}});
  Read r = Extract(gz);
  EXPECT_NE(r.text.find("note.txt\nzipped note words"), std::string::npos) << r.text;
}

TEST_F(ArchiveFilterTest, ATruncatedFileKeepsTheTextBeforeTheDamage) {
  std::string lines;
  for (int i = 0; i < 40000; ++i) lines += "line " + std::to_string(i) + " of the compressed words\n";
  auto truncated = [&](const std::string& name, int (*format)(archive*), std::vector<Member> members) {
    const std::string whole = tree_ / ("whole-" + name);
    WriteArchive(whole, format, archive_write_add_filter_gzip, members);
    const std::string bytes = ReadFile(whole);
    return tree_.Write(name, bytes.substr(0, bytes.size() / 2));
  };
  Read single = Extract(truncated("log.txt.gz", archive_write_set_format_raw, {{"log.txt", lines}}));
  EXPECT_EQ(single.result.status, ExtractResult::Status::kIncomplete) << single.result.reason;
  EXPECT_NE(single.result.reason.find("damaged"), std::string::npos) << single.result.reason;
  EXPECT_NE(single.text.find("line 1000 of the compressed words\n"), std::string::npos);
  EXPECT_EQ(single.text.find("line 39999 "), std::string::npos);

  Read tar = Extract(truncated("logs.tar.gz", archive_write_set_format_pax_restricted,
                               {{"first.txt", "first words\n"}, {"log.txt", lines}, {"last.txt", "last words\n"}}));
  EXPECT_EQ(tar.result.status, ExtractResult::Status::kIncomplete) << tar.result.reason;
  EXPECT_NE(tar.text.find("first.txt\nfirst words\n\nlog.txt\nline 0 of"), std::string::npos) << tar.text.substr(0, 300);
  EXPECT_NE(tar.result.reason.find("log.txt: damaged"), std::string::npos) << tar.result.reason;
}

TEST_F(ArchiveFilterTest, EmptyArchivesEmptyMembersAndEmptyCompressedFiles) {
  // An empty compressed file holds no text and nothing is wrong with it.
  const std::string gz = tree_ / "empty.txt.gz";
  WriteArchive(gz, archive_write_set_format_raw, archive_write_add_filter_gzip, {{"empty.txt", ""}});
  Read r = Extract(gz);
  EXPECT_TRUE(r.result.ok()) << r.result.reason;
  EXPECT_TRUE(r.text.empty()) << r.text;
  const std::string zip = tree_ / "empty.zip";
  WriteArchive(zip, archive_write_set_format_zip, nullptr, {});
  r = Extract(zip);
  EXPECT_TRUE(r.result.ok()) << r.result.reason;
  EXPECT_TRUE(r.text.empty()) << r.text;
  // An empty member is named; a file of no bytes at all is no archive.
  WriteArchive(zip, archive_write_set_format_zip, nullptr, {{"empty.txt", ""}, {"full.txt", "full words\n"}});
  r = Extract(zip);
  EXPECT_NE(r.text.find("empty.txt\nfull.txt\nfull words"), std::string::npos) << r.text;
  EXPECT_EQ(Extract(tree_.Write("nothing.zip", "")).result.status, ExtractResult::Status::kUnknownFormat);
}

TEST_F(ArchiveFilterTest, EncryptedMembersAreNamedAsPasswordProtected) {
  const std::string zip = tree_ / "locked.zip";
  WriteArchive(zip, archive_write_set_format_zip, nullptr, {{"secret.txt", "hidden words\n"}},
               "zip:encryption=zipcrypt");
  Read r = Extract(zip);
  EXPECT_NE(r.text.find("secret.txt (password-protected)"), std::string::npos) << r.text;
  EXPECT_EQ(r.text.find("hidden words"), std::string::npos);
  EXPECT_NE(r.result.reason.find("password-protected"), std::string::npos) << r.result.reason;
}

TEST_F(ArchiveFilterTest, BombsStopAtTheLimitsAndCostOnlyTheirMember) {
  ContainerLimits small;
  small.max_member_bytes = 32 << 20;
  small.max_total_bytes = 48 << 20;
  small.ratio_floor_bytes = 1 << 20;
  // A member of zeros inflating a thousand times its size.
  const std::string zip = tree_ / "bomb.zip";
  WriteArchive(zip, archive_write_set_format_zip, nullptr,
               {{"zeros.txt", std::string(24 << 20, '0')}, {"after.txt", "still read\n"}});
  Read r = Extract(zip, small);
  EXPECT_NE(r.text.find("zeros.txt (not read: unpacks far beyond"), std::string::npos) << r.text.substr(0, 200);
  // The next name starts its line, with no space left by the failed member.
  EXPECT_NE(r.text.find("bomb?))\nafter.txt\nstill read"), std::string::npos) << r.text.substr(0, 200);
  EXPECT_EQ(r.result.status, ExtractResult::Status::kIncomplete);

  // A nested bomb: every level holds the one below twice; the shared budget
  // and the depth bound end it, whatever its size would be.
  std::string level = tree_ / "l0.zip";
  WriteArchive(level, archive_write_set_format_zip, nullptr, {{"leaf.txt", std::string(4 << 20, 'a')}});
  for (int i = 1; i <= 8; ++i) {
    std::string next = tree_ / ("l" + std::to_string(i) + ".zip");
    std::string bytes = ReadFile(level);
    WriteArchive(next, archive_write_set_format_zip, nullptr, {{"a.zip", bytes}, {"b.zip", bytes}});
    level = next;
  }
  Read nested = Extract(level, small);
  EXPECT_NE(nested.text.find("nested more than 5 levels deep"), std::string::npos);
  EXPECT_LE(nested.text.size(), std::size_t{64} << 20);
}

TEST_F(ArchiveFilterTest, HostileNamesAndLinksWriteNothingOutsideThePrivateFolder) {
  const std::string tar = tree_ / "evil.tar";
  WriteArchive(tar, archive_write_set_format_pax_restricted, nullptr,
               {{"../escaped.txt", "dot dot words\n"},
                {"/tmp/absolute-quarn-test.txt", "absolute words\n"},
                {"link", "", AE_IFLNK, "/etc/passwd"},
                {"link/through.txt", "through a link\n"}});
  Read r = Extract(tar);
  EXPECT_NE(r.text.find("../escaped.txt\ndot dot words"), std::string::npos) << r.text;
  EXPECT_NE(r.text.find("absolute words"), std::string::npos);
  EXPECT_NE(r.text.find("link (link to /etc/passwd)"), std::string::npos);
  EXPECT_FALSE(fs::exists(tree_ / "escaped.txt"));
  EXPECT_FALSE(fs::exists(fs::path(temp_).parent_path() / "escaped.txt"));
  EXPECT_FALSE(fs::exists("/tmp/absolute-quarn-test.txt"));
}

TEST_F(ArchiveFilterTest, TooManyMembersAndImpossibleSizesEndWithAReason) {
  ContainerLimits few;
  few.max_members = 1000;
  std::vector<Member> many;
  for (int i = 0; i < 5000; ++i) many.push_back({"m" + std::to_string(i) + ".dat", "x"});
  const std::string tar = tree_ / "many.tar.gz";
  WriteArchive(tar, archive_write_set_format_pax_restricted, archive_write_add_filter_gzip, many);
  Read r = Extract(tar, few);
  EXPECT_EQ(r.result.status, ExtractResult::Status::kIncomplete);
  EXPECT_NE(r.result.reason.find("more than 1000 members"), std::string::npos) << r.result.reason;
  // Past the members a filter reads, the rest are named only.
  few.max_members = 100000;
  few.max_read_members = 100;
  r = Extract(tar, few);
  EXPECT_NE(r.result.reason.find("more than 100 members; the rest are named only"), std::string::npos) << r.result.reason;
  EXPECT_NE(r.text.find("m4999.dat\n"), std::string::npos);

  // A tar header that claims a petabyte: named, not read, and the archive ends cleanly.
  std::string header(512, '\0');
  std::string name = "huge.txt";
  header.replace(0, name.size(), name);
  header.replace(100, 8, "0000644");
  header.replace(108, 8, "0000000");
  header.replace(116, 8, "0000000");
  header[124] = static_cast<char>(0x80);  // base-256 size
  header[129] = 0x04;                     // 2^50 bytes
  header.replace(136, 12, "00000000000");
  header[156] = '0';
  header.replace(257, 6, std::string("ustar\0", 6));
  header.replace(263, 2, "00");
  header.replace(148, 8, "        ");
  unsigned sum = 0;
  for (unsigned char c : header) sum += c;
  char digits[8];
  std::snprintf(digits, sizeof digits, "%06o", sum);
  header.replace(148, 7, std::string(digits, 6) + '\0');
  const std::string claim = tree_.Write("claim.tar", header + std::string(2048, '\0'));
  Read big = Extract(claim);
  EXPECT_NE(big.text.find("huge.txt (not read: larger than 512 MiB)"), std::string::npos) << big.text;
}

TEST_F(ArchiveFilterTest, SevenZipArchivesClaimingPetabytesCostNothing) {
  const std::string data = std::string(QUARN_TEST_DATA) + "/archive/";
  Read member = Extract(data + "petabyte.7z");
  EXPECT_NE(member.text.find("big.txt (not read: larger than 512 MiB)"), std::string::npos) << member.text;
  Read header = Extract(data + "header-claim.7z");
  EXPECT_NE(header.text.find("big.txt"), std::string::npos) << header.text;
}

TEST_F(ArchiveFilterTest, SevenZipMembersWithoutAFileTypeAreReadAsFiles) {
  Read r = Extract(std::string(QUARN_TEST_DATA) + "/archive/typeless-member.7z");
  EXPECT_NE(r.text.find("big.txt\ntypeless words"), std::string::npos) << r.text;
}

TEST_F(ArchiveFilterTest, ZipxAndComicBookNamesReachThisFilter) {
  // WinZip's extended zips name themselves .zipx; comic books are pictures
  // in a RAR, 7-Zip or tar archive.
  const std::string zipx = tree_ / "docs.zipx", cbt = tree_ / "issue1.cbt";
  WriteArchive(zipx, archive_write_set_format_zip, nullptr, {{"note.txt", "zipx words\n"}});
  WriteArchive(cbt, archive_write_set_format_pax_restricted, nullptr, {{"page01.txt", "comic words\n"}});
  auto registered = [](std::string_view ext) {
    for (const BuiltinFilterInfo& f : BuiltinFilters())
      for (std::string_view e : f.extensions)
        if (e == ext) return f.name;
    return std::string_view();
  };
  for (const auto& [path, words] : {std::pair{zipx, "zipx words"}, std::pair{cbt, "comic words"}}) {
    const std::string_view filter = registered(fs::path(path).extension().string());
    EXPECT_EQ(filter, "archive") << path;
    TextSink sink;
    const ExtractResult r = ExtractWithBuiltin(filter, path, sink);
    EXPECT_TRUE(r.ok()) << path << ": " << r.reason;
    EXPECT_NE(sink.Joined().find(words), std::string::npos) << path;
  }
}

TEST_F(ArchiveFilterTest, SniffingSendsArchivesUnderOtherNamesToThisFilter) {
  const std::string seven = tree_ / "archive.doc";
  WriteArchive(seven, archive_write_set_format_7zip, nullptr, {{"inside.txt", "seven words\n"}});
  TextSink sink;
  ExtractResult r = ExtractWithBuiltin("doc", seven, sink);
  EXPECT_TRUE(r.ok()) << r.reason;
  EXPECT_NE(sink.Joined().find("seven words"), std::string::npos);
}

}  // namespace
}  // namespace quarn
