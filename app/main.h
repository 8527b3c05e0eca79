// The program's own logic around one conversion, and its start and end.
// ConvertFile is the one entry through which every conversion request passes:
// the command line calls it on the main thread, the workers on theirs.
// StartUp and ShutDown run on the main thread only.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "convert/outcome.h"
#include "convert/registry.h"
#include "convert/text_file.h"

namespace quarn {

// Serialises every call into the PDF text library (GetDocInfo and
// GetTextContentFormated of one document under one hold).  Never taken while
// the queue's lock is held.
extern std::mutex PdfLock;

// The registry the program reads, loaded once by StartUp before any
// conversion; read-only afterwards.  Loads the standard one on first use when
// StartUp has not run (tests).
const Registry& InstalledRegistry();
void InstallRegistry(Registry registry);

// The default output path: the input with the text after its extension's dot
// replaced by "txt" ("report.pdf" -> "report.txt"); a name without an
// extension gets ".txt" appended.
std::string OutputPathFor(std::string_view path);

// A document's text: the filter route first, then, for the extension ".pdf"
// exactly, the PDF text library.  Writes nothing and never throws for a
// document's sake: every failure comes back with its reason.  This is what a
// converter process runs for each request.
DocumentText ReadDocument(const Registry& registry, const std::string& path);

// The document whose text is wanted, and the file descriptor the program
// holds open on it while the text is read.
struct DocumentInput {
  const std::string& path;
  int fd;
  off_t size = -1;  // the file's size as it was opened; -1 when not known
};
// How ConvertFile obtains a document's text: in this process (ReadDocument)
// or from a converter process.
using DocumentReader = std::function<DocumentText(const DocumentInput& input)>;

// Small plain text that the program's own code reads whole: up to this many
// bytes of UTF-8, nothing else in it.
inline constexpr std::size_t kOwnPlainTextBytes = std::size_t{1} << 20;

// The text of a small plain-text document read in this process, or nothing
// when the document is anything else.  Taken only when the registry gives
// the document's name to the built-in text filter and its bytes (at most
// kOwnPlainTextBytes) are valid UTF-8 with no NUL, no escape and no other
// format's signature: then only the program's own decoding sees them, with
// nothing to crash, hang or grow, and a converter process would cost more
// than the reading.  The bytes checked are the bytes read (a private copy),
// so the document cannot change in between.
std::optional<DocumentText> ReadOwnPlainText(const Registry& registry, const DocumentInput& input);

// Converts path into out_path (or OutputPathFor(path) when out_path is
// empty): the input is checked (only regular files are documents), its text
// read by `read` (by default ReadDocument in this process), and the text
// written here, by the program itself.  The document is held open for the
// whole conversion, and its text never replaces that open file (kSameFile).
// gate, when given, has the last word on where the text file may go (a run's
// rules).  Never throws for a document's sake: every failure comes back as a
// result with its reason.
ConvertResult ConvertFile(const std::string& path, const std::string& out_path, const DocumentReader& read,
                          OutputGate* gate = nullptr);
ConvertResult ConvertFile(const std::string& path, const std::string& out_path, OutputGate* gate = nullptr);
ConvertResult ConvertFile(const Registry& registry, const std::string& path, const std::string& out_path,
                          OutputGate* gate = nullptr);

// The same checks and reading, with the text written to out_fd (standard
// output) as it stands instead of to a file, or handed back in *text.
ConvertResult ConvertToStream(const std::string& path, int out_fd, const DocumentReader& read);
ConvertResult ConvertToText(const std::string& path, const DocumentReader& read, std::string* text);

// The PDF route: document information, one space, the content text.
DocumentText ReadPdf(const std::string& path);
ConvertResult ConvertPdf(const std::string& path, const std::string& out_path, const SaveOptions& save = {});

// Releases text that GetTextContentFormated returned, as the program has
// always released the PDF library's text: VirtualFree(text, 0, MEM_RELEASE).
// Unmaps the mapping that holds the text (see PdfInfoTextHeader); false, and
// nothing released, for a null pointer, another size or type, or memory
// without the library's header.  Each text is released once.
inline constexpr unsigned MEM_RELEASE = 0x8000;
bool VirtualFree(void* address, std::size_t size, unsigned free_type);
// The program's arguments: the words of argv after the program's name, up to
// the first empty one.
std::vector<std::string> CommandLineArguments(int argc, char** argv);

// Reads the command line and does the whole job when no window is wanted:
// the uninstall page, one conversion, the batch mode, --help, --version.
// True when the window is to be shown (no argument, or three and more);
// otherwise *exit_status is what the program ends with.
bool StartUp(const std::vector<std::string>& args, int* exit_status);

// Undoes the start-up after the window has closed: stops the workers,
// waiting a bounded time.
void ShutDown();

// What main returns: status, once the output is flushed.  When a worker is
// still converting a document after the bounded wait, the process ends here
// at once, without running the destructors of static objects the worker may
// still be using.
int FinishProgram(int status);

}  // namespace quarn
