// The digest sets that stand for a run's named paths: every path put in is
// found, and the near misses a real list is full of (one byte more or less,
// a trailing slash, another case, the same bytes in another order) are not.
#include "process/path_digest.h"

#include <string>

#include <gtest/gtest.h>

namespace quarn {
namespace {

TEST(PathDigestSet, FindsEveryPathOfALongListAndNoNearMiss) {
  PathDigestSet set;
  for (int i = 0; i < 200000; ++i) set.insert("/srv/share/d" + std::to_string(i / 100) + "/f" + std::to_string(i) + ".doc");
  EXPECT_EQ(set.size(), 200000u);
  for (int i = 0; i < 200000; i += 997) {
    const std::string path = "/srv/share/d" + std::to_string(i / 100) + "/f" + std::to_string(i) + ".doc";
    EXPECT_TRUE(set.contains(path)) << path;
    EXPECT_FALSE(set.contains(path + "/")) << path;
    EXPECT_FALSE(set.contains(path.substr(0, path.size() - 1))) << path;
    EXPECT_FALSE(set.contains("/srv/share/d" + std::to_string(i / 100) + "/F" + std::to_string(i) + ".doc"));
  }
  EXPECT_FALSE(set.contains("/srv/share/d0/f10.doc/"));
  EXPECT_FALSE(set.contains("/srv/share/d0/f01.doc"));  // f10 and f01: the same bytes in another order
  EXPECT_FALSE(set.contains(""));
  set.insert("");
  EXPECT_TRUE(set.contains(""));
  set.insert(std::string("a\0b", 3));  // any bytes
  EXPECT_TRUE(set.contains(std::string("a\0b", 3)));
  EXPECT_FALSE(set.contains("a"));
}

}  // namespace
}  // namespace quarn
