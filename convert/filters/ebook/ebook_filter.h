// E-books: FictionBook 2 (also zipped), the Palm formats (PalmDoc, eReader,
// Plucker, TealDoc, zTXT), BroadBand eBook and TCR read by libe-book; MOBI
// by a reader of its own, whose HTML the web-page filter's text step reads.
#pragma once

#include <memory>

#include "convert/filters/builtin_filter.h"

namespace quarn {

std::unique_ptr<BuiltinFilter> CreateEbookFilter();

}  // namespace quarn
