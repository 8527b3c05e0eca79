#include "convert/filter.h"

#include <gtest/gtest.h>

namespace quarn {
namespace {

TEST(ThinSpaces, TwelveSpacesEndAsTwo) { EXPECT_EQ(ThinSpaces("a            b"), "a  b"); }

}  // namespace
}  // namespace quarn
