// Runs the window's tests inside the program's own application object, on
// the offscreen platform unless the environment names another.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "app/main.h"
#include "process/process.h"
#include "ui/window.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Listing the tests (the build does this) needs no application object.
  for (int i = 1; i < argc; ++i)
    if (std::strncmp(argv[i], "--gtest_list_tests", 18) == 0) return RUN_ALL_TESTS();
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  quarn::PrepareQtScaling();
  quarn::TApplication app(argc, argv);
  quarn::InitProcessing();
  // The real conversion, as the program's start-up sets it.
  quarn::SetFileConverter([](const std::string& path) { return quarn::ConvertFile(path, ""); });
  const int status = RUN_ALL_TESTS();
  quarn::DoneProcessing();
  return status;
}
