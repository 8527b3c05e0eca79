// The text of one page of structured text as a reader takes it in: columns
// read one after the other when the page draws them line by line across,
// right-to-left scripts in the order they are written rather than the order
// they are drawn, ligature characters as their letters, and words broken
// by a hyphenation at a line end joined again (a real hyphen stays).  Used
// by the PDF text library for each page; pure function of the page.
#pragma once

extern "C" {
#include <mupdf/fitz.h>
}

#include <string>

namespace quarn::pdf {

// The page's text as UTF-8: one line per text line, an empty line after
// each block.  Control characters other than tab become spaces.  When
// own_end is given, it is the last line of the page's own text: the lines
// after it are what its form fields and annotations draw, placed where they
// stand (a field's value after its label).  Throws std::bad_alloc when
// memory runs out.
std::string PageText(const fz_stext_page* page, const fz_stext_line* own_end = nullptr);

}  // namespace quarn::pdf
