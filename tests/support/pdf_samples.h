// Paths of the committed PDF samples and a scratch folder for one test.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace quarn::testing {

inline std::string PdfSample(const std::string& name) { return std::string(QUARN_TEST_DATA) + "/convert/pdf/" + name; }

inline std::string ReadFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A fresh folder below the system's temporary folder, removed with the object.
class ScratchDir {
 public:
  ScratchDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "quarn-pdf-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) std::abort();
    path_ = tmpl;
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }
  // Copies a committed sample in under a name of the test's choosing.
  std::string Copy(const std::string& sample, const std::string& name) const {
    std::filesystem::copy_file(PdfSample(sample), path_ / name);
    return (path_ / name).string();
  }

 private:
  std::filesystem::path path_;
};

}  // namespace quarn::testing
