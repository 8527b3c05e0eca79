// E-books read by libe-book: FictionBook 2 (also zipped), the Palm formats
// (PalmDoc, eReader, Plucker, TealDoc, zTXT), BroadBand eBook and TCR.
// FictionBook that libe-book cannot read goes to MuPDF's reader.
#pragma once

#include <memory>

#include "convert/filters/builtin_filter.h"

namespace quarn {

std::unique_ptr<BuiltinFilter> CreateEbookFilter();

}  // namespace quarn
