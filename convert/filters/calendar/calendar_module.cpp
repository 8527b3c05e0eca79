// The filters of calendars and address books: iCalendar (libical) and vCard.
#include "convert/filters/module.h"

#include "convert/filters/calendar/ics_filter.h"
#include "convert/filters/calendar/vcf_filter.h"

namespace quarn {

namespace {

std::unique_ptr<BuiltinFilter> Create(std::string_view name) {
  if (name == "ics") return CreateIcsFilter();
  if (name == "vcf") return CreateVcfFilter();
  return nullptr;
}

constexpr FilterModule kModule = {Create, nullptr, nullptr, nullptr, nullptr};

}  // namespace

}  // namespace quarn

const quarn::FilterModule* QuarnCalendarModule() { return &quarn::kModule; }
