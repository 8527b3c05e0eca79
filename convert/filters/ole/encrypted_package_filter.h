// The built-in filter for Office 2007 and later documents (.docx, .xlsx,
// .pptx and their kin) kept encrypted in a compound file.  A package
// encrypted with the password Excel uses when the person set none (a
// workbook saved read-only or with a protected structure: it opens without
// a question) is decrypted into a private folder and read by the filter its
// content names; any other password leaves it reported as
// password-protected.  Reentrant.
#pragma once

#include <memory>
#include <string_view>

#include "convert/filters/builtin_filter.h"
#include "convert/filters/ole/office_crypt.h"

namespace quarn {

// password: the one tried (tests give others).
std::unique_ptr<BuiltinFilter> CreateEncryptedPackageFilter(std::u16string_view password = kExcelDefaultPassword);

}  // namespace quarn
