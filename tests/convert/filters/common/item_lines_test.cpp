// The lines of mail stores' items, as the PST and Outlook for Mac filters write them.
#include "convert/filters/common/item_lines.h"

#include <gtest/gtest.h>

#include "convert/filters/builtin_filter.h"

namespace quarn {
namespace {

TEST(ItemLines, FieldsOnOneLineAndABlankLineBetweenItems) {
  EXPECT_EQ(OneLine("  Quarterly\r\nreport\tdue  "), "Quarterly  report due");
  EXPECT_EQ(OneLine(" \n\t "), "");
  TextSink sink;
  ItemBreak(sink);  // nothing written yet: no blank line
  FieldLine(sink, "From", "Alice <alice@example.org>");
  FieldLine(sink, "Cc", "  \r\n");  // empty: no line
  FieldLine(sink, "Subject", "Two\nlines");
  ItemBreak(sink);
  FieldLine(sink, "Contact", "Bob");
  EXPECT_EQ(sink.Joined(), "From: Alice <alice@example.org>\nSubject: Two lines\n\nContact: Bob\n");
}

}  // namespace
}  // namespace quarn
