// A PDF whose one page holds twenty million text-showing operators (1.5 MB
// compressed): reading it must stop at the library's memory bound, keep the
// text read so far and say that it is incomplete.  Slow (seconds, about 1 GiB),
// so it runs with the corpus label.
#include <zlib.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "app/main.h"
#include "pdfinfo/pdfinfo.h"
#include "tests/support/pdf_samples.h"

namespace quarn {
namespace {

using quarn::testing::ScratchDir;

std::string Deflated(const std::string& unit, long repeat) {
  z_stream z{};
  deflateInit(&z, 9);
  std::string out;
  char buf[1 << 16];
  for (long i = 0; i <= repeat; ++i) {
    const bool last = i == repeat;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(unit.data()));
    z.avail_in = last ? 0 : static_cast<uInt>(unit.size());
    do {
      z.next_out = reinterpret_cast<Bytef*>(buf);
      z.avail_out = sizeof buf;
      deflate(&z, last ? Z_FINISH : Z_NO_FLUSH);
      out.append(buf, sizeof buf - z.avail_out);
    } while (z.avail_out == 0);
  }
  deflateEnd(&z);
  return out;
}

std::string OnePagePdf(const std::string& stream) {
  std::string pdf = "%PDF-1.4\n";
  std::string objects[] = {
      "<< /Type /Catalog /Pages 2 0 R >>",
      "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
      "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R "
      "/Resources << /Font << /F1 5 0 R >> >> >>",
      "<< /Length " + std::to_string(stream.size()) + " /Filter /FlateDecode >>\nstream\n" + stream +
          "\nendstream",
      "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
  };
  std::string xref = "xref\n0 6\n0000000000 65535 f \n";
  for (int i = 0; i < 5; ++i) {
    char line[24];
    std::snprintf(line, sizeof line, "%010zu 00000 n \n", pdf.size());
    xref += line;
    pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  const std::size_t at = pdf.size();
  return pdf + xref + "trailer\n<< /Size 6 /Root 1 0 R >>\nstartxref\n" + std::to_string(at) + "\n%%EOF\n";
}

TEST(PdfHostile, HugePageStopsAtTheMemoryBoundAndSaysSo) {
  ScratchDir dir;
  const std::string path = dir / "bomb.pdf";
  {
    std::ofstream out(path, std::ios::binary);
    out << OnePagePdf(Deflated("BT /F1 1 Tf 10 10 Td (ab) Tj ET\n", 20000000));
  }
  ConvertResult r = ConvertFile(path, dir / "bomb.txt");
  ASSERT_EQ(r.outcome, Outcome::kWritten) << r.reason;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // A sanitizer slows the reading some fivefold: beside other tests on a
  // busy machine the reading's time bound may come first, which stops it
  // as soundly.
  EXPECT_THAT(r.reason, ::testing::AnyOf(::testing::HasSubstr("too much memory"), ::testing::HasSubstr("took too long")));
#else
  EXPECT_THAT(r.reason, ::testing::HasSubstr("too much memory"));
#endif
  EXPECT_THAT(quarn::testing::ReadFile(dir / "bomb.txt"), ::testing::StartsWith("ab"));
}

}  // namespace
}  // namespace quarn
