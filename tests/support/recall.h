// Bag-of-words recall for corpus tests: how many of the words of a reference
// text an extraction found.  Words are runs of ASCII letters and digits,
// lower-cased, and of non-ASCII characters other than punctuation and
// symbols (so letters of any script count, while bullets, dashes and quotes
// that one tool writes and another does not are no words);
// recall = |ref ∩ out| / |ref| over multisets.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace quarn::test {

// Non-ASCII punctuation and symbols: Latin-1 signs, general punctuation,
// arrows, mathematical and technical signs, box drawing, shapes, dingbats,
// CJK and full-width punctuation, emoji, the replacement character.
inline bool IsSymbolCodePoint(char32_t cp) {
  return (cp >= 0x80 && cp <= 0xBF) || cp == 0xD7 || cp == 0xF7 || (cp >= 0x2000 && cp <= 0x2BFF) ||
         (cp >= 0x3000 && cp <= 0x3003) || (cp >= 0x3008 && cp <= 0x3011) || (cp >= 0xFE10 && cp <= 0xFE6F) ||
         (cp >= 0xFF01 && cp <= 0xFF0F) || (cp >= 0xF000 && cp <= 0xF8FF) || (cp >= 0x1F000 && cp <= 0x1FAFF) ||
         cp == 0xFFFD || cp == 0xFEFF;
}

inline std::vector<std::string> Words(std::string_view text) {
  std::vector<std::string> words;
  std::string word;
  auto flush = [&] {
    if (!word.empty()) words.push_back(std::move(word));
    word.clear();
  };
  for (std::size_t i = 0; i < text.size();) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      bool alnum = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
      if (alnum) word.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : static_cast<char>(c));
      else flush();
      ++i;
      continue;
    }
    std::size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    if (i + len > text.size()) len = text.size() - i;
    char32_t cp = len == 1 ? c : (c & (0xFF >> (len + 1)));
    for (std::size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    if (IsSymbolCodePoint(cp)) flush();
    else word.append(text.substr(i, len));
    i += len;
  }
  if (!word.empty()) words.push_back(std::move(word));
  return words;
}

struct Recall {
  std::size_t found = 0;  // reference words also in the output (with multiplicity)
  std::size_t total = 0;  // reference words
  // An empty reference is trivially found.
  double value() const { return total ? static_cast<double>(found) / static_cast<double>(total) : 1.0; }
};

// The q-quantile (0 <= q <= 1) of the values, interpolated between the two
// nearest ranks; 1 for no values (nothing to miss).  The corpus programs print
// the median and the tenth percentile: the median says how ordinary documents
// fare, the tenth percentile how thin the tail of partly lost ones is.
inline double Quantile(std::vector<double> values, double q) {
  if (values.empty()) return 1.0;
  std::sort(values.begin(), values.end());
  const double at = q * static_cast<double>(values.size() - 1);
  const auto below = static_cast<std::size_t>(at);
  if (below + 1 >= values.size()) return values.back();
  const double frac = at - static_cast<double>(below);
  return values[below] + frac * (values[below + 1] - values[below]);
}

// Which words a recall counts.  Spreadsheet peers export the numbers cells
// store, while a spreadsheet (and Quarn) shows them through their formats
// ("2500" against "$2,500.00"), so against such a peer only words that are
// not bare digits are comparable.
enum class Counted { kAllWords, kWordsWithLetters };

// A spreadsheet peer's export without the lines it puts before each sheet
// ("=== sheet file: name.csv"), which are no text of the workbook.
inline std::string WithoutSheetBanners(std::string_view text) {
  std::string out;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(at, end - at);
    if (line.substr(0, 16) != "=== sheet file: ") {
      out.append(line);
      out.push_back('\n');
    }
    at = end + 1;
  }
  return out;
}

inline bool IsDigits(const std::string& w) { return w.find_first_not_of("0123456789") == std::string::npos; }

inline Recall BagOfWordsRecall(std::string_view reference, std::string_view output,
                               Counted counted = Counted::kAllWords) {
  std::unordered_map<std::string, std::size_t> have;
  for (std::string& w : Words(output)) ++have[std::move(w)];
  Recall r;
  std::unordered_map<std::string, std::size_t> want;
  for (std::string& w : Words(reference)) {
    if (counted == Counted::kWordsWithLetters && IsDigits(w)) continue;
    ++want[std::move(w)];
    ++r.total;
  }
  for (const auto& [w, n] : want) {
    auto it = have.find(w);
    if (it != have.end()) r.found += std::min(n, it->second);
  }
  return r;
}

}  // namespace quarn::test
