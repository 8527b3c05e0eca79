// Small zip packages written by tests: each part given by name and bytes.
#pragma once

#include <gtest/gtest.h>
#include <zip.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>

namespace quarn::test {

inline void WriteZip(const std::filesystem::path& path, const std::map<std::string, std::string>& parts) {
  int error = 0;
  zip_t* zip = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  ASSERT_NE(zip, nullptr);
  for (const auto& [name, content] : parts) {
    char* copy = static_cast<char*>(std::malloc(content.size() + 1));
    std::memcpy(copy, content.data(), content.size());
    zip_source_t* src = zip_source_buffer(zip, copy, content.size(), 1);
    ASSERT_GE(zip_file_add(zip, name.c_str(), src, ZIP_FL_OVERWRITE), 0);
  }
  ASSERT_EQ(zip_close(zip), 0);
}

}  // namespace quarn::test
