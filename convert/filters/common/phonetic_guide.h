// Phonetic guides (ruby) as word processors write them into Word and RTF
// files: an EQ field overlaying the reading on its base, EQ \o\ad(reading,
// base), often without a result of its own.  Shared by the Word and RTF
// filters; pure functions.
#pragma once

#include <string>
#include <string_view>

namespace quarn {

// The text a phonetic guide field's code stands for: the base, then the
// reading in parentheses ("東京(とうきょう)"); empty for any other field.
std::string PhoneticGuideText(std::string_view code);

}  // namespace quarn
