#include "convert/filters/common/number_format.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

namespace quarn {

namespace {

constexpr const char* kMonths[] = {"January", "February", "March",     "April",   "May",      "June",
                                   "July",    "August",   "September", "October", "November", "December"};
constexpr const char* kDays[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};

// Serial numbers past 9999-12-31 are no dates.
constexpr double kLastSerial = 2958466;
// A format code is a line of a style sheet; past this it is not a format.
constexpr std::size_t kMaxCodeBytes = 4096;

enum class T {
  kLiteral,
  kDigit,     // 0 # ? placeholders; ph says which
  kPoint,
  kComma,     // resolved by Finish into grouping, scaling or a literal
  kPercent,
  kExp,       // E+ or E-; text holds the sign rule
  kSlash,
  kText,      // @
  kGeneral,
  kYear,
  kMonth,
  kDay,
  kHour,
  kMinute,
  kSecond,
  kSubSecond,
  kAmPm,
  kElapsedHour,
  kElapsedMinute,
  kElapsedSecond,
};

struct Token {
  Token(T k, std::string t = {}, int w = 0, char p = 0) : kind(k), text(std::move(t)), width(w), ph(p) {}
  T kind;
  std::string text;
  int width;
  char ph;
};

bool IsTime(T k) {
  return k == T::kHour || k == T::kMinute || k == T::kSecond || k == T::kSubSecond || k == T::kAmPm ||
         k == T::kElapsedHour || k == T::kElapsedMinute || k == T::kElapsedSecond;
}
bool IsDatePart(T k) { return k == T::kYear || k == T::kMonth || k == T::kDay || IsTime(k); }

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

std::size_t Utf8Length(unsigned char c) { return c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1; }

// A number's decimal digits as a spreadsheet keeps them: 15 significant
// digits, integers below 10^16 exactly.  value = 0.digits x 10^int_len, with
// no leading zeros in digits; zero has no digits.
struct Decimal {
  std::string digits;
  int int_len = 0;

  static Decimal Of(double v) {
    Decimal d;
    v = std::fabs(v);
    if (v == 0 || !std::isfinite(v)) return d;
    char buf[64];
    if (v == std::floor(v) && v < 1e16) {
      std::snprintf(buf, sizeof buf, "%.0f", v);
      d.digits = buf;
      d.int_len = static_cast<int>(d.digits.size());
    } else {
      std::snprintf(buf, sizeof buf, "%.14e", v);  // d.dddddddddddddde+XX
      std::string_view s(buf);
      std::size_t e = s.find('e');
      d.digits.push_back(s[0]);
      d.digits.append(s.substr(2, e - 2));
      d.int_len = std::atoi(buf + e + 1) + 1;
    }
    d.Trim();
    return d;
  }

  bool zero() const { return digits.empty(); }

  void Trim() {
    while (!digits.empty() && digits.back() == '0') digits.pop_back();
    std::size_t lead = 0;
    while (lead < digits.size() && digits[lead] == '0') ++lead;
    digits.erase(0, lead);
    int_len -= static_cast<int>(lead);
    if (digits.empty()) int_len = 0;
  }

  // Rounds half away from zero to that many digits after the point.
  void Round(int decimals) {
    if (zero()) return;
    long keep = static_cast<long>(int_len) + decimals;
    if (keep >= static_cast<long>(digits.size())) return;
    if (keep < 0) {
      digits.clear();
      int_len = 0;
      return;
    }
    bool up = digits[static_cast<std::size_t>(keep)] >= '5';
    digits.resize(static_cast<std::size_t>(keep));
    if (up) {
      std::size_t i = digits.size();
      while (i > 0 && digits[i - 1] == '9') digits[--i] = '0';
      if (i == 0) {
        digits.insert(digits.begin(), '1');
        ++int_len;
      } else {
        ++digits[i - 1];
      }
    }
    Trim();
  }

  // The digits before the point ("" for none).
  std::string Integer() const {
    if (int_len <= 0) return {};
    std::string s = digits.substr(0, std::min<std::size_t>(digits.size(), static_cast<std::size_t>(int_len)));
    if (static_cast<int>(s.size()) < int_len) s.append(static_cast<std::size_t>(int_len) - s.size(), '0');
    return s;
  }
  // The first n digits after the point.
  std::string Fraction(int n) const {
    std::string s;
    for (int i = 0; i < n; ++i) {
      long at = static_cast<long>(int_len) + i;
      s.push_back(at >= 0 && at < static_cast<long>(digits.size()) ? digits[static_cast<std::size_t>(at)] : '0');
    }
    return s;
  }
};

struct Section {
  std::vector<Token> tokens;
  bool has_condition = false;
  std::string op;
  double bound = 0;
  bool date = false;
  bool ampm = false;
  bool text = false;  // holds "@": the section for text
  // A text section's literal text around each "@" (one more piece than "@"s).
  std::vector<std::string> text_pieces;
  bool fraction = false;
  bool scientific = false;
  bool grouping = false;
  int percent = 0;
  int scale = 0;  // thousands the number is divided by
  int sub_digits = 0;

  bool Matches(double v) const {
    if (op == "<") return v < bound;
    if (op == "<=") return v <= bound;
    if (op == ">") return v > bound;
    if (op == ">=") return v >= bound;
    if (op == "=") return v == bound;
    if (op == "<>") return v != bound;
    return true;
  }
};

void AddLiteral(std::vector<Token>& tokens, std::string_view text) {
  if (text.empty()) return;
  if (!tokens.empty() && tokens.back().kind == T::kLiteral) tokens.back().text.append(text);
  else tokens.push_back({T::kLiteral, std::string(text)});
}

// The length of the run of letter c (either case) at i.
std::size_t RunOf(std::string_view s, std::size_t i, char c) {
  std::size_t n = 0;
  while (i + n < s.size() && Lower(s[i + n]) == c) ++n;
  return n;
}

bool StartsWithNoCase(std::string_view s, std::size_t i, std::string_view word) {
  if (i + word.size() > s.size()) return false;
  for (std::size_t k = 0; k < word.size(); ++k)
    if (Lower(s[i + k]) != Lower(word[k])) return false;
  return true;
}

void Bracket(std::string_view b, Section& sec) {
  if (b.empty()) return;
  char first = Lower(b[0]);
  if ((first == 'h' || first == 'm' || first == 's') && RunOf(b, 0, first) == b.size()) {
    T kind = first == 'h' ? T::kElapsedHour : first == 'm' ? T::kElapsedMinute : T::kElapsedSecond;
    sec.tokens.push_back({kind, {}, static_cast<int>(b.size())});
    return;
  }
  if (b[0] == '$') {
    std::string_view sym = b.substr(1, b.find('-') == std::string_view::npos ? std::string_view::npos : b.find('-') - 1);
    AddLiteral(sec.tokens, sym);
    return;
  }
  if (b[0] == '<' || b[0] == '>' || b[0] == '=') {
    std::size_t n = 0;
    while (n < b.size() && n < 2 && (b[n] == '<' || b[n] == '>' || b[n] == '=')) ++n;
    std::string_view rest = b.substr(n);
    while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
    double bound = 0;
    auto [p, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), bound);
    if (ec != std::errc()) return;
    sec.has_condition = true;
    sec.op = std::string(b.substr(0, n));
    sec.bound = bound;
  }
  // Colours, locales without a symbol, number-system switches: no text.
}

// Splits one section's code into tokens.
Section Tokenize(std::string_view code) {
  Section sec;
  auto& tk = sec.tokens;
  for (std::size_t i = 0; i < code.size();) {
    char c = code[i];
    char l = Lower(c);
    if (c == '"') {
      std::size_t end = code.find('"', i + 1);
      if (end == std::string_view::npos) end = code.size();
      AddLiteral(tk, code.substr(i + 1, end - i - 1));
      i = end + 1;
    } else if (c == '\\' || c == '_' || c == '*') {
      std::size_t n = i + 1 < code.size() ? Utf8Length(static_cast<unsigned char>(code[i + 1])) : 0;
      n = std::min(n, code.size() - i - 1);
      // An escaped character shows itself; "_x" leaves the room of an x
      // (one space); "*x" fills the column with x, which in text is at most
      // the one space a space fill gives.
      if (c == '\\') AddLiteral(tk, code.substr(i + 1, n));
      else if (c == '_' || (n == 1 && code[i + 1] == ' ')) AddLiteral(tk, " ");
      i += 1 + n;
    } else if (c == '[') {
      std::size_t end = code.find(']', i + 1);
      if (end == std::string_view::npos) end = code.size();
      Bracket(code.substr(i + 1, end - i - 1), sec);
      i = end + 1;
    } else if (c == '0' || c == '#' || c == '?') {
      tk.push_back({T::kDigit, {}, 0, c});
      ++i;
    } else if (c == '.') {
      tk.push_back({T::kPoint});
      ++i;
    } else if (c == ',') {
      tk.push_back({T::kComma});
      ++i;
    } else if (c == '%') {
      tk.push_back({T::kPercent});
      ++i;
    } else if (l == 'e' && i + 1 < code.size() && (code[i + 1] == '+' || code[i + 1] == '-')) {
      tk.push_back({T::kExp, std::string(1, code[i + 1])});
      i += 2;
    } else if (c == '/') {
      tk.push_back({T::kSlash});
      ++i;
    } else if (c == '@') {
      tk.push_back({T::kText});
      ++i;
    } else if (StartsWithNoCase(code, i, "general")) {
      tk.push_back({T::kGeneral});
      i += 7;
    } else if (StartsWithNoCase(code, i, "am/pm")) {
      tk.push_back({T::kAmPm, "AM/PM"});
      i += 5;
    } else if (StartsWithNoCase(code, i, "a/p")) {
      tk.push_back({T::kAmPm, std::string(code.substr(i, 3))});
      i += 3;
    } else if (l == 'y' || l == 'm' || l == 'd' || l == 'h' || l == 's') {
      std::size_t n = RunOf(code, i, l);
      int w = static_cast<int>(n);
      if (l == 'y') tk.push_back({T::kYear, {}, w <= 2 ? 2 : 4});
      else if (l == 'm') tk.push_back({T::kMonth, {}, std::min(w, 5)});
      else if (l == 'd') tk.push_back({T::kDay, {}, std::min(w, 4)});
      else if (l == 'h') tk.push_back({T::kHour, {}, std::min(w, 2)});
      else tk.push_back({T::kSecond, {}, std::min(w, 2)});
      i += n;
    } else if (c == 'e') {
      tk.push_back({T::kYear, {}, 4});
      i += RunOf(code, i, 'e');
    } else if (l == 'g' || (l == 'b' && i + 1 < code.size() && (code[i + 1] == '1' || code[i + 1] == '2'))) {
      // Era names and calendar switches: not shown in text.
      i += l == 'g' ? RunOf(code, i, 'g') : 2;
    } else {
      std::size_t n = std::min(Utf8Length(static_cast<unsigned char>(c)), code.size() - i);
      AddLiteral(tk, code.substr(i, n));
      i += n;
    }
  }
  return sec;
}

// Previous and next token indexes, skipping those for which skip is true.
template <typename Skip>
int Neighbour(const std::vector<Token>& tk, int from, int step, Skip skip) {
  for (int k = from + step; k >= 0 && k < static_cast<int>(tk.size()); k += step)
    if (!skip(tk[static_cast<std::size_t>(k)])) return k;
  return -1;
}

// Decides what each ambiguous token means once the whole section is known.
void Finish(Section& sec) {
  auto& tk = sec.tokens;
  for (const Token& t : tk)
    if (IsDatePart(t.kind)) sec.date = true;
  if (sec.date) {
    auto not_date = [](const Token& t) { return !IsDatePart(t.kind); };
    for (int k = 0; k < static_cast<int>(tk.size()); ++k) {
      Token& t = tk[static_cast<std::size_t>(k)];
      if (t.kind != T::kMonth || t.width > 2) continue;
      // "m" next to hours or seconds counts minutes.
      int prev = Neighbour(tk, k, -1, not_date);
      int next = Neighbour(tk, k, +1, not_date);
      bool after_hour = prev >= 0 && (tk[static_cast<std::size_t>(prev)].kind == T::kHour ||
                                      tk[static_cast<std::size_t>(prev)].kind == T::kElapsedHour);
      bool before_second = next >= 0 && (tk[static_cast<std::size_t>(next)].kind == T::kSecond ||
                                         tk[static_cast<std::size_t>(next)].kind == T::kElapsedSecond);
      if (after_hour || before_second) t.kind = T::kMinute;
    }
    std::vector<Token> out;
    for (std::size_t k = 0; k < tk.size(); ++k) {
      Token& t = tk[k];
      if (t.kind == T::kPoint && k + 1 < tk.size() && tk[k + 1].kind == T::kDigit && !out.empty() &&
          (out.back().kind == T::kSecond || out.back().kind == T::kElapsedSecond)) {
        // Fractions of a second: "ss.00".
        int n = 0;
        while (k + 1 < tk.size() && tk[k + 1].kind == T::kDigit) ++n, ++k;
        out.push_back({T::kSubSecond, {}, std::min(n, 3)});
        sec.sub_digits = std::max(sec.sub_digits, std::min(n, 3));
        continue;
      }
      switch (t.kind) {
        case T::kDigit: AddLiteral(out, std::string(1, t.ph == '#' ? '#' : t.ph)); break;
        case T::kPoint: AddLiteral(out, "."); break;
        case T::kComma: AddLiteral(out, ","); break;
        case T::kPercent: AddLiteral(out, "%"); break;
        case T::kSlash: AddLiteral(out, "/"); break;
        case T::kExp: AddLiteral(out, "E" + t.text); break;
        case T::kText: sec.text = true; break;
        case T::kGeneral: break;
        case T::kLiteral: AddLiteral(out, t.text); break;
        default:
          if (t.kind == T::kAmPm) sec.ampm = true;
          out.push_back(std::move(t));
      }
    }
    tk = std::move(out);
    return;
  }

  // A number.  A slash between digit placeholders makes a fraction.
  for (std::size_t k = 1; k + 1 < tk.size(); ++k) {
    if (tk[k].kind != T::kSlash || tk[k - 1].kind != T::kDigit) continue;
    const Token& next = tk[k + 1];
    if (next.kind == T::kDigit || (next.kind == T::kLiteral && next.text[0] >= '1' && next.text[0] <= '9')) {
      sec.fraction = true;
      tk[k].width = 1;  // the fraction's slash
      // A fixed denominator's zeros ("/100") were read as digit placeholders.
      if (next.kind == T::kLiteral) {
        std::size_t zeros = k + 2;
        while (zeros < tk.size() && tk[zeros].kind == T::kDigit && tk[zeros].ph == '0') ++zeros;
        if (next.text.find_first_not_of("0123456789") == std::string::npos && zeros > k + 2) {
          tk[k + 1].text.append(zeros - (k + 2), '0');
          tk.erase(tk.begin() + static_cast<std::ptrdiff_t>(k + 2), tk.begin() + static_cast<std::ptrdiff_t>(zeros));
        }
      }
      break;
    }
  }
  auto is_comma = [](const Token& t) { return t.kind == T::kComma; };
  std::vector<Token> out;
  bool point = false, exp = false;
  for (int k = 0; k < static_cast<int>(tk.size()); ++k) {
    Token& t = tk[static_cast<std::size_t>(k)];
    switch (t.kind) {
      case T::kComma: {
        int prev = Neighbour(tk, k, -1, is_comma);
        int next = Neighbour(tk, k, +1, is_comma);
        bool after_digit = prev >= 0 && tk[static_cast<std::size_t>(prev)].kind == T::kDigit;
        bool before_digit = next >= 0 && tk[static_cast<std::size_t>(next)].kind == T::kDigit;
        if (after_digit && before_digit && !point && !exp) sec.grouping = true;
        else if (after_digit && !before_digit && !exp) ++sec.scale;
        else AddLiteral(out, ",");
        break;
      }
      case T::kPoint:
        if (point || exp || sec.fraction) AddLiteral(out, ".");
        else out.push_back(t), point = true;
        break;
      case T::kExp:
        if (exp || sec.fraction) AddLiteral(out, "E" + t.text);
        else out.push_back(t), exp = sec.scientific = true;
        break;
      case T::kSlash:
        if (t.width == 1) out.push_back(t);
        else AddLiteral(out, "/");
        break;
      case T::kPercent:
        ++sec.percent;
        AddLiteral(out, "%");
        break;
      case T::kText:
        sec.text = true;
        break;
      default:
        out.push_back(std::move(t));
    }
  }
  sec.percent = std::min(sec.percent, 3);
  sec.scale = std::min(sec.scale, 5);
  tk = std::move(out);
}

// Splits a code into its sections at ";" outside quotes, escapes and brackets.
std::vector<std::string_view> SplitSections(std::string_view code) {
  std::vector<std::string_view> out;
  std::size_t start = 0;
  for (std::size_t i = 0; i < code.size(); ++i) {
    char c = code[i];
    if (c == '"') {
      std::size_t end = code.find('"', i + 1);
      i = end == std::string_view::npos ? code.size() : end;
    } else if (c == '\\' || c == '_' || c == '*') {
      ++i;
    } else if (c == '[') {
      std::size_t end = code.find(']', i + 1);
      i = end == std::string_view::npos ? code.size() : end;
    } else if (c == ';') {
      out.push_back(code.substr(start, i - start));
      start = i + 1;
      if (out.size() == 4) return out;
    }
  }
  out.push_back(code.substr(std::min(start, code.size())));
  return out;
}

// The digit a placeholder shows where the number has none: '0' a zero, '?'
// a space, '#' nothing.
void Pad(char ph, std::string& out) {
  if (ph == '0') out.push_back('0');
  else if (ph == '?') out.push_back(' ');
}

// Writes digits (most significant first) into the integer placeholders of
// tokens [begin, end): the rightmost placeholder takes the last digit, the
// leftmost any digits beyond the placeholders; literals between them stay
// where they are ("000-0000").  Placeholders without a digit pad.
void FillInteger(const std::vector<Token>& tk, std::size_t begin, std::size_t end, const std::string& digits,
                 bool grouping, std::string& out) {
  int n = 0;
  for (std::size_t k = begin; k < end; ++k)
    if (tk[k].kind == T::kDigit) ++n;
  const int len = static_cast<int>(digits.size());
  auto put = [&](int i, char ph) {  // i: position from the right
    if (i < len) {
      out.push_back(digits[static_cast<std::size_t>(len - 1 - i)]);
    } else {
      std::size_t before = out.size();
      Pad(ph, out);
      if (out.size() == before || out.back() == ' ') return;
    }
    if (grouping && i > 0 && i % 3 == 0) out.push_back(',');
  };
  int index = n;  // placeholders still to the right, plus one
  for (std::size_t k = begin; k < end; ++k) {
    const Token& t = tk[k];
    if (t.kind == T::kLiteral) {
      out.append(t.text);
      continue;
    }
    if (t.kind != T::kDigit) continue;
    --index;
    if (index == n - 1)
      for (int i = std::max(len, n) - 1; i > index; --i) put(i, t.ph);
    put(index, t.ph);
  }
  if (n == 0) {
    for (int i = len - 1; i >= 0; --i) put(i, '#');
  }
}

// The best fraction num/den for x in [0, 1) with den at most max_den.
std::pair<std::int64_t, std::int64_t> Approximate(double x, std::int64_t max_den) {
  std::int64_t p0 = 0, q0 = 1, p1 = 1, q1 = 0;
  double r = x;
  for (int iter = 0; iter < 64; ++iter) {
    double a_d = std::floor(r);
    if (a_d > 1e12) break;
    auto a = static_cast<std::int64_t>(a_d);
    std::int64_t p2 = a * p1 + p0, q2 = a * q1 + q0;
    if (q2 > max_den) {
      std::int64_t k = q1 ? (max_den - q0) / q1 : 0;
      std::int64_t ps = p0 + k * p1, qs = q0 + k * q1;
      if (q1 == 0 || (qs > 0 && std::fabs(x - static_cast<double>(ps) / static_cast<double>(qs)) <
                                    std::fabs(x - static_cast<double>(p1) / static_cast<double>(q1))))
        return {ps, qs};
      return {p1, q1};
    }
    p0 = p1, q0 = q1, p1 = p2, q1 = q2;
    double rest = r - a_d;
    if (rest < 1e-12) break;
    r = 1 / rest;
  }
  if (q1 == 0) return {0, 1};
  return {p1, q1};
}

std::string FormatFraction(const Section& sec, double v, bool* nonzero) {
  if (!(v < 1e15)) {
    // Beyond the digits a spreadsheet keeps there is no fraction to show.
    *nonzero = v != 0;
    return FormatGeneralNumber(v);
  }
  const auto& tk = sec.tokens;
  std::size_t slash = 0;
  while (slash < tk.size() && !(tk[slash].kind == T::kSlash)) ++slash;
  std::size_t num_begin = slash;
  while (num_begin > 0 && tk[num_begin - 1].kind == T::kDigit) --num_begin;
  std::size_t int_end = num_begin;  // integer placeholders end before the numerator's literals
  while (int_end > 0 && tk[int_end - 1].kind != T::kDigit) --int_end;
  std::size_t int_begin = 0;
  while (int_begin < int_end && tk[int_begin].kind != T::kDigit) ++int_begin;
  const bool has_int = int_begin < int_end;
  std::size_t den_end = slash + 1;
  std::int64_t fixed_den = 0;
  int den_digits = 0;
  if (den_end < tk.size() && tk[den_end].kind == T::kLiteral) {
    const std::string& lit = tk[den_end].text;
    std::size_t n = 0;
    while (n < lit.size() && n < 9 && lit[n] >= '0' && lit[n] <= '9') fixed_den = fixed_den * 10 + (lit[n++] - '0');
    ++den_end;
  } else {
    while (den_end < tk.size() && tk[den_end].kind == T::kDigit) ++den_end, ++den_digits;
  }
  std::int64_t ip = has_int ? static_cast<std::int64_t>(std::floor(v)) : 0;
  double f = v - static_cast<double>(ip);
  std::int64_t num = 0, den = 1;
  if (fixed_den > 0) {
    den = fixed_den;
    num = std::llround(f * static_cast<double>(den));
  } else {
    std::int64_t max_den = 1;
    for (int i = 0; i < std::min(den_digits, 6); ++i) max_den *= 10;
    max_den = std::max<std::int64_t>(max_den - 1, 1);
    double whole = has_int ? 0 : std::floor(f);
    auto [n, d] = Approximate(f - whole, max_den);
    num = n + static_cast<std::int64_t>(whole) * d;
    den = d;
  }
  if (has_int && num == den) ++ip, num = 0;
  *nonzero = ip != 0 || num != 0;

  std::string out;
  for (std::size_t k = 0; k < int_begin; ++k)
    if (tk[k].kind == T::kLiteral) out += tk[k].text;
  const bool show_int = has_int && (ip != 0 || num == 0);
  const bool show_fraction = num != 0 || !has_int;
  if (show_int) {
    std::string digits = ip != 0 ? std::to_string(ip) : "0";
    FillInteger(tk, int_begin, int_end, digits, sec.grouping, out);
  }
  if (show_fraction) {
    if (show_int)
      for (std::size_t k = int_end; k < num_begin; ++k)
        if (tk[k].kind == T::kLiteral) out += tk[k].text;
    FillInteger(tk, num_begin, slash, std::to_string(num), false, out);
    out += '/';
    out += std::to_string(den);
  }
  for (std::size_t k = den_end; k < tk.size(); ++k)
    if (tk[k].kind == T::kLiteral) out += tk[k].text;
  return out;
}

// v (not negative) through a section of digits; *nonzero tells whether
// any digit shown is not zero (only then does a negative number get its sign).
// exact, when not empty, holds v's integer digits as the document stores
// them (more than a double keeps).
std::string FormatNumberSection(const Section& sec, double v, bool* nonzero, std::string_view exact = {}) {
  if (sec.fraction) return FormatFraction(sec, v, nonzero);
  const auto& tk = sec.tokens;
  for (int i = 0; i < sec.percent; ++i) v *= 100;
  for (int i = 0; i < sec.scale; ++i) v /= 1000;
  std::size_t point = tk.size(), exp = tk.size();
  for (std::size_t k = 0; k < tk.size(); ++k) {
    if (tk[k].kind == T::kPoint && point == tk.size()) point = k;
    if (tk[k].kind == T::kExp) exp = k;
  }
  const std::size_t int_end = std::min(point, exp);
  int int_slots = 0, decimals = 0, exp_zeros = 0;
  bool any_digit = false;
  for (std::size_t k = 0; k < tk.size(); ++k) {
    if (tk[k].kind != T::kDigit) continue;
    any_digit = true;
    if (k < int_end) ++int_slots;
    else if (k < exp) ++decimals;
    else if (tk[k].ph == '0') ++exp_zeros;
  }
  Decimal d = Decimal::Of(v);
  if (!exact.empty() && sec.percent == 0 && sec.scale == 0 && !sec.scientific) {
    d.digits = std::string(exact);
    d.int_len = static_cast<int>(exact.size());
    d.Trim();
  }
  int e = 0;
  if (sec.scientific && !d.zero()) {
    int step = std::max(int_slots, 1);
    auto place = [&] {
      int first = d.int_len - 1;  // power of ten of the first digit
      int lead = step == 1 ? first : (first >= 0 ? first / step : -((-first + step - 1) / step)) * step;
      e = lead;
      d.int_len -= lead;
    };
    place();
    d.Round(decimals);
    if (d.int_len > step) {  // 9.99 rounded up to 10.0
      d.int_len += e;
      place();
    }
  } else {
    d.Round(decimals);
  }
  *nonzero = !d.zero();
  std::string out;
  if (!any_digit) {
    *nonzero = v != 0;
    // Only text (and perhaps General): the number itself where General stands.
    for (const Token& t : tk) {
      if (t.kind == T::kLiteral) out += t.text;
      else if (t.kind == T::kGeneral) out += FormatGeneralNumber(v);
    }
    return out;
  }
  const std::string integer = d.Integer();
  FillInteger(tk, 0, int_end, integer, sec.grouping, out);
  if (point < exp) {
    std::string frac = d.Fraction(decimals);
    // Trailing zeros under "#" vanish and under "?" become spaces.
    std::vector<char> slots;
    for (std::size_t k = point + 1; k < exp; ++k)
      if (tk[k].kind == T::kDigit) slots.push_back(tk[k].ph);
    int shown = decimals;
    while (shown > 0 && frac[static_cast<std::size_t>(shown - 1)] == '0' && slots[static_cast<std::size_t>(shown - 1)] != '0')
      --shown;
    int slot = 0;
    for (std::size_t k = point; k < exp; ++k) {
      const Token& t = tk[k];
      if (t.kind == T::kPoint) out.push_back('.');
      else if (t.kind == T::kLiteral) out += t.text;
      else if (t.kind == T::kDigit) {
        if (slot < shown) out.push_back(frac[static_cast<std::size_t>(slot)]);
        else Pad(t.ph == '0' ? '#' : t.ph, out);
        ++slot;
      }
    }
  }
  if (exp < tk.size()) {
    out += 'E';
    if (e < 0) out += '-';
    else if (tk[exp].text == "+") out += '+';
    std::string digits = std::to_string(std::abs(e));
    if (static_cast<int>(digits.size()) < exp_zeros)
      digits.insert(0, static_cast<std::size_t>(exp_zeros) - digits.size(), '0');
    bool written = false;
    for (std::size_t k = exp + 1; k < tk.size(); ++k) {
      if (tk[k].kind == T::kLiteral) out += tk[k].text;
      else if (tk[k].kind == T::kDigit && !written) out += digits, written = true;
    }
  }
  return out;
}

void Two(int v, std::string& out) {
  if (v < 10) out.push_back('0');
  out += std::to_string(v);
}

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void CivilFromDays(std::int64_t z, int& y, int& m, int& d) {
  z += 719468;
  std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  auto doe = static_cast<unsigned>(z - era * 146097);
  unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2));
}

std::string FormatDateSection(const Section& sec, double v, bool date1904) {
  std::int64_t unit = 1;
  for (int i = 0; i < sec.sub_digits; ++i) unit *= 10;
  const std::int64_t per_day = 86400 * unit;
  std::int64_t total = std::llround(v * static_cast<double>(per_day));
  std::int64_t days = total / per_day;
  std::int64_t rest = total % per_day;
  const std::int64_t secs = rest / unit;
  const std::int64_t sub = rest % unit;
  const int hour = static_cast<int>(secs / 3600), minute = static_cast<int>(secs / 60 % 60),
            second = static_cast<int>(secs % 60);
  int y = 0, m = 0, d = 0;
  if (!date1904 && days == 60) {
    y = 1900, m = 2, d = 29;  // the 1900 system counts a 29 February 1900 that never was
  } else if (!date1904 && days == 0) {
    y = 1900, m = 1, d = 0;
  } else {
    CivilFromDays(date1904 ? days - 24107 : (days < 60 ? days + 1 : days) - 25569, y, m, d);
  }
  const int weekday = static_cast<int>((days + (date1904 ? 5 : 6)) % 7);
  std::string out;
  for (const Token& t : sec.tokens) {
    switch (t.kind) {
      case T::kLiteral: out += t.text; break;
      case T::kYear:
        if (t.width == 2) Two(y % 100, out);
        else out += std::to_string(y);
        break;
      case T::kMonth:
        if (t.width == 1) out += std::to_string(m);
        else if (t.width == 2) Two(m, out);
        else if (t.width == 3) out += std::string_view(kMonths[m - 1]).substr(0, 3);
        else if (t.width == 4) out += kMonths[m - 1];
        else out += kMonths[m - 1][0];
        break;
      case T::kDay:
        if (t.width == 1) out += std::to_string(d);
        else if (t.width == 2) Two(d, out);
        else if (t.width == 3) out += std::string_view(kDays[weekday]).substr(0, 3);
        else out += kDays[weekday];
        break;
      case T::kHour: {
        int h = sec.ampm ? (hour % 12 == 0 ? 12 : hour % 12) : hour;
        if (t.width == 2) Two(h, out);
        else out += std::to_string(h);
        break;
      }
      case T::kMinute:
        if (t.width == 2) Two(minute, out);
        else out += std::to_string(minute);
        break;
      case T::kSecond:
        if (t.width == 2) Two(second, out);
        else out += std::to_string(second);
        break;
      case T::kSubSecond: {
        std::string digits = std::to_string(sub);
        digits.insert(0, static_cast<std::size_t>(sec.sub_digits) - std::min<std::size_t>(digits.size(), sec.sub_digits), '0');
        out += '.';
        out += digits.substr(0, static_cast<std::size_t>(t.width));
        break;
      }
      case T::kAmPm:
        if (t.text == "AM/PM") out += hour < 12 ? "AM" : "PM";
        else out += hour < 12 ? t.text[0] : t.text[2];
        break;
      case T::kElapsedHour:
      case T::kElapsedMinute:
      case T::kElapsedSecond: {
        std::int64_t n = t.kind == T::kElapsedHour     ? days * 24 + hour
                         : t.kind == T::kElapsedMinute ? (days * 24 + hour) * 60 + minute
                                                       : days * 86400 + secs;
        std::string s = std::to_string(n);
        if (t.width >= 2 && s.size() < 2) s.insert(0, "0");
        out += s;
        break;
      }
      default: break;
    }
  }
  return out;
}

// Codes of the built-in formats, as shown in English (United States).
std::string_view BuiltinCode(int id) {
  switch (id) {
    case 1: return "0";
    case 2: return "0.00";
    case 3: return "#,##0";
    case 4: return "#,##0.00";
    case 5: return "\"$\"#,##0_);(\"$\"#,##0)";
    case 6: return "\"$\"#,##0_);[Red](\"$\"#,##0)";
    case 7: return "\"$\"#,##0.00_);(\"$\"#,##0.00)";
    case 8: return "\"$\"#,##0.00_);[Red](\"$\"#,##0.00)";
    case 9: return "0%";
    case 10: return "0.00%";
    case 11: return "0.00E+00";
    case 12: return "# ?/?";
    case 13: return "# ?\?/??";
    case 14: return "m/d/yyyy";
    case 15: return "d-mmm-yy";
    case 16: return "d-mmm";
    case 17: return "mmm-yy";
    case 18: return "h:mm AM/PM";
    case 19: return "h:mm:ss AM/PM";
    case 20: return "h:mm";
    case 21: return "h:mm:ss";
    case 22: return "m/d/yyyy h:mm";
    case 37: return "#,##0 ;(#,##0)";
    case 38: return "#,##0 ;[Red](#,##0)";
    case 39: return "#,##0.00;(#,##0.00)";
    case 40: return "#,##0.00;[Red](#,##0.00)";
    case 41: return "_(* #,##0_);_(* \\(#,##0\\);_(* \"-\"_);_(@_)";
    case 42: return "_(\"$\"* #,##0_);_(\"$\"* \\(#,##0\\);_(\"$\"* \"-\"_);_(@_)";
    case 43: return "_(* #,##0.00_);_(* \\(#,##0.00\\);_(* \"-\"??_);_(@_)";
    case 44: return "_(\"$\"* #,##0.00_);_(\"$\"* \\(#,##0.00\\);_(\"$\"* \"-\"??_);_(@_)";
    case 45: return "mm:ss";
    case 46: return "[h]:mm:ss";
    case 47: return "mm:ss.0";
    case 48: return "##0.0E+0";
    default:
      // East Asian date formats, whose look follows the reader's locale.
      if ((id >= 27 && id <= 36) || (id >= 50 && id <= 58)) return "m/d/yyyy";
      return {};
  }
}

// General, with an integer's stored digits where given.
std::string General(double value, std::string_view exact) {
  if (exact.empty()) return FormatGeneralNumber(value);
  std::size_t lead = exact.find_first_not_of('0');
  if (lead == std::string_view::npos) return "0";
  return (value < 0 ? "-" : "") + std::string(exact.substr(lead));
}

std::string Trim(std::string s) {
  std::size_t b = s.find_first_not_of(' ');
  if (b == std::string::npos) return {};
  std::size_t e = s.find_last_not_of(' ');
  return s.substr(b, e - b + 1);
}

}  // namespace

struct NumberFormat::Parsed {
  std::vector<Section> sections;
  bool general = true;
};

std::string FormatGeneralNumber(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-Infinity" : "Infinity";
  char buf[64];
  if (value == std::floor(value) && std::fabs(value) < 1e16) {
    std::snprintf(buf, sizeof buf, "%.0f", value);
    return std::string_view(buf) == "-0" ? "0" : buf;
  }
  std::snprintf(buf, sizeof buf, "%.15g", value);
  double v = std::strtod(buf, nullptr);
  if (v == 0) return "0";
  double mag = std::fabs(v);
  auto fmt = (mag >= 1e-5 && mag < 1e15) ? std::chars_format::fixed : std::chars_format::scientific;
  auto r = std::to_chars(buf, buf + sizeof buf, v, fmt);
  if (r.ec != std::errc()) return buf;
  std::string s(buf, r.ptr);
  for (char& c : s)
    if (c == 'e') c = 'E';
  return s;
}

NumberFormat::NumberFormat() : parsed_(std::make_shared<Parsed>()) {}

NumberFormat::NumberFormat(std::string_view code) {
  auto p = std::make_shared<Parsed>();
  if (code.size() <= kMaxCodeBytes) {
    for (std::string_view part : SplitSections(code)) {
      Section sec = Tokenize(part);
      sec.text_pieces.emplace_back();
      for (const Token& t : sec.tokens) {
        if (t.kind == T::kText) sec.text_pieces.emplace_back();
        else if (t.kind == T::kLiteral) sec.text_pieces.back() += t.text;
      }
      Finish(sec);
      p->sections.push_back(std::move(sec));
    }
    // A lone "General" (in any case) is the General format.
    const auto& first = p->sections.front().tokens;
    p->general = p->sections.size() == 1 && first.size() == 1 && first[0].kind == T::kGeneral;
    if (p->sections.size() == 1 && first.empty()) p->general = true;
  }
  if (p->general) p->sections.clear();
  parsed_ = std::move(p);
}

NumberFormat NumberFormat::Builtin(int id) {
  std::string_view code = BuiltinCode(id);
  return code.empty() ? NumberFormat() : NumberFormat(code);
}

bool NumberFormat::is_general() const { return parsed_->general; }

bool NumberFormat::is_date() const { return !parsed_->sections.empty() && parsed_->sections[0].date; }

std::string NumberFormat::Format(double value, bool date1904) const { return Show(value, date1904, {}); }

namespace {

// Days from 1899-12-30 to a civil date (the serial number of that date in
// a spreadsheet's 1900 date system, from 1900-03-01 on).
long long SerialOf(int y, int m, int d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const long long yoe = y - era * 400;
  const long long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468 + 25569;  // days since 1970-01-01, then since 1899-12-30
}

}  // namespace

bool IsoDateSerial(std::string_view v, bool date1904, double* serial) {
  int y = 0, m = 0, d = 0;
  if (v.size() < 10 || v[4] != '-' || v[7] != '-') return false;
  auto num = [&](std::size_t at, std::size_t len, int* out) {
    auto [p, ec] = std::from_chars(v.data() + at, v.data() + at + len, *out);
    return ec == std::errc() && p == v.data() + at + len;
  };
  if (!num(0, 4, &y) || !num(5, 2, &m) || !num(8, 2, &d) || m < 1 || m > 12 || d < 1 || d > 31) return false;
  double frac = 0;
  if (v.size() >= 19 && v[10] == 'T') {
    int h = 0, mi = 0, s = 0;
    if (!num(11, 2, &h) || !num(14, 2, &mi) || !num(17, 2, &s)) return false;
    frac = (h * 3600 + mi * 60 + s) / 86400.0;
  }
  // The 1904 system counts from 1904-01-01, 1462 days later.
  *serial = static_cast<double>(SerialOf(y, m, d) - (date1904 ? 1462 : 0)) + frac;
  return true;
}

std::string NumberFormat::FormatText(std::string_view text) const {
  // Text takes the fourth section, or the one section that holds "@".
  const auto& secs = parsed_->sections;
  const Section* sec = nullptr;
  if (secs.size() >= 4) sec = &secs[3];
  for (std::size_t i = 0; i < secs.size() && !sec; ++i)
    if (secs[i].text) sec = &secs[i];
  // A section without "@" would hide the text, which is kept.
  if (!sec || !sec->text) return std::string(text);
  // Padding at either end ("_)") is left out, the text's own spaces kept.
  std::string out;
  const auto& pieces = sec->text_pieces;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    if (i) out.append(text);
    std::string_view piece = pieces[i];
    if (i == 0) piece.remove_prefix(std::min(piece.size(), piece.find_first_not_of(' ')));
    if (i + 1 == pieces.size()) piece = piece.substr(0, piece.find_last_not_of(' ') + 1);
    out += piece;
  }
  return out;
}

std::string NumberFormat::FormatStored(std::string_view stored, bool date1904) const {
  double value = 0;
  auto [p, ec] = std::from_chars(stored.data(), stored.data() + stored.size(), value);
  if (ec != std::errc() || p != stored.data() + stored.size() || !std::isfinite(value)) return std::string(stored);
  // An integer of up to 16 digits keeps every digit it is stored with.
  std::string_view digits = stored;
  if (!digits.empty() && (digits[0] == '-' || digits[0] == '+')) digits.remove_prefix(1);
  bool integer = !digits.empty() && digits.size() <= 16 && digits.find_first_not_of("0123456789") == std::string_view::npos;
  return Show(value, date1904, integer ? digits : std::string_view());
}

std::string NumberFormat::Show(double value, bool date1904, std::string_view exact) const {
  const auto& secs = parsed_->sections;
  if (secs.empty() || !std::isfinite(value)) return General(value, exact);
  // Sections up to the first one for text ("@") show numbers.
  std::size_t numeric = 0;
  while (numeric < std::min<std::size_t>(secs.size(), 3) && !secs[numeric].text) ++numeric;
  if (numeric == 0) return General(value, exact);
  // Which section shows the value: the first whose condition holds where
  // the code has conditions, else positive; negative; zero.  A section
  // for negative numbers shows the magnitude: its own text says how
  // negative numbers look.
  const Section* sec = nullptr;
  bool magnitude = false;
  if (secs[0].has_condition || (numeric > 1 && secs[1].has_condition)) {
    for (std::size_t i = 0; i < numeric && !sec; ++i)
      if (!secs[i].has_condition || secs[i].Matches(value)) sec = &secs[i];
    if (!sec) return General(value, exact);
    magnitude = sec->has_condition && ((sec->op == "<" && sec->bound <= 0) || (sec->op == "<=" && sec->bound < 0));
  } else if (value < 0 && numeric >= 2) {
    sec = &secs[1];
    magnitude = true;
  } else if (value == 0 && numeric >= 3) {
    sec = &secs[2];
  } else {
    sec = &secs[0];
  }
  // An empty section hides the value in a spreadsheet; text keeps it.
  if (sec->tokens.empty()) return General(value, exact);
  const double shown = magnitude ? std::fabs(value) : value;
  if (sec->date) {
    if (shown < 0 || shown >= kLastSerial) return General(value, exact);
    return Trim(FormatDateSection(*sec, shown, date1904));
  }
  bool nonzero = false;
  std::string text = Trim(FormatNumberSection(*sec, std::fabs(shown), &nonzero, exact));
  if (shown < 0 && nonzero) text.insert(0, "-");
  return text;
}

double RkValue(std::uint32_t rk) {
  double v = 0;
  if (rk & 2) {
    v = static_cast<double>(static_cast<std::int32_t>(rk) >> 2);
  } else {
    const std::uint64_t bits = static_cast<std::uint64_t>(rk & 0xFFFFFFFCu) << 32;
    std::memcpy(&v, &bits, sizeof v);
  }
  return (rk & 1) ? v / 100 : v;
}

std::string ExcelErrorText(std::uint32_t code) {
  switch (code) {
    case 0x00: return "#NULL!";
    case 0x07: return "#DIV/0!";
    case 0x0F: return "#VALUE!";
    case 0x17: return "#REF!";
    case 0x1D: return "#NAME?";
    case 0x24: return "#NUM!";
    case 0x2A: return "#N/A";
    default: return {};
  }
}

}  // namespace quarn
