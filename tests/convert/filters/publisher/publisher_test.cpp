// Publisher documents through the registry and filter host.  No tool here
// writes them, so the tests read the shared corpus's files (copied to a
// scratch folder) and skip when it is absent.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "convert/filter.h"
#include "tests/support/filter_support.h"

namespace quarn {
namespace {

using ::testing::HasSubstr;

TEST(Publisher, TextBoxesOfEachVersion) {
  const std::filesystem::path corpus = std::filesystem::path(QUARN_CORPUS) / "inputs/pub/poi";
  if (!std::filesystem::exists(corpus)) GTEST_SKIP() << "no corpus";
  test::TempDir dir;
  for (const char* name : {"Sample98.pub", "Sample2000.pub", "Sample.pub", "Sample_2010.pub"}) {
    std::filesystem::copy_file(corpus / name, dir.path() / name);
    FilterText r = ExtractFilterText(test::Builtins(), (dir.path() / name).string());
    EXPECT_TRUE(r.problem.empty()) << name << ": " << r.problem;
    EXPECT_THAT(r.text, HasSubstr("This is some text on the first page")) << name;
  }
}

TEST(Publisher, ADamagedPropertySetDoesNotCostTheText) {
  // Regression: libmspub gave up these documents over their document
  // summary, which is no text; it is kept from the library now.
  const std::filesystem::path corpus = std::filesystem::path(QUARN_CORPUS) / "inputs/pub/poi";
  if (!std::filesystem::exists(corpus)) GTEST_SKIP() << "no corpus";
  test::TempDir dir;
  std::filesystem::copy_file(corpus / "SampleBrochure.pub", dir.path() / "brochure.pub");
  FilterText r = ExtractFilterText(test::Builtins(), (dir.path() / "brochure.pub").string());
  EXPECT_TRUE(r.problem.empty()) << r.problem;
  EXPECT_THAT(r.text, HasSubstr("Contoso"));
}

}  // namespace
}  // namespace quarn
