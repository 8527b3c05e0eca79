// StarOffice 5 binary files through the registry and filter host.  No tool
// here writes them, so the tests read the shared corpus's files (copied to a
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

TEST(StarOffice, WriterCalcImpressAndDrawFiles) {
  const std::filesystem::path corpus = std::filesystem::path(QUARN_CORPUS) / "inputs";
  if (!std::filesystem::exists(corpus / "sdw")) GTEST_SKIP() << "no corpus";
  test::TempDir dir;
  const struct {
    const char* rel;
    const char* want;
  } kFiles[] = {
      {"sdw/tika/testStarOffice-5.2-writer.sdw", "This is an example StarOffice 5.2 document."},
      {"sdc/tika/testStarOffice-5.2-calc.sdc", "Tabelle1\nThis is an example StarOffice 5.2 spreadsheet.\nTabelle2"},
      {"sdd/tika/testStarOffice-5.2-impress.sdd", "This is an example StarOffice 5.2 presentation."},
      {"sda/tika/testStarOffice-5.2-draw.sda", "This is an example StarOffice 5.2 drawing."},
  };
  for (const auto& f : kFiles) {
    const std::filesystem::path copy = dir.path() / std::filesystem::path(f.rel).filename();
    std::filesystem::copy_file(corpus / f.rel, copy);
    FilterText r = ExtractFilterText(test::Builtins(), copy.string());
    EXPECT_TRUE(r.problem.empty()) << f.rel << ": " << r.problem;
    EXPECT_THAT(r.text, HasSubstr(f.want)) << f.rel;
  }
}

TEST(StarOffice, FoundByContentWhenNamedAsAWordDocument) {
  const std::filesystem::path source =
      std::filesystem::path(QUARN_CORPUS) / "inputs/sdw/tika/testStarOffice-5.2-writer.sdw";
  if (!std::filesystem::exists(source)) GTEST_SKIP() << "no corpus";
  test::TempDir dir;
  std::filesystem::copy_file(source, dir.path() / "letter.doc");
  EXPECT_THAT(test::Extracted((dir.path() / "letter.doc").string()),
              HasSubstr("This is an example StarOffice 5.2 document."));
}

}  // namespace
}  // namespace quarn
