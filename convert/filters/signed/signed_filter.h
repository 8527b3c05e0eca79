// Signed files (.p7m: a CMS or PKCS #7 signature that holds the document it
// signs, as e-invoices, certified mail and signed contracts carry them): the
// document inside, read as if it stood on its own.  The signature is not
// checked; it says nothing about the text.
#pragma once

#include <memory>

#include "convert/filters/builtin_filter.h"

namespace quarn {

std::unique_ptr<BuiltinFilter> CreateSignedFilter();

}  // namespace quarn
