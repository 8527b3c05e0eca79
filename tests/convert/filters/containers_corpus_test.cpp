// Runs the program over the real containers of the shared corpus (archives,
// compressed files, Outlook messages, mailboxes, TNEF streams, web archives,
// help files, calendars, address books), each copied to a scratch folder and
// converted in a child process with a time limit: no crash, no hang, a clear
// result for every damaged or encrypted file, and per format a median
// bag-of-words recall of at least 0.95 against the reference text, else the
// peer output we agree with best, else (for the formats no peer reads) the
// text values the file itself holds.  Skipped when the corpus is absent.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/corpus_program.h"

namespace {

namespace fs = std::filesystem;
using quarn::corpus::ChildRun;
using quarn::corpus::FormatTally;
using quarn::corpus::Match;
using quarn::test::ReadFile;

double Recall(const std::string& expected, const std::string& got) {
  return quarn::test::BagOfWordsRecall(expected, got).value();
}

// Content lines of a calendar or vCard, unfolded.
std::vector<std::string> UnfoldedLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && (line[0] == ' ' || line[0] == '\t') && !lines.empty()) lines.back() += line.substr(1);
    else lines.push_back(line);
    pos = end + 1;
  }
  return lines;
}

// What a reader of a calendar or address book wants from it, taken from the
// file itself: the values of its text properties and the names of people.
std::string OwnValues(const std::string& text, const std::vector<std::string>& names) {
  std::string out;
  int hidden = 0;  // inside an alarm or a time-zone definition: no text for readers
  for (const std::string& line : UnfoldedLines(text)) {
    if (line.rfind("BEGIN:VALARM", 0) == 0 || line.rfind("BEGIN:VTIMEZONE", 0) == 0) ++hidden;
    if ((line.rfind("END:VALARM", 0) == 0 || line.rfind("END:VTIMEZONE", 0) == 0) && hidden > 0) --hidden;
    std::size_t colon = line.find(':');
    if (colon == std::string::npos || hidden > 0) continue;
    std::string head = line.substr(0, colon);
    std::string name = head.substr(0, head.find(';'));
    if (std::size_t dot = name.rfind('.'); dot != std::string::npos) name = name.substr(dot + 1);
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (std::find(names.begin(), names.end(), name) == names.end()) continue;
    if (head.find("BASE64") != std::string::npos || head.find("ENCODING=b") != std::string::npos) continue;
    if (name == "ATTENDEE" || name == "ORGANIZER") {
      std::size_t cn = head.find("CN=");
      if (cn != std::string::npos) out += head.substr(cn + 3, head.find(';', cn) - cn - 3) + "\n";
      continue;
    }
    std::string value = line.substr(colon + 1);
    // The escapes \n and \, are no words of the value.
    std::string clean;
    for (std::size_t i = 0; i < value.size(); ++i) {
      if (value[i] == '\\' && i + 1 < value.size()) {
        clean.push_back(value[i + 1] == 'n' || value[i + 1] == 'N' ? '\n' : value[i + 1]);
        ++i;
      } else {
        clean.push_back(value[i]);
      }
    }
    if (head.find("QUOTED-PRINTABLE") != std::string::npos) continue;  // encoded bytes are no words
    out += clean + "\n";
  }
  return out;
}

// The visible text of a web archive's page, from the file itself: the HTML
// part decoded from quoted-printable, tags, scripts and styles removed.
std::string PageWords(const std::string& mht) {
  std::string html;
  std::size_t start = mht.find("<html");
  if (start == std::string::npos) start = mht.find("<HTML");
  if (start == std::string::npos) return {};
  for (std::size_t i = start; i < mht.size(); ++i) {
    if (mht[i] == '=' && i + 1 < mht.size() && (mht[i + 1] == '\n' || mht[i + 1] == '\r')) {
      i += mht[i + 1] == '\r' ? 2 : 1;
      continue;
    }
    if (mht[i] == '=' && i + 2 < mht.size() && std::isxdigit(static_cast<unsigned char>(mht[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(mht[i + 2]))) {
      html.push_back(static_cast<char>(std::stoi(mht.substr(i + 1, 2), nullptr, 16)));
      i += 2;
      continue;
    }
    html.push_back(mht[i]);
    if (html.size() > 7 && html.compare(html.size() - 7, 7, "</html>") == 0) break;
  }
  std::string text;
  bool tag = false;
  for (std::size_t i = 0; i < html.size(); ++i) {
    // Scripts, style sheets and the document properties an editor keeps in
    // <xml> islands are not shown.
    if (html.compare(i, 7, "<script") == 0 || html.compare(i, 6, "<style") == 0 || html.compare(i, 4, "<xml") == 0) {
      const char* close = html.compare(i, 7, "<script") == 0 ? "</script>" : html.compare(i, 4, "<xml") == 0 ? "</xml>" : "</style>";
      std::size_t end = html.find(close, i);
      if (end == std::string::npos) break;
      i = end;
      continue;
    }
    if (html[i] == '&' && html.find(';', i) != std::string::npos && html.find(';', i) - i < 10) {
      i = html.find(';', i);  // an entity: one character, no word
      text.push_back(' ');
      continue;
    }
    if (html[i] == '<') tag = true;
    else if (html[i] == '>') tag = false, text.push_back(' ');
    else if (!tag) text.push_back(html[i]);
  }
  return text;
}

// The member names of an archive listing ("bsdtar -tv", "7z l"): the peers
// of the archive formats print sizes, dates and modes, which are no text.
const std::regex kListingDate(R"( [A-Z][a-z]{2} [ 0-9][0-9] +([0-9]{4}|[0-9]{2}:[0-9]{2}) )");

std::string ListingNames(const std::string& listing) {
  std::string out;
  std::size_t pos = 0;
  while (pos < listing.size()) {
    std::size_t end = listing.find('\n', pos);
    if (end == std::string::npos) end = listing.size();
    std::string line = listing.substr(pos, end - pos);
    pos = end + 1;
    std::smatch date;
    if (line.size() > 10 && std::string("-dlbcps").find(line[0]) != std::string::npos &&
        std::regex_search(line, date, kListingDate)) {
      // mode, links, owner, group, size, date, then the name; the owner may
      // hold spaces, so the name is found after the date.
      std::string name = date.suffix().str();
      // Bytes that are no UTF-8 are written as octal escapes: no words.
      out += std::regex_replace(name, std::regex(R"(\\[0-7]{3})"), " ") + "\n";
    } else if (line.size() > 53 && line[4] == '-' && line[7] == '-' && line[13] == ':') {
      out += line.substr(53) + "\n";  // "7z l": date, time, attributes, sizes in fixed columns
    } else if (std::size_t bar = line.find("\t|\t"); bar != std::string::npos) {
      out += line.substr(0, bar) + "\n";  // "tnef -t": the name, then the name it is saved under
    } else {
      out += line + "\n";
    }
  }
  return out;
}

// The words of a peer that dumped markup as it stands (a decompressed XML
// file, the HTML part of a message): element names, attributes, style sheets
// and comments are no text.
std::string WithoutMarkup(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '<') {
      for (std::string_view block : {"<style", "<script", "<!--"}) {
        if (text.compare(i, block.size(), block) != 0) continue;
        std::string_view close = block == "<!--" ? "-->" : block == "<style" ? "</style>" : "</script>";
        std::size_t end = text.find(close, i);
        i = end == std::string::npos ? text.size() : end;
        break;
      }
      std::size_t end = text.find('>', i);
      if (end == std::string::npos) break;
      i = end;
      out.push_back(' ');
      continue;
    }
    if (c == '&') {
      std::size_t semi = text.find(';', i);
      if (semi != std::string::npos && semi - i < 10) {
        i = semi;
        out.push_back(' ');
        continue;
      }
    }
    out.push_back(c);
  }
  return out;
}

// The peer's text without the HTML alternatives of its messages: a peer
// that dumps every alternative part repeats the body once as markup.
std::string WithoutHtmlParts(const std::string& text) {
  std::string out = text;
  for (std::size_t at; (at = out.find("<html")) != std::string::npos || (at = out.find("<HTML")) != std::string::npos;) {
    std::size_t end = out.find("</html>", at);
    if (end == std::string::npos) end = out.find("</HTML>", at);
    out.erase(at, end == std::string::npos ? std::string::npos : end + 7 - at);
  }
  // An HTML alternative without <html>: lines of markup, dropped whole.
  std::string kept;
  for (std::size_t pos = 0; pos < out.size();) {
    std::size_t end = out.find('\n', pos);
    if (end == std::string::npos) end = out.size();
    std::string line = out.substr(pos, end - pos);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (!(line.size() > 1 && line.front() == '<' && line.back() == '>')) kept += line + "\n";
    pos = end + 1;
  }
  return WithoutMarkup(kept);
}

// Files known to score low, and why.
const std::map<std::string, std::string> kNotes = {
    {"msg/poi/HTMLBodyBinary_UTF-8.msg",
     "the message has no date; most of the peer's words are the date of the day it was converted"},
    {"msg/poi/ASCII_CP1251_LCID1049.msg",
     "the message has no date; most of the peer's words are the date of the day it was converted"},
    {"tnef/tnef/rtf.tnef", "the reference is the name a tool saves the RTF body under; the body's text is read here"},
};

TEST(ContainersCorpus, ConvertsLikeTheBestPeersAndSurvivesDamage) {
  fs::path corpus = QUARN_CORPUS;
  if (const char* env = std::getenv("QUARN_CORPUS")) corpus = env;
  if (!fs::exists(corpus / "inputs")) GTEST_SKIP() << "no corpus at " << corpus;
  char tmpl[] = "/tmp/quarn-containers-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  fs::path scratch = tmpl;
  // The children's private folders go here, so that what they leave is seen.
  const fs::path temp = scratch / "tmp";
  fs::create_directories(temp);
  setenv("TMPDIR", temp.c_str(), 1);

  int serial = 0;
  std::printf("\n%-5s %5s %5s %7s %7s %7s %8s %8s %8s\n", "fmt", "files", "text", "scored", "special", "median",
              "min", "slowest", "unclear");
  for (std::string format : {"zip", "tar", "7z", "gz", "bz2", "msg", "mbox", "tnef", "mht", "chm", "ics", "vcf"}) {
    fs::path inputs = corpus / "inputs" / format;
    if (!fs::exists(inputs)) continue;
    FormatTally tally;
    for (const fs::path& path : quarn::corpus::SortedFiles(inputs)) {
      std::string rel = fs::relative(path, corpus / "inputs").string();
      bool is_special = rel.find("/_") != std::string::npos;
      ++serial;
      // The name keeps its own ending: a single compressed file is read by its inner name.
      fs::path dir = scratch / std::to_string(serial);
      fs::create_directories(dir);
      fs::path in = dir / path.filename();
      fs::copy_file(path, in, fs::copy_options::overwrite_existing);
      fs::path out = dir / "out.text";
      ChildRun run = quarn::corpus::ConvertInChild(in, out, scratch / "stderr.txt");
      std::string got = fs::exists(out) ? ReadFile(out) : std::string();
      tally.Converted(rel, run, got);
      // Nothing is left behind in the scratch folder but the input and its text.
      std::size_t left = std::distance(fs::directory_iterator(dir), fs::directory_iterator());
      EXPECT_LE(left, 2u) << rel;
      EXPECT_TRUE(fs::is_empty(temp)) << rel << " left temporary files behind";
      if (is_special) {
        ++tally.special;
        if (rel.find("/_encrypted/") != std::string::npos) {
          EXPECT_NE((run.err + got).find("password"), std::string::npos) << rel << ": " << run.err;
        }
        continue;
      }
      Match m = quarn::corpus::BestMatch(corpus, rel, [&](const std::string& tool, const std::string& text) {
        if (tool == "reference") return Recall(text, got);
        std::string peer = text;
        if (tool == "bsdtar" || tool == "7z" || tool == "tnef") peer = ListingNames(peer);
        if (tool == "bsdcat" || tool == "msgconvert" || tool == "pymailbox") peer = WithoutMarkup(peer);
        double pr = Recall(peer, got);
        if (tool == "msgconvert" || tool == "pymailbox") pr = std::max(pr, Recall(WithoutHtmlParts(text), got));
        return pr;
      });
      if (m.recall < 0 && (format == "ics" || format == "vcf")) {
        static const std::vector<std::string> kIcs = {"SUMMARY", "LOCATION", "DESCRIPTION", "COMMENT", "CATEGORIES",
                                                      "ATTENDEE", "ORGANIZER"};
        static const std::vector<std::string> kVcf = {"FN", "ORG", "TITLE", "ROLE", "EMAIL", "TEL", "ADR",
                                                      "URL", "NOTE", "NICKNAME", "CATEGORIES"};
        m.recall = Recall(OwnValues(ReadFile(path), format == "ics" ? kIcs : kVcf), got);
        m.against = "own values";
      }
      if (m.recall < 0 && format == "mht") {
        m.recall = Recall(PageWords(ReadFile(path)), got);
        m.against = "own page";
      }
      if (m.recall < 0) continue;
      if (m.recall < 0.95 && std::getenv("QUARN_CORPUS_VERBOSE"))
        std::printf("  %.3f %s (%s)\n", m.recall, rel.c_str(), m.against.c_str());
      if (m.recall < 0.5) std::printf("  low recall %.3f against %s: %s\n", m.recall, m.against.c_str(), rel.c_str());
      tally.Scored(rel, m, &kNotes);
    }
    std::printf("%-5s %5d %5d %7zu %7d %7.3f %8.3f %7.2fs %8d\n", format.c_str(), tally.files, tally.with_text,
                tally.recalls.size(), tally.special, tally.Median(), tally.Lowest(), tally.slowest, tally.unclear);
    EXPECT_GE(tally.Median(), 0.95) << format;
  }
  std::fflush(stdout);
  fs::remove_all(scratch);
}

}  // namespace
