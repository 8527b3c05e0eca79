// Converts every ordinary OpenDocument and EPUB file of the shared corpus
// (copied to a scratch folder first) and compares the words found with the
// reference text, or with the best peer tool's output where there is none.
// Prints one table per format.  Skipped when the corpus is absent.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "app/main.h"
#include "tests/support/corpus_program.h"
#include "tests/support/filter_support.h"
#include "tests/support/recall.h"

namespace quarn {
namespace {

namespace fs = std::filesystem;

constexpr double kSecondsPerFile = 20.0;

// Documents whose low recall is understood; the reason is printed.
const std::map<std::string, std::string>& Explained() {
  static const std::map<std::string, std::string> notes = {
      {"odftoolkit/Presentation1.odp", "the peer splits words at every formatting change (\"t ex t\")"},
  };
  return notes;
}

// Documents from which no text is the right result, and why.
const std::map<std::string, std::string>& NoTextExpected() {
  static const std::map<std::string, std::string> notes = {
      {"kfilemetadata/test_missing_content.odt", "the package has no content.xml"},
      {"ocrmypdf/tagged.odt", "the zip directory disagrees with its entries; the zip reader refuses it"},
  };
  return notes;
}

struct Row {
  std::string name;
  double ms = 0;
  std::string outcome;
  double recall = -1;
  std::string against;
};

// Reference text first (the plain-text form of a pandoc document tree where
// the manifest names one); otherwise the peer output agreed with best.
void Compare(const fs::path& corpus, const fs::path& rel, const std::string& text, const std::string& note,
             Row& row) {
  fs::path ref = corpus / "reference" / (rel.string() + ".ref.txt");
  if (note.find("AST") != std::string::npos) ref = corpus / "_reference" / (rel.string() + ".ref.txt");
  if (fs::exists(ref)) {
    row.recall = test::BagOfWordsRecall(test::ReadFile(ref), text).value();
    row.against = ref.parent_path().string().find("_reference") != std::string::npos ? "reference (text)"
                                                                                    : "reference";
    return;
  }
  std::error_code ec;
  for (const fs::directory_entry& peer : fs::directory_iterator(corpus / "peer", ec)) {
    fs::path out = peer.path() / (rel.string() + ".txt");
    if (!fs::exists(out)) continue;
    const bool sheet = rel.begin() != rel.end() && rel.begin()->string() == "ods";
    double r = sheet ? test::BagOfWordsRecall(test::WithoutSheetBanners(test::ReadFile(out)), text,
                                              test::Counted::kWordsWithLetters)
                           .value()
                     : test::BagOfWordsRecall(test::ReadFile(out), text).value();
    if (r > row.recall) {
      row.recall = r;
      row.against = peer.path().filename().string();
    }
  }
}

void RunFormat(const std::string& format) {
  const fs::path corpus = QUARN_CORPUS;
  const fs::path inputs = corpus / "inputs" / format;
  if (!fs::is_directory(inputs)) GTEST_SKIP() << "no corpus at " << inputs;
  test::TempDir scratch;
  const std::map<std::string, std::string> notes = corpus::ManifestNotes(corpus);
  std::vector<Row> rows;
  for (const fs::directory_entry& e : fs::recursive_directory_iterator(inputs)) {
    if (!e.is_regular_file()) continue;
    const fs::path within = fs::relative(e.path(), inputs);
    if (within.string()[0] == '_') continue;  // encrypted, corrupt: the unit tests cover those
    const fs::path rel = fs::relative(e.path(), corpus / "inputs");
    const std::string note = notes.count(rel.string()) ? notes.at(rel.string()) : std::string();
    Row row;
    row.name = within.string();
    const fs::path copy = scratch.path() / e.path().filename();
    fs::path out = copy;
    out.replace_extension(".txt");
    fs::copy_file(e.path(), copy, fs::copy_options::overwrite_existing);
    fs::remove(out);
    auto start = std::chrono::steady_clock::now();
    ConvertResult r = ConvertFile(test::Builtins(), copy.string(), out.string());
    row.ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    row.outcome = r.outcome == Outcome::kWritten ? "written" : r.outcome == Outcome::kNoText ? "no text" : "failed";
    const bool blank = note.find("no text") != std::string::npos || note.find("empty") != std::string::npos ||
                       NoTextExpected().count(row.name);
    if (NoTextExpected().count(row.name)) row.outcome += " (" + NoTextExpected().at(row.name) + ")";
    if (!blank) {
      EXPECT_EQ(r.outcome, Outcome::kWritten) << row.name << ": " << r.reason;
    }
    EXPECT_LT(row.ms, kSecondsPerFile * 1000) << row.name;
    if (r.outcome == Outcome::kWritten) Compare(corpus, rel, test::ReadFile(out), note, row);
    fs::remove(copy);
    fs::remove(out);
    rows.push_back(row);
  }
  std::vector<double> recalls;
  std::printf("%-55s %9s %-8s %7s  %s\n", "document", "ms", "outcome", "recall", "against");
  for (const Row& row : rows) {
    if (row.recall < 0) {
      std::printf("%-55s %9.1f %7s  %s\n", row.name.c_str(), row.ms, "-", row.outcome.c_str());
      continue;
    }
    auto why = Explained().find(row.name);
    std::printf("%-55s %9.1f %-8s %7.3f  %s%s\n", row.name.c_str(), row.ms, row.outcome.c_str(), row.recall,
                row.against.c_str(), why != Explained().end() ? ("; " + why->second).c_str() : "");
    recalls.push_back(row.recall);
    if (why == Explained().end()) {
      EXPECT_GE(row.recall, 0.5) << row.name << " against " << row.against;
    }
  }
  std::sort(recalls.begin(), recalls.end());
  const double median = recalls.empty() ? 1.0
                        : recalls.size() % 2 ? recalls[recalls.size() / 2]
                                             : (recalls[recalls.size() / 2 - 1] + recalls[recalls.size() / 2]) / 2;
  std::printf("%s: %zu documents, %zu compared, median recall %.3f, tenth percentile %.3f, lowest %.3f\n",
              format.c_str(), rows.size(), recalls.size(), median,
              recalls.empty() ? 1.0 : test::Quantile(recalls, 0.1), recalls.empty() ? 1.0 : recalls.front());
  EXPECT_FALSE(rows.empty());
  EXPECT_GE(median, 0.95);
}

TEST(OdfCorpus, TextDocuments) { RunFormat("odt"); }
TEST(OdfCorpus, Spreadsheets) { RunFormat("ods"); }
TEST(OdfCorpus, Presentations) { RunFormat("odp"); }
TEST(OdfCorpus, Books) { RunFormat("epub"); }

}  // namespace
}  // namespace quarn
