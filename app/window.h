// The hand-over to the window: shows it, runs its event loop until it is
// closed and returns the exit status.  Called once by the main sequence on
// the main thread, after StartUp and before ShutDown.
#pragma once

int RunWindow(int argc, char** argv);
