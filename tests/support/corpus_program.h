// What the corpus programs that convert each document with the program itself,
// in a child process with a time limit, share: the child run, the manifest's
// notes, the comparison with the reference text or the best peer output, and
// the per-format tally (files, texts, recalls, median, tenth percentile)
// behind each program's table.  The programs keep their own formats,
// thresholds, notes and table layout.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/filter_support.h"
#include "tests/support/recall.h"

extern char** environ;

namespace quarn::corpus {

namespace fs = std::filesystem;

// A child that converts one document for longer than this hangs.
inline constexpr auto kChildTimeLimit = std::chrono::seconds(30);

struct ChildRun {
  bool crashed = false, timed_out = false;
  int exit_code = -1;
  double seconds = 0;
  std::string err;  // what the child wrote to its standard error
};

// Runs the program on in, writing out; its standard output is discarded and
// its standard error goes to the file err.  Killed at the time limit.
inline ChildRun ConvertInChild(const fs::path& in, const fs::path& out, const fs::path& err) {
  ChildRun r;
  std::string program = std::string(QUARN_BINARY_DIR) + "/bin/quarn";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::string a = in.string(), b = out.string();
  char* argv[] = {program.data(), a.data(), b.data(), nullptr};
  pid_t pid;
  const auto start = std::chrono::steady_clock::now();
  const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    r.crashed = true;
    return r;
  }
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() - start > kChildTimeLimit) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      r.timed_out = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!r.timed_out && WIFSIGNALED(status)) r.crashed = true;
  if (WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
  r.err = test::ReadFile(err);
  return r;
}

// The regular files below dir, in name order, so that tables and remarks
// come out the same on every machine.
inline std::vector<fs::path> SortedFiles(const fs::path& dir) {
  std::vector<fs::path> paths;
  for (const auto& entry : fs::recursive_directory_iterator(dir))
    if (entry.is_regular_file()) paths.push_back(entry.path());
  std::sort(paths.begin(), paths.end());
  return paths;
}

// The manifest's notes for each document ("encoding=KOI8-R, no charset").
inline std::map<std::string, std::string> ManifestNotes(const fs::path& corpus) {
  std::map<std::string, std::string> notes;
  std::istringstream in(test::ReadFile(corpus / "MANIFEST.tsv"));
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> fields;
    std::size_t pos = 0;
    for (std::size_t tab; (tab = line.find('\t', pos)) != std::string::npos; pos = tab + 1)
      fields.push_back(line.substr(pos, tab - pos));
    fields.push_back(line.substr(pos));
    if (fields.size() >= 6) notes[fields[0]] = fields[5];
  }
  return notes;
}

// What a conversion was measured against.
struct Match {
  bool any = false;    // a reference or a peer output exists
  bool words = false;  // and one of them has words to score
  double recall = -1;
  std::string against;  // "reference" or the peer tool's name
};

// The recall of the conversion against one text to compare with: the
// reference (source "reference") or a peer tool's output (source the tool's
// name), as the program prepares it; nullopt when that text has no words.
using Scorer = std::function<std::optional<double>(const std::string& source, const std::string& text)>;

// The reference text of the document at rel (below inputs/) decides alone
// where there is one; otherwise the peer output the conversion agrees with best.
inline Match BestMatch(const fs::path& corpus, const std::string& rel, const Scorer& score) {
  Match m;
  const fs::path ref = corpus / "reference" / (rel + ".ref.txt");
  if (fs::exists(ref)) {
    m.any = true;
    if (const std::optional<double> r = score("reference", test::ReadFile(ref))) {
      m.words = true;
      m.recall = *r;
      m.against = "reference";
    }
    return m;
  }
  std::error_code ec;
  for (const fs::directory_entry& peer : fs::directory_iterator(corpus / "peer", ec)) {
    const fs::path out = peer.path() / (rel + ".txt");
    if (!fs::exists(out)) continue;
    m.any = true;
    const std::string tool = peer.path().filename().string();
    const std::optional<double> r = score(tool, test::ReadFile(out));
    if (!r) continue;
    m.words = true;
    if (*r > m.recall) {
      m.recall = *r;
      m.against = tool;
    }
  }
  return m;
}

// One format's row of a program's table.
struct FormatTally {
  int files = 0;
  int with_text = 0;  // conversions that wrote text
  int special = 0;    // damaged, encrypted, hostile or mislabelled files: not scored
  int unclear = 0;    // results that were neither text nor a reason
  int below = 0;      // scored below 0.5
  double slowest = 0;
  std::vector<double> recalls;

  // Counts one conversion and checks it: no crash, no hang, and a clear
  // result -- text written (exit 0), or no text with a reason (exit 3).
  void Converted(const std::string& rel, const ChildRun& run, const std::string& got) {
    ++files;
    slowest = std::max(slowest, run.seconds);
    EXPECT_FALSE(run.crashed) << rel;
    EXPECT_FALSE(run.timed_out) << rel;
    if (!got.empty()) ++with_text;
    const bool clear = (run.exit_code == 0 && !got.empty()) || (run.exit_code == 3 && run.err.size() > 10);
    if (!clear) ++unclear;
    EXPECT_TRUE(clear) << rel << " exit " << run.exit_code << ": " << run.err;
  }

  // Counts one scored document.  With notes, a document below 0.5 must have
  // a note saying why.
  void Scored(const std::string& rel, const Match& m, const std::map<std::string, std::string>* notes) {
    recalls.push_back(m.recall);
    if (m.recall >= 0.5) return;
    ++below;
    if (notes) {
      EXPECT_TRUE(notes->count(rel)) << rel << " recall " << m.recall << " against " << m.against;
    }
  }

  double Median() const { return test::Quantile(recalls, 0.5); }
  double TenthPercentile() const { return test::Quantile(recalls, 0.1); }
  double Lowest() const { return recalls.empty() ? 1.0 : *std::min_element(recalls.begin(), recalls.end()); }
};

}  // namespace quarn::corpus
