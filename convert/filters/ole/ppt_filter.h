// The built-in filter for PowerPoint 97-2003 presentations (.ppt, .pps,
// .pot).  Walks the records of the "PowerPoint Document" stream: slides in
// presentation order (through the persist directory of the last edit), each
// slide's text (paragraphs after their bullet or number, embedded objects'
// text) followed by its notes, master slides left out.  Damaged
// presentations fall back to a plain walk over every record; PowerPoint 95
// and 4.0 files are read from the text they keep in streams of their own.
// A presentation encrypted with the password PowerPoint uses when only a
// password to modify was set is read; one a person locked is reported as
// password-protected.  Reentrant.
#pragma once

#include <memory>
#include <string_view>

#include "convert/filters/builtin_filter.h"
#include "convert/filters/ole/office_crypt.h"

namespace quarn {

// password: the one tried on an encrypted presentation (tests give others).
std::unique_ptr<BuiltinFilter> CreatePptFilter(std::u16string_view password = kPowerPointDefaultPassword);

}  // namespace quarn
