// The picture filter's refusals and the ways a picture is found: hostile and
// broken files give a reason and no crash, pictures under other names are
// found by their content, and the command line says what OCR read.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "app/main.h"
#include "convert/conversion_options.h"
#include "convert/filter.h"
#include "convert/filters/sniff.h"
#include "tests/support/recall.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_tree.h"

namespace quarn {
namespace {

using ::testing::HasSubstr;
using quarn::testing::RunOptions;
using quarn::testing::RunQuarn;
using quarn::testing::TempTree;

std::string Sample(const std::string& name) { return std::string(QUARN_IMAGE_SAMPLES) + "/" + name; }
std::string Known(const std::string& name) { return TempTree::Read(std::string(QUARN_TEST_DATA) + "/image/" + name); }

std::uint32_t Crc32(const std::string& bytes) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char b : bytes) {
    crc ^= b;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

std::string Be32(std::uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}

// A PNG that claims width x height pixels and holds almost nothing.
std::string PngClaiming(std::uint32_t width, std::uint32_t height) {
  std::string ihdr = "IHDR" + Be32(width) + Be32(height) + std::string("\x01\x00\x00\x00\x00", 5);
  std::string png = "\x89PNG\r\n\x1A\n";
  png += Be32(13) + ihdr + Be32(Crc32(ihdr));
  const std::string idat = std::string("IDAT") + std::string("\x78\x9C\x03\x00\x00\x00\x00\x01", 8);
  png += Be32(8) + idat + Be32(Crc32(idat));
  png += Be32(0) + "IEND" + Be32(Crc32("IEND"));
  return png;
}

class ImageFilter : public ::testing::Test {
 protected:
  void SetUp() override { SetConversionOptions({}); }
  static ConvertResult Convert(const std::string& path) { return ConvertFile(path, path + ".txt"); }
  TempTree tree_;
};

TEST_F(ImageFilter, HostileAndBrokenPicturesGiveAReason) {
  ConvertResult huge = Convert(tree_.Write("huge.png", PngClaiming(20000, 20000)));
  EXPECT_EQ(huge.outcome, Outcome::kNoText);
  EXPECT_THAT(huge.reason, HasSubstr("too large: 20000 x 20000 pixels"));
  // Sizes whose product passes 32 bits.
  EXPECT_THAT(Convert(tree_.Write("wide.png", PngClaiming(70000, 70000))).reason, HasSubstr("too large"));

  const std::string png = TempTree::Read(Sample("serif-300.png"));
  ConvertResult cut = Convert(tree_.Write("cut.png", png.substr(0, png.size() / 2)));
  EXPECT_EQ(cut.outcome, Outcome::kNoText);
  EXPECT_THAT(cut.reason, HasSubstr("damaged or truncated"));

  const std::string jpeg = TempTree::Read(Sample("artefacts-300.jpg"));
  ConvertResult cut_jpeg = Convert(tree_.Write("cut.jpg", jpeg.substr(0, jpeg.size() * 6 / 10)));
  ASSERT_NE(cut_jpeg.outcome, Outcome::kFailed) << cut_jpeg.reason;
  if (cut_jpeg.written()) {
    EXPECT_THAT(cut_jpeg.reason, HasSubstr("damaged or truncated"));
  }

  const std::string tiff = TempTree::Read(Sample("pages.tif"));
  ConvertResult cut_tiff = Convert(tree_.Write("cut.tif", tiff.substr(0, tiff.size() * 3 / 4)));
  EXPECT_NE(cut_tiff.outcome, Outcome::kFailed) << cut_tiff.reason;

  std::string noise(5000, '\0');
  for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>((i * 2654435761u) >> 13);
  EXPECT_EQ(Convert(tree_.Write("noise.png", noise)).outcome, Outcome::kNoText);
  EXPECT_EQ(Convert(tree_.Write("empty.jpg", "")).outcome, Outcome::kNoText);
  EXPECT_EQ(Convert(tree_.Write("header-only.gif", "GIF89a")).outcome, Outcome::kNoText);
}

TEST_F(ImageFilter, PicturesUnderOtherNamesAreFoundByTheirContent) {
  const std::string expected = Known("english-1.txt");
  // (.jfif: the name browsers give downloaded JPEG pictures.)
  for (const char* name : {"letter.doc", "notes.txt", "scan.pdf", "photo.gif", "download.jfif"}) {
    const std::string path = tree_ / name;
    std::filesystem::copy_file(Sample("serif-300.png"), path);
    ConvertResult r = Convert(path);
    ASSERT_EQ(r.outcome, Outcome::kWritten) << name << ": " << r.reason;
    EXPECT_EQ(r.recognized_pages, 1u) << name;
    EXPECT_GE(test::BagOfWordsRecall(expected, TempTree::Read(path + ".txt")).value(), 0.98) << name;
  }
  // And a PDF named like a picture is read as the PDF it is.
  const std::string pdf_as_png = tree_ / "mixed.png";
  std::filesystem::copy_file(Sample("mixed.pdf"), pdf_as_png);
  ConvertResult r = Convert(pdf_as_png);
  ASSERT_EQ(r.outcome, Outcome::kWritten) << r.reason;
  EXPECT_THAT(TempTree::Read(pdf_as_png + ".txt"), HasSubstr("the quarterly report"));
}

TEST(PictureSignatures, KnownFormatsAndLookAlikes) {
  using namespace std::string_literals;
  for (const std::string& head :
       {"\x89PNG\r\n\x1A\n\0\0\0\rIHDR"s, "\xFF\xD8\xFF\xE0\0\x10JFIF"s, "GIF87a\x10\0"s, "GIF89a\x10\0"s,
        "II*\0\x08\0\0\0"s, "MM\0*\0\0\0\x08"s, "RIFF\x24\0\0\0WEBPVP8 "s, "\0\0\0\x0CjP  \r\n\x87\n"s,
        "BM\x36\0\x0C\0\0\0\0\0\x36\0\0\0\x28\0\0\0\x10\0\0\0\x10\0\0\0"s, "P6\n640 480\n255\n\xFF"s,
        "P4\n# made by hand\n16 16\n\xFF"s, "P2 3 2 255\n"s})
    EXPECT_TRUE(LooksLikePicture(head)) << head;
  for (const std::string& head : {"BMW drivers meet on Sunday.\nBring food.\n"s, "P3 2019 report: sales\n"s,
                                  "P1 is the first priority\n"s, "RIFF\x24\0\0\0WAVEfmt "s, "GIF8"s, ""s})
    EXPECT_FALSE(LooksLikePicture(head)) << head;
}

// The command line: its options, its checks, and what it says about OCR.
class OcrCommandLine : public ::testing::Test {
 protected:
  RunOptions In(std::vector<std::string> env = {}) const {
    RunOptions o;
    o.cwd = tree_.root();
    o.env = std::move(env);
    return o;
  }
  TempTree tree_;
};

TEST_F(OcrCommandLine, OneFileSaysItWasReadByOcr) {
  std::filesystem::copy_file(Sample("serif-300.png"), tree_ / "page.png");
  auto r = RunQuarn({"page.png"}, In());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.err, HasSubstr("quarn: page.png: text of 1 page read by OCR"));
  EXPECT_THAT(TempTree::Read(tree_ / "page.txt"), HasSubstr("harbour office"));

  r = RunQuarn({"--no-ocr", "page.png", "out.txt"}, In());
  EXPECT_EQ(r.status, 3) << r.err;
  EXPECT_THAT(r.err, HasSubstr("turned off"));
  EXPECT_FALSE(std::filesystem::exists(tree_ / "out.txt"));
}

TEST_F(OcrCommandLine, MissingLanguageIsOneClearError) {
  std::filesystem::copy_file(Sample("serif-300.png"), tree_ / "page.png");
  for (const auto& args : {std::vector<std::string>{"--ocr-lang", "eng+xyz", "page.png"},
                           std::vector<std::string>{"--batch", "--ocr-lang=xyz", "."},
                           std::vector<std::string>{"--ocr-lang", "xyz", "--batch", "."}}) {
    auto r = RunQuarn(args, In());
    EXPECT_EQ(r.status, 1) << args[0];
    EXPECT_THAT(r.err, HasSubstr("tesseract-ocr-xyz")) << args[0];
  }
  auto env = RunQuarn({"page.png"}, In({"QUARN_OCR_LANG=xyz"}));
  EXPECT_EQ(env.status, 1);
  EXPECT_THAT(env.err, HasSubstr("tesseract-ocr-xyz"));
  EXPECT_FALSE(std::filesystem::exists(tree_ / "page.txt"));

  auto usage = RunQuarn({"--ocr-lang"}, In());
  EXPECT_EQ(usage.status, 2);
  EXPECT_THAT(usage.err, HasSubstr("--ocr-lang needs a language list"));
  EXPECT_EQ(RunQuarn({"--no-ocr"}, In()).status, 2);
}

TEST_F(OcrCommandLine, BatchSummaryCountsDocumentsAndPagesReadByOcr) {
  for (const char* folder : {"on", "off"}) {
    tree_.Folder(folder);
    std::filesystem::copy_file(Sample("serif-300.png"), tree_ / (std::string(folder) + "/page.png"));
    std::filesystem::copy_file(Sample("mixed.pdf"), tree_ / (std::string(folder) + "/mixed.pdf"));
    tree_.Write(std::string(folder) + "/plain.md", "Nothing to recognise here.\n");
  }
  auto r = RunQuarn({"--batch", "on"}, In());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.err, HasSubstr("quarn: 3 written, 0 without text, 0 failed; 2 read by OCR (3 pages)"));

  r = RunQuarn({"--batch", "--no-ocr", "off"}, In());
  EXPECT_EQ(r.status, 3) << r.err;
  EXPECT_THAT(r.err, HasSubstr("2 written, 1 without text, 0 failed\n"));
}

}  // namespace
}  // namespace quarn
