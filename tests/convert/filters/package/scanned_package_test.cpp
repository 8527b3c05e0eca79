// Packages that hold only pictures of text (a page scanned into a Word or
// OpenDocument file, slides that each show a scan), made here around the
// rendered OCR test pictures.
#include <gtest/gtest.h>

#include <zip.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "convert/filter.h"
#include "tests/support/filter_support.h"
#include "tests/support/zip_support.h"

namespace quarn {
namespace {

namespace fs = std::filesystem;
using Status = ExtractResult::Status;

const std::string kRels = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/";

std::string Picture(const std::string& name) {
  return test::ReadFile(fs::path(QUARN_IMAGE_SAMPLES) / name);
}

using test::WriteZip;

std::string Relationships(const std::string& items) {
  return "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">" + items +
         "</Relationships>";
}
std::string Rel(const std::string& id, const std::string& type, const std::string& target) {
  return "<Relationship Id=\"" + id + "\" Type=\"" + kRels + type + "\" Target=\"" + target + "\"/>";
}

// A Word document whose body is the paragraphs given, with word/media/scan.png.
void WriteDocx(const fs::path& path, const std::string& body, const std::string& png) {
  WriteZip(path, {
      {"[Content_Types].xml", "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\"/>"},
      {"_rels/.rels", Relationships(Rel("rId1", "officeDocument", "word/document.xml"))},
      {"word/_rels/document.xml.rels", Relationships(Rel("rId7", "image", "media/scan.png"))},
      {"word/document.xml",
       "<w:document xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\" "
       "xmlns:r=\"" + kRels.substr(0, kRels.size() - 1) + "\" "
       "xmlns:a=\"http://schemas.openxmlformats.org/drawingml/2006/main\"><w:body>" + body + "</w:body></w:document>"},
      {"word/media/scan.png", png},
  });
}

const std::string kDrawing =
    "<w:p><w:r><w:drawing><a:graphic><a:graphicData><a:blip r:embed=\"rId7\"/></a:graphicData></a:graphic>"
    "</w:drawing></w:r></w:p>";

TEST(ScannedPackages, AWordBodyOfPicturesOnlyIsReadByOcrWhereItStands) {
  test::TempDir dir;
  const std::string png = Picture("sans-150.png");
  ASSERT_FALSE(png.empty());
  // Empty paragraphs and a bullet around the picture are no words.
  WriteDocx(dir.path() / "scan.docx", "<w:p/>" + kDrawing + kDrawing + "<w:p><w:r><w:t>\u2022</w:t></w:r></w:p>", png);
  TextSink sink;
  ExtractResult r = ExtractWithBuiltin("docx", (dir.path() / "scan.docx").string(), sink);
  ASSERT_EQ(r.status, Status::kOk) << r.reason;
  EXPECT_NE(sink.Joined().find("The harbour office opens at seven in the morning"), std::string::npos) << sink.Joined();
  EXPECT_EQ(sink.recognized_pages(), 1u);  // shown twice, read once

  // In an archive the page still counts as read by OCR.
  WriteZip(dir.path() / "scans.zip", {{"scan.docx", test::ReadFile(dir.path() / "scan.docx")}});
  TextSink archive;
  ASSERT_EQ(ExtractWithBuiltin("archive", (dir.path() / "scans.zip").string(), archive).status, Status::kOk);
  EXPECT_NE(archive.Joined().find("harbour office"), std::string::npos) << archive.Joined();
  EXPECT_EQ(archive.recognized_pages(), 1u);

  // A body with words keeps its pictures unread.
  WriteDocx(dir.path() / "captioned.docx", kDrawing + "<w:p><w:r><w:t>Figure 1</w:t></w:r></w:p>", png);
  TextSink captioned;
  ASSERT_EQ(ExtractWithBuiltin("docx", (dir.path() / "captioned.docx").string(), captioned).status, Status::kOk);
  EXPECT_EQ(captioned.Joined(), "Figure 1\n");
  EXPECT_EQ(captioned.recognized_pages(), 0u);

  // A picture part that is no picture is passed over.
  WriteDocx(dir.path() / "drawing.docx", kDrawing, "\x01\x00\x00\x00 an EMF drawing");
  TextSink drawing;
  EXPECT_EQ(ExtractWithBuiltin("docx", (dir.path() / "drawing.docx").string(), drawing).status, Status::kOk);
  EXPECT_EQ(drawing.recognized_pages(), 0u);
}

TEST(ScannedPackages, SlidesOfPicturesOnlyAreReadByOcrInSlideOrder) {
  test::TempDir dir;
  const std::string ns = "xmlns:p=\"http://schemas.openxmlformats.org/presentationml/2006/main\" "
                         "xmlns:a=\"http://schemas.openxmlformats.org/drawingml/2006/main\" "
                         "xmlns:r=\"" + kRels.substr(0, kRels.size() - 1) + "\"";
  auto slide = [&](const std::string& id) {
    return "<p:sld " + ns + "><p:cSld><p:spTree><p:pic><p:blipFill><a:blip r:embed=\"" + id +
           "\"/></p:blipFill></p:pic></p:spTree></p:cSld></p:sld>";
  };
  WriteZip(dir.path() / "scans.pptx", {
      {"[Content_Types].xml", "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\"/>"},
      {"_rels/.rels", Relationships(Rel("rId1", "officeDocument", "ppt/presentation.xml"))},
      {"ppt/presentation.xml", "<p:presentation " + ns + "><p:sldIdLst><p:sldId id=\"256\" r:id=\"rId2\"/>"
                               "<p:sldId id=\"257\" r:id=\"rId1\"/></p:sldIdLst></p:presentation>"},
      {"ppt/_rels/presentation.xml.rels",
       Relationships(Rel("rId1", "slide", "slides/slide1.xml") + Rel("rId2", "slide", "slides/slide2.xml"))},
      {"ppt/slides/slide1.xml", slide("rId3")},
      {"ppt/slides/slide2.xml", slide("rId3")},
      {"ppt/slides/_rels/slide1.xml.rels", Relationships(Rel("rId3", "image", "../media/image1.png"))},
      {"ppt/slides/_rels/slide2.xml.rels", Relationships(Rel("rId3", "image", "../media/image2.png"))},
      {"ppt/media/image1.png", Picture("sans-150.png")},
      {"ppt/media/image2.png", Picture("times-150.png")},
  });
  TextSink sink;
  ExtractResult r = ExtractWithBuiltin("pptx", (dir.path() / "scans.pptx").string(), sink);
  ASSERT_EQ(r.status, Status::kOk) << r.reason;
  const std::string text = sink.Joined();
  EXPECT_EQ(sink.recognized_pages(), 2u);
  EXPECT_EQ(sink.pages(), 2);
  // The second slide in the show (times-150.png, the second known text) comes first.
  const std::size_t first = text.find("harbour office"), second = text.find(test::ReadFile(
      fs::path(QUARN_TEST_DATA) / "image/english-2.txt").substr(0, 20));
  ASSERT_NE(first, std::string::npos) << text;
  ASSERT_NE(second, std::string::npos) << text;
  EXPECT_LT(second, first);
}

TEST(ScannedPackages, AnOpenDocumentOfPicturesOnlyIsReadByOcr) {
  test::TempDir dir;
  const std::string office = "xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\" "
                             "xmlns:text=\"urn:oasis:names:tc:opendocument:xmlns:text:1.0\" "
                             "xmlns:draw=\"urn:oasis:names:tc:opendocument:xmlns:drawing:1.0\" "
                             "xmlns:xlink=\"http://www.w3.org/1999/xlink\"";
  auto write = [&](const fs::path& path, const std::string& body) {
    WriteZip(path, {
        {"mimetype", "application/vnd.oasis.opendocument.text"},
        {"content.xml", "<office:document-content " + office + "><office:body><office:text>" + body +
                            "</office:text></office:body></office:document-content>"},
        {"Pictures/1.png", Picture("sans-150.png")},
    });
  };
  const std::string frame = "<text:p><draw:frame><draw:image xlink:href=\"Pictures/1.png\"/></draw:frame></text:p>";
  write(dir.path() / "scan.odt", frame);
  TextSink sink;
  ExtractResult r = ExtractWithBuiltin("odf", (dir.path() / "scan.odt").string(), sink);
  ASSERT_EQ(r.status, Status::kOk) << r.reason;
  EXPECT_NE(sink.Joined().find("The harbour office opens at seven in the morning"), std::string::npos) << sink.Joined();
  EXPECT_EQ(sink.recognized_pages(), 1u);

  write(dir.path() / "captioned.odt", frame + "<text:p>Figure 1</text:p>");
  TextSink captioned;
  ASSERT_EQ(ExtractWithBuiltin("odf", (dir.path() / "captioned.odt").string(), captioned).status, Status::kOk);
  EXPECT_EQ(captioned.recognized_pages(), 0u);
}

TEST(ScannedPackages, ABookOfPicturesOnlyHasItsPagesReadByOcrInReadingOrder) {
  test::TempDir dir;
  auto page = [](const std::string& inner) {
    return "<?xml version=\"1.0\"?><html xmlns=\"http://www.w3.org/1999/xhtml\" "
           "xmlns:xlink=\"http://www.w3.org/1999/xlink\"><head><title>Page</title></head><body>" + inner +
           "</body></html>";
  };
  // The second page shows its scan through SVG, as fixed-layout books do.
  std::map<std::string, std::string> parts = {
      {"mimetype", "application/epub+zip"},
      {"META-INF/container.xml",
       "<container version=\"1.0\" xmlns=\"urn:oasis:names:tc:opendocument:xmlns:container\"><rootfiles>"
       "<rootfile full-path=\"OEBPS/c.opf\" media-type=\"application/oebps-package+xml\"/></rootfiles></container>"},
      {"OEBPS/c.opf",
       "<package xmlns=\"http://www.idpf.org/2007/opf\" version=\"3.0\"><manifest>"
       "<item id=\"p1\" href=\"text/p1.xhtml\" media-type=\"application/xhtml+xml\"/>"
       "<item id=\"p2\" href=\"text/p2.xhtml\" media-type=\"application/xhtml+xml\"/></manifest>"
       "<spine><itemref idref=\"p2\"/><itemref idref=\"p1\"/></spine></package>"},
      {"OEBPS/text/p1.xhtml", page("<div><img src=\"../images/page%201.png\" alt=\"\"/></div>")},
      {"OEBPS/text/p2.xhtml", page("<svg xmlns=\"http://www.w3.org/2000/svg\"><image xlink:href=\"../images/p2.png\"/></svg>")},
      {"OEBPS/images/page 1.png", Picture("sans-150.png")},
      {"OEBPS/images/p2.png", Picture("times-150.png")},
  };
  WriteZip(dir.path() / "scans.epub", parts);
  TextSink sink;
  ExtractResult r = ExtractWithBuiltin("epub", (dir.path() / "scans.epub").string(), sink);
  ASSERT_EQ(r.status, Status::kOk) << r.reason;
  const std::string text = sink.Joined();
  EXPECT_EQ(sink.recognized_pages(), 2u);
  const std::size_t first = text.find("harbour office"), second = text.find("garden committee");
  ASSERT_NE(first, std::string::npos) << text;
  ASSERT_NE(second, std::string::npos) << text;
  EXPECT_LT(second, first);  // the spine's order

  // A book with words keeps its pictures unread.
  parts["OEBPS/text/p1.xhtml"] = page("<p>Chapter one</p><img src=\"../images/p2.png\"/>");
  WriteZip(dir.path() / "words.epub", parts);
  TextSink words;
  ASSERT_EQ(ExtractWithBuiltin("epub", (dir.path() / "words.epub").string(), words).status, Status::kOk);
  EXPECT_EQ(words.recognized_pages(), 0u);
}

}  // namespace
}  // namespace quarn
