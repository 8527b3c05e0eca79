// The entry the program looks up when it loads the window module.
#include "ui/run_window.h"

extern "C" __attribute__((visibility("default"))) int QuarnRunWindow(int argc, char** argv) {
  return RunWindow(argc, argv);
}
