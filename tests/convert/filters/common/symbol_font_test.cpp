// Symbol-font characters and SYMBOL fields as the Word and RTF filters read
// them.
#include "convert/filters/common/symbol_font.h"

#include <string>

#include <gtest/gtest.h>

namespace quarn {
namespace {

std::string Byte1252(char byte) { return byte == '\xE9' ? "\u00E9" : "?"; }

std::string Field(std::string_view code, std::string_view text_font = {}) {
  return SymbolFieldText(code, text_font, Byte1252);
}

TEST(SymbolFont, CodesAsTheFontShowsThem) {
  // The same code in the 8-bit range or at U+F000 up; digits stay digits.
  EXPECT_EQ(SymbolChar("Symbol", 'a'), U'\u03B1');
  EXPECT_EQ(SymbolChar("symbol ", 0xF061), U'\u03B1');
  EXPECT_EQ(SymbolChar("Symbol", '7'), U'7');
  EXPECT_EQ(SymbolChar("Symbol", 0xB3), U'\u2265');
  EXPECT_EQ(SymbolChar("Symbol", 0xE6), 0U);  // a piece of a bracket
  EXPECT_EQ(SymbolChar("Wingdings", 0xF0FE), U'\u2611');
  EXPECT_EQ(SymbolChar("Wingdings", 'l'), U'\u25CF');  // a bullet
  EXPECT_EQ(SymbolChar("Wingdings", 0xF0E0), U'\u2192');  // an arrow
  EXPECT_EQ(SymbolChar("Wingdings", '!'), 0U);        // a pencil: a picture
  // Wingdings 2: the boxes and ticks forms are made of, circled numbers.
  EXPECT_TRUE(IsSymbolFont(" Wingdings 2"));
  EXPECT_EQ(SymbolChar("Wingdings 2", 'R'), U'\u2611');
  EXPECT_EQ(SymbolChar("Wingdings 2", 0xF0A3), U'\u2610');
  EXPECT_EQ(SymbolChar("Wingdings 2", 'P'), U'\u2713');
  EXPECT_EQ(SymbolChar("Wingdings 2", 'j'), U'\u2460');
  EXPECT_EQ(SymbolChar("Wingdings 2", 's'), U'\u2469');
  EXPECT_EQ(SymbolChar("Wingdings 2", '!'), 0U);  // a pen
  EXPECT_EQ(SymbolFontText("Wingdings 2", "R \u00a3"), "\u2611 \u2610");
  // Other fonts keep their characters, private-use ones excepted.
  EXPECT_EQ(SymbolChar("Arial", 'a'), U'a');
  EXPECT_EQ(SymbolChar("Webdings", 0xF061), 0U);
  EXPECT_FALSE(IsSymbolFont("Symbol MT Extra"));
}

TEST(SymbolFont, SymbolFieldsInsertTheirCharacter) {
  EXPECT_EQ(Field("SYMBOL 97 \\f \"Symbol\" \\s 12"), "\u03B1");
  EXPECT_EQ(Field(" symbol 0xB0 \\f Symbol"), "\u00B0");
  EXPECT_EQ(Field("SYMBOL 254 \\f \"Wingdings\""), "\u2611");
  // Without a font: the surrounding text's font, else a byte of its code page.
  EXPECT_EQ(Field("SYMBOL 97", "Symbol"), "\u03B1");
  EXPECT_EQ(Field("SYMBOL 233"), "\u00E9");
  EXPECT_EQ(Field("SYMBOL 8364 \\u"), "\u20AC");
  // Other fields and broken codes insert nothing.
  EXPECT_EQ(Field("SYMBOLS 97"), "");
  EXPECT_EQ(Field("SYMBOL"), "");
  EXPECT_EQ(Field("SYMBOL \\f Symbol"), "");
  EXPECT_EQ(Field("SYMBOL 99999999999999999999"), "");
  EXPECT_EQ(Field("SYMBOL 7"), "");  // a control character
  EXPECT_EQ(Field("PAGE 97"), "");
}

}  // namespace
}  // namespace quarn
