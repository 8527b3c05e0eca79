// PostScript and EPS through the registry and the pipeline, over the small
// programs in tests/data/postscript: pages as a PDF's, the programs that
// fail or try to reach outside their file, and the forms a print file comes
// in (EPS, DOS EPS, a printer job, compressed, under another name).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "app/main.h"
#include "convert/filter.h"
#include "convert/filters/postscript/postscript_filter.h"
#include "convert/filters/sniff.h"
#include "tests/support/filter_support.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_tree.h"

namespace quarn {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using quarn::testing::TempTree;

std::string Sample(const char* name) { return std::string(QUARN_TEST_DATA) + "/postscript/" + name; }

// A DOS EPS: a 30-byte header giving where the program lies, then the
// program, no preview.
std::string DosEps(const std::string& program) {
  auto le32 = [](std::uint32_t v) {
    std::string s;
    for (int i = 0; i < 4; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
    return s;
  };
  return "\xC5\xD0\xD3\xC6" + le32(30) + le32(static_cast<std::uint32_t>(program.size())) + le32(0) + le32(0) +
         le32(0) + le32(0) + "\xFF\xFF" + program;
}

TEST(PostScript, ProgramsGiveTheTextOfThePagesTheyPrint) {
  FilterText t = ExtractFilterText(test::Builtins(), Sample("timetable.ps"));
  EXPECT_TRUE(t.problem.empty()) << t.problem;
  EXPECT_EQ(t.reader, "postscript");
  EXPECT_EQ(t.pages, 2);
  EXPECT_THAT(t.text, HasSubstr("Harbour ferry timetable for the winter quarter\nCrossings leave every forty minutes"));
  EXPECT_THAT(t.text, HasSubstr("Second page: pilot notes and budget"));
  EXPECT_LT(t.text.find("winter quarter"), t.text.find("Second page"));

  FilterText eps = ExtractFilterText(test::Builtins(), Sample("fig.eps"));
  EXPECT_EQ(eps.pages, 1);
  EXPECT_THAT(eps.text, HasSubstr("Figure three: tide levels"));

  // The same picture with a DOS EPS header, a printer job that switches to
  // PostScript, and a compressed program: all read by their content.
  TempTree tree;
  EXPECT_THAT(test::Extracted(tree.Write("dos.eps", DosEps(TempTree::Read(Sample("fig.eps"))))),
              HasSubstr("Figure three: tide levels"));
  EXPECT_THAT(test::Extracted(Sample("memo.prn")), HasSubstr("Crossings leave every forty minutes"));
  EXPECT_THAT(test::Extracted(Sample("timetable.ps.gz")), HasSubstr("Second page: pilot notes and budget"));
  ConvertResult renamed = ConvertFile(tree.Write("timetable.data", TempTree::Read(Sample("timetable.ps"))),
                                      tree / "timetable.txt");
  ASSERT_EQ(renamed.outcome, Outcome::kWritten) << renamed.reason;
  EXPECT_THAT(TempTree::Read(tree / "timetable.txt"), HasSubstr("winter quarter"));
}

TEST(PostScript, AProgramThatStopsAtAnErrorKeepsThePagesBeforeItAndNothingOutsideItsFile) {
  FilterText broken = ExtractFilterText(test::Builtins(), Sample("broken.ps"));
  EXPECT_TRUE(broken.incomplete);
  EXPECT_THAT(broken.problem, HasSubstr("stopped at an error (/undefined in nosuchoperator)"));
  EXPECT_THAT(broken.text, HasSubstr("Minutes of the first meeting"));
  EXPECT_THAT(broken.text, Not(HasSubstr("never ends")));

  // Reading another file is refused: the page before it stays, the file's
  // contents never reach the text.
  FilterText steal = ExtractFilterText(test::Builtins(), Sample("steal.ps"));
  EXPECT_THAT(steal.problem, HasSubstr("/invalidfileaccess"));
  EXPECT_THAT(steal.text, HasSubstr("Before the theft"));
  EXPECT_THAT(steal.text, Not(HasSubstr("root:")));

  // Nor may a program, run as the program runs it (in its confined
  // converter), delete or write a file: Ghostscript's own guard still lets a
  // program change files in the temporary folder, which for the converter
  // is a private one.
  TempTree tree;
  const std::string victim = tree.Write("victim.txt", "keep me");
  const std::string written = tree / "written.txt";
  const std::string program = "%!PS\n(" + victim + ") deletefile\n(" + written +
                              ") (w) file (x) writestring\n/Helvetica findfont 12 scalefont setfont\n"
                              "72 720 moveto (done) show showpage\n";
  const std::string hostile = tree.Write("hostile.ps", program);
  const quarn::testing::RunResult run = quarn::testing::RunQuarn({"--batch", "--jsonl", hostile}, {});
  EXPECT_THAT(run.out, HasSubstr("\"status\":\"no_text\""));
  EXPECT_THAT(run.out, HasSubstr("stopped at an error"));
  EXPECT_EQ(TempTree::Read(victim), "keep me");
  EXPECT_FALSE(std::filesystem::exists(written));

  // Not a program at all, and an empty one.
  for (const char* bytes : {"plain words under a PostScript name\n", "%!PS\n"}) {
    ConvertResult none = ConvertFile(tree.Write("none.ps", bytes), tree / "none.txt");
    EXPECT_NE(none.outcome, Outcome::kWritten);
    EXPECT_FALSE(std::filesystem::exists(tree / "none.txt"));
  }
}

TEST(PostScript, TheSignatureTellsProgramsFromFontsAndOtherLanguages) {
  EXPECT_TRUE(LooksLikePostScript("%!PS-Adobe-3.0\n%%Pages: 1\n"));
  EXPECT_TRUE(LooksLikePostScript("%!PS-Adobe-3.0 EPSF-3.0\r\n"));
  EXPECT_TRUE(LooksLikePostScript("%!\n/Times-Roman findfont\n"));
  EXPECT_TRUE(LooksLikePostScript(DosEps("%!PS-Adobe-3.0 EPSF-3.0\n")));
  EXPECT_TRUE(LooksLikePostScript("\x1B%-12345X@PJL JOB\r\n@PJL ENTER LANGUAGE = POSTSCRIPT\r\n%!PS\n"));
  EXPECT_FALSE(LooksLikePostScript("\x1B%-12345X@PJL JOB\r\n@PJL ENTER LANGUAGE = PCL\r\n"));
  EXPECT_FALSE(LooksLikePostScript("%!PS-AdobeFont-1.0: Courier 001.004\n"));
  EXPECT_FALSE(LooksLikePostScript("%!FontType1-1.0: Symbol\n"));
  EXPECT_FALSE(LooksLikePostScript("%!bang lines of another kind\n"));
  EXPECT_FALSE(LooksLikePostScript("% !PS\n"));
  EXPECT_EQ(PostScriptError("GPL Ghostscript\nError: /syntaxerror in --token--\nOperand stack:\n"),
            "/syntaxerror in --token--");
  EXPECT_EQ(PostScriptError("no error here"), "");
}

}  // namespace
}  // namespace quarn
