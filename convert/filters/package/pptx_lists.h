// Bullets and automatic numbers of presentation paragraphs: the bullet a
// paragraph shows comes from its own properties, else its shape's list
// style, else (for placeholders) the matching placeholder of its slide
// layout and slide master and the master's text styles.  Also the text an
// author put on a layout or master outside placeholders.  Used by the
// presentation filter, one object per document.
#pragma once

#include <array>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "convert/filters/common/list_label.h"
#include "convert/filters/package/ooxml.h"

namespace quarn::pptx {

constexpr int kLevels = 9;

struct Bullet {
  enum class Kind { kUnset, kNone, kChar, kAutoNumber };
  Kind kind = Kind::kUnset;
  std::string text;    // the bullet character
  std::string font;    // its font, for symbol fonts
  std::string scheme;  // the numbering scheme ("arabicPeriod", "alphaLcParenR")
  int start = 1;
};
using LevelBullets = std::array<Bullet, kLevels>;

// Reads the bullet of the paragraph properties element the cursor is on
// (a:pPr or a:lvlNpPr) into *bullet, its level ("lvl", 0-based) into
// *level when given; like Skip, leaves the cursor on the node after it.
bool ReadBulletProps(ooxml::XmlCursor& x, Bullet* bullet, int* level = nullptr);
// Reads the lvl1pPr..lvl9pPr children of a list style element (a:lstStyle,
// p:bodyStyle...) the cursor is on, leaving the cursor after it.
bool ReadListStyle(ooxml::XmlCursor& x, LevelBullets& levels);

// The text a bullet shows: symbol-font characters become their Unicode
// look-alikes; a picture bullet is a plain bullet.
std::string BulletText(const Bullet& bullet);
// An automatic number in a numbering scheme: 3 in "alphaLcParenR" is "c)".
std::string AutoNumberLabel(std::string_view scheme, int n);

// A slide layout or slide master: the list styles of its placeholders, the
// master's text styles, and its own text outside placeholders.
struct MasterPart {
  std::map<std::string, LevelBullets> by_idx;   // placeholders by index
  std::map<std::string, LevelBullets> by_type;  // placeholders by type
  LevelBullets title, body, other;              // a master's text styles
  std::vector<std::string> lines;               // text outside placeholders
  bool hides_master = false;                    // a layout with showMasterSp="0"
  std::string master;                           // a layout's slide master part
};

// A placeholder's type as inheritance matches it ("obj" and none are
// "body", "ctrTitle" is "title").
std::string PlaceholderKind(std::string_view type);

// Follows the automatic numbers of one text body: each numbered paragraph
// counts on at its level, a paragraph of a shallower level restarts the
// deeper ones, an unnumbered paragraph or another numbering scheme at a
// level restarts it.
class ParagraphLabels {
 public:
  void Reset() {
    counters_ = ListCounters();
    schemes_ = {};
  }
  // The label (and a space) of a paragraph with text at level showing
  // bullet; "" for none.
  std::string Next(int level, const Bullet& bullet);

 private:
  ListCounters counters_;
  std::array<std::string, kLevels> schemes_;  // per level: the scheme counted last
};

}  // namespace quarn::pptx
