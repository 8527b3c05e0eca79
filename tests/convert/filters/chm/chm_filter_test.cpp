// The compiled-help filter over a help file built from source/ with a help
// compiler: pages in the contents' order (not the file's), then the pages the
// contents leave out; content that is no help file is refused.
#include <gtest/gtest.h>

#include <string>

#include "convert/filters/builtin.h"
#include "tests/support/temp_tree.h"

namespace quarn {
namespace {

TEST(ChmFilter, PagesInTheOrderOfTheContentsThenTheRest) {
  TextSink sink;
  ExtractResult r = ExtractWithBuiltin("chm", std::string(QUARN_TEST_DATA) + "/chm/sample.chm", sink);
  ASSERT_TRUE(r.ok()) << r.reason;
  const std::string t = sink.Joined();
  std::size_t alpha = t.find("Alpha page words"), beta = t.find("Beta page words"), gamma = t.find("Gamma page");
  ASSERT_NE(alpha, std::string::npos) << t;
  ASSERT_NE(beta, std::string::npos) << t;
  ASSERT_NE(gamma, std::string::npos) << t;
  EXPECT_LT(alpha, beta);  // the file lists b.htm first; the contents put a.htm first
  EXPECT_LT(beta, gamma);
  EXPECT_EQ(t.find("Beta page words", beta + 1), std::string::npos);  // "b.htm#part" is b.htm, read once
  // The pages' <title>s are not shown by a help viewer.
  EXPECT_EQ(t.find("First page"), std::string::npos) << t;
  EXPECT_EQ(t.find("Second page"), std::string::npos) << t;
}

TEST(ChmFilter, RefusesWhatIsNoHelpFile) {
  testing::TempTree tree;
  TextSink sink;
  ExtractResult r = ExtractWithBuiltin("chm", tree.Write("x.chm", std::string("ITSF\x03\0\0\0", 8) + "broken"), sink);
  EXPECT_EQ(r.status, ExtractResult::Status::kFailed) << r.reason;
  r = ExtractWithBuiltin("chm", tree.Write("y.chm", "plain words"), sink);
  EXPECT_EQ(r.status, ExtractResult::Status::kUnknownFormat);
}

}  // namespace
}  // namespace quarn
