// Outlook for Mac's archives (.olm): a zip of the accounts' folders, each
// message an XML file (message_00001.xml) with its attachments stored beside
// it, and XML files of contacts, calendar events, tasks and notes.  Each
// folder by name, then its messages as the other mail filters write them
// (From, To, Cc, Date, Subject, the body, each attachment by name with its
// text); contacts, events, tasks and notes as the Outlook data file filter
// writes its other items.  One object per document.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "convert/filters/builtin_filter.h"

namespace quarn {

std::unique_ptr<BuiltinFilter> CreateOlmFilter();

// Whether a zip entry's name is one an Outlook for Mac archive has.
bool IsOlmEntryName(std::string_view name);

// An XML date and time ("2022-05-26T17:55:40", with or without a zone or
// fractions of a second; without a zone it is UTC) as FILETIME ticks; 0
// when it is none.
std::uint64_t XmlDateTimeTicks(std::string_view text);

}  // namespace quarn
