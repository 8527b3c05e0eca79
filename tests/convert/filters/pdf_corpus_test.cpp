// Every PDF of the shared corpus through ConvertFile, from a scratch copy:
// nothing may crash or run past the time bound, and the words of the
// reference text (or of the peer whose words we find best) must be found in
// our output.  Skipped when the corpus is absent.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "app/main.h"
#include "tests/support/pdf_samples.h"
#include "tests/support/recall.h"

namespace quarn {
namespace {

namespace fs = std::filesystem;
using quarn::testing::ReadFile;

constexpr double kSecondsPerFile = 20.0;
// Mean recall over the ordinary files, and the least any one of them may reach.
constexpr double kMeanRecall = 0.98;
constexpr double kFileRecall = 0.90;

// Words: runs of letters and digits; bytes of multi-byte characters count as
// letters, so non-Latin words count too.  ASCII is folded to lower case.  A
// replacement character (a glyph a peer could not map to a character) is no
// letter.
std::map<std::string, int> Words(const std::string& text) {
  std::map<std::string, int> words;
  std::string w;
  auto flush = [&] {
    if (!w.empty()) ++words[w];
    w.clear();
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (text.compare(i, 3, "\xEF\xBF\xBD") == 0) {
      flush();
      i += 2;
    } else if (c >= 0x80 || std::isalnum(c)) {
      w.push_back(static_cast<char>(std::tolower(c)));
    } else {
      flush();
    }
  }
  flush();
  return words;
}

// Share of the expected words (with their counts) that ours contain; -1 when
// nothing is expected.
double Recall(const std::map<std::string, int>& expected, const std::map<std::string, int>& ours) {
  long total = 0, found = 0;
  for (const auto& [word, n] : expected) {
    total += n;
    auto it = ours.find(word);
    if (it != ours.end()) found += std::min(n, it->second);
  }
  return total == 0 ? -1.0 : static_cast<double>(found) / static_cast<double>(total);
}

struct Row {
  std::string file;
  std::string outcome;
  double seconds = 0;
  double recall = -1;
  std::string against;
  double pdftotext = -1;  // recall against pdftotext alone, for the table
};

TEST(PdfCorpus, ConvertsEveryFileInTimeAndFindsTheWords) {
  const fs::path corpus(QUARN_CORPUS);
  const fs::path inputs = corpus / "inputs/pdf";
  if (!fs::is_directory(inputs)) GTEST_SKIP() << "no corpus at " << inputs;
  quarn::testing::ScratchDir scratch;

  std::vector<fs::path> files;
  for (const auto& e : fs::recursive_directory_iterator(inputs))
    if (e.is_regular_file()) files.push_back(fs::relative(e.path(), inputs));
  std::sort(files.begin(), files.end());

  std::vector<Row> rows;
  double sum = 0;
  int scored = 0;
  std::vector<double> recalls;
  for (const fs::path& rel : files) {
    // Folders named with a leading "_" hold damaged, hostile, encrypted,
    // mislabelled and scanned files: they must not crash or hang, but their
    // words are not expected.
    const bool ordinary = rel.begin()->string()[0] != '_';
    const fs::path copy = scratch.path() / ("f" + std::to_string(rows.size())) / rel.filename();
    fs::create_directories(copy.parent_path());
    fs::copy_file(inputs / rel, copy);
    const std::string out = (copy.parent_path() / "out.txt").string();

    Row row;
    row.file = rel.string();
    auto start = std::chrono::steady_clock::now();
    ConvertResult r = ConvertFile(copy.string(), out);
    row.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    row.outcome = r.outcome == Outcome::kWritten ? (r.reason.empty() ? "written" : "partial")
                  : r.outcome == Outcome::kNoText ? "no text"
                                                  : "failed";
    // Pages without text are read by OCR, which takes its own time per page.
    EXPECT_LT(row.seconds, kSecondsPerFile * (1 + r.recognized_pages)) << row.file;
    EXPECT_NE(r.outcome, Outcome::kFailed) << row.file << ": " << r.reason;

    if (ordinary) {
      const auto ours = Words(fs::exists(out) ? ReadFile(out) : std::string());
      const fs::path ref = corpus / "reference/pdf" / (rel.string() + ".ref.txt");
      if (fs::exists(ref)) {
        row.recall = Recall(Words(ReadFile(ref)), ours);
        row.against = "reference";
      } else {
        for (const char* peer : {"pdftotext", "mutool"}) {
          const fs::path p = corpus / "peer" / peer / "pdf" / (rel.string() + ".txt");
          if (!fs::exists(p)) continue;
          double rc = Recall(Words(ReadFile(p)), ours);
          if (std::string(peer) == "pdftotext") row.pdftotext = rc;
          if (rc > row.recall) {
            row.recall = rc;
            row.against = peer;
          }
        }
      }
      if (row.recall >= 0) {
        sum += row.recall;
        ++scored;
        recalls.push_back(row.recall);
        EXPECT_GE(row.recall, kFileRecall) << row.file << " against " << row.against;
      }
    }
    rows.push_back(row);
  }

  std::printf("%-58s %-8s %7s %7s %-10s %9s\n", "file", "outcome", "seconds", "recall", "against",
              "pdftotext");
  auto fmt = [](double v) {
    char s[16] = "-";
    if (v >= 0) std::snprintf(s, sizeof s, "%.3f", v);
    return std::string(s);
  };
  for (const Row& row : rows)
    std::printf("%-58s %-8s %7.3f %7s %-10s %9s\n", row.file.c_str(), row.outcome.c_str(), row.seconds,
                fmt(row.recall).c_str(), row.against.c_str(), fmt(row.pdftotext).c_str());
  ASSERT_GT(scored, 0);
  const double mean = sum / scored;
  std::printf("files %zu, scored %d, mean recall %.3f (threshold %.2f mean, %.2f per file)\n", rows.size(), scored,
              mean, kMeanRecall, kFileRecall);
  std::printf("%-6s %6s %8s %8s\n%-6s %6d %8.3f %8.3f\n", "format", "scored", "median", "p10", "pdf", scored,
              quarn::test::Quantile(recalls, 0.5), quarn::test::Quantile(recalls, 0.1));
  EXPECT_GE(mean, kMeanRecall);
}

}  // namespace
}  // namespace quarn
