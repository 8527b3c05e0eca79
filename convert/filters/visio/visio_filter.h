// Visio drawings, stencils and templates: the binary files of Visio 1 to
// 2013 (.vsd, .vss, .vst), the XML drawings (.vdx) and the Open XML packages
// (.vsdx, .vsdm and their stencils and templates), on libvisio.
#pragma once

#include <memory>

#include "convert/filters/builtin_filter.h"

namespace quarn {

std::unique_ptr<BuiltinFilter> CreateVisioFilter();

}  // namespace quarn
