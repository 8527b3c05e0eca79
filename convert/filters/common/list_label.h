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

// A bullet character as written in a document, made readable without its
// font: symbol fonts put their bullets in the private-use area (U+F000 + the
// font's code), so the common ones become their Unicode look-alikes and the
// rest a plain bullet; Word's hollow bullet is a Courier "o".
std::string BulletLabel(std::string_view bullet);

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
