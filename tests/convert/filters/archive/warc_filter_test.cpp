// Crawlers' web archives (WARC), built here record by record: the documents
// of successful responses in order, with chunked and gzip-encoded bodies
// undone and each document read by the filter its type names; what is no
// document passed over; the same records compressed one by one (.warc.gz)
// read as they stream; damage between records costing only those records.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <archive.h>
#include <archive_entry.h>
#include <brotli/encode.h>
#include <zlib.h>

#include <cstdio>
#include <string>
#include <vector>

#include "convert/filter.h"
#include "convert/filters/archive/warc_filter.h"
#include "tests/support/filter_support.h"

namespace quarn {
namespace {

using ::testing::HasSubstr;

std::string Record(const std::string& type, const std::string& uri, const std::string& content_type,
                   const std::string& block) {
  return "WARC/1.0\r\nWARC-Type: " + type + "\r\nWARC-Target-URI: " + uri +
         "\r\nWARC-Date: 2024-01-01T00:00:00Z\r\nWARC-Record-ID: <urn:uuid:0>\r\nContent-Type: " + content_type +
         "\r\nContent-Length: " + std::to_string(block.size()) + "\r\n\r\n" + block + "\r\n\r\n";
}

std::string Response(const std::string& uri, const std::string& status, const std::string& headers,
                     const std::string& body) {
  return Record("response", uri, "application/http; msgtype=response",
                "HTTP/1.1 " + status + "\r\n" + headers + "\r\n" + body);
}

std::string Gzip(const std::string& bytes) {
  archive* a = archive_write_new();
  archive_write_set_format_raw(a);
  archive_write_add_filter_gzip(a);
  std::string out(bytes.size() + 1024, '\0');
  std::size_t used = 0;
  archive_write_open_memory(a, out.data(), out.size(), &used);
  archive_entry* e = archive_entry_new();
  archive_entry_set_filetype(e, AE_IFREG);
  archive_entry_set_size(e, static_cast<la_int64_t>(bytes.size()));
  archive_write_header(a, e);
  archive_write_data(a, bytes.data(), bytes.size());
  archive_entry_free(e);
  archive_write_close(a);
  archive_write_free(a);
  out.resize(used);
  return out;
}

std::string Brotli(const std::string& bytes) {
  std::string out(BrotliEncoderMaxCompressedSize(bytes.size()), '\0');
  std::size_t size = out.size();
  BrotliEncoderCompress(5, 22, BROTLI_MODE_TEXT, bytes.size(), reinterpret_cast<const std::uint8_t*>(bytes.data()),
                        &size, reinterpret_cast<std::uint8_t*>(out.data()));
  out.resize(size);
  return out;
}

// zlib's wrapping of deflate, or (raw) the bare stream some servers send.
std::string Deflate(const std::string& bytes, bool raw) {
  z_stream z{};
  deflateInit2(&z, 6, Z_DEFLATED, raw ? -15 : 15, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, bytes.size()), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  z.avail_in = static_cast<uInt>(bytes.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

std::string Chunked(const std::string& body) {
  std::string out;
  for (std::size_t at = 0; at < body.size(); at += 7) {
    const std::string piece = body.substr(at, 7);
    char size[16];
    std::snprintf(size, sizeof size, "%zx", piece.size());
    out += std::string(size) + (at == 0 ? ";ext=1" : "") + "\r\n" + piece + "\r\n";
  }
  return out + "0\r\n\r\n";
}

std::vector<std::string> Crawl() {
  const std::string page =
      "<html><head><title>Home</title><style>p{}</style></head><body><h1>Welcome home</h1>"
      "<p>Opening hours are nine to five.</p><script>var hidden = 1;</script></body></html>";
  const std::string pdf = test::ReadFile(std::string(QUARN_TEST_DATA) + "/convert/pdf/ligatures.pdf");
  return {
      Record("warcinfo", "", "application/warc-fields", "software: test crawler\r\n"),
      Record("request", "http://example.com/", "application/http; msgtype=request",
             "GET / HTTP/1.1\r\nHost: example.com\r\n\r\n"),
      Response("http://example.com/", "200 OK",
               "Content-Type: text/html; charset=utf-8\r\nTransfer-Encoding: chunked\r\nContent-Encoding: gzip\r\n",
               Chunked(Gzip(page))),
      Record("metadata", "http://example.com/", "application/warc-fields", "outlink: http://example.com/a\r\n"),
      Response("http://example.com/old", "301 Moved Permanently",
               "Location: http://example.com/new\r\nContent-Type: text/html\r\n", "<p>Moved somewhere</p>"),
      Response("http://example.com/missing", "404 Not Found", "Content-Type: text/html\r\n", "<p>Nothing here</p>"),
      Response("http://example.com/style.css", "200 OK", "Content-Type: text/css\r\n", "body { color: red }"),
      Response("http://example.com/files/report?id=7", "200 OK", "Content-Type: application/pdf\r\n", pdf),
      Response("http://example.com/deflated", "200 OK", "Content-Type: text/plain\r\nContent-Encoding: deflate\r\n",
               Deflate("Deflated words.", false)),
      Response("http://example.com/raw-deflated", "200 OK",
               "Content-Type: text/plain\r\nContent-Encoding: deflate\r\n", Deflate("Raw deflated words.", true)),
      Response("http://example.com/brotli", "200 OK", "Content-Type: text/html\r\nContent-Encoding: br\r\n",
               Brotli("<p>Brotli words.</p>")),
      Response("http://example.com/download?id=3", "200 OK",
               "Content-Type: application/octet-stream\r\nContent-Disposition: attachment\r\n",
               "{\\rtf1\\ansi Downloaded minutes.\\par}"),
      Response("http://example.com/setup.exe", "200 OK", "Content-Type: application/octet-stream\r\n",
               std::string("MZ\x90\0\x03\0\0\0\x04\0\0\0\xff\xff", 14)),
      Record("revisit", "http://example.com/", "application/http; msgtype=response", "HTTP/1.1 200 OK\r\n\r\n"),
      Record("resource", "urn:example:notes", "text/plain", "Notes kept as a resource."),
      Record("resource", "metadata://crawler.example/arguments.txt", "text/plain", "\"-r\" \"--warc-file\""),
      Record("resource", "dns:example.com", "text/dns", "20240101000000\nexample.com. 300 IN A 192.0.2.1"),
  };
}

std::string Joined(const std::vector<std::string>& records, bool gzip) {
  std::string out;
  for (const std::string& r : records) out += gzip ? Gzip(r) : r;
  return out;
}

TEST(Warc, TheDocumentsOfSuccessfulResponsesInOrder) {
  test::TempDir dir;
  FilterText r = ExtractFilterText(test::Builtins(), test::WriteFile(dir.path() / "site.warc", Joined(Crawl(), false)));
  EXPECT_TRUE(r.problem.empty()) << r.problem;
  EXPECT_EQ(r.reader, "warc");
  const std::string& t = r.text;
  EXPECT_THAT(t, ::testing::StartsWith("http://example.com/\n"));
  EXPECT_THAT(t, HasSubstr("Welcome home\nOpening hours are nine to five."));
  EXPECT_THAT(t, HasSubstr("http://example.com/files/report?id=7\nThe first floor offers"));
  EXPECT_THAT(t, HasSubstr("urn:example:notes\nNotes kept as a resource."));
  EXPECT_THAT(t, HasSubstr("http://example.com/deflated\nDeflated words.\n"));
  EXPECT_THAT(t, HasSubstr("http://example.com/raw-deflated\nRaw deflated words.\n"));
  EXPECT_THAT(t, HasSubstr("http://example.com/brotli\nBrotli words.\n"));
  EXPECT_THAT(t, HasSubstr("http://example.com/download?id=3\nDownloaded minutes.\n"));
  EXPECT_EQ(t.find("setup.exe"), std::string::npos);
  EXPECT_LT(t.find("Welcome home"), t.find("The first floor"));
  for (const char* absent : {"Moved somewhere", "Nothing here", "color: red", "hidden", "GET /", "outlink",
                             "software: test", "--warc-file", "192.0.2.1"})
    EXPECT_EQ(t.find(absent), std::string::npos) << absent;
  // Each record compressed on its own, as crawlers write them: read as it
  // streams out, with the same text.
  FilterText gz = ExtractFilterText(test::Builtins(), test::WriteFile(dir.path() / "site.warc.gz", Joined(Crawl(), true)));
  EXPECT_EQ(gz.text, t);
  EXPECT_TRUE(gz.problem.empty()) << gz.problem;
  // Found by content under a name no filter is registered for.
  FilterText renamed =
      ExtractFilterText(test::Builtins(), test::WriteFile(dir.path() / "crawl-00001", Joined(Crawl(), false)));
  EXPECT_EQ(renamed.text, t);
}

TEST(Warc, DamageCostsOnlyTheRecordsItTouches) {
  test::TempDir dir;
  std::vector<std::string> records = Crawl();
  // Garbage before a record, a record without its length, a body cut short.
  records.insert(records.begin() + 3, "garbage that is no record\r\nmore of it\r\n");
  records.insert(records.begin() + 4, "WARC/1.0\r\nWARC-Type: resource\r\nContent-Type: text/plain\r\n\r\nlost\r\n\r\n");
  std::string whole = Joined(records, false);
  FilterText r = ExtractFilterText(test::Builtins(), test::WriteFile(dir.path() / "damaged.warc", whole));
  EXPECT_THAT(r.problem, HasSubstr("damaged record(s) were passed over"));
  EXPECT_THAT(r.text, HasSubstr("Opening hours are nine to five."));
  EXPECT_THAT(r.text, HasSubstr("Notes kept as a resource."));
  const std::string cut = Joined(Crawl(), false);
  FilterText short_one = ExtractFilterText(
      test::Builtins(), test::WriteFile(dir.path() / "cut.warc", cut.substr(0, cut.size() - 10)));
  EXPECT_THAT(short_one.text, HasSubstr("Opening hours"));
  EXPECT_THAT(short_one.problem, HasSubstr("damaged"));
  // A response in an encoding that is not undone is said, not shown as bytes.
  const std::string other = Record("warcinfo", "", "application/warc-fields", "x\r\n") +
                            Response("http://example.com/z", "200 OK",
                                     "Content-Type: text/html\r\nContent-Encoding: zstd\r\n", "\x28\xb5\x2f\xfd") +
                            Response("http://example.com/b", "200 OK",
                                     "Content-Type: text/html\r\nContent-Encoding: br\r\n", "\x8b\x02\x80\xff\xff");
  FilterText encoded = ExtractFilterText(test::Builtins(), test::WriteFile(dir.path() / "encoded.warc", other));
  EXPECT_THAT(encoded.problem, HasSubstr("2 response(s) in an encoding that is not undone here"));
  EXPECT_TRUE(encoded.text.empty());
}

// The older ARC format: a line per record ("address IP date type length"),
// the first describing the file; version 2 lines carry more fields before
// the length.
TEST(Warc, ArchivesOfTheOlderArcFormat) {
  auto arc = [](const std::string& line_head, const std::string& block) {
    return line_head + " " + std::to_string(block.size()) + "\n" + block + "\n";
  };
  const std::string page = "HTTP/1.0 200 OK\r\nContent-type: text/html\r\n\r\n<html><body><p>Old crawl page</p></body></html>";
  const std::string records[] = {
      arc("filedesc://IA-001102.arc 0.0.0.0 19960923142103 text/plain",
          "1 0 Alexa Internet\nURL IP-address Archive-date Content-type Archive-length\n"),
      arc("http://www.example.edu:80/index.html 127.10.100.2 19961104142103 text/html", page),
      arc("http://www.example.edu:80/gone.html 127.10.100.2 19961104142104 text/html",
          "HTTP/1.0 404 Not found\r\nContent-type: text/html\r\n\r\n<p>No such page</p>"),
      arc("http://www.example.edu:80/logo.gif 127.10.100.2 19961104142105 image/gif",
          "HTTP/1.0 200 OK\r\nContent-type: image/gif\r\n\r\nGIF89a"),
      arc("http://www.example.edu:80/notes.txt 127.10.100.2 19961104142106 text/plain 200 - - 1234 IA-001102.arc",
          "HTTP/1.0 200 OK\r\nContent-type: text/plain\r\n\r\nVersion two notes."),
  };
  std::string whole, gz;
  for (const std::string& r : records) {
    whole += r;
    gz += Gzip(r);
  }
  test::TempDir dir;
  FilterText r = ExtractFilterText(test::Builtins(), test::WriteFile(dir.path() / "IA-001102.arc", whole));
  EXPECT_TRUE(r.problem.empty()) << r.problem;
  EXPECT_EQ(r.text,
            "http://www.example.edu:80/index.html\nOld crawl page\n\n"
            "http://www.example.edu:80/notes.txt\nVersion two notes.\n");
  FilterText compressed = ExtractFilterText(test::Builtins(), test::WriteFile(dir.path() / "IA-001102.arc.gz", gz));
  EXPECT_EQ(compressed.text, r.text);
  // A record line that cannot be read is damage; the records after it are not lost.
  FilterText damaged = ExtractFilterText(
      test::Builtins(), test::WriteFile(dir.path() / "d.arc", records[0] + "not a record line\n" + records[1]));
  EXPECT_THAT(damaged.problem, HasSubstr("1 damaged record(s) were passed over"));
  EXPECT_THAT(damaged.text, HasSubstr("Old crawl page"));
  // The name is shared with old compressors' archives: those are no web archives.
  FilterText other = ExtractFilterText(test::Builtins(), test::WriteFile(dir.path() / "old.arc", "\x1A\x08name\0\0binary"));
  EXPECT_EQ(other.problem, "not a web archive: no WARC or ARC record was found in it");
}

TEST(Warc, ChunksAndMediaTypes) {
  std::string out;
  EXPECT_TRUE(Unchunk("5\r\nhello\r\n6;name=v\r\n world\r\n0\r\n\r\n", out));
  EXPECT_EQ(out, "hello world");
  out.clear();
  EXPECT_TRUE(Unchunk("3\nabc\n0\n", out));  // bare line feeds
  EXPECT_EQ(out, "abc");
  out.clear();
  EXPECT_FALSE(Unchunk("10\r\nshort", out));
  EXPECT_EQ(out, "short");
  out.clear();
  EXPECT_FALSE(Unchunk("zz\r\nabc", out));
  EXPECT_FALSE(Unchunk("ffffffffffffffffff\r\n", out));
  EXPECT_EQ(ExtensionForMediaType("text/html; charset=UTF-8"), ".html");
  EXPECT_EQ(ExtensionForMediaType("Application/PDF"), ".pdf");
  EXPECT_EQ(ExtensionForMediaType("application/vnd.openxmlformats-officedocument.wordprocessingml.document"), ".docx");
  EXPECT_EQ(ExtensionForMediaType("image/png"), "");
  EXPECT_EQ(ExtensionForMediaType(""), "");
}

}  // namespace
}  // namespace quarn
