#include "convert/filters/common/phonetic_guide.h"

#include <cctype>
#include <vector>

namespace quarn {

namespace {

// The text of one argument of an equation field: switches (\s\up 11)
// dropped, escapes resolved, the content of bracketed groups kept.
std::string EquationArgument(std::string_view arg) {
  std::string out;
  for (std::size_t i = 0; i < arg.size(); ++i) {
    char c = arg[i];
    if (c == '\\') {
      if (i + 1 < arg.size() && !std::isalpha(static_cast<unsigned char>(arg[i + 1]))) {
        out += arg[++i];  // an escaped comma, bracket or backslash
        continue;
      }
      while (i + 1 < arg.size() && std::isalpha(static_cast<unsigned char>(arg[i + 1]))) ++i;
      while (i + 1 < arg.size() && (arg[i + 1] == ' ' || std::isdigit(static_cast<unsigned char>(arg[i + 1])))) ++i;
      continue;
    }
    if (c == '(' || c == ')') continue;
    out += c;
  }
  std::size_t b = out.find_first_not_of(' '), e = out.find_last_not_of(' ');
  return b == std::string::npos ? std::string() : out.substr(b, e - b + 1);
}

}  // namespace

std::string PhoneticGuideText(std::string_view code) {
  std::size_t b = code.find_first_not_of(' ');
  if (b == std::string_view::npos || code.size() - b < 3) return {};
  code.remove_prefix(b);
  if (!((code[0] == 'E' || code[0] == 'e') && (code[1] == 'Q' || code[1] == 'q') && (code[2] == ' ' || code[2] == '\\')))
    return {};
  // The overlay switch with its alignment (\o\ad, \o\al, ...), then the
  // bracketed arguments: the reading first, the base last.
  std::size_t at = 0;
  for (;;) {
    at = code.find("\\o", at);
    if (at == std::string_view::npos) return {};
    char next = at + 2 < code.size() ? code[at + 2] : ' ';
    if (next == '\\' || next == '(' || next == ' ') break;
    at += 2;
  }
  std::size_t open = code.find('(', at);
  if (open == std::string_view::npos) return {};
  std::vector<std::string_view> args;
  int depth = 0;
  std::size_t start = open + 1;
  for (std::size_t i = open; i < code.size(); ++i) {
    char c = code[i];
    if (c == '\\') {
      ++i;
      continue;
    }
    if (c == '(') {
      ++depth;
    } else if (c == ')') {
      if (--depth == 0) {
        args.push_back(code.substr(start, i - start));
        break;
      }
    } else if (c == ',' && depth == 1) {
      args.push_back(code.substr(start, i - start));
      start = i + 1;
    }
  }
  if (args.size() < 2) return {};
  std::string base = EquationArgument(args.back()), reading = EquationArgument(args.front());
  if (base.empty()) return {};
  return reading.empty() ? base : base + "(" + reading + ")";
}

}  // namespace quarn
