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

}  // namespace quarn
