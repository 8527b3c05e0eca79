// AbiWord documents through the registry and filter host, over the samples
// tests/data/abiword/make_samples.py writes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "convert/filter.h"
#include "tests/support/filter_support.h"

namespace quarn {
namespace {

std::string Sample(const char* name) { return std::string(QUARN_TEST_DATA) + "/abiword/" + name; }

TEST(AbiWord, ListsTablesAndFootnotesButNoProperties) {
  FilterText r = ExtractFilterText(test::Builtins(), Sample("document.abw"));
  EXPECT_TRUE(r.problem.empty()) << r.problem;
  EXPECT_EQ(test::Extracted(Sample("document.abw")),
            "First paragraph with bold words.\n"
            "1. Numbered one\n2. Numbered two\n"
            "Name\tTown\nAnn\tOslo Norway\n"  // a cell's paragraphs stay in its cell
            "See the note.\n"
            "Ελληνικά 日本語\n"
            "A footnote here.\n");  // notes follow the body; the title and author are no text
}

TEST(AbiWord, CompressedDocumentsReadTheSame) {
  EXPECT_EQ(test::Extracted(Sample("document.zabw")), test::Extracted(Sample("document.abw")));
}

TEST(AbiWord, ADamagedDocumentSaysWhy) {
  FilterText r = ExtractFilterText(test::Builtins(), Sample("truncated.abw"));
  EXPECT_THAT(r.problem, ::testing::HasSubstr("cannot be read"));
}

}  // namespace
}  // namespace quarn
