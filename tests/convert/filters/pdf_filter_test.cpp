// The built-in "pdf" filter: one chunk per page, and the results that send a
// document to the PDF route or report it.
#include "convert/filters/pdf_filter.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

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

TEST(PdfFilter, EmbeddedFilesFollowThePagesByNameWithTheirText) {
  // The document's own files in the order of their names, then the file of
  // a comment on the page; a picture is named only; a PDF inside is read.
  TextSink sink;
  ExtractResult r = CreatePdfFilter()->Extract(PdfSample("attachments.pdf"), sink);
  ASSERT_EQ(r.status, Status::kOk) << r.reason;
  const std::string text = sink.Joined();
  std::size_t at = 0;
  for (const char* expected : {"The covering letter.", "Attachment: invoice.xml", "Harbour Office Ltd",
                               "Attachment: logo.png\n", "Attachment: notes.txt\nMinutes of the harbour meeting",
                               "Attachment: report.pdf", "Revenue grew in every region.",
                               "Attachment: \u00dcbersicht.txt\nGr\u00fc\u00dfe aus dem Hafen.",
                               "Attachment: figures.csv\nmonth,passengers\nMay,1200"}) {
    const std::size_t found = text.find(expected, at);
    ASSERT_NE(found, std::string::npos) << expected << " after " << at << " in:\n" << text;
    at = found;
  }
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
  EXPECT_THAT(r.reason, ::testing::StartsWith("the PDF file is damaged: "));
  EXPECT_TRUE(sink.empty());
  EXPECT_EQ(CreatePdfFilter()->Extract(PdfSample("owner_only.pdf"), sink).status, Status::kOk);
}

// A one-page PDF whose page tree holds itself and claims 2^31 - 1 pages.
std::string EndlessPageTree() {
  const std::string content = "BT /F1 24 Tf 72 700 Td (Hello PDF) Tj ET";
  const std::string objects[] = {
      "<< /Type /Catalog /Pages 2 0 R >>",
      "<< /Type /Pages /Kids [3 0 R 2 0 R] /Count 2147483647 >>",
      "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R "
      "/Resources << /Font << /F1 5 0 R >> >> >>",
      "<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content + "\nendstream",
      "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
  };
  std::string pdf = "%PDF-1.4\n", xref = "xref\n0 6\n0000000000 65535 f \n";
  for (int i = 0; i < 5; ++i) {
    char line[24];
    std::snprintf(line, sizeof line, "%010zu 00000 n \n", pdf.size());
    xref += line;
    pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  const std::size_t at = pdf.size();
  return pdf + xref + "trailer\n<< /Size 6 /Root 1 0 R >>\nstartxref\n" + std::to_string(at) + "\n%%EOF\n";
}

TEST(PdfFilter, APageTreeThatClaimsEndlessPagesKeepsTheRealOnesAndStops) {
  quarn::testing::ScratchDir dir;
  const std::string path = dir / "endless.pdf";
  std::ofstream(path, std::ios::binary) << EndlessPageTree();
  TextSink sink;
  const auto start = std::chrono::steady_clock::now();
  ExtractResult r = CreatePdfFilter()->Extract(path, sink);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_EQ(r.status, Status::kIncomplete);
  EXPECT_THAT(r.reason, ::testing::StartsWith("the PDF file is damaged: its page tree claims 2147483647 pages"));
  EXPECT_THAT(sink.Joined(), ::testing::StartsWith("Hello PDF\n"));
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
