// XPS, comic-book archives and SVG through the registry and filter host,
// over the samples tests/data/fitz/make_samples.py writes and XPS documents
// built here around a font of the system.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <zip.h>

#include <filesystem>
#include <string>
#include <vector>

#include "convert/conversion_options.h"
#include "convert/filter.h"
#include "tests/support/filter_support.h"

namespace quarn {
namespace {

using ::testing::HasSubstr;

std::string Sample(const char* name) { return std::string(QUARN_TEST_DATA) + "/fitz/" + name; }

// A font that XPS glyphs can name; empty when the system has none.
std::string SystemFont() {
  const char* font = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
  return std::filesystem::exists(font) ? test::ReadFile(font) : std::string();
}

// An XPS document of one page per text, each line a run of glyphs.
void WriteXps(const std::string& path, const std::vector<std::string>& pages, const std::string& font) {
  int err = 0;
  zip_t* z = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
  ASSERT_NE(z, nullptr);
  std::vector<std::string> keep;  // zip sources point into these until zip_close
  auto add = [&](const std::string& name, std::string data) {
    keep.push_back(std::move(data));
    zip_source_t* src = zip_source_buffer(z, keep.back().data(), keep.back().size(), 0);
    zip_file_add(z, name.c_str(), src, ZIP_FL_OVERWRITE);
  };
  keep.reserve(pages.size() + 8);
  add("[Content_Types].xml",
      "<?xml version=\"1.0\" encoding=\"utf-8\"?><Types xmlns=\"http://schemas.openxmlformats.org/package/2006/"
      "content-types\"><Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package."
      "relationships+xml\"/><Default Extension=\"fdseq\" ContentType=\"application/vnd.ms-package.xps-"
      "fixeddocumentsequence+xml\"/><Default Extension=\"fdoc\" ContentType=\"application/vnd.ms-package.xps-"
      "fixeddocument+xml\"/><Default Extension=\"fpage\" ContentType=\"application/vnd.ms-package.xps-fixedpage+xml\"/>"
      "<Default Extension=\"ttf\" ContentType=\"application/vnd.ms-opentype\"/></Types>");
  add("_rels/.rels",
      "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\"><Relationship Id=\"R0\" "
      "Type=\"http://schemas.microsoft.com/xps/2005/06/fixedrepresentation\" Target=\"/FixedDocumentSequence.fdseq\"/>"
      "</Relationships>");
  add("FixedDocumentSequence.fdseq",
      "<FixedDocumentSequence xmlns=\"http://schemas.microsoft.com/xps/2005/06\"><DocumentReference "
      "Source=\"/Documents/1/FixedDocument.fdoc\"/></FixedDocumentSequence>");
  std::string doc = "<FixedDocument xmlns=\"http://schemas.microsoft.com/xps/2005/06\">";
  for (std::size_t i = 0; i < pages.size(); ++i)
    doc += "<PageContent Source=\"Pages/" + std::to_string(i + 1) + ".fpage\"/>";
  add("Documents/1/FixedDocument.fdoc", doc + "</FixedDocument>");
  for (std::size_t i = 0; i < pages.size(); ++i) {
    // Each line of a page's text is a run of glyphs of its own.
    std::string glyphs;
    int y = 96;
    for (std::size_t at = 0; at <= pages[i].size(); y += 20) {
      const std::size_t end = std::min(pages[i].find('\n', at), pages[i].size());
      glyphs += "<Glyphs Fill=\"#ff000000\" FontUri=\"/Resources/font.ttf\" FontRenderingEmSize=\"16\" OriginX=\"96\" "
                "OriginY=\"" + std::to_string(y) + "\" UnicodeString=\"" + pages[i].substr(at, end - at) + "\"/>";
      at = end + 1;
    }
    add("Documents/1/Pages/" + std::to_string(i + 1) + ".fpage",
        "<FixedPage xmlns=\"http://schemas.microsoft.com/xps/2005/06\" Width=\"816\" Height=\"1056\" xml:lang=\"en\">" +
            glyphs + "</FixedPage>");
  }
  add("Resources/font.ttf", font);
  ASSERT_EQ(zip_close(z), 0);
}

TEST(Fitz, XpsPagesInOrderAlsoWhenNamedAsAPdf) {
  const std::string font = SystemFont();
  if (font.empty()) GTEST_SKIP() << "no font to build an XPS document with";
  test::TempDir dir;
  for (const char* name : {"doc.xps", "doc.oxps", "doc.pdf"}) {
    const std::string path = (dir.path() / name).string();
    WriteXps(path, {"Hello from the first page", "Second page words"}, font);
    FilterText r = ExtractFilterText(test::Builtins(), path);
    EXPECT_TRUE(r.problem.empty()) << name << ": " << r.problem;
    EXPECT_EQ(test::Extracted(path), "Hello from the first page\n\n Second page words\n\n") << name;
  }
}

TEST(Fitz, XpsPagesAreReadAsPdfPagesAre) {
  // A word a line end breaks at a hyphen is whole again, as on PDF pages.
  const std::string font = SystemFont();
  if (font.empty()) GTEST_SKIP() << "no font to build an XPS document with";
  test::TempDir dir;
  const std::string path = (dir.path() / "hyphenation.xps").string();
  WriteXps(path, {"The inter-\nnational trade"}, font);
  EXPECT_EQ(test::Extracted(path), "The international\ntrade\n\n");
}

TEST(Fitz, SvgTextWithoutTitleOrDescription) {
  EXPECT_EQ(test::Extracted(Sample("drawing.svg")), "Quarterly results\n\nSales rose sharply\n\n");
}

TEST(Fitz, PicturesAreReadByOcrAndReportedWhenItIsOff) {
  SetConversionOptions({});
  FilterText r = ExtractFilterText(test::Builtins(), Sample("words.cbz"));
  EXPECT_TRUE(r.problem.empty()) << r.problem;
  EXPECT_THAT(r.text, HasSubstr("finds the treasure"));
  // Pictures that show no words are no text, and do not pass for it.
  EXPECT_EQ(ExtractFilterText(test::Builtins(), Sample("pictures.cbz")).problem, "the document has no text");
  ConversionOptions off;
  off.ocr = false;
  SetConversionOptions(off);
  EXPECT_EQ(ExtractFilterText(test::Builtins(), Sample("pictures.cbz")).problem,
            "the pages are pictures that OCR did not read (text recognition (OCR) is turned off)");
  SetConversionOptions({});
}

// Drawing walks the elements recursively: a hostile drawing nested a hundred
// thousand levels deep is refused with its reason instead of overflowing the
// stack, and the nesting real drawings have is read as ever.
TEST(Fitz, DrawingsNestedTooDeepToDrawAreRefused) {
  auto nested = [](int levels) {
    std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"200\" height=\"100\">";
    for (int i = 0; i < levels; ++i) svg += "<g>";
    svg += "<text x=\"10\" y=\"50\">Deep inside</text>";
    for (int i = 0; i < levels; ++i) svg += "</g>";
    return svg + "</svg>";
  };
  test::TempDir dir;
  EXPECT_EQ(test::Extracted(test::WriteFile(dir.path() / "layers.svg", nested(300))), "Deep inside\n\n");
  const FilterText deep = ExtractFilterText(test::Builtins(), test::WriteFile(dir.path() / "deep.svg", nested(100000)));
  EXPECT_TRUE(deep.text.empty());
  EXPECT_THAT(deep.problem, HasSubstr("nested 100003 levels deep, more than 1000 can be drawn"));
}

TEST(Fitz, DamagedDocumentsSayWhy) {
  EXPECT_FALSE(ExtractFilterText(test::Builtins(), Sample("truncated.svg")).problem.empty());
  test::TempDir dir;
  const std::string broken = test::WriteFile(dir.path() / "broken.xps", std::string("PK\x03\x04", 4) + "junk");
  EXPECT_FALSE(ExtractFilterText(test::Builtins(), broken).problem.empty());
}

}  // namespace
}  // namespace quarn
