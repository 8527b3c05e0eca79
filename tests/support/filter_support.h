// Helpers shared by the filter tests: scratch folders, extraction through
// the real registry and filter host, and through one built-in filter.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "convert/filter.h"
#include "convert/filters/builtin.h"
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

// The text as the pipeline delivers it, thinned, without the separators it
// puts around chunks.
inline std::string PipelineText(const std::string& path, bool* incomplete = nullptr) {
  FilterText t = ExtractFilterText(Builtins(), path);
  if (incomplete) *incomplete = t.incomplete;
  std::string s = ThinSpaces(t.text);
  while (!s.empty() && s.back() == ' ') s.pop_back();
  while (!s.empty() && s.front() == ' ') s.erase(0, 1);
  return s;
}

// What one built-in filter made of a document: its result and its text.
struct BuiltinText {
  ExtractResult result;
  std::string text;
};

inline BuiltinText ExtractWith(std::string_view filter, const std::string& path) {
  TextSink sink;
  ExtractResult r = ExtractWithBuiltin(filter, path, sink);
  return {r, sink.Joined()};
}

// A fixture with a scratch folder of its own, removed after the test.
class ScratchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (std::filesystem::temp_directory_path() / "quarn-filter-XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::filesystem::path Write(const std::string& name, std::string_view bytes) {
    std::filesystem::path p = dir_ / name;
    std::ofstream(p, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return p;
  }
  std::filesystem::path dir_;
};

}  // namespace quarn::test
