// The RTF and XML filters over the shared corpus of third-party documents:
// no crash, a time bound per file, and bag-of-words recall against the
// reference text (else the best peer tool's output).  Skipped without it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "convert/filters/builtin.h"

namespace quarn {
namespace {

namespace fs = std::filesystem;

// Words: runs of ASCII letters and digits (lower-cased) and of bytes >= 0x80.
std::vector<std::string> Words(const std::string& text) {
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
double Recall(const std::string& ref, const std::string& out) {
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

std::string Slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Inputs whose reference is not plain text (a pandoc AST, Markdown), by their
// manifest notes: those are measured against the peers instead.
std::map<std::string, bool> NonTextReferences(const fs::path& corpus) {
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

// Files whose low recall is understood.
const std::map<std::string, std::string> kNotes = {
    {"pandoc/image.rtf", "holds only a picture; the peer's one word is its \"[image]\" placeholder"},
};

TEST(Corpus, RtfAndXmlRecall) {
  fs::path corpus(QUARN_CORPUS);
  if (!fs::exists(corpus / "inputs")) GTEST_SKIP() << "no corpus at " << corpus;
  fs::path scratch = fs::temp_directory_path() / ("quarn-rtfxml-corpus-" + std::to_string(::getpid()));
  fs::create_directories(scratch);
  std::map<std::string, bool> non_text = NonTextReferences(corpus);
  std::vector<std::string> table;
  for (std::string format : {"rtf", "xml"}) {
    fs::path in = corpus / "inputs" / format;
    if (!fs::exists(in)) continue;
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
      if (recall < 0.5 && !kNotes.count(name)) ADD_FAILURE() << name << " recall " << recall;
    }
    std::sort(recalls.begin(), recalls.end());
    double median = recalls.empty() ? 1 : recalls[recalls.size() / 2];
    if (!recalls.empty() && recalls.size() % 2 == 0)
      median = (recalls[recalls.size() / 2 - 1] + recalls[recalls.size() / 2]) / 2;
    char row[160];
    std::snprintf(row, sizeof row, "%-6s %6d %8.3f %8.3f %8.3f", format.c_str(), files, median,
                  recalls.empty() ? 1.0 : recalls.front(), slowest);
    table.push_back(row);
    EXPECT_GE(median, 0.95) << format;
  }
  std::printf("%-6s %6s %8s %8s %8s\n", "format", "files", "median", "min", "max_s");
  for (const std::string& row : table) std::printf("%s\n", row.c_str());
  fs::remove_all(scratch);
}

}  // namespace
}  // namespace quarn
