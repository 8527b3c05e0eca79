// Signed files through the registry and the pipeline, over the samples
// tests/data/signed/make_samples.sh writes with the openssl tool: the
// document inside in each written form, and the files that hold none.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "app/main.h"
#include "convert/filter.h"
#include "tests/support/filter_support.h"
#include "tests/support/temp_tree.h"

namespace quarn {
namespace {

using ::testing::HasSubstr;
using quarn::testing::TempTree;

std::string Sample(const char* name) { return std::string(QUARN_TEST_DATA) + "/signed/" + name; }

constexpr const char* kInvoice = "Harbour Supplies Ltd\nRope, 40 metres\n118.50\nPayment within thirty days of delivery.\n";

TEST(Signed, TheDocumentInsideReadsAsIfItStoodAlone) {
  // DER (as e-invoices come), signed twice, PEM, and bare base64 around a PDF.
  EXPECT_EQ(test::Extracted(Sample("invoice.xml.p7m")), kInvoice);
  EXPECT_EQ(test::Extracted(Sample("invoice.xml.p7m.p7m")), kInvoice);
  EXPECT_EQ(test::Extracted(Sample("letter.txt.p7m")), "Dear members,\nthe spring meeting is moved to the harbour office.\n");
  FilterText pdf = ExtractFilterText(test::Builtins(), Sample("report.pdf.p7m"));
  EXPECT_TRUE(pdf.problem.empty()) << pdf.problem;
  EXPECT_THAT(pdf.text, HasSubstr("the quarterly report"));
  EXPECT_EQ(pdf.pages, 2);
  // A message signed whole (S/MIME) shows its body.
  EXPECT_THAT(test::Extracted(Sample("signed-mail.eml")), HasSubstr("The minutes of the meeting are attached"));
}

TEST(Signed, FilesWithoutADocumentSayWhy) {
  TempTree tree;
  auto convert = [&](const std::string& name, const std::string& bytes) {
    const std::string path = tree.Write(name, bytes);
    return ConvertFile(path, path + ".txt");
  };
  EXPECT_THAT(convert("letter.p7s", TempTree::Read(Sample("letter.p7s"))).reason, HasSubstr("a detached signature"));
  EXPECT_THAT(convert("sealed.txt.p7m", TempTree::Read(Sample("sealed.txt.p7m"))).reason, HasSubstr("encrypted"));
  const std::string der = TempTree::Read(Sample("invoice.xml.p7m"));
  for (const std::string& damaged : {der.substr(0, der.size() / 2), std::string("random bytes, no signature"),
                                     std::string(), std::string("-----BEGIN CMS-----\nAAAA\n-----END CMS-----\n")}) {
    ConvertResult r = convert("damaged.xml.p7m", damaged);
    EXPECT_EQ(r.outcome, Outcome::kNoText) << r.reason;
    EXPECT_FALSE(r.reason.empty());
  }
  // Found by its content under another name.
  ConvertResult renamed = convert("invoice.xml", der);
  ASSERT_EQ(renamed.outcome, Outcome::kWritten) << renamed.reason;
  EXPECT_EQ(TempTree::Read(tree / "invoice.xml.txt"), kInvoice);
}

}  // namespace
}  // namespace quarn
