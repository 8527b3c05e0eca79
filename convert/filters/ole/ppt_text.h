// The paragraphs of PowerPoint 97-2003 text as a reader sees them: each
// paragraph of a text atom on its own line, after the bullet or number it
// shows.  Reads the paragraph and character runs of a StyleTextPropAtom, the
// bullets the master's TextMasterStyleAtom gives each text type and level,
// the auto-numbering of the StyleTextProp9Atom extension, and the fonts that
// tell a symbol font's bullet from a letter.  Used by the ppt filter on its
// worker thread; reentrant.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace quarn::ppt {

// What a paragraph run or a master level says about a paragraph's bullet;
// each field counts only where its flag says it is given.
struct BulletStyle {
  bool has_bullet_given = false, has_bullet = false;
  bool font_flag_given = false, use_font = false;  // the bullet has a font of its own
  bool char_given = false;
  char16_t bullet_char = 0;
  bool font_given = false;
  uint16_t font = 0;
};

// Automatic numbering of a paragraph (from its StyleTextProp9 entry).
struct AutoNumber {
  bool numbered = false;
  int scheme = 3;  // 1., as PowerPoint defaults
  int start = 1;
};

// The bullet styles of a master's text types (title, body, notes, other,
// and their centred and half forms) by indent level.
class MasterStyles {
 public:
  static constexpr int kTypes = 9, kLevels = 5;
  // Reads the data of a TextMasterStyleAtom for text type instance.
  void Read(std::string_view data, int text_type);
  // The style level of text_type shows, following the types it is derived from.
  BulletStyle Resolve(int text_type, int level) const;

 private:
  std::array<std::array<BulletStyle, kLevels>, kTypes> levels_{};
  std::array<bool, kTypes> read_{};
};

// The presentation's fonts, by index: which are symbol fonts.
class Fonts {
 public:
  void Add(uint16_t index, std::string_view font_entity_atom);
  bool IsSymbol(uint16_t index) const;
  // The face's name when its text shows characters of its own (Symbol,
  // Wingdings); null otherwise.
  const std::string* SymbolFace(uint16_t index) const;

 private:
  std::map<uint16_t, bool> symbol_;
  std::map<uint16_t, std::string> faces_;
};

// The auto-numbering entries of a StyleTextProp9Atom, in order.
std::vector<AutoNumber> ReadStyleTextProp9(std::string_view data);

// One text atom's characters (UTF-16 units; CR ends a paragraph, VT breaks
// a line) with the labels its paragraphs show, one line per paragraph.
// style is the data of the StyleTextPropAtom that follows the text (may be
// empty), numbers the shape's StyleTextProp9 entries (may be empty).
std::string LabelledParagraphs(std::u16string_view text, int text_type, std::string_view style,
                               const std::vector<AutoNumber>& numbers, const MasterStyles& masters,
                               const Fonts& fonts);

}  // namespace quarn::ppt
