// Lets drops from less privileged programs reach the window.  Called once by
// the window when it is created, on the main thread.
#pragma once

namespace quarn {

// Linux desktops have no integrity levels: every program that can reach the
// display may drop onto the window, so there is nothing to allow.
void AllowDropFromLowerIntegrity();

}  // namespace quarn
