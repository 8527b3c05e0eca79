// The hand-over to the window: shows it, runs its event loop until it is
// closed and returns the exit status.  Called once by the main sequence on
// the main thread, after StartUp and before ShutDown.  Declared here, where
// the window lives; a build without Qt links a stand-in from the program.
#pragma once

int RunWindow(int argc, char** argv);
