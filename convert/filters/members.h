// Documents inside documents: the private folder a container filter (an
// archive, a message with attachments, a mailbox, a help file) unpacks its
// members into, and the reading of one member through the filter the registry
// gives for its name, or, when the name gives none, for its content: one level
// deeper than the container, with its text counted against the container's.
// Called on the thread that reads the container; nothing here is shared.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "convert/filters/builtin_filter.h"

namespace quarn {

// Bounds on what one outermost document may make its containers unpack,
// summed over every level (ContainerBudget counts against them).
struct ContainerLimits {
  // Unpacked bytes one member may have.
  std::uint64_t max_member_bytes = std::uint64_t{512} << 20;
  // Unpacked bytes all members of all levels may have together.
  std::uint64_t max_total_bytes = std::uint64_t{1} << 30;
  // A member past ratio_floor_bytes may not unpack to more than this many
  // bytes per stored byte.
  std::uint64_t max_ratio = 200;
  std::uint64_t ratio_floor_bytes = std::uint64_t{16} << 20;
  // Members visited at all levels together, and of those the ones handed to
  // a filter (each costs a file and a filter run; the others only a name).
  std::uint64_t max_members = 100000;
  std::uint64_t max_read_members = 10000;
  // Containers inside containers are read this deep; deeper ones are named only.
  int max_depth = 5;
};

// A folder of the caller's own under $TMPDIR (else /tmp), mode 0700, made on
// first use and removed with everything in it when this object goes, on
// every path out of the filter.
class PrivateFolder {
 public:
  PrivateFolder() = default;
  ~PrivateFolder();
  PrivateFolder(const PrivateFolder&) = delete;
  PrivateFolder& operator=(const PrivateFolder&) = delete;

  // A path for a new file in the folder whose name ends like member_name (so
  // that its extension finds its filter); never a path taken from the member
  // name itself.  Empty with *error set when the folder cannot be made.
  std::string NewPath(std::string_view member_name, std::string* error);
  // The folder, once made; empty before.
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  unsigned serial_ = 0;
};

// One member's bytes in a file of the private folder, written piece by piece
// and removed when this goes.
class MemberFile {
 public:
  MemberFile(PrivateFolder& folder, std::string_view member_name);
  ~MemberFile();
  MemberFile(const MemberFile&) = delete;
  MemberFile& operator=(const MemberFile&) = delete;

  bool ok() const { return fd_ >= 0 || (closed_ && error_.empty()); }
  const std::string& error() const { return error_; }
  const std::string& path() const { return path_; }
  // Appends bytes; false (with error()) when the file cannot take them.
  bool Write(std::string_view bytes);
  // Ends writing; the file can then be read by a filter.
  bool Close();

 private:
  std::string path_;
  std::string error_;
  int fd_ = -1;
  bool closed_ = false;
};

// The name a member is shown under: its last path component when it has
// folders, control characters replaced, never empty.
std::string MemberBaseName(std::string_view name);

// Whether a member named name has a filter by its name alone (through the
// registry of sink's document, else the built-in table).
bool HasFilterForName(const TextSink& sink, std::string_view name);

// A sink for the text of a member of the document that parent holds: one
// level deeper, sharing parent's budget, and allowed only what is left of
// parent's text limit.
TextSink MemberSink(TextSink& parent);

// A sink for text a filter gathers aside before placing it in parent (an
// embedded object's text, a related part's): the same level as parent,
// sharing its budget, allowed limit bytes.
TextSink SideSink(TextSink& parent, std::size_t limit);

// Reads the member file at path (named like the member) into member_sink
// (made by MemberSink): through the filter registered for its extension;
// else through the built-in filter its content names; else as plain text if
// it is text (without an extension, if it is not plainly binary).  Fails without reading when the
// member lies deeper than limits.max_depth, or when nothing reads it
// (kUnknownFormat with "no filter reads ...").
ExtractResult ExtractMember(const std::string& path, TextSink& member_sink, const ContainerLimits& limits = {});

// Whether head (a member's first bytes, up to 4 KiB) is text worth reading
// although no filter knows the member's name: text that is not PostScript
// (an EPS picture's hexadecimal data), a certificate or key, or encoded data
// (base64 or hexadecimal lines, which have no spaces).
bool ReadableTextUnderUnknownName(std::string_view head);

// Whether an attachment of a message is a picture: messages name their
// pictures only, since logos and photos in mail would cost seconds of OCR
// each and mostly give noise (pictures in archives are read).
bool IsPictureAttachment(std::string_view bytes);

// Appends the member's text to parent, chunk for chunk; parent is full
// afterwards when the member's text reached the limit.
void AppendMemberText(const TextSink& member_sink, TextSink& parent);

// The same, ending the member's last line: what parent is given next (the
// next attachment's name) starts a line of its own, whatever the member's
// text ended with.
void AppendMemberLines(const TextSink& member_sink, TextSink& parent);

// Writes bytes to a member file named like name and reads it as above: the
// usual way for a filter to read an attachment it holds in memory.  The text
// lands in member_sink.
ExtractResult ExtractMemberBytes(PrivateFolder& folder, std::string_view name, std::string_view bytes,
                                 TextSink& member_sink, const ContainerLimits& limits = {});

}  // namespace quarn
