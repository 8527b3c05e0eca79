// The corpus's pictures (png jpg tif gif bmp webp) and image-only PDFs through
// ConvertFile from a scratch copy: nothing fails or runs past its bound, and
// the words of the reference text, or of the tesseract command's output where
// there is no reference, are found.  Prints the recall of every file and of
// every folder.  Skipped when the corpus is absent.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "app/main.h"
#include "convert/conversion_options.h"
#include "tests/support/recall.h"

namespace quarn {
namespace {

namespace fs = std::filesystem;

// Generous bounds for a shared machine: per page read by OCR, and the least
// recall of a folder's mean and of any one file with something to find.
constexpr double kSecondsPerPage = 60.0;
constexpr double kFolderRecall = 0.80;
constexpr double kFileRecall = 0.50;

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Row {
  std::string file;
  std::string outcome;
  unsigned pages = 0;
  double seconds = 0;
  double recall = -1;
  std::string against;
};

TEST(ImageCorpus, PicturesAndScansGiveTheirText) {
  const fs::path corpus(QUARN_CORPUS);
  if (!fs::is_directory(corpus / "inputs")) GTEST_SKIP() << "no corpus at " << corpus;
  SetConversionOptions({});
  char pattern[] = "/tmp/quarn-ocr-corpus-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const fs::path scratch(pattern);

  std::vector<fs::path> files;
  for (const char* folder : {"png", "jpg", "tif", "gif", "bmp", "webp", "pdf/_scanned"}) {
    const fs::path dir = corpus / "inputs" / folder;
    if (!fs::is_directory(dir)) continue;
    for (const auto& e : fs::recursive_directory_iterator(dir))
      if (e.is_regular_file()) files.push_back(fs::relative(e.path(), corpus / "inputs"));
  }
  std::sort(files.begin(), files.end());
  ASSERT_FALSE(files.empty());

  std::vector<Row> rows;
  std::map<std::string, std::pair<double, int>> folders;  // recall sum and count per top folder
  for (const fs::path& rel : files) {
    const fs::path copy = scratch / ("f" + std::to_string(rows.size())) / rel.filename();
    fs::create_directories(copy.parent_path());
    fs::copy_file(corpus / "inputs" / rel, copy);
    const std::string out = (copy.parent_path() / "out.txt").string();
    Row row;
    row.file = rel.string();
    const auto start = std::chrono::steady_clock::now();
    const ConvertResult r = ConvertFile(copy.string(), out);
    row.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    row.pages = r.recognized_pages;
    row.outcome = r.outcome == Outcome::kWritten ? (r.reason.empty() ? "written" : "partial")
                  : r.outcome == Outcome::kNoText ? "no text"
                                                  : "failed";
    EXPECT_NE(r.outcome, Outcome::kFailed) << row.file << ": " << r.reason;
    EXPECT_LT(row.seconds, kSecondsPerPage * std::max(1u, row.pages)) << row.file;

    const std::string ours = fs::exists(out) ? ReadFile(out) : std::string();
    const fs::path ref = corpus / "reference" / (rel.string() + ".ref.txt");
    const fs::path peer = corpus / "peer/tesseract" / (rel.string() + ".txt");
    std::string expected;
    if (fs::exists(ref) && !test::Words(ReadFile(ref)).empty()) {
      expected = ReadFile(ref);
      row.against = "reference";
    } else if (fs::exists(peer) && !test::Words(ReadFile(peer)).empty()) {
      expected = ReadFile(peer);
      row.against = "tesseract";
    }
    if (!expected.empty()) {
      row.recall = test::BagOfWordsRecall(expected, ours).value();
      EXPECT_GE(row.recall, kFileRecall) << row.file << " against " << row.against;
      EXPECT_GT(row.pages, 0u) << row.file << " has text to find, but OCR read none";
      const std::string top = rel.begin()->string() == "pdf" ? "pdf/_scanned" : rel.begin()->string();
      folders[top].first += row.recall;
      folders[top].second += 1;
    }
    rows.push_back(row);
  }

  std::printf("%-70s %-8s %5s %8s %7s %s\n", "file", "outcome", "pages", "seconds", "recall", "against");
  for (const Row& row : rows) {
    char recall[16] = "-";
    if (row.recall >= 0) std::snprintf(recall, sizeof recall, "%.3f", row.recall);
    std::printf("%-70s %-8s %5u %8.2f %7s %s\n", row.file.c_str(), row.outcome.c_str(), row.pages, row.seconds,
                recall, row.against.c_str());
  }
  for (const auto& [folder, sum] : folders) {
    const double mean = sum.first / sum.second;
    std::printf("folder %-14s scored %2d  mean recall %.3f\n", folder.c_str(), sum.second, mean);
    EXPECT_GE(mean, kFolderRecall) << folder;
  }
  std::error_code ec;
  fs::remove_all(scratch, ec);
}

}  // namespace
}  // namespace quarn
