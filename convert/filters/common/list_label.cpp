#include "convert/filters/common/list_label.h"

namespace quarn {

namespace {

std::string Roman(int n, bool upper) {
  static constexpr struct {
    int value;
    const char* digits;
  } kTable[] = {{1000, "m"}, {900, "cm"}, {500, "d"}, {400, "cd"}, {100, "c"}, {90, "xc"}, {50, "l"},
                {40, "xl"},  {10, "x"},   {9, "ix"},  {5, "v"},    {4, "iv"},  {1, "i"}};
  std::string s;
  for (const auto& [value, digits] : kTable)
    for (; n >= value; n -= value) s += digits;
  if (upper)
    for (char& c : s) c = static_cast<char>(c - 'a' + 'A');
  return s;
}

}  // namespace

std::string BulletLabel(std::string_view s) {
  if (s.empty()) return "\u2022";
  if (s == "o") return "\u25E6";
  bool private_use = false;
  for (std::size_t i = 0; i + 1 < s.size(); ++i) {
    auto b0 = static_cast<unsigned char>(s[i]), b1 = static_cast<unsigned char>(s[i + 1]);
    if (b0 == 0xEE || (b0 == 0xEF && b1 >= 0x80 && b1 <= 0xA3)) private_use = true;
  }
  if (!private_use) return std::string(s);
  if (s == "\uF0A7") return "\u25AA";  // Wingdings small square
  if (s == "\uF0D8") return "\u27A2";  // Wingdings arrowhead
  if (s == "\uF0FC") return "\u2713";  // Wingdings check mark
  if (s == "\uF076") return "\u2756";  // Wingdings diamond
  return "\u2022";
}


std::string FormatListNumber(int n, std::string_view format) {
  if (format == "none" || format == "bullet") return "";
  if ((format == "upperRoman" || format == "lowerRoman") && n >= 1 && n < 4000) return Roman(n, format[0] == 'u');
  // a..z, then aa..zz and so on, as Word counts; beyond a few repeats the
  // letters stop being readable and the number is written instead.
  if ((format == "upperLetter" || format == "lowerLetter") && n >= 1 && n <= 26 * 30) {
    char c = static_cast<char>((format[0] == 'u' ? 'A' : 'a') + (n - 1) % 26);
    return std::string(static_cast<std::size_t>((n - 1) / 26 + 1), c);
  }
  std::string s = std::to_string(n);
  if (format == "decimalZero" && n >= 0 && n < 10) return "0" + s;
  return s;
}

std::string_view WordNumberFormatName(int nfc) {
  switch (nfc) {
    case 1: return "upperRoman";
    case 2: return "lowerRoman";
    case 3: return "upperLetter";
    case 4: return "lowerLetter";
    case 22: return "decimalZero";
    case kWordBulletFormat: return "bullet";
    case 255: return "none";
    default: return "decimal";
  }
}

}  // namespace quarn
