// Characters set in symbol fonts.  Word processors insert Greek letters and
// mathematical signs from the Symbol font, and check boxes from Wingdings,
// as the font's 8-bit codes (or those codes moved to U+F000 and up): read as
// they stand they are Latin letters ("a + b" for "α + β") or nothing.
// Shared by the Word, Word 2007+ and RTF filters; pure functions.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace quarn {

// Whether a font's characters stand for other ones: Symbol, Wingdings,
// Wingdings 2.
bool IsSymbolFont(std::string_view font);

// The character that code (8-bit, or U+F000 + the 8-bit code) shows in
// font: the Symbol font's letters and signs as their Unicode characters,
// Wingdings' bullets, arrows, boxes, ticks and faces; 0 for a picture that
// has no meaning as text or a glyph that is a piece of a larger one.  In
// other fonts, code itself (private-use characters excepted).
char32_t SymbolChar(std::string_view font, char32_t code);

// Text (UTF-8) set in font as the characters it shows: its 8-bit codes, as
// they stand or at U+F000 + the code (only the latter when private_only),
// are the font's; other characters stay.  Pictures without a meaning as text
// are left out.
std::string SymbolFontText(std::string_view font, std::string_view text, bool private_only = false);

// What a SYMBOL field's code ("SYMBOL 97 \f "Symbol" \s 12") inserts.
struct SymbolField {
  char32_t code = 0;  // decimal, or hexadecimal after 0x
  std::string font;   // \f "name"; empty: the surrounding text's font
  bool unicode = false;  // \u: code is a Unicode character, else an 8-bit
                         // code of the font (or the text's code page)
};

// The field a code describes; nullopt for any other field.
std::optional<SymbolField> ParseSymbolField(std::string_view code);

// The character a SYMBOL field's code inserts, in UTF-8; empty for any other
// field.  A field that names no font is in text_font; an 8-bit code in a font
// that is no symbol font is a byte of the text's code page, which
// decode_byte turns into UTF-8.
std::string SymbolFieldText(std::string_view code, std::string_view text_font,
                            const std::function<std::string(char)>& decode_byte);

}  // namespace quarn
