// Runs the program over the real documents of the shared corpus (doc, xls,
// ppt, eml), each copied to a scratch folder and converted in a child
// process with a time limit: no crash, no hang, a clear result for every
// damaged, encrypted or mislabelled file, and a median bag-of-words recall of
// at least 0.95 against the reference text (or, without one, the peer output
// we agree with best).  Skipped when the corpus is absent.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/support/corpus_program.h"

namespace {

namespace fs = std::filesystem;
using quarn::test::ReadFile;

// Words for the bag: runs of letters and digits, lower-cased for ASCII; each
// Han, kana or Hangul character counts as a word of its own, since those
// scripts do not separate words with spaces and tools space them differently.
std::map<std::string, int> Words(const std::string& text) {
  std::map<std::string, int> bag;
  std::string word;
  auto flush = [&] {
    if (!word.empty()) ++bag[word];
    word.clear();
  };
  for (std::size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    std::size_t len = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    len = std::min(len, text.size() - i);
    if (len == 1) {
      if (std::isalnum(c) || c == '_') word.push_back(static_cast<char>(std::tolower(c)));
      else flush();
    } else {
      char32_t cp = 0;
      if (len == 2) cp = ((c & 0x1F) << 6) | (text[i + 1] & 0x3F);
      if (len == 3) cp = ((c & 0x0F) << 12) | ((text[i + 1] & 0x3F) << 6) | (text[i + 2] & 0x3F);
      if (len == 4) cp = 0x10000;
      bool ideographic = (cp >= 0x3040 && cp <= 0x30FF) || (cp >= 0x3400 && cp <= 0x9FFF) ||
                         (cp >= 0xAC00 && cp <= 0xD7AF) || (cp >= 0xFF66 && cp <= 0xFF9F) || cp >= 0x10000;
      bool punctuation = (cp >= 0x2000 && cp <= 0x206F) || (cp >= 0x3000 && cp <= 0x303F) || cp == 0xA0 ||
                         cp == 0xFFFD || (cp >= 0xFF00 && cp <= 0xFF0F);
      if (ideographic) {
        flush();
        word = text.substr(i, len);
        flush();
      } else if (punctuation) {
        flush();
      } else {
        word += text.substr(i, len);
      }
    }
    i += len;
  }
  flush();
  return bag;
}

// Spreadsheet peers export the numbers cells store, while the workbook (and
// Quarn) shows them through their formats ("2500" against "$2,500.00"): against
// such a peer only words that are not bare digits are comparable.
double Recall(const std::string& expected, const std::string& got, bool words_with_letters = false) {
  auto want = Words(expected), have = Words(got);
  long total = 0, found = 0;
  for (const auto& [w, n] : want) {
    if (words_with_letters && w.find_first_not_of("0123456789") == std::string::npos) continue;
    total += n;
    auto it = have.find(w);
    found += std::min(n, it == have.end() ? 0 : it->second);
  }
  return total == 0 ? 1.0 : static_cast<double>(found) / static_cast<double>(total);
}

// LibreOffice's spreadsheet output names each sheet's CSV file.
std::string WithoutSheetBanners(const std::string& t) {
  std::string cleaned;
  std::size_t pos = 0;
  while (pos < t.size()) {
    std::size_t nl = t.find('\n', pos);
    std::string line = t.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos + 1);
    if (line.rfind("=== sheet file:", 0) != 0) cleaned += line;
    pos = nl == std::string::npos ? t.size() : nl + 1;
  }
  return cleaned;
}

TEST(LegacyCorpus, ConvertsLikeTheBestPeersAndSurvivesDamage) {
  fs::path corpus = QUARN_CORPUS;
  if (const char* env = std::getenv("QUARN_CORPUS")) corpus = env;
  if (!fs::exists(corpus / "inputs")) GTEST_SKIP() << "no corpus at " << corpus;
  char tmpl[] = "/tmp/quarn-corpus-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  fs::path scratch = tmpl;

  int serial = 0;
  std::printf("\n%-5s %5s %5s %7s %7s %7s %7s %8s %8s %8s\n", "fmt", "files", "text", "scored", "special", "median",
              "p10", "min", "slowest", "failed");
  for (std::string format : {"doc", "xls", "ppt", "eml"}) {
    fs::path inputs = corpus / "inputs" / format;
    if (!fs::exists(inputs)) continue;
    quarn::corpus::FormatTally tally;
    for (const fs::path& path : quarn::corpus::SortedFiles(inputs)) {
      std::string rel = fs::relative(path, corpus / "inputs").string();
      bool is_special = rel.find("/_corrupt/") != std::string::npos || rel.find("/_encrypted/") != std::string::npos ||
                        rel.find("/_mislabelled/") != std::string::npos || rel.find("/_hostile/") != std::string::npos;
      ++serial;
      fs::path in = scratch / ("in" + std::to_string(serial) + path.extension().string());
      fs::copy_file(path, in, fs::copy_options::overwrite_existing);
      fs::path out = scratch / ("out" + std::to_string(serial) + ".txt");
      quarn::corpus::ChildRun run = quarn::corpus::ConvertInChild(in, out, scratch / "stderr.txt");
      std::string got = fs::exists(out) ? ReadFile(out) : std::string();
      tally.Converted(rel, run, got);
      if (is_special) {
        ++tally.special;
        if (rel.find("/_encrypted/") != std::string::npos) {
          EXPECT_NE(run.err.find("password"), std::string::npos) << rel << ": " << run.err;
        }
        continue;
      }
      // The reference, else the peer output we agree with best (peers differ
      // in what they include, e.g. master slides).
      const quarn::corpus::Match m =
          quarn::corpus::BestMatch(corpus, rel, [&](const std::string& source, const std::string& text) {
            if (source == "reference") return Recall(text, got);
            return Recall(WithoutSheetBanners(text), got, format == "xls");
          });
      if (m.recall < 0) continue;
      tally.Scored(rel, m, nullptr);
      if (m.recall < 0.8) std::printf("  low recall %.3f against %s: %s\n", m.recall, m.against.c_str(), rel.c_str());
    }
    std::printf("%-5s %5d %5d %7zu %7d %7.3f %7.3f %8.3f %7.2fs %8d\n", format.c_str(), tally.files, tally.with_text,
                tally.recalls.size(), tally.special, tally.Median(), tally.TenthPercentile(), tally.Lowest(),
                tally.slowest, tally.unclear);
    EXPECT_GE(tally.Median(), 0.95) << format;
  }
  std::fflush(stdout);
  fs::remove_all(scratch);
}

}  // namespace
