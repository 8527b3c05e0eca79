// HEIF and AVIF pictures through the registry and the pipeline, over the
// samples tests/data/heif/make_samples.sh writes: their text read by OCR,
// found by content under any name and inside archives, and damaged or
// hostile files refused with a reason.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <zip.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "app/main.h"
#include "convert/conversion_options.h"
#include "convert/filter.h"
#include "convert/filters/sniff.h"
#include "tests/support/filter_support.h"
#include "tests/support/temp_tree.h"

namespace quarn {
namespace {

using namespace std::string_literals;
using ::testing::HasSubstr;
using quarn::testing::TempTree;

std::string Sample(const char* name) { return std::string(QUARN_TEST_DATA) + "/heif/" + name; }

constexpr const char* kFirst = "The harbour office opens at nine. Ships that arrive after dark wait outside";
constexpr const char* kSecond = "the ferry timetable changes in October";

class Heif : public ::testing::Test {
 protected:
  void SetUp() override { SetConversionOptions({}); }
  void TearDown() override { SetConversionOptions({}); }
  static ConvertResult Convert(const std::string& path) { return ConvertFile(path, path + ".txt"); }
  TempTree tree_;
};

TEST_F(Heif, PicturesAreReadByOcrOnePageEach) {
  FilterText heic = ExtractFilterText(test::Builtins(), Sample("words.heic"));
  EXPECT_TRUE(heic.problem.empty()) << heic.problem;
  EXPECT_THAT(heic.text, HasSubstr(kFirst));
  EXPECT_EQ(heic.pages, 1);
  EXPECT_EQ(heic.recognized_pages, 1u);

  // AVIF, coded in 10 bits.
  FilterText avif = ExtractFilterText(test::Builtins(), Sample("words.avif"));
  EXPECT_TRUE(avif.problem.empty()) << avif.problem;
  EXPECT_THAT(avif.text, HasSubstr(kSecond));

  // A file of two pictures: both, in the file's order.
  FilterText two = ExtractFilterText(test::Builtins(), Sample("two-pictures.heic"));
  EXPECT_EQ(two.pages, 2);
  EXPECT_EQ(two.recognized_pages, 2u);
  ASSERT_THAT(two.text, HasSubstr(kSecond));
  EXPECT_LT(two.text.find(kFirst), two.text.find(kSecond));

  // A picture without words gives no text and no complaint.
  ConvertResult tiny = Convert(tree_.Write("tiny.heic", TempTree::Read(Sample("tiny.heic"))));
  EXPECT_EQ(tiny.outcome, Outcome::kNoText);
  EXPECT_THAT(tiny.reason, ::testing::Not(HasSubstr("damaged")));
}

TEST_F(Heif, FoundByContentUnderAnyNameAndInsideArchives) {
  const std::string heic = TempTree::Read(Sample("words.heic"));
  for (const char* name : {"photo.jpg", "IMG_0001.png", "scan.pdf"}) {
    ConvertResult r = Convert(tree_.Write(name, heic));
    ASSERT_EQ(r.outcome, Outcome::kWritten) << name << ": " << r.reason;
    EXPECT_EQ(r.recognized_pages, 1u) << name;
    EXPECT_THAT(TempTree::Read(tree_ / (std::string(name) + ".txt")), HasSubstr(kFirst)) << name;
  }

  const std::string zip_path = tree_ / "scans.zip";
  int error = 0;
  zip_t* z = zip_open(zip_path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  ASSERT_NE(z, nullptr);
  const std::string avif = TempTree::Read(Sample("words.avif"));
  zip_file_add(z, "receipt.heic", zip_source_buffer(z, heic.data(), heic.size(), 0), 0);
  zip_file_add(z, "letter.avif", zip_source_buffer(z, avif.data(), avif.size(), 0), 0);
  ASSERT_EQ(zip_close(z), 0);
  ConvertResult r = Convert(zip_path);
  ASSERT_EQ(r.outcome, Outcome::kWritten) << r.reason;
  EXPECT_EQ(r.recognized_pages, 2u);
  const std::string text = TempTree::Read(zip_path + ".txt");
  EXPECT_THAT(text, HasSubstr(kFirst));
  EXPECT_THAT(text, HasSubstr(kSecond));
}

TEST_F(Heif, DamagedHostileAndUnreadPicturesGiveAReason) {
  const std::string heic = TempTree::Read(Sample("words.heic"));
  for (const auto& [name, bytes] : {std::pair{"cut.heic", heic.substr(0, heic.size() / 3)},
                                    std::pair{"header.heic", heic.substr(0, 32)},
                                    std::pair{"empty.heic", ""s},
                                    std::pair{"text.avif", "not a picture at all\n"s}}) {
    ConvertResult r = Convert(tree_.Write(name, bytes));
    EXPECT_NE(r.outcome, Outcome::kWritten) << name;
    EXPECT_FALSE(r.reason.empty()) << name;
  }
  EXPECT_THAT(Convert(tree_.Write("cut2.heic", heic.substr(0, heic.size() / 3))).reason, HasSubstr("damaged"));

  // A picture that claims 20000 x 20000 pixels is refused before it is decoded.
  std::string huge = heic;
  const std::size_t ispe = huge.find("ispe");
  ASSERT_NE(ispe, std::string::npos);
  const std::string side("\x00\x00\x4E\x20", 4);  // 20000
  huge.replace(ispe + 8, 8, side + side);
  EXPECT_THAT(Convert(tree_.Write("huge.heic", huge)).reason, HasSubstr("too large: 20000 x 20000 pixels"));

  ConversionOptions off;
  off.ocr = false;
  SetConversionOptions(off);
  ConvertResult unread = Convert(tree_.Write("off.heic", heic));
  EXPECT_EQ(unread.outcome, Outcome::kNoText);
  EXPECT_THAT(unread.reason, HasSubstr("turned off"));
}

TEST(HeifSignature, PictureBrandsButNotVideos) {
  for (const std::string& head :
       {"\0\0\0\x18" "ftypheic\0\0\0\0mif1heic"s, "\0\0\0\x1C" "ftypavif\0\0\0\0avifmif1miaf"s,
        "\0\0\0\x18" "ftypmsf1\0\0\0\0msf1hevc"s, "\0\0\0\x18" "ftypheix\0\0\0\0mif1heix"s,
        // A major brand of its own, HEIF among the compatible ones.
        "\0\0\0\x18" "ftypMiHE\0\0\0\0MiHEmif1"s}) {
    EXPECT_TRUE(LooksLikeHeif(head)) << head;
    EXPECT_TRUE(LooksLikePicture(head)) << head;
  }
  for (const std::string& head :
       {"\0\0\0\x18" "ftypisom\0\0\x02\0isomiso2"s, "\0\0\0\x14" "ftypqt  \0\0\x02\0qt  "s,
        "\0\0\0\x18" "ftypmp42\0\0\0\0mp42isom"s, "ftypheic"s, "\xFF\xFF\xFF\xFF" "ftypheic\0\0\0\0mif1heic"s})
    EXPECT_FALSE(LooksLikeHeif(head)) << head;
}

}  // namespace
}  // namespace quarn
