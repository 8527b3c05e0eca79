// List labels of OpenDocument text: the list styles (text:list-style) and
// the counters of the lists being read, so that the first paragraph of each
// list item starts with the number or bullet a reader sees.
#pragma once

#include <libxml/xmlreader.h>

#include <array>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "convert/filters/common/list_label.h"

namespace quarn::odf {

class ListStyles {
 public:
  static constexpr int kLevels = 10;
  // The name the outline style (the numbering of headings) is kept under:
  // no style of a file can be called so.
  static constexpr std::string_view kOutline = "\x01outline";
  struct Level {
    bool defined = false;
    bool bullet = false;
    std::string bullet_char;
    std::string format;  // in FormatListNumber's names; "none" for no number
    std::string prefix, suffix;
    int display_levels = 1;
    int start = 1;
  };

  // Reads every text:list-style, and the text:outline-style, of the element the reader is on (an
  // office:styles or office:automatic-styles element), leaving the reader on
  // that element's end; the reader's last status (1 while it can go on).
  // other, when given, sees every other element's start (the reader on it),
  // for callers that want more of the styles than their lists.
  int Read(xmlTextReaderPtr r, const std::function<void(xmlTextReaderPtr)>& other = nullptr);
  // The level (1..kLevels) of a style, or nullptr when not defined.
  const Level* Find(std::string_view style, int level) const;

 private:
  std::map<std::string, std::array<Level, kLevels>, std::less<>> styles_;
};

// Follows text:list, text:list-item and text:list-header as they open and
// close, in document order.
class ListCounter {
 public:
  explicit ListCounter(const ListStyles& styles) : styles_(styles) {}

  // style: the list's text:style-name ("" inherits the enclosing list's);
  // continues: the list goes on numbering from the last list of its style.
  void StartList(const std::string& style, bool continues);
  void EndList();
  // Whether a list is open.
  bool open() const { return !frames_.empty(); }
  // start_value: text:start-value of the item, or -1.
  void StartItem(int start_value);
  void StartHeader();
  // Called at the start of each paragraph: the label and a space for the
  // first paragraph of a list item, else "".
  std::string Paragraph();
  // Called at the start of a heading outside lists: the label and a space
  // the outline style gives a heading of level (1..), counted on from the
  // last heading (restart: anew; start_value >= 0: at that number), or "".
  std::string Heading(int level, bool restart, int start_value);

 private:
  struct Frame {
    std::string style;
    bool pending = false;  // the item's first paragraph is still to come
    int start_value = -1;
  };

  // The label of an item of level in style, counted by c.
  std::string Label(std::string_view style, int level, const ListCounters& c) const;

  const ListStyles& styles_;
  std::vector<Frame> frames_;
  ListCounters outline_;  // the headings' numbers
  std::map<std::string, ListCounters, std::less<>> by_style_;  // the last list of each style
  ListCounters* current_ = nullptr;
};

}  // namespace quarn::odf
