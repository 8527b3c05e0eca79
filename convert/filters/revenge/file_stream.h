// The input the Document Liberation libraries read a document through:
// librevenge's own file stream (which reads compound files and zip packages
// without further libraries), with the property sets of compound files
// hidden.  Those hold the title and author, no text, and some libraries give
// up a whole document over a damaged one.  One object per document (and one
// per part a library opens), on the converting thread.
#pragma once

#include <librevenge-stream/librevenge-stream.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace quarn::revenge {

class FileStream final : public librevenge::RVNGInputStream {
 public:
  explicit FileStream(const std::string& path);
  // A part of a structured file; takes ownership.
  explicit FileStream(std::unique_ptr<librevenge::RVNGInputStream> part);
  ~FileStream() override;
  FileStream(const FileStream&) = delete;
  FileStream& operator=(const FileStream&) = delete;

  bool isStructured() override;
  unsigned subStreamCount() override;
  const char* subStreamName(unsigned id) override;
  bool existsSubStream(const char* name) override;
  librevenge::RVNGInputStream* getSubStreamByName(const char* name) override;
  librevenge::RVNGInputStream* getSubStreamById(unsigned id) override;

  const unsigned char* read(unsigned long numBytes, unsigned long& numBytesRead) override;
  int seek(long offset, librevenge::RVNG_SEEK_TYPE seekType) override;
  long tell() override;
  bool isEnd() override;

 private:
  // The parts' ids in the underlying stream, property sets left out.
  const std::vector<unsigned>& Visible();

  std::unique_ptr<librevenge::RVNGInputStream> in_;
  std::vector<unsigned> visible_;
  bool listed_ = false;
};

// Whether a part's name (its last path component) is a property set.
bool IsPropertySet(std::string_view name);

}  // namespace quarn::revenge
