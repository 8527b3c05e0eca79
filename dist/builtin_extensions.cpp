// A build tool: prints the file-name extensions the built-in registrations
// give a filter, one a line without the dot, read through the same lookup
// the program uses.  The desktop entry's media types are made from them.
#include <cstdio>
#include <string>

#include "convert/filter.h"
#include "convert/registry.h"

int main() {
  quarn::Registry registry;
  registry.AddBuiltins();
  for (const std::string& ext : quarn::RegisteredExtensions(registry)) std::printf("%s\n", ext.c_str() + 1);
  return 0;
}
