// Opens the window by loading it as a module from lib/quarn beside the
// program's prefix, so that the command-line forms never load Qt.
#include <dlfcn.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "process/exit_code.h"
#include "ui/run_window.h"

#ifndef QUARN_LIBDIR
#define QUARN_LIBDIR "lib"
#endif

int RunWindow(int argc, char** argv) {
  std::error_code ec;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  const std::filesystem::path module =
      exe.parent_path().parent_path() / QUARN_LIBDIR / "quarn" / "libquarn_window.so";
  // Kept loaded until the process ends: Qt registers exit handlers.
  void* handle = ec ? nullptr : dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
  using Entry = int (*)(int, char**);
  Entry entry = handle ? reinterpret_cast<Entry>(dlsym(handle, "QuarnRunWindow")) : nullptr;
  if (!entry) {
    const char* why = dlerror();
    std::fprintf(stderr, "quarn: the window cannot be opened (%s); name a file to convert, or see \"quarn --help\"\n",
                 why ? why : module.c_str());
    return quarn::Status(quarn::ExitCode::kUsage);
  }
  return entry(argc, argv);
}
