// The built-in "pdf" filter: one chunk per page, and the results that send a
// document to the PDF route or report it.
#include "convert/filters/pdf_filter.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/support/pdf_samples.h"

namespace quarn {
namespace {

using quarn::testing::PdfSample;
using Status = ExtractResult::Status;

TEST(PdfFilter, OneChunkPerPageLinesAsTheLayoutGivesThem) {
  TextSink sink;
  ExtractResult r = CreatePdfFilter()->Extract(PdfSample("two_pages.pdf"), sink);
  ASSERT_EQ(r.status, Status::kOk) << r.reason;
  ASSERT_EQ(sink.chunks().size(), 2u);
  EXPECT_EQ(sink.chunks()[0],
            "First page: the quarterly report\n\nRevenue grew in every region.\nCosts stayed flat.\n\n");
  EXPECT_EQ(sink.chunks()[1],
            "Second page: the appendix\n\n\u0391\u03bb\u03c6\u03b1 \u03b2\u03b7\u03c4\u03b1 \u03c9\n\n");
}

TEST(PdfFilter, NoTextLayerYieldsNoChunks) {
  TextSink sink;
  ExtractResult r = CreatePdfFilter()->Extract(PdfSample("no_text.pdf"), sink);
  EXPECT_EQ(r.status, Status::kFailed);
  EXPECT_THAT(r.reason, ::testing::HasSubstr("no text layer"));
  EXPECT_TRUE(sink.empty());
}

TEST(PdfFilter, PasswordAndDamageAreToldApart) {
  TextSink sink;
  EXPECT_EQ(CreatePdfFilter()->Extract(PdfSample("password.pdf"), sink).status, Status::kPassword);
  ExtractResult r = CreatePdfFilter()->Extract(PdfSample("damaged.pdf"), sink);
  EXPECT_EQ(r.status, Status::kFailed);
  EXPECT_THAT(r.reason, ::testing::StartsWith("the PDF cannot be read"));
  EXPECT_TRUE(sink.empty());
  EXPECT_EQ(CreatePdfFilter()->Extract(PdfSample("owner_only.pdf"), sink).status, Status::kOk);
}

TEST(PdfFilter, StopsWhenTheSinkIsFull) {
  TextSink sink(10);
  ExtractResult r = CreatePdfFilter()->Extract(PdfSample("two_pages.pdf"), sink);
  EXPECT_TRUE(sink.truncated());
  EXPECT_EQ(sink.chunks().size(), 1u);
  EXPECT_EQ(sink.Joined(), "First page");
  EXPECT_NE(r.status, Status::kFailed);
}

}  // namespace
}  // namespace quarn
