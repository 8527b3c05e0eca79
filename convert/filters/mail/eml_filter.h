// The built-in filter for saved e-mail: RFC 822 messages (.eml, through
// GMime) and Outlook .msg files (the compound-file properties, through
// libgsf).  The headers a reader wants first (From, To, Cc, Date, Subject),
// then the text parts; HTML-only parts as text; attachments by name, with the
// text of those a built-in filter reads; attached messages to a bounded depth.
// Reentrant: GMime is initialised once, every message is parsed afresh.
#pragma once

#include <memory>
#include <string_view>

#include "convert/filters/builtin_filter.h"

namespace quarn {

std::unique_ptr<BuiltinFilter> CreateEmlFilter();

// The text of an HTML body part.  Stands in until the HTML filter's
// reusable extractor is available; one call site, so it can be pointed there.
void MailHtmlToText(std::string_view html_bytes, std::string_view charset, TextSink& sink);

}  // namespace quarn
