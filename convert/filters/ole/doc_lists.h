// List numbers and bullets of a Word 97-2003 document: the list definitions
// (PlfLst) and list overrides (PlfLfo) of the table stream, and counters
// that give each numbered paragraph the label Word shows before it.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "convert/filters/common/list_label.h"

namespace quarn {

class WordLists {
 public:
  static constexpr int kLevels = 9;

  // Reads the definitions at [lst, lst + lst_len) and the overrides at
  // [lfo, lfo + lfo_len) of the table stream.  Damaged structures end the
  // reading; what was read before stays usable.
  void Load(std::string_view table, uint32_t lst, uint32_t lst_len, uint32_t lfo, uint32_t lfo_len);

  // The label and the separator after it for the next paragraph of list
  // override ilfo (1-based, as paragraphs name it) at level ilvl; "" when
  // the paragraph is not numbered.
  std::string Next(int ilfo, int ilvl);

  bool empty() const { return overrides_.empty(); }

 private:
  struct Level {
    int start = 1;
    int nfc = 0;             // number format code
    bool legal = false;      // every number in the label in decimal
    std::u16string text;     // characters 0..8 stand for the levels' numbers
    bool defined = false;
  };
  struct List {
    std::array<Level, kLevels> levels;
    ListCounters counters;
  };
  struct Override {
    uint32_t lsid = 0;
    std::array<int, kLevels> start_at;  // -1: no restart
    std::array<Level, kLevels> levels;  // defined where the override reformats a level
    bool used = false;
  };

  const Level* LevelOf(const Override& o, const List& l, int level) const;

  std::map<uint32_t, List> lists_;  // by list id
  std::vector<Override> overrides_;
};

// The automatic numbers and bullets of Word 6/95 paragraphs, which carry
// their number format (an ANLD) themselves: numbered paragraphs in a row
// count up, outline levels count as headings do.
class AutoNumbering {
 public:
  // The label and the space after it for a paragraph numbered at level (1-9:
  // an outline level; 10 and up: a list) with the format in anld, whose
  // text is in the 8-bit code page codepage; "" when it shows none.
  std::string Next(int level, std::string_view anld, const char* codepage);
  // A paragraph without a number: the next numbered one starts a new list.
  void Break() { list_active_ = false; }

 private:
  ListCounters outline_;
  bool list_active_ = false;
  std::string list_format_;
  int list_value_ = 0;
};

}  // namespace quarn
