// E-books read by libe-book: FictionBook 2 (also zipped), MOBI and the other
// Palm formats (PalmDoc, eReader, Plucker, TealDoc, zTXT), BroadBand eBook
// and TCR.
#pragma once

#include <memory>

#include "convert/filters/builtin_filter.h"

namespace quarn {

std::unique_ptr<BuiltinFilter> CreateEbookFilter();

}  // namespace quarn
