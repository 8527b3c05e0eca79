// The iCalendar filter (.ics), on libical: every event, task and journal
// entry in order, each as a few labelled lines (what, when, where, who) and
// its description.  One object per document.
#pragma once

#include <memory>

#include "convert/filters/builtin_filter.h"

namespace quarn {

std::unique_ptr<BuiltinFilter> CreateIcsFilter();

}  // namespace quarn
