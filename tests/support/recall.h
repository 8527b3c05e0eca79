// Bag-of-words recall for corpus tests: how many of the words of a reference
// text an extraction found.  Words are runs of ASCII letters and digits,
// lower-cased, and of bytes >= 0x80 (so UTF-8 letters of any script count as
// word characters); recall = |ref ∩ out| / |ref| over multisets.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace quarn::test {

inline std::vector<std::string> Words(std::string_view text) {
  std::vector<std::string> words;
  std::string word;
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    bool alnum = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c >= 0x80;
    if (alnum) {
      word.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : ch);
    } else if (!word.empty()) {
      words.push_back(std::move(word));
      word.clear();
    }
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

inline Recall BagOfWordsRecall(std::string_view reference, std::string_view output) {
  std::unordered_map<std::string, std::size_t> have;
  for (std::string& w : Words(output)) ++have[std::move(w)];
  Recall r;
  std::unordered_map<std::string, std::size_t> want;
  for (std::string& w : Words(reference)) {
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
