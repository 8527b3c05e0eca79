#include "convert/registry.h"

#include <gtest/gtest.h>

namespace quarn {
namespace {

TEST(Registry, KeysCompareWithoutAsciiCase) {
  Registry r;
  r.SetDefault("Software\\Classes\\.TXT", {RegType::kString, "txtfile", {}});
  EXPECT_EQ(r.ReadDefaultText("software\\classes\\.txt"), "txtfile");
}

}  // namespace
}  // namespace quarn
