// The vCard filter (.vcf): every card of an address book (vCard 2.1, 3.0 and
// 4.0) as labelled lines: name, organisation, title, e-mail addresses, phone
// numbers, postal addresses, web pages, birthday and notes.  Folded lines,
// quoted-printable values and their character sets are decoded; pictures and
// keys are left out.  Our own reader: the format is a few lines of text.
// One object per document.
#pragma once

#include <memory>
#include <string_view>

#include "convert/filters/builtin_filter.h"

namespace quarn {

std::unique_ptr<BuiltinFilter> CreateVcfFilter();

// Writes the cards of a vCard text into sink; the number of cards read.
// Values that name no character set are read in default_charset.
std::size_t WriteVcards(std::string_view text, TextSink& sink, std::string_view default_charset = "UTF-8");

}  // namespace quarn
