// The compiled-help filter over a help file built from source/ with a help
// compiler: pages in the contents' order (not the file's), then the pages the
// contents leave out; content that is no help file is refused.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
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

// The sample's bytes with `patch` written at `offset` of its directory's
// first block (the sample has one listing block and no index).
std::string PatchedSample(std::size_t offset, const std::string& patch) {
  std::ifstream in(std::string(QUARN_TEST_DATA) + "/chm/sample.chm", std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), {});
  auto le32 = [&](std::size_t at) {
    std::uint32_t v = 0;
    std::memcpy(&v, bytes.data() + at, 4);
    return v;
  };
  const std::size_t header = le32(0x48);
  const std::size_t first_block = header + le32(header + 8);
  bytes.replace(first_block + offset, patch.size(), patch);
  return bytes;
}

TEST(ChmFilter, ADirectoryThatLeadsBackIntoItselfIsDamagedNotEndless) {
  testing::TempTree tree;
  TextSink sink;
  // The listing block names itself as the next one.
  ExtractResult r = ExtractWithBuiltin("chm", tree.Write("chain.chm", PatchedSample(16, std::string(4, '\0'))), sink);
  EXPECT_EQ(r.status, ExtractResult::Status::kFailed);
  EXPECT_EQ(r.reason, "the help file is damaged: its directory leads back into itself");
  // An index at the root (block 1, past the sample's end, is read as
  // missing) whose one entry leads to the root again.
  std::string looped = PatchedSample(0, std::string("PMGI") + std::string("\xF5\x0F\0\0", 4) + "\x01/\x00");
  {
    std::uint32_t header = 0;
    std::memcpy(&header, looped.data() + 0x48, 4);
    looped.replace(header + 0x1C, 4, std::string(4, '\0'));  // the index's root: block 0
  }
  r = ExtractWithBuiltin("chm", tree.Write("index.chm", looped), sink);
  EXPECT_EQ(r.status, ExtractResult::Status::kFailed);
  EXPECT_EQ(r.reason, "the help file is damaged: its directory leads back into itself");
  // The sample itself passes the check.
  r = ExtractWithBuiltin("chm", std::string(QUARN_TEST_DATA) + "/chm/sample.chm", sink);
  EXPECT_TRUE(r.ok()) << r.reason;
}

}  // namespace
}  // namespace quarn
