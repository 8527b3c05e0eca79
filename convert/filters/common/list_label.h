// Labels of list items as a reader sees them: numbers in the usual list
// formats and bullets, shared by the Word and OpenDocument filters.
#pragma once

#include <string>
#include <string_view>

namespace quarn {

// Writes n in a list number format, named as Word names them: decimal,
// decimalZero, upperRoman, lowerRoman, upperLetter, lowerLetter; "none" and
// "bullet" give nothing, other formats decimal.
std::string FormatListNumber(int n, std::string_view format);

// Word's number format codes (nfc, in Word 97-2003 and Word 2003 XML
// files) by the names FormatListNumber takes: 1 upperRoman, 2 lowerRoman,
// 3 upperLetter, 4 lowerLetter, 22 decimalZero, 23 bullet, 255 none, any
// other decimal.
inline constexpr int kWordBulletFormat = 23;
std::string_view WordNumberFormatName(int nfc);

// A bullet character as written in a document, made readable without its
// font: symbol fonts put their bullets in the private-use area (U+F000 + the
// font's code), so the common ones become their Unicode look-alikes and the
// rest a plain bullet; Word's hollow bullet is a Courier "o".
std::string BulletLabel(std::string_view bullet);

// Where a Word list level's label comes from: the number level k (0-based)
// shows and the format it shows it in.
struct LevelNumber {
  int value = 1;
  std::string_view format = "decimal";
};

// A Word list level's label: its text ("%1.%2)") with each %k replaced by
// level k-1's number (number_of(k-1)) in that level's format, or in decimal
// for "legal" numbering (whose none and bullet levels still show nothing);
// a bullet level's text as its bullet.  Empty when the level shows nothing.
template <class NumberOf>
std::string WordLevelLabel(std::string_view text, bool bullet, bool legal, NumberOf number_of) {
  std::string label;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 1 < text.size() && text[i + 1] >= '1' && text[i + 1] <= '9') {
      const LevelNumber n = number_of(text[++i] - '1');
      std::string_view format = n.format;
      if (legal && format != "none" && format != "bullet") format = "decimal";
      label += FormatListNumber(n.value, format);
    } else {
      label += text[i];
    }
  }
  return bullet ? BulletLabel(label) : label;
}

// The numbers of one list's levels, as word processors count them: a level
// starts at its start value and then counts on, and numbering a level
// restarts every level below it.  Levels are 0-based.
class ListCounters {
 public:
  static constexpr int kLevels = 10;

  // Numbers the next item of level; start is the level's start value.
  void Next(int level, int start) {
    if (!started_[level]) value_[level] = start;
    else if (value_[level] < kMaxNumber) ++value_[level];
    started_[level] = true;
    for (int k = level + 1; k < kLevels; ++k) started_[k] = false;
  }
  // Numbers the next item of level with a number of its own.
  void Set(int level, int value) {
    Next(level, value);
    value_[level] = value;
  }
  // Makes level start again at its next item.
  void Restart(int level) { started_[level] = false; }
  // The number level shows: its count, or start while it has none.
  int Shown(int level, int start) const { return started_[level] ? value_[level] : start; }

 private:
  static constexpr int kMaxNumber = 1'000'000'000;
  int value_[kLevels] = {};
  bool started_[kLevels] = {};
};

}  // namespace quarn
