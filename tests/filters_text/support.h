// Helpers shared by the text and HTML filter tests: a scratch folder, and
// extraction through the real registry and filter host.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "convert/filter.h"
#include "convert/registry.h"

namespace quarn::test {

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "quarn-text-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) std::abort();
    path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline std::string WriteFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
  return path.string();
}

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The built-in registrations only: no .reg files of the machine.
inline const Registry& Builtins() {
  static const Registry registry = [] {
    Registry r;
    r.AddBuiltins();
    return r;
  }();
  return registry;
}

// The document's text as the pipeline extracts it (before thinning), without
// the spaces the chunk loop appends after the last chunk.
inline std::string Extracted(const std::string& path) {
  std::string text = ExtractFilterText(Builtins(), path).text;
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

}  // namespace quarn::test
