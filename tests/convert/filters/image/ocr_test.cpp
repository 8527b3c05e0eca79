// Text recognition over pictures rendered from known texts (render-samples.sh):
// fonts and sizes at 300 and 150 dpi, noise, JPEG artefacts, turned and skewed
// pages, two columns, German, a multi-page TIFF and a scan inside a PDF, read
// through the registry as a conversion reads them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <leptonica/allheaders.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/main.h"
#include "convert/conversion_options.h"
#include "convert/filter.h"
#include "convert/filters/image/ocr.h"
#include "tests/support/recall.h"
#include "tests/support/temp_tree.h"

namespace quarn {
namespace {

using ::testing::HasSubstr;
using quarn::testing::TempTree;

std::string Sample(const std::string& name) { return std::string(QUARN_IMAGE_SAMPLES) + "/" + name; }
std::string Known(const std::string& name) { return TempTree::Read(std::string(QUARN_TEST_DATA) + "/image/" + name); }

double RecallOf(const std::string& expected, const std::string& text) {
  return test::BagOfWordsRecall(expected, text).value();
}

class Ocr : public ::testing::Test {
 protected:
  void SetUp() override { Install({}); }
  void TearDown() override {
    Install({});
    SetSpareWorkers(1);
  }
  static void Install(const ConversionOptions& options) { SetConversionOptions(options); }

  static FilterText Read(const std::string& path) { return ExtractFilterText(InstalledRegistry(), path); }

  // Reads each picture and checks the share of its known words found.
  static void ExpectRecall(const std::vector<std::pair<std::string, std::string>>& pictures, double least) {
    for (const auto& [picture, known] : pictures) {
      FilterText r = Read(Sample(picture));
      EXPECT_GE(RecallOf(Known(known), r.text), least) << picture << ":\n" << r.text;
      EXPECT_EQ(r.recognized_pages, 1u) << picture;
      EXPECT_TRUE(r.problem.empty()) << picture << ": " << r.problem;
    }
  }
};

TEST_F(Ocr, CleanPagesInSeveralFontsAt300Dpi) {
  ExpectRecall({{"serif-300.png", "english-1.txt"}, {"sans-300.png", "english-2.txt"}, {"mono-300.png", "english-1.txt"}},
               0.98);
}

TEST_F(Ocr, PagesAt150Dpi) {
  ExpectRecall({{"times-150.png", "english-2.txt"}, {"sans-150.png", "english-1.txt"}}, 0.95);
}

TEST_F(Ocr, NoiseAndJpegArtefacts) {
  ExpectRecall({{"noise-300.png", "english-1.txt"}, {"artefacts-300.jpg", "english-2.txt"}}, 0.95);
}

TEST_F(Ocr, TurnedPagesAreReadUpright) {
  ExpectRecall({{"turned-90.png", "english-1.txt"}, {"turned-180.png", "english-1.txt"}, {"turned-270.png", "english-2.txt"}},
               0.95);
}

TEST_F(Ocr, SkewedPageIsStraightened) { ExpectRecall({{"skew-3.png", "english-2.txt"}}, 0.97); }

TEST_F(Ocr, ParagraphsAreLinesAndColumnsKeepTheirOrder) {
  FilterText r = Read(Sample("columns-300.png"));
  const std::size_t left = r.text.find("Blackbirds usually build their nests in hedges");
  const std::size_t right = r.text.find("Swallows return from Africa");
  ASSERT_NE(left, std::string::npos) << r.text;
  ASSERT_NE(right, std::string::npos) << r.text;
  EXPECT_LT(left, right);
  // Each column is one paragraph: its wrapped lines are joined into one.
  EXPECT_THAT(r.text, HasSubstr("careful brooding."));
  EXPECT_EQ(r.text.find('\n', left), r.text.find("brooding.") + 9) << r.text;
}

TEST_F(Ocr, GermanPageWithGermanLanguageData) {
  if (!CheckOcrLanguages("deu").empty()) GTEST_SKIP() << "tesseract-ocr-deu is not installed";
  ConversionOptions german;
  german.ocr_languages = "deu";
  Install(german);
  FilterText r = Read(Sample("german-300.png"));
  EXPECT_GE(RecallOf(Known("german.txt"), r.text), 0.97) << r.text;
  for (const char* word : {"während", "Gebühr", "zurückgegeben", "außer", "größeren"})
    EXPECT_THAT(r.text, HasSubstr(word));
}

TEST_F(Ocr, EveryPageOfATiff) {
  FilterText r = Read(Sample("pages.tif"));
  EXPECT_EQ(r.recognized_pages, 2u);
  const std::size_t first = r.text.find("harbour office");
  const std::size_t second = r.text.find("garden committee");
  ASSERT_NE(first, std::string::npos) << r.text;
  ASSERT_NE(second, std::string::npos) << r.text;
  EXPECT_LT(first, second);
}

// A text PDF of two pages followed by a scan of two pages, one upside down.
TEST_F(Ocr, MixedPdfKeepsTextPagesAndReadsScannedOnesInOrder) {
  TempTree tree;
  const std::string pdf = tree / "mixed.pdf";
  std::filesystem::copy_file(Sample("mixed.pdf"), pdf);
  for (int spare : {0, 1}) {
    SetSpareWorkers(spare);  // the pages are shared with a second thread or not: the same text
    ConvertResult r = ConvertFile(pdf, tree / "mixed.txt");
    ASSERT_EQ(r.outcome, Outcome::kWritten) << r.reason;
    EXPECT_EQ(r.reason, "");
    EXPECT_EQ(r.recognized_pages, 2u);
    const std::string text = TempTree::Read(tree / "mixed.txt");
    const std::size_t report = text.find("the quarterly report");
    const std::size_t scan = text.find("The harbour office opens at seven");
    ASSERT_NE(report, std::string::npos) << text;
    ASSERT_NE(scan, std::string::npos) << text;
    EXPECT_LT(report, scan);
    EXPECT_LT(text.find("the appendix"), scan);
    EXPECT_NE(text.find("The harbour office opens at seven", scan + 1), std::string::npos) << "second scanned page";
    EXPECT_GE(RecallOf(Known("english-1.txt") + Known("english-1.txt"), text), 0.97);
  }
}

// A scan with one stamped line (a page and Bates number) is read by OCR
// after its own line; a scan whose text layer holds its text is not.
TEST_F(Ocr, ScannedPagesWithAStampedLineAreReadAfterIt) {
  FilterText r = Read(Sample("stamped.pdf"));
  EXPECT_EQ(r.recognized_pages, 1u);
  EXPECT_TRUE(r.problem.empty()) << r.problem;
  const std::size_t scan = r.text.find("The harbour office opens at seven");
  ASSERT_EQ(r.text.rfind("Page 1 of 2", 0), 0u) << r.text;
  ASSERT_LT(r.text.find("ACME-000123"), scan) << r.text;
  ASSERT_NE(scan, std::string::npos) << r.text;
  // Page 2's own text layer follows page 1's OCR text.
  const std::size_t layer = r.text.find("The harbour office opens at seven", scan + 1);
  ASSERT_NE(layer, std::string::npos) << r.text;
  EXPECT_NE(r.text.find("minutes later. Travellers", layer), std::string::npos) << r.text;
  EXPECT_GE(RecallOf(Known("english-1.txt") + Known("english-1.txt"), r.text), 0.97);

  ConversionOptions off;
  off.ocr = false;
  Install(off);
  r = Read(Sample("stamped.pdf"));
  EXPECT_EQ(r.recognized_pages, 0u);
  EXPECT_EQ(r.text.rfind("Page 1 of 2", 0), 0u) << r.text;
  EXPECT_EQ(r.text.find("ACME-000123", 1), r.text.rfind("ACME-000123")) << "read once: " << r.text;
}

TEST_F(Ocr, PagesInFontsWithoutCharacterMapsAreReadFromTheirPicture) {
  // The body's glyphs map to no character: the page is read by OCR after
  // the words that do map (its number), and no replacement characters stay.
  FilterText r = Read(Sample("unmapped.pdf"));
  EXPECT_EQ(r.recognized_pages, 1u);
  EXPECT_TRUE(r.problem.empty()) << r.problem;
  EXPECT_EQ(r.text.rfind("Page 1\n", 0), 0u) << r.text;
  EXPECT_EQ(r.text.find("\uFFFD"), std::string::npos) << r.text;
  EXPECT_NE(r.text.find("The harbour office opens at seven"), std::string::npos) << r.text;
  EXPECT_GE(RecallOf(Known("english-1.txt").substr(0, Known("english-1.txt").find('\n')), r.text), 0.95);
}

TEST_F(Ocr, WordsDrawnAsOutlinesAreReadFromThePicture) {
  // Page 1's words are filled curves (text turned into outlines); page 2 is
  // a drawing of two shapes, which is not worth reading.
  FilterText r = Read(std::string(QUARN_TEST_DATA) + "/convert/pdf/outlined_text.pdf");
  EXPECT_EQ(r.recognized_pages, 1u) << r.text;
  EXPECT_TRUE(r.problem.empty()) << r.problem;
  EXPECT_GE(RecallOf(Known("english-1.txt").substr(0, Known("english-1.txt").find('\n')), r.text), 0.95) << r.text;
}

TEST_F(Ocr, TurnedOffLeavesPicturesAndScansUnread) {
  ConversionOptions off;
  off.ocr = false;
  Install(off);
  FilterText picture = Read(Sample("serif-300.png"));
  EXPECT_EQ(picture.text, "");
  EXPECT_THAT(picture.problem, HasSubstr("OCR"));
  EXPECT_THAT(picture.problem, HasSubstr("turned off"));

  // The scanned pages of a PDF are not read, and the result says which
  // (a run that turned recognition off must not take the text for whole).
  FilterText mixed = Read(Sample("mixed.pdf"));
  EXPECT_THAT(mixed.text, HasSubstr("the quarterly report"));
  EXPECT_THAT(mixed.text, ::testing::Not(HasSubstr("harbour")));
  EXPECT_EQ(mixed.recognized_pages, 0u);
  EXPECT_EQ(mixed.problem, "text recognition: page 3: text recognition (OCR) is turned off (and 1 more pages)");
  TempTree tree;
  ConvertResult r = ConvertFile(Sample("mixed.pdf"), tree / "mixed.txt");
  ASSERT_EQ(r.outcome, Outcome::kWritten);
  EXPECT_EQ(r.reason, mixed.problem);
  // A PDF that is all scans: the PDF route writes its information, with the
  // same reason.
  r = ConvertFile(Sample("scan.pdf"), tree / "scan.txt");
  ASSERT_EQ(r.outcome, Outcome::kWritten);
  EXPECT_THAT(r.reason, HasSubstr("page 1: text recognition (OCR) is turned off"));
  // A scan with a stamped line: its line is read, the page said unread.
  EXPECT_THAT(Read(Sample("stamped.pdf")).problem, HasSubstr("page 1: text recognition (OCR) is turned off"));
}

TEST_F(Ocr, PagePastTheTimeLimitIsSkippedWithANote) {
  ConversionOptions hasty;
  hasty.ocr_page_seconds = 0;
  Install(hasty);
  FilterText picture = Read(Sample("serif-300.png"));
  EXPECT_EQ(picture.text, "");
  EXPECT_THAT(picture.problem, HasSubstr("gave up"));

  // The scan's pages are missing: the text pages are written, and the
  // result says which pages are not.
  TempTree tree;
  ConvertResult r = ConvertFile(Sample("mixed.pdf"), tree / "mixed.txt");
  ASSERT_EQ(r.outcome, Outcome::kWritten);
  EXPECT_THAT(r.reason, HasSubstr("page 3: OCR gave up"));
  EXPECT_THAT(r.reason, HasSubstr("1 more page"));
  EXPECT_EQ(r.recognized_pages, 0u);
}

TEST_F(Ocr, LanguagesAreCheckedAndMissingOnesNameTheirPackage) {
  EXPECT_EQ(CheckOcrLanguages("eng"), "");
  EXPECT_THAT(CheckOcrLanguages("eng+xyz"), HasSubstr("\"xyz\" is not installed (install tesseract-ocr-xyz)"));
  EXPECT_THAT(CheckOcrLanguages("qqa+qqb"), HasSubstr("tesseract-ocr-qqa tesseract-ocr-qqb"));
  EXPECT_THAT(CheckOcrLanguages("../../etc/eng"), HasSubstr("not an OCR language name"));
  EXPECT_THAT(CheckOcrLanguages(""), HasSubstr("no OCR language"));
  EXPECT_EQ(OcrLanguagePackage("chi_sim"), "tesseract-ocr-chi-sim");
  EXPECT_EQ(OcrLanguagePackage("script/Latin"), "tesseract-ocr-script-latin");

  ConversionOptions missing;
  missing.ocr_languages = "xyz";
  Install(missing);
  FilterText r = Read(Sample("serif-300.png"));
  EXPECT_EQ(r.text, "");
  EXPECT_THAT(r.problem, HasSubstr("tesseract-ocr-xyz"));
}

// The seam other modules call: a grey picture in memory, rows with padding.
TEST_F(Ocr, GreyPageFromMemory) {
  Pix* decoded = pixRead(Sample("sans-300.png").c_str());
  ASSERT_NE(decoded, nullptr);
  const int w = pixGetWidth(decoded), h = pixGetHeight(decoded), stride = w + 13;
  std::vector<unsigned char> pixels(static_cast<std::size_t>(stride) * h, 0);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      l_uint32 v = 0;
      pixGetPixel(decoded, x, y, &v);
      pixels[static_cast<std::size_t>(y) * stride + x] = static_cast<unsigned char>(v);
    }
  pixDestroy(&decoded);
  OcrPageText page = RecognizeGreyPage(GreyImage{pixels.data(), w, h, stride, 300});
  EXPECT_EQ(page.problem, "");
  EXPECT_FALSE(page.timed_out);
  EXPECT_GE(RecallOf(Known("english-2.txt"), page.text), 0.98) << page.text;

  EXPECT_THAT(RecognizeGreyPage(GreyImage{nullptr, 10, 10, 10, 0}).problem, HasSubstr("empty"));
  EXPECT_THAT(RecognizeGreyPage(GreyImage{pixels.data(), w, h, w - 1, 0}).problem, HasSubstr("empty"));
  EXPECT_EQ(RecognizeGreyPage(GreyImage{pixels.data(), 4, 4, stride, 0}).text, "");  // too small for a line
  const std::vector<unsigned char> white(200 * 100, 255);
  OcrPageText blank = RecognizeGreyPage(GreyImage{white.data(), 200, 100, 200, 300});
  EXPECT_EQ(blank.text, "");
  EXPECT_EQ(blank.problem, "");
}

}  // namespace
}  // namespace quarn
