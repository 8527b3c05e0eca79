// The packed list of a batch's paths: every path comes back whole and in
// order, across the blocks it is kept in (a path longer than a block too),
// and blocks given back are never read again.
#include "app/path_list.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "process/path_digest.h"
#include "process/run_outputs.h"

namespace quarn {
namespace {

std::vector<std::string> ManyPaths() {
  std::vector<std::string> given;
  for (int i = 0; i < 40000; ++i)
    given.push_back("/srv/share/d" + std::to_string(i / 100) + "/f" + std::to_string(i) + ".doc");
  given.insert(given.begin() + 20000, std::string(3 << 20, 'x'));  // longer than a block, and a read
  given.push_back("a");
  return given;
}

// Reads the whole list with one cursor (releasing what was read halfway)
// and checks it against given; a second cursor reads it again.
void ExpectGivenBack(PathList& list, const std::vector<std::string>& given) {
  EXPECT_EQ(list.size(), given.size());
  PathList::Cursor at, again;
  std::string_view p;
  std::size_t n = 0;
  for (; list.Next(&at, &p); ++n) {
    ASSERT_LT(n, given.size());
    ASSERT_EQ(p, given[n]) << n;
    if (n < 100) {
      ASSERT_TRUE(list.Next(&again, &p));
      ASSERT_EQ(p, given[n]) << n;
    }
    if (n == 30000) list.ReleaseBefore(at);  // what was read may go
  }
  EXPECT_EQ(n, given.size());
  EXPECT_FALSE(list.Next(&at, &p));
}

TEST(PathList, GivesBackEveryPathInOrderAcrossBlocks) {
  const std::vector<std::string> given = ManyPaths();
  PathList list;
  for (const std::string& p : given) list.Add(p);
  EXPECT_FALSE(list.in_file());
  ExpectGivenBack(list, given);
}

TEST(PathList, ALongListGoesToAFileAndComesBackWhole) {
  const std::vector<std::string> given = ManyPaths();
  PathList list(4096);
  for (const std::string& p : given) list.Add(p);
  EXPECT_TRUE(list.in_file());
  PathList moved = std::move(list);
  ExpectGivenBack(moved, given);
}

TEST(SortedPathDigests, FindsWhatWasPutInAndNoNearMiss) {
  SortedPathDigests set;
  for (int i = 0; i < 50000; ++i) set.insert("d/f" + std::to_string(i) + ".md");
  set.insert("d/f7.md");  // twice
  set.Seal();
  EXPECT_EQ(set.size(), 50000u);
  for (int i = 0; i < 50000; i += 7) EXPECT_TRUE(set.contains("d/f" + std::to_string(i) + ".md")) << i;
  EXPECT_FALSE(set.contains("d/f50000.md"));
  EXPECT_FALSE(set.contains("d/f1.md/"));
}

TEST(IdentitySet, FindsEveryFileOfALongListInTheArrayAndAmongTheLatest) {
  IdentitySet set;
  for (ino_t i = 1; i <= 100000; ++i) set.insert({2049, i * 3});
  for (ino_t i = 1; i <= 100000; i += 11) EXPECT_TRUE(set.contains({2049, i * 3})) << i;
  EXPECT_TRUE(set.contains({2049, 300000}));  // among the latest, not yet merged
  int strays = 0;
  for (ino_t i = 1; i <= 100000; ++i) strays += set.contains({2049, i * 3 + 1});
  EXPECT_EQ(strays, 0);
  EXPECT_FALSE(set.contains({2050, 3}));
}

}  // namespace
}  // namespace quarn
