// The OOXML filters over the shared corpus of real documents: every file is
// read without a crash and within a time bound, and per format the median
// bag-of-words recall against the reference text (else the best peer's) is
// high.  Skipped when the corpus is absent.
#include <gtest/gtest.h>

#include "tests/support/recall.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "convert/filters/builtin.h"

namespace quarn {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Words as the shared recall helper counts them, in a bag.
std::map<std::string, int> Words(const std::string& text) {
  std::map<std::string, int> bag;
  for (std::string& w : quarn::test::Words(text)) ++bag[std::move(w)];
  return bag;
}

// Share of the expected words (with their counts) that ours holds; 1 when
// nothing is expected.  Against a peer's export of a workbook, which holds
// the numbers cells store rather than the values they show, bare numbers
// are not compared (see test::Counted).
double Recall(const std::string& ours, const std::string& expected,
              test::Counted counted = test::Counted::kAllWords) {
  auto want = Words(expected);
  if (counted == test::Counted::kWordsWithLetters)
    std::erase_if(want, [](const auto& w) { return test::IsDigits(w.first); });
  auto have = Words(ours);
  long total = 0, found = 0;
  for (const auto& [w, n] : want) {
    total += n;
    auto it = have.find(w);
    if (it != have.end()) found += std::min(n, it->second);
  }
  return total == 0 ? 1.0 : static_cast<double>(found) / static_cast<double>(total);
}

// Some references are a pandoc AST: only its Str "..." words are text.
std::string ReferenceText(const std::string& ref) {
  if (ref.find("Str \"") == std::string::npos) return ref;
  std::string out;
  for (std::size_t i = ref.find("Str \""); i != std::string::npos; i = ref.find("Str \"", i)) {
    i += 5;
    for (; i < ref.size() && ref[i] != '"'; ++i) {
      if (ref[i] == '\\' && i + 1 < ref.size()) ++i;
      out.push_back(ref[i]);
    }
    out.push_back(' ');
  }
  return out;
}

// Files known to score low, and why.
const std::map<std::string, std::string> kNotes = {
    {"docx/pandoc/unicode.docx", "the reference spells characters as AST escapes"},
};

TEST(OoxmlCorpus, RecallPerFormat) {
  fs::path corpus(QUARN_CORPUS);
  if (!fs::exists(corpus / "inputs")) GTEST_SKIP() << "no corpus at " << corpus;
  fs::path scratch = fs::path(QUARN_BINARY_DIR) / "ooxml_corpus";
  fs::remove_all(scratch);
  std::printf("%-6s %6s %8s %8s %8s %8s\n", "format", "files", "median", "p10", "min", "<0.5");
  for (std::string fmt : {"docx", "xlsx", "pptx"}) {
    fs::path inputs = corpus / "inputs" / fmt;
    if (!fs::exists(inputs)) continue;
    std::vector<double> recalls;
    int low = 0;
    for (const auto& e : fs::recursive_directory_iterator(inputs)) {
      if (!e.is_regular_file()) continue;
      fs::path rel = fs::relative(e.path(), corpus / "inputs");
      fs::path copy = scratch / rel;
      fs::create_directories(copy.parent_path());
      fs::copy_file(e.path(), copy, fs::copy_options::overwrite_existing);

      TextSink sink;
      auto start = std::chrono::steady_clock::now();
      ExtractResult r = ExtractWithBuiltin(fmt, copy.string(), sink);
      double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      EXPECT_LT(secs, 30.0) << rel;
      std::string top = rel.begin() != rel.end() ? std::next(rel.begin())->string() : "";
      if (!top.empty() && top[0] == '_') continue;  // damaged, hostile, encrypted, mislabelled

      std::string text = sink.Joined();
      fs::path ref = corpus / "reference" / (rel.string() + ".ref.txt");
      double recall = -1;
      if (fs::exists(ref)) {
        recall = Recall(text, ReferenceText(ReadAll(ref)));
      } else {
        for (const auto& peer : fs::directory_iterator(corpus / "peer")) {
          fs::path out = peer.path() / (rel.string() + ".txt");
          if (!fs::exists(out)) continue;
          if (fmt == "xlsx")
            recall = std::max(recall, Recall(text, test::WithoutSheetBanners(ReadAll(out)),
                                             test::Counted::kWordsWithLetters));
          else
            recall = std::max(recall, Recall(text, ReadAll(out)));
        }
      }
      if (recall < 0) continue;
      recalls.push_back(recall);
      if (recall < 0.95 && std::getenv("QUARN_CORPUS_VERBOSE")) std::printf("  %.2f %s\n", recall, rel.c_str());
      if (recall < 0.5) {
        ++low;
        std::printf("  low %.2f %s (%s)\n", recall, rel.c_str(), r.reason.c_str());
        EXPECT_TRUE(kNotes.count(rel.string())) << rel << " recall " << recall;
      }
    }
    if (recalls.empty()) continue;
    std::sort(recalls.begin(), recalls.end());
    double median = recalls[recalls.size() / 2];
    if (recalls.size() % 2 == 0) median = (recalls[recalls.size() / 2 - 1] + median) / 2;
    std::printf("%-6s %6zu %8.3f %8.3f %8.3f %8d\n", fmt.c_str(), recalls.size(), median,
                quarn::test::Quantile(recalls, 0.1), recalls.front(), low);
    EXPECT_GE(median, 0.95) << fmt;
  }
  fs::remove_all(scratch);
}

}  // namespace
}  // namespace quarn
