// Runs the program over the real documents of the shared corpus (doc, xls,
// ppt, eml), each copied to a scratch folder and converted in a child
// process with a time limit: no crash, no hang, a clear result for every
// damaged, encrypted or mislabelled file, and a median bag-of-words recall of
// at least 0.95 against the reference text (or, without one, the peer output
// we agree with best).  Skipped when the corpus is absent.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/recall.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr auto kTimeLimit = std::chrono::seconds(30);

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

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

struct ChildRun {
  bool crashed = false, timed_out = false;
  int exit_code = -1;
  double seconds = 0;
  std::string stderr_text;
};

ChildRun Convert(const fs::path& in, const fs::path& out, const fs::path& err) {
  ChildRun r;
  std::string program = std::string(QUARN_BINARY_DIR) + "/bin/quarn";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::string a = in.string(), b = out.string();
  char* argv[] = {program.data(), a.data(), b.data(), nullptr};
  pid_t pid;
  auto start = std::chrono::steady_clock::now();
  int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    r.crashed = true;
    return r;
  }
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() - start > kTimeLimit) {
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
  r.stderr_text = ReadAll(err);
  return r;
}

// The text to compare against: the reference, else the peer output we agree
// with best (peers differ in what they include, e.g. master slides).
bool Expected(const fs::path& corpus, const std::string& rel, const std::string& got, std::string* text,
              std::string* source) {
  fs::path ref = corpus / "reference" / (rel + ".ref.txt");
  if (fs::exists(ref)) {
    *text = ReadAll(ref);
    *source = "reference";
    return true;
  }
  double best = -1;
  if (!fs::exists(corpus / "peer")) return false;
  for (const auto& tool : fs::directory_iterator(corpus / "peer")) {
    fs::path p = tool.path() / (rel + ".txt");
    if (!fs::exists(p)) continue;
    std::string t = ReadAll(p);
    // LibreOffice's spreadsheet output names each sheet's CSV file.
    std::string cleaned;
    std::size_t pos = 0;
    while (pos < t.size()) {
      std::size_t nl = t.find('\n', pos);
      std::string line = t.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos + 1);
      if (line.rfind("=== sheet file:", 0) != 0) cleaned += line;
      pos = nl == std::string::npos ? t.size() : nl + 1;
    }
    double r = Recall(cleaned, got, rel.rfind("xls/", 0) == 0);
    if (r > best) {
      best = r;
      *text = cleaned;
      *source = tool.path().filename().string();
    }
  }
  return best >= 0;
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
    std::vector<double> recalls;
    int files = 0, with_text = 0, special = 0, unclear = 0;
    double slowest = 0, lowest = 1;
    for (const auto& entry : fs::recursive_directory_iterator(inputs)) {
      if (!entry.is_regular_file()) continue;
      std::string rel = fs::relative(entry.path(), corpus / "inputs").string();
      bool is_special = rel.find("/_corrupt/") != std::string::npos || rel.find("/_encrypted/") != std::string::npos ||
                        rel.find("/_mislabelled/") != std::string::npos || rel.find("/_hostile/") != std::string::npos;
      ++files;
      ++serial;
      fs::path in = scratch / ("in" + std::to_string(serial) + entry.path().extension().string());
      fs::copy_file(entry.path(), in, fs::copy_options::overwrite_existing);
      fs::path out = scratch / ("out" + std::to_string(serial) + ".txt");
      ChildRun run = Convert(in, out, scratch / "stderr.txt");
      slowest = std::max(slowest, run.seconds);
      EXPECT_FALSE(run.crashed) << rel;
      EXPECT_FALSE(run.timed_out) << rel;
      std::string got = fs::exists(out) ? ReadAll(out) : std::string();
      if (!got.empty()) ++with_text;
      // A clear result: text written (exit 0), or no text with a reason (exit 3).
      bool clear = (run.exit_code == 0 && !got.empty()) || (run.exit_code == 3 && run.stderr_text.size() > 10);
      if (!clear) ++unclear;
      EXPECT_TRUE(clear) << rel << " exit " << run.exit_code << ": " << run.stderr_text;
      if (is_special) {
        ++special;
        if (rel.find("/_encrypted/") != std::string::npos) {
          EXPECT_NE(run.stderr_text.find("password"), std::string::npos) << rel << ": " << run.stderr_text;
        }
        continue;
      }
      std::string expected, source;
      if (!Expected(corpus, rel, got, &expected, &source)) continue;
      double r = Recall(expected, got, format == "xls" && source != "reference");
      recalls.push_back(r);
      lowest = std::min(lowest, r);
      if (r < 0.8) std::printf("  low recall %.3f against %s: %s\n", r, source.c_str(), rel.c_str());
    }
    const double median = quarn::test::Quantile(recalls, 0.5);
    std::printf("%-5s %5d %5d %7zu %7d %7.3f %7.3f %8.3f %7.2fs %8d\n", format.c_str(), files, with_text,
                recalls.size(), special, median, quarn::test::Quantile(recalls, 0.1), lowest, slowest, unclear);
    EXPECT_GE(median, 0.95) << format;
  }
  std::fflush(stdout);
  fs::remove_all(scratch);
}

}  // namespace
