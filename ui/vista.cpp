#include "ui/vista.h"

namespace quarn {

void AllowDropFromLowerIntegrity() {}

}  // namespace quarn
