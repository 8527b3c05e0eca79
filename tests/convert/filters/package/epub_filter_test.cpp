// The EPUB filter through the registry and filter host.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "convert/filter.h"
#include "tests/support/filter_support.h"

namespace quarn {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;

std::string Sample(const char* name) { return std::string(QUARN_TEST_DATA) + "/package/odf/" + name; }

TEST(Epub, ChaptersInSpineOrderNotManifestOrder) {
  // The manifest lists "chapter 1" (escaped as %20), b, then a (by a "../"
  // path); the spine reads a, chapter 1, b.  The navigation document is not
  // in the spine and is not read.
  FilterText r = ExtractFilterText(test::Builtins(), Sample("book.epub"));
  EXPECT_FALSE(r.incomplete) << r.problem;
  EXPECT_EQ(test::Extracted(Sample("book.epub")),
            "Opening\nChapter A\nПервая глава, 第一章 ✨.\n"
            " Middle\nChapter B\nSecond chapter text.\nc1\tc2\n"
            " End\nChapter C\n\u2022 one\n\u2022 two\n");
}

TEST(Epub, EncryptedChaptersArePasswordProtected) {
  FilterText r = ExtractFilterText(test::Builtins(), Sample("encrypted.epub"));
  EXPECT_THAT(r.text, IsEmpty());
  EXPECT_THAT(r.problem, HasSubstr("password"));
}

}  // namespace
}  // namespace quarn
