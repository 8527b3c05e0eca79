// The filters built on GMime (and libytnef for TNEF): e-mail, mailboxes,
// Outlook Express folders, web archives and TNEF streams.
#include "convert/filters/module.h"

#include "convert/filters/mail/dbx_filter.h"
#include "convert/filters/mail/eml_filter.h"
#include "convert/filters/mail/mbox_filter.h"
#include "convert/filters/mail/mhtml_filter.h"
#include "convert/filters/mail/tnef_filter.h"
#include "convert/filters/ole/ole_util.h"

namespace quarn {

namespace {

std::unique_ptr<BuiltinFilter> Create(std::string_view name) {
  RouteGlibMessages();
  if (name == "eml") return CreateEmlFilter();
  if (name == "mbox") return CreateMboxFilter();
  if (name == "dbx") return CreateDbxFilter();
  if (name == "mhtml") return CreateMhtmlFilter();
  if (name == "tnef") return CreateTnefFilter();
  return nullptr;
}

constexpr FilterModule kModule = {Create, nullptr, nullptr, nullptr, nullptr};

}  // namespace

}  // namespace quarn

const quarn::FilterModule* QuarnMailModule() { return &quarn::kModule; }
