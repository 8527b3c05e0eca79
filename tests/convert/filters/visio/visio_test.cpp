// Visio drawings through the registry and filter host, over the samples
// tests/data/visio/make_samples.py writes and, when it is there, the corpus.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "convert/filter.h"
#include "tests/support/filter_support.h"

namespace quarn {
namespace {

using ::testing::HasSubstr;

std::string Sample(const char* name) { return std::string(QUARN_TEST_DATA) + "/visio/" + name; }

TEST(Visio, ShapesPageByPageWithoutDocumentProperties) {
  EXPECT_EQ(test::Extracted(Sample("drawing.vdx")), "Start here\nDecide & go\nSecond page shape\nΕλληνικά\n");
  EXPECT_EQ(test::Extracted(Sample("drawing.vsdx")), "Start here\nDecide & go\nSecond page shape\n");
}

TEST(Visio, APackageClaimingGigabytesIsRefusedBeforeInflating) {
  FilterText r = ExtractFilterText(test::Builtins(), Sample("bomb.vsdx"));
  EXPECT_THAT(r.text, ::testing::Not(HasSubstr("Never read")));
  EXPECT_THAT(r.problem, HasSubstr("would inflate to"));
}

TEST(Visio, ADamagedDrawingSaysWhy) {
  EXPECT_THAT(ExtractFilterText(test::Builtins(), Sample("truncated.vdx")).problem, HasSubstr("damaged"));
}

TEST(Visio, CorpusBinaryDrawings) {
  const std::filesystem::path corpus = std::filesystem::path(QUARN_CORPUS) / "inputs/vsd/poi";
  if (!std::filesystem::exists(corpus)) GTEST_SKIP() << "no corpus";
  test::TempDir dir;
  const std::filesystem::path copy = dir.path() / "random.vsd";
  std::filesystem::copy_file(corpus / "Test_Visio-Some_Random_Text.vsd", copy);
  EXPECT_THAT(test::Extracted(copy.string()), HasSubstr("Some random text, on a page"));
}

}  // namespace
}  // namespace quarn
