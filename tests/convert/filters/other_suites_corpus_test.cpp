// Runs the program over the shared corpus's documents of the other suites
// (WordPerfect, Works, iWork, Visio, Publisher, StarOffice, AbiWord, XPS,
// FictionBook, DjVu, Markdown), each copied to a scratch folder and
// converted in a child process with a time limit: no crash, no hang, a clear
// result for every file, a median bag-of-words recall of at least 0.95 per
// format against the reference text or the peer output we agree with best,
// and no file below 0.5 without a note saying why.  Prints one table.
// Skipped when the corpus is absent.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/corpus_program.h"

namespace quarn {
namespace {

namespace fs = std::filesystem;

// Documents whose low recall is understood; the reason is printed.
const std::map<std::string, std::string>& Explained() {
  static const std::map<std::string, std::string> notes = {
      {"abw/abiword/field_types.abw", "the peer fills the fields with the time and page numbers of its own rendering"},
      {"fb2/pandoc/meta.fb2",
       "the reference counts the book's description (title, authors, annotation, date) as text; "
       "document properties are left out"},
  };
  return notes;
}

// The words of a pandoc document tree are its Str "..." leaves.
std::string AstText(const std::string& ast) {
  static const std::regex str(R"re(Str "((?:[^"\\]|\\.)*)")re");
  std::string text;
  for (auto it = std::sregex_iterator(ast.begin(), ast.end(), str); it != std::sregex_iterator(); ++it)
    text += (*it)[1].str() + " ";
  return text;
}

// LibreOffice's spreadsheet output names each sheet's CSV file: no text.
std::string WithoutSheetBanners(const std::string& t) {
  std::string out;
  std::istringstream in(t);
  for (std::string line; std::getline(in, line);)
    if (line.rfind("=== sheet file:", 0) != 0) out += line + "\n";
  return out;
}

// The reference (a pandoc document tree as its words) or the peer output we
// agree with best; texts without words are not scored.
corpus::Match Compare(const fs::path& corpus, const std::string& rel, const std::string& note, const std::string& got) {
  return corpus::BestMatch(corpus, rel, [&](const std::string& source, std::string text) -> std::optional<double> {
    if (source != "reference") text = WithoutSheetBanners(text);
    else if (note.find("AST") != std::string::npos) text = AstText(text);
    if (test::Words(text).empty()) return std::nullopt;
    return test::BagOfWordsRecall(text, got).value();
  });
}

TEST(OtherSuitesCorpus, ConvertsLikeTheBestPeersAndSurvivesDamage) {
  const fs::path corpus = QUARN_CORPUS;
  if (!fs::exists(corpus / "inputs")) GTEST_SKIP() << "no corpus at " << corpus;
  test::TempDir scratch;
  const auto notes = corpus::ManifestNotes(corpus);
  const char* formats[] = {"wpd", "wps", "wks", "pages", "numbers", "key", "vsd", "vsdx", "pub", "sxw",  "sxc",
                           "sxi", "sxd", "sdw", "sdc",   "sdd",     "sda", "abw", "xps",  "fb2", "djvu", "md"};
  std::printf("\n%-8s %5s %5s %6s %7s %7s %7s %8s %7s\n", "format", "files", "text", "scored", "median", "lowest",
              "<0.5", "slowest", "unclear");
  std::vector<std::string> remarks;
  int serial = 0;
  for (const std::string format : formats) {
    const fs::path inputs = corpus / "inputs" / format;
    if (!fs::exists(inputs)) continue;
    corpus::FormatTally tally;
    for (const fs::path& path : corpus::SortedFiles(inputs)) {
      const std::string rel = fs::relative(path, corpus / "inputs").string();
      const std::string note = notes.count(rel) ? notes.at(rel) : std::string();
      // (A zipped book keeps its .zip name: the archive filter finds the book in it.)
      const fs::path in = scratch.path() / ("in" + std::to_string(++serial) + path.extension().string());
      fs::copy_file(path, in);
      const fs::path out = scratch.path() / ("out" + std::to_string(serial) + ".txt");
      const corpus::ChildRun run = corpus::ConvertInChild(in, out, scratch.path() / "stderr.txt");
      const std::string got = fs::exists(out) ? test::ReadFile(out) : std::string();
      tally.Converted(rel, run, got);
      if (rel.find("/_") != std::string::npos && rel.find("/_mislabelled/") == std::string::npos) continue;
      const corpus::Match e = Compare(corpus, rel, note, got);
      if (!e.any) {
        // Nothing to compare with: a scan for OCR, or a file no peer reads.
        remarks.push_back(rel + ": no reference or peer output; " + (got.empty() ? run.err : "text written"));
        continue;
      }
      if (!e.words) {
        // Neither reference nor peers find any words: nothing to score.
        std::string shown = got.substr(0, 40);
        std::replace(shown.begin(), shown.end(), '\n', ' ');
        remarks.push_back(rel + ": the peers find no words; " +
                          (got.find_first_not_of(" \n") == std::string::npos ? "none written" : "written: " + shown));
        continue;
      }
      tally.Scored(rel, e, &Explained());
      if (e.recall < 0.95) {
        const auto why = Explained().find(rel);
        char line[512];
        std::snprintf(line, sizeof line, "%s: recall %.3f against %s%s%s", rel.c_str(), e.recall, e.against.c_str(),
                      why != Explained().end() ? "; " : "", why != Explained().end() ? why->second.c_str() : "");
        remarks.push_back(line);
      }
      fs::remove(in);
      fs::remove(out);
    }
    std::printf("%-8s %5d %5d %6zu %7.3f %7.3f %7d %7.2fs %7d\n", format.c_str(), tally.files, tally.with_text,
                tally.recalls.size(), tally.Median(), tally.Lowest(), tally.below, tally.slowest, tally.unclear);
    EXPECT_GE(tally.Median(), 0.95) << format;
  }
  for (const std::string& r : remarks) std::printf("  %s\n", r.c_str());
  std::fflush(stdout);
}

}  // namespace
}  // namespace quarn
