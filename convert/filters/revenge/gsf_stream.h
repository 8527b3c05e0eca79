// The input the Document Liberation libraries read a document through:
// librevenge's stream interface over libgsf, whose compound-file reader
// copes with damage that librevenge's own reader refuses (sector chains
// that end early, short last blocks) and whose zip reader inflates a part
// as it is read rather than whole.  The property sets of compound files are
// hidden: they are no text, and some libraries give up a whole document
// over a damaged one.  One object per document (and one per
// part a library opens), on the converting thread.
#pragma once

#include <gsf/gsf.h>
#include <librevenge-stream/librevenge-stream.h>

#include <memory>
#include <string>
#include <vector>

namespace quarn::revenge {

class GsfStream final : public librevenge::RVNGInputStream {
 public:
  // The file at path; a file that cannot be opened reads as empty.
  explicit GsfStream(const std::string& path);
  // A part of a structured file; takes the reference to input.
  explicit GsfStream(GsfInput* input);
  ~GsfStream() override;
  GsfStream(const GsfStream&) = delete;
  GsfStream& operator=(const GsfStream&) = delete;

  // False when the file could not be opened.
  bool opened() const { return input_ != nullptr; }

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
  // Opens the compound-file or zip directory once, on first need.
  GsfInfile* Directory();
  void ListStreams(GsfInfile* dir, const std::string& prefix, int depth);
  GsfInput* OpenPart(const std::string& name);

  GsfInput* input_ = nullptr;
  GsfInfile* directory_ = nullptr;
  bool directory_tried_ = false;
  bool listed_ = false;
  std::vector<std::string> streams_;  // every stream's full path, "dir/sub/name"
};

}  // namespace quarn::revenge
