// File-name masks: "*" any run of characters, "?" one character, "[set]" and
// "[!set]" one character of (or not of) a set with ranges such as "a-z"; the
// letters A to Z match in either case.  A name is read as UTF-8, each
// sequence one character; a byte that is no part of one is a character of
// its own that only matches itself, "?", or a set that excludes it.
#include <cstdint>
#include <string_view>
#include <vector>

#include "process/process.h"

namespace quarn {
namespace {

// Stray bytes are mapped past the end of Unicode so they equal no character.
constexpr char32_t kStrayByte = 0x110000;

std::vector<char32_t> Characters(std::string_view s) {
  std::vector<char32_t> out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    std::size_t len = b < 0x80 ? 1 : (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 0;
    char32_t cp = len == 1 ? b : len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
    bool ok = len != 0 && i + len <= s.size();
    for (std::size_t k = 1; ok && k < len; ++k) {
      const auto c = static_cast<unsigned char>(s[i + k]);
      ok = (c & 0xC0) == 0x80;
      cp = (cp << 6) | (c & 0x3F);
    }
    static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (ok && (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) ok = false;
    if (!ok) {
      out.push_back(kStrayByte + b);
      ++i;
    } else {
      out.push_back(cp);
      i += len;
    }
  }
  return out;
}

char32_t Lower(char32_t c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }
char32_t Upper(char32_t c) { return c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c; }

struct Token {
  enum Kind { kStar, kOne, kChar, kSet };
  Token(Kind k, char32_t ch = 0) : kind(k), c(ch) {}

  Kind kind;
  char32_t c = 0;                                    // kChar, lower-cased
  bool negated = false;                              // kSet
  std::vector<std::pair<char32_t, char32_t>> ranges;  // kSet, inclusive

  bool InSet(char32_t x) const {
    for (const auto& [lo, hi] : ranges)
      if (x >= lo && x <= hi) return true;
    return false;
  }
  // One character against a token that is not a star.
  bool Matches(char32_t x) const {
    switch (kind) {
      case kOne: return true;
      case kChar: return Lower(x) == c;
      case kSet: return (InSet(x) || InSet(Lower(x)) || InSet(Upper(x))) != negated;
      case kStar: break;
    }
    return false;
  }
};

std::vector<Token> Compile(const std::vector<char32_t>& mask) {
  std::vector<Token> tokens;
  for (std::size_t i = 0; i < mask.size(); ++i) {
    const char32_t c = mask[i];
    if (c == '*') {
      tokens.push_back(Token(Token::kStar));
      // A "?" right after a "*" adds nothing.
      if (i + 1 < mask.size() && mask[i + 1] == '?') ++i;
    } else if (c == '?') {
      tokens.push_back(Token(Token::kOne));
    } else if (c == '[') {
      std::size_t j = i + 1;
      Token set(Token::kSet);
      if (j < mask.size() && mask[j] == '!') {
        set.negated = true;
        ++j;
      }
      std::size_t end = j;
      while (end < mask.size() && mask[end] != ']') ++end;
      if (end == mask.size()) {  // no closing bracket: the "[" is itself
        tokens.push_back(Token(Token::kChar, '['));
        continue;
      }
      for (std::size_t k = j; k < end; ++k) {
        if (k + 2 < end && mask[k + 1] == '-') {
          set.ranges.emplace_back(mask[k], mask[k + 2]);
          k += 2;
        } else {
          set.ranges.emplace_back(mask[k], mask[k]);
        }
      }
      tokens.push_back(std::move(set));
      i = end;
    } else {
      tokens.push_back(Token(Token::kChar, Lower(c)));
    }
  }
  return tokens;
}

// Every token but "*" takes exactly one character, so one remembered star is
// enough to backtrack: the time stays proportional to name times mask.
bool Matches(const std::vector<char32_t>& name, const std::vector<Token>& tokens) {
  std::size_t n = 0, t = 0;
  std::size_t star = tokens.size(), star_n = 0;
  while (n < name.size()) {
    if (t < tokens.size() && tokens[t].kind == Token::kStar) {
      star = t++;
      star_n = n;
    } else if (t < tokens.size() && tokens[t].Matches(name[n])) {
      ++n;
      ++t;
    } else if (star != tokens.size()) {
      t = star + 1;
      n = ++star_n;
    } else {
      return false;
    }
  }
  while (t < tokens.size() && tokens[t].kind == Token::kStar) ++t;
  return t == tokens.size();
}

}  // namespace

bool MatchesMaskList(std::string_view name, std::string_view mask_list) {
  mask_list = mask_list.substr(0, mask_list.find('|'));
  std::vector<char32_t> chars;
  bool decoded = false;
  while (!mask_list.empty()) {
    const std::size_t semi = mask_list.find(';');
    const std::string_view piece = mask_list.substr(0, semi);
    mask_list = semi == std::string_view::npos ? std::string_view() : mask_list.substr(semi + 1);
    if (piece.empty()) continue;
    if (!decoded) {
      chars = Characters(name);
      decoded = true;
    }
    if (Matches(chars, Compile(Characters(piece)))) return true;
  }
  return false;
}

}  // namespace quarn
