// A private temporary file holding bytes for another filter to read (an
// object embedded in a document, handed to the filter of its own format):
// created with mode 0600 in $TMPDIR (else /tmp), removed when the object goes.
#pragma once

#include <string>
#include <string_view>

namespace quarn {

class TempFile {
 public:
  // Writes bytes to a new file; ok() says whether all of them were written.
  explicit TempFile(std::string_view bytes);
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  bool ok() const { return ok_; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  bool ok_ = false;
};

}  // namespace quarn
