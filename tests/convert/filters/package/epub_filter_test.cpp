// The EPUB filter through the registry and filter host.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <zip.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "convert/filter.h"
#include "tests/support/filter_support.h"

namespace quarn {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;

std::string Sample(const char* name) { return std::string(QUARN_TEST_DATA) + "/package/odf/" + name; }

TEST(Epub, ChaptersInSpineOrderNotManifestOrder) {
  // The manifest lists "chapter 1" (escaped as %20), b, then a (by a "../"
  // path); the spine reads a, chapter 1, b.  The navigation document is not
  // in the spine and is not read.  The chapters' <title>s ("Opening",
  // "Middle", "End") are never shown by a reader and are not text.
  FilterText r = ExtractFilterText(test::Builtins(), Sample("book.epub"));
  EXPECT_FALSE(r.incomplete) << r.problem;
  EXPECT_EQ(test::Extracted(Sample("book.epub")),
            "Chapter A\nПервая глава, 第一章 ✨.\n"
            " Chapter B\nSecond chapter text.\nc1\tc2\n"
            " Chapter C\n\u2022 one\n\u2022 two\n");
}

// Writes a one-chapter book (a.xhtml) with the parts given besides.
void WriteBook(const std::string& path, const std::string& chapter,
               const std::vector<std::pair<std::string, std::string>>& extra = {}) {
  int error = 0;
  zip_t* zip = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  ASSERT_NE(zip, nullptr);
  auto add = [&](const std::string& name, const std::string& content) {
    char* copy = static_cast<char*>(std::malloc(content.size()));
    std::memcpy(copy, content.data(), content.size());
    zip_source_t* src = zip_source_buffer(zip, copy, content.size(), 1);
    ASSERT_GE(zip_file_add(zip, name.c_str(), src, ZIP_FL_OVERWRITE), 0);
  };
  add("mimetype", "application/epub+zip");
  add("META-INF/container.xml",
      "<?xml version=\"1.0\"?><container version=\"1.0\" xmlns=\"urn:oasis:names:tc:opendocument:xmlns:container\">"
      "<rootfiles><rootfile full-path=\"c.opf\" media-type=\"application/oebps-package+xml\"/></rootfiles></container>");
  add("c.opf",
      "<?xml version=\"1.0\"?><package xmlns=\"http://www.idpf.org/2007/opf\" version=\"3.0\"><manifest>"
      "<item id=\"a\" href=\"a.xhtml\" media-type=\"application/xhtml+xml\"/></manifest>"
      "<spine><itemref idref=\"a\"/></spine></package>");
  add("a.xhtml", chapter);
  for (const auto& [name, content] : extra) add(name, content);
  ASSERT_EQ(zip_close(zip), 0);
}

TEST(Epub, NothingOfAChaptersDoctypeIsText) {
  test::TempDir dir;
  const std::string path = (dir.path() / "doctype.epub").string();
  WriteBook(path,
            "<?xml version=\"1.0\"?><!DOCTYPE html [ <!ENTITY lol1 \"lol\"> <!ENTITY xxe SYSTEM \"file:///etc/passwd\"> ]>"
            "<html xmlns=\"http://www.w3.org/1999/xhtml\"><body><p>Chapter &lol1;&xxe;text</p></body></html>");
  EXPECT_EQ(test::Extracted(path), "Chapter text\n");
}

TEST(Epub, ABookLockedByAShopSaysSo) {
  // Its chapters are encrypted and a rights file holds the licence: no
  // password opens it, and the reason says what does.
  test::TempDir dir;
  const std::string path = (dir.path() / "drm.epub").string();
  WriteBook(path, "\x8f\x12\xa0 cipher text \x01\x02",
            {{"META-INF/encryption.xml",
              "<encryption xmlns=\"urn:oasis:names:tc:opendocument:xmlns:container\" "
              "xmlns:enc=\"http://www.w3.org/2001/04/xmlenc#\"><enc:EncryptedData><enc:EncryptionMethod "
              "Algorithm=\"http://www.w3.org/2001/04/xmlenc#aes128-cbc\"/><enc:CipherData><enc:CipherReference "
              "URI=\"a.xhtml\"/></enc:CipherData></enc:EncryptedData></encryption>"},
             {"META-INF/rights.xml", "<rights xmlns=\"http://ns.adobe.com/adept\"/>"}});
  FilterText r = ExtractFilterText(test::Builtins(), path);
  EXPECT_THAT(r.text, IsEmpty());
  EXPECT_THAT(r.problem, HasSubstr("DRM"));
}

TEST(Epub, EncryptedChaptersArePasswordProtected) {
  FilterText r = ExtractFilterText(test::Builtins(), Sample("encrypted.epub"));
  EXPECT_THAT(r.text, IsEmpty());
  EXPECT_THAT(r.problem, HasSubstr("password"));
}

}  // namespace
}  // namespace quarn
