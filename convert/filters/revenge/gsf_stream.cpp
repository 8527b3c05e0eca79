#include "convert/filters/revenge/gsf_stream.h"

#include <glib.h>

#include <algorithm>

#include <string_view>

namespace quarn::revenge {

namespace {

// Deep enough for any real document; a looping or absurdly nested directory
// of a damaged file stops here.
constexpr int kMaxDepth = 16;
constexpr std::size_t kMaxStreams = 65536;

void Unref(void* object) {
  if (object) g_object_unref(object);
}

bool IsDirectory(GsfInput* input) { return GSF_IS_INFILE(input) && gsf_infile_num_children(GSF_INFILE(input)) >= 0; }

// The child of that name, matched exactly first and then without regard to
// ASCII case (compound-file names are case-insensitive for their writers).
GsfInput* Child(GsfInfile* dir, const std::string& name) {
  if (GsfInput* child = gsf_infile_child_by_name(dir, name.c_str())) return child;
  const int n = gsf_infile_num_children(dir);
  for (int i = 0; i < n; ++i) {
    const char* other = gsf_infile_name_by_index(dir, i);
    if (other && g_ascii_strcasecmp(other, name.c_str()) == 0) return gsf_infile_child_by_index(dir, i);
  }
  return nullptr;
}

// The property sets of a compound file (title, author, dates): nothing a
// reader sees, and some libraries give up the whole document over a damaged
// one, so they are hidden from them.
bool IsPropertySet(std::string_view name) {
  while (!name.empty() && static_cast<unsigned char>(name.front()) < 0x20) name.remove_prefix(1);
  return name == "SummaryInformation" || name == "DocumentSummaryInformation";
}

}  // namespace

GsfStream::GsfStream(const std::string& path) {
  GError* error = nullptr;
  input_ = gsf_input_stdio_new(path.c_str(), &error);
  if (error) g_error_free(error);
}

GsfStream::GsfStream(GsfInput* input) : input_(input) {}

GsfStream::~GsfStream() {
  Unref(directory_);
  Unref(input_);
}

GsfInfile* GsfStream::Directory() {
  if (directory_tried_ || !input_) return directory_;
  directory_tried_ = true;
  const gsf_off_t position = gsf_input_tell(input_);
  GError* error = nullptr;
  gsf_input_seek(input_, 0, G_SEEK_SET);
  directory_ = gsf_infile_msole_new(input_, &error);
  if (error) {
    g_error_free(error);
    error = nullptr;
  }
  if (!directory_) {
    gsf_input_seek(input_, 0, G_SEEK_SET);
    directory_ = gsf_infile_zip_new(input_, &error);
    if (error) g_error_free(error);
  }
  gsf_input_seek(input_, position, G_SEEK_SET);
  return directory_;
}

bool GsfStream::isStructured() { return Directory() != nullptr; }

void GsfStream::ListStreams(GsfInfile* dir, const std::string& prefix, int depth) {
  const int n = gsf_infile_num_children(dir);
  for (int i = 0; i < n && streams_.size() < kMaxStreams; ++i) {
    const char* name = gsf_infile_name_by_index(dir, i);
    if (!name || IsPropertySet(name)) continue;
    GsfInput* child = gsf_infile_child_by_index(dir, i);
    if (!child) continue;
    if (IsDirectory(child)) {
      if (depth < kMaxDepth) ListStreams(GSF_INFILE(child), prefix + name + "/", depth + 1);
    } else {
      streams_.push_back(prefix + name);
    }
    Unref(child);
  }
}

unsigned GsfStream::subStreamCount() {
  if (!listed_ && Directory()) ListStreams(directory_, "", 0);
  listed_ = true;
  return static_cast<unsigned>(streams_.size());
}

const char* GsfStream::subStreamName(unsigned id) { return id < subStreamCount() ? streams_[id].c_str() : nullptr; }

GsfInput* GsfStream::OpenPart(const std::string& name) {
  GsfInfile* dir = Directory();
  if (!dir) return nullptr;
  g_object_ref(dir);
  GsfInput* current = GSF_INPUT(dir);
  std::string_view rest = name;
  int depth = 0;
  while (!rest.empty()) {
    const std::size_t slash = rest.find('/');
    const std::string part(rest.substr(0, slash));
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    if (part.empty() || part == ".") continue;
    if (IsPropertySet(part) || !IsDirectory(current) || ++depth > kMaxDepth) {
      Unref(current);
      return nullptr;
    }
    GsfInput* child = Child(GSF_INFILE(current), part);
    Unref(current);
    if (!child) return nullptr;
    current = child;
  }
  if (current == GSF_INPUT(dir) || IsDirectory(current)) {
    Unref(current);
    return nullptr;
  }
  return current;
}

bool GsfStream::existsSubStream(const char* name) {
  if (!name) return false;
  GsfInput* part = OpenPart(name);
  Unref(part);
  return part != nullptr;
}

librevenge::RVNGInputStream* GsfStream::getSubStreamByName(const char* name) {
  if (!name) return nullptr;
  GsfInput* part = OpenPart(name);
  return part ? new GsfStream(part) : nullptr;
}

librevenge::RVNGInputStream* GsfStream::getSubStreamById(unsigned id) {
  const char* name = subStreamName(id);
  return name ? getSubStreamByName(name) : nullptr;
}

const unsigned char* GsfStream::read(unsigned long numBytes, unsigned long& numBytesRead) {
  numBytesRead = 0;
  if (!input_ || numBytes == 0) return nullptr;
  const gsf_off_t left = gsf_input_remaining(input_);
  if (left <= 0) return nullptr;
  const std::size_t n =
      static_cast<std::size_t>(std::min<unsigned long long>(static_cast<unsigned long long>(left), numBytes));
  const guint8* data = gsf_input_read(input_, n, nullptr);
  if (!data) return nullptr;
  numBytesRead = n;
  return data;
}

int GsfStream::seek(long offset, librevenge::RVNG_SEEK_TYPE seekType) {
  if (!input_) return -1;
  const gsf_off_t size = gsf_input_size(input_);
  gsf_off_t target = offset;
  if (seekType == librevenge::RVNG_SEEK_CUR)
    target += gsf_input_tell(input_);
  else if (seekType == librevenge::RVNG_SEEK_END)
    target += size;
  // Out of range: go as far as the stream allows and say it was not possible.
  int result = 0;
  if (target < 0) {
    target = 0;
    result = -1;
  } else if (target > size) {
    target = size;
    result = -1;
  }
  if (gsf_input_seek(input_, target, G_SEEK_SET)) return -1;
  return result;
}

long GsfStream::tell() { return input_ ? static_cast<long>(gsf_input_tell(input_)) : 0; }

bool GsfStream::isEnd() { return !input_ || gsf_input_remaining(input_) <= 0; }

}  // namespace quarn::revenge
