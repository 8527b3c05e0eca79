// Runs over the shared corpus of third-party documents for the corpus
// programs of several modules: each document (copied to a scratch folder
// first) is converted and the words found are compared with the reference
// text, or with the best peer tool's output where there is no reference.
// The callers skip themselves when the corpus is absent.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "app/main.h"
#include "convert/filters/builtin.h"
#include "tests/support/corpus_program.h"
#include "tests/support/filter_support.h"
#include "tests/support/recall.h"

namespace quarn {
namespace corpus {

namespace fs = std::filesystem;

// A conversion of a small document that takes longer than this is a hang.
inline constexpr double kSecondsPerFile = 10.0;

struct Row {
  std::string name;
  double ms = 0;
  std::string outcome;
  double recall = -1;
  std::string against;
};

inline bool Ordinary(const fs::path& rel) {
  for (const fs::path& part : rel)
    if (!part.empty() && part.string()[0] == '_') return false;
  return true;
}

// The peer tools read web pages as UTF-8 only: against a page in another
// character set their output is mojibake, no measure of ours.
inline bool PeerMisreads(const std::string& notes) {
  std::string n;
  for (char c : notes) n.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  if (n.find("encoding=utf-8") != std::string::npos) return false;
  for (const char* cs : {"encoding=", "utf-16", "windows-", "koi8", "shift", "big5", "euc", "gb2312", "iso-8859"})
    if (n.find(cs) != std::string::npos) return true;
  return false;
}

// Reference text first; otherwise the peer output the conversion agrees with best.
// A reference that is a document tree (pandoc's native form) is full of
// markup names rather than the document's words: the peers compare instead.
inline void Compare(const fs::path& corpus, const fs::path& rel, const std::string& text, const std::string& notes,
             Row& row) {
  fs::path ref = corpus / "reference" / (rel.string() + ".ref.txt");
  if (fs::exists(ref) && notes.find("AST") == std::string::npos) {
    row.recall = test::BagOfWordsRecall(test::ReadFile(ref), text).value();
    row.against = "reference";
    return;
  }
  std::error_code ec;
  for (const fs::directory_entry& peer : fs::directory_iterator(corpus / "peer", ec)) {
    fs::path out = peer.path() / (rel.string() + ".txt");
    if (!fs::exists(out)) continue;
    double r = test::BagOfWordsRecall(test::ReadFile(out), text).value();
    if (r > row.recall) {
      row.recall = r;
      row.against = peer.path().filename().string();
    }
  }
}

// Converts every ordinary document of the format's folder through the
// program's conversion and checks the mean recall and each file's.
inline void RunConversionCorpus(const std::string& format, double min_mean, double min_each) {
  const fs::path corpus = QUARN_CORPUS;
  const fs::path inputs = corpus / "inputs" / format;
  if (!fs::is_directory(inputs)) GTEST_SKIP() << "no corpus at " << inputs;
  test::TempDir scratch;
  const std::map<std::string, std::string> notes = ManifestNotes(corpus);
  std::vector<Row> rows;
  for (const fs::directory_entry& e : fs::recursive_directory_iterator(inputs)) {
    if (!e.is_regular_file()) continue;
    const fs::path rel = fs::relative(e.path(), corpus / "inputs");
    if (!Ordinary(fs::relative(e.path(), inputs))) continue;
    Row row;
    row.name = fs::relative(e.path(), inputs).string();
    const fs::path copy = scratch.path() / e.path().filename();
    const fs::path out = scratch.path() / "out.txt";
    fs::copy_file(e.path(), copy, fs::copy_options::overwrite_existing);
    fs::remove(out);
    auto start = std::chrono::steady_clock::now();
    ConvertResult r = ConvertFile(test::Builtins(), copy.string(), out.string());
    row.ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    row.outcome = r.outcome == Outcome::kWritten ? "written" : r.outcome == Outcome::kNoText ? "no text" : "failed";
    EXPECT_EQ(r.outcome, Outcome::kWritten) << row.name << ": " << r.reason;
    EXPECT_LT(row.ms, kSecondsPerFile * 1000) << row.name;
    const std::string note = notes.count(rel.string()) ? notes.at(rel.string()) : std::string();
    if (r.outcome == Outcome::kWritten) Compare(corpus, rel, test::ReadFile(out), note, row);
    if (row.recall >= 0 && row.against != "reference" && PeerMisreads(note))
      row.against += " (misread the charset; not counted)";
    fs::remove(copy);
    rows.push_back(row);
  }
  double sum = 0;
  int compared = 0;
  std::vector<double> counted;
  std::printf("%-70s %9s %-8s %7s  %s\n", "document", "ms", "outcome", "recall", "against");
  for (const Row& row : rows) {
    if (row.recall >= 0 && row.against.find("not counted") != std::string::npos) {
      std::printf("%-70s %9.1f %-8s %7.3f  %s\n", row.name.c_str(), row.ms, row.outcome.c_str(), row.recall,
                  row.against.c_str());
    } else if (row.recall >= 0) {
      std::printf("%-70s %9.1f %-8s %7.3f  %s\n", row.name.c_str(), row.ms, row.outcome.c_str(), row.recall,
                  row.against.c_str());
      sum += row.recall;
      ++compared;
      counted.push_back(row.recall);
      EXPECT_GE(row.recall, min_each) << row.name << " against " << row.against;
    } else {
      std::printf("%-70s %9.1f %-8s %7s\n", row.name.c_str(), row.ms, row.outcome.c_str(), "-");
    }
  }
  const double mean = compared ? sum / compared : 1.0;
  std::printf("%s: %zu documents, %d compared, mean recall %.3f (threshold %.2f, each at least %.2f)\n",
              format.c_str(), rows.size(), compared, mean, min_mean, min_each);
  std::printf("%-6s %6s %8s %8s\n%-6s %6d %8.3f %8.3f\n", "format", "scored", "median", "p10", format.c_str(),
              compared, test::Quantile(counted, 0.5), test::Quantile(counted, 0.1));
  EXPECT_FALSE(rows.empty());
  EXPECT_GE(mean, min_mean);
}


// Words: runs of ASCII letters and digits (lower-cased) and of bytes >= 0x80.
inline std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  std::string w;
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    if (std::isalnum(c) || c >= 0x80) {
      w.push_back(static_cast<char>(c < 0x80 ? std::tolower(c) : c));
    } else if (!w.empty()) {
      words.push_back(std::move(w));
      w.clear();
    }
  }
  if (!w.empty()) words.push_back(std::move(w));
  return words;
}

// Share of the reference's words (as a multiset) found in out; -1 for an
// empty reference.
inline double Recall(const std::string& ref, const std::string& out) {
  std::unordered_map<std::string, long> have;
  for (auto& w : Words(out)) ++have[w];
  long total = 0, found = 0;
  for (auto& w : Words(ref)) {
    ++total;
    auto it = have.find(w);
    if (it != have.end() && it->second > 0) {
      --it->second;
      ++found;
    }
  }
  return total ? static_cast<double>(found) / static_cast<double>(total) : -1;
}

inline std::string Slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Inputs whose reference is not plain text (a pandoc AST, Markdown), by their
// manifest notes: those are measured against the peers instead.
inline std::map<std::string, bool> NonTextReferences(const fs::path& corpus) {
  std::map<std::string, bool> out;
  std::ifstream in(corpus / "MANIFEST.tsv");
  std::string line;
  while (std::getline(in, line)) {
    std::string path = line.substr(0, line.find('\t'));
    if (line.find("native AST") != std::string::npos || line.find("pandoc AST") != std::string::npos ||
        line.find("Markdown") != std::string::npos)
      out[path] = true;
  }
  return out;
}

// Reads every document of the format's folder with the built-in filter of
// that name (damaged and hostile ones only for the time bound) and checks the
// median recall; notes name the files whose low recall is understood.
inline void RunFilterCorpus(const std::string& format, const std::map<std::string, std::string>& notes = {}) {
  fs::path corpus(QUARN_CORPUS);
  if (!fs::exists(corpus / "inputs")) GTEST_SKIP() << "no corpus at " << corpus;
  fs::path scratch = fs::temp_directory_path() / ("quarn-" + format + "-corpus-" + std::to_string(::getpid()));
  fs::create_directories(scratch);
  std::map<std::string, bool> non_text = NonTextReferences(corpus);
  std::vector<std::string> table;
  {
    fs::path in = corpus / "inputs" / format;
    if (!fs::exists(in)) GTEST_SKIP() << "no corpus at " << in;
    std::vector<double> recalls;
    double slowest = 0;
    int files = 0;
    for (const auto& e : fs::recursive_directory_iterator(in)) {
      if (!e.is_regular_file()) continue;
      fs::path rel = fs::relative(e.path(), in);
      bool special = rel.begin()->string().starts_with("_");
      fs::path copy = scratch / format / rel;
      fs::create_directories(copy.parent_path());
      fs::copy_file(e.path(), copy, fs::copy_options::overwrite_existing);
      TextSink sink;
      auto t0 = std::chrono::steady_clock::now();
      ExtractResult r = ExtractWithBuiltin(format, copy.string(), sink);
      double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      ++files;
      slowest = std::max(slowest, secs);
      EXPECT_LT(secs, 30.0) << rel;
      if (special) continue;
      std::string out = sink.Joined();
      std::string name = rel.string();
      fs::path ref = corpus / "reference" / format / (name + ".ref.txt");
      double recall = -1;
      std::string against;
      if (fs::exists(ref) && !non_text.count(format + "/" + name)) {
        recall = Recall(Slurp(ref), out);
        against = "reference";
      } else {
        for (const auto& peer : fs::directory_iterator(corpus / "peer")) {
          fs::path p = peer.path() / format / (name + ".txt");
          if (!fs::exists(p)) continue;
          double v = Recall(Slurp(p), out);
          if (v > recall) {
            recall = v;
            against = peer.path().filename().string();
          }
        }
      }
      if (recall < 0) continue;
      recalls.push_back(recall);
      std::printf("  %-50s %5.3f %-10s %s\n", name.c_str(), recall, against.c_str(),
                  r.ok() ? "ok" : r.reason.c_str());
      if (recall < 0.5 && !notes.count(name)) ADD_FAILURE() << name << " recall " << recall;
    }
    std::sort(recalls.begin(), recalls.end());
    const double median = test::Quantile(recalls, 0.5);
    char row[160];
    std::snprintf(row, sizeof row, "%-6s %6d %8.3f %8.3f %8.3f %8.3f", format.c_str(), files, median,
                  test::Quantile(recalls, 0.1), recalls.empty() ? 1.0 : recalls.front(), slowest);
    table.push_back(row);
    EXPECT_GE(median, 0.95) << format;
  }
  std::printf("%-6s %6s %8s %8s %8s %8s\n", "format", "files", "median", "p10", "min", "max_s");
  for (const std::string& row : table) std::printf("%s\n", row.c_str());
  fs::remove_all(scratch);
}

}  // namespace corpus
}  // namespace quarn
