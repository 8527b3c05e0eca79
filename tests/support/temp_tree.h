// A temporary folder for tests that build small trees of files, removed with
// everything in it when the test ends.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace quarn::testing {

class TempTree {
 public:
  TempTree() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quarn-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) std::abort();
    root_ = pattern;
  }
  ~TempTree() {
    std::error_code ec;
    // Give back the rights a test took away, so that everything can go.
    for (auto it = std::filesystem::recursive_directory_iterator(root_, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
      if (!it->is_symlink()) ::chmod(it->path().c_str(), it->is_directory() ? 0755 : 0644);
    std::filesystem::remove_all(root_, ec);
  }
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;

  const std::string& root() const { return root_; }
  std::string operator/(const std::string& rel) const { return root_ + "/" + rel; }

  // Writes rel (creating its folders) and returns its full path.
  std::string Write(const std::string& rel, const std::string& bytes = "text\n") const {
    const std::string path = *this / rel;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
  std::string Folder(const std::string& rel) const {
    const std::string path = *this / rel;
    std::filesystem::create_directories(path);
    return path;
  }
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

 private:
  std::string root_;
};

}  // namespace quarn::testing
