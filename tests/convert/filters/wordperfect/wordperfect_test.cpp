// WordPerfect documents through the registry and filter host, over the
// samples tests/data/wordperfect/make_samples.py writes and, when it is
// there, the corpus.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "convert/filter.h"
#include "tests/support/filter_support.h"

namespace quarn {
namespace {

using ::testing::HasSubstr;

std::string Sample(const char* name) { return std::string(QUARN_TEST_DATA) + "/wordperfect/" + name; }

TEST(WordPerfect, ParagraphsAndExtendedCharacters) {
  FilterText r = ExtractFilterText(test::Builtins(), Sample("letter.wpd"));
  EXPECT_TRUE(r.problem.empty()) << r.problem;
  EXPECT_EQ(test::Extracted(Sample("letter.wpd")),
            "Dear reader,\nthis letter was written in WordPerfect 5.1 and café is spelled right.\nYours truly\n");
}

TEST(WordPerfect, FoundByContentWhenNamedAsAWordDocument) {
  EXPECT_EQ(test::Extracted(Sample("letter_named.doc")), test::Extracted(Sample("letter.wpd")));
}

TEST(WordPerfect, EncryptedAndDamagedDocumentsSayWhy) {
  FilterText locked = ExtractFilterText(test::Builtins(), Sample("encrypted.wpd"));
  EXPECT_THAT(locked.text, ::testing::Not(HasSubstr("Secret")));
  EXPECT_THAT(locked.problem, HasSubstr("password"));
  FilterText cut = ExtractFilterText(test::Builtins(), Sample("truncated.wpd"));
  EXPECT_FALSE(cut.problem.empty());
}

TEST(WordPerfect, CorpusVersionsFiveToSix) {
  const std::filesystem::path corpus = std::filesystem::path(QUARN_CORPUS) / "inputs/wpd";
  if (!std::filesystem::exists(corpus)) GTEST_SKIP() << "no corpus";
  test::TempDir dir;
  for (const char* rel :
       {"format-corpus/testWordPerfect_6_61.wpd", "_mislabelled/format-corpus/testWordPerfect_50.doc"}) {
    const std::filesystem::path copy = dir.path() / std::filesystem::path(rel).filename();
    std::filesystem::copy_file(corpus / rel, copy);
    EXPECT_THAT(test::Extracted(copy.string()), HasSubstr("Sluwe Sjaantje sloeg de slome slager")) << rel;
  }
}

}  // namespace
}  // namespace quarn
