#include "convert/filters/common/temp_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

namespace quarn {

TempFile::TempFile(std::string_view bytes) {
  const char* dir = std::getenv("TMPDIR");
  std::string tmpl = std::string(dir && *dir ? dir : "/tmp") + "/quarn-embedded-XXXXXX";
  int fd = ::mkostemp(tmpl.data(), O_CLOEXEC);  // mode 0600
  if (fd < 0) return;
  path_ = tmpl;
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  ok_ = ::close(fd) == 0 && done == bytes.size();
}

TempFile::~TempFile() {
  if (!path_.empty()) ::unlink(path_.c_str());
}

}  // namespace quarn
