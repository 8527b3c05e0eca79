#include "convert/filters/revenge/file_stream.h"

namespace quarn::revenge {

namespace {

// Enough for any real package; a damaged directory that claims more stops here.
constexpr unsigned kMaxParts = 65536;

}  // namespace

bool IsPropertySet(std::string_view name) {
  if (std::size_t slash = name.rfind('/'); slash != std::string_view::npos) name.remove_prefix(slash + 1);
  while (!name.empty() && static_cast<unsigned char>(name.front()) < 0x20) name.remove_prefix(1);
  return name == "SummaryInformation" || name == "DocumentSummaryInformation";
}

FileStream::FileStream(const std::string& path) : in_(std::make_unique<librevenge::RVNGFileStream>(path.c_str())) {}

FileStream::FileStream(std::unique_ptr<librevenge::RVNGInputStream> part) : in_(std::move(part)) {}

FileStream::~FileStream() = default;

bool FileStream::isStructured() { return in_->isStructured(); }

const std::vector<unsigned>& FileStream::Visible() {
  if (listed_) return visible_;
  listed_ = true;
  if (!in_->isStructured()) return visible_;
  const unsigned n = in_->subStreamCount();
  for (unsigned i = 0; i < n && i < kMaxParts; ++i) {
    const char* name = in_->subStreamName(i);
    if (name && !IsPropertySet(name)) visible_.push_back(i);
  }
  return visible_;
}

unsigned FileStream::subStreamCount() { return static_cast<unsigned>(Visible().size()); }

const char* FileStream::subStreamName(unsigned id) {
  const std::vector<unsigned>& v = Visible();
  return id < v.size() ? in_->subStreamName(v[id]) : nullptr;
}

bool FileStream::existsSubStream(const char* name) {
  return name && !IsPropertySet(name) && in_->existsSubStream(name);
}

librevenge::RVNGInputStream* FileStream::getSubStreamByName(const char* name) {
  if (!name || IsPropertySet(name)) return nullptr;
  std::unique_ptr<librevenge::RVNGInputStream> part(in_->getSubStreamByName(name));
  return part ? new FileStream(std::move(part)) : nullptr;
}

librevenge::RVNGInputStream* FileStream::getSubStreamById(unsigned id) {
  const std::vector<unsigned>& v = Visible();
  if (id >= v.size()) return nullptr;
  std::unique_ptr<librevenge::RVNGInputStream> part(in_->getSubStreamById(v[id]));
  return part ? new FileStream(std::move(part)) : nullptr;
}

const unsigned char* FileStream::read(unsigned long numBytes, unsigned long& numBytesRead) {
  return in_->read(numBytes, numBytesRead);
}

int FileStream::seek(long offset, librevenge::RVNG_SEEK_TYPE seekType) { return in_->seek(offset, seekType); }

long FileStream::tell() { return in_->tell(); }

bool FileStream::isEnd() { return in_->isEnd(); }

}  // namespace quarn::revenge
