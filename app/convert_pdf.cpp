// The PDF route of a conversion: the PDF text library's document information
// and content, read as one text.  Both library calls for a document happen
// under one hold of PdfLock; the text is written after the lock is left.
#include <sys/mman.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <memory>
#include <mutex>
#include <string_view>

#include "app/main.h"
#include "convert/filter.h"
#include "convert/pdf_library.h"

namespace quarn {

bool VirtualFree(void* address, std::size_t size, unsigned free_type) {
  if (!address || size != 0 || free_type != MEM_RELEASE) return false;
  auto* header = reinterpret_cast<PdfInfoTextHeader*>(static_cast<char*>(address) - sizeof(PdfInfoTextHeader));
  if (header->magic != PDFINFO_TEXT_MAGIC) return false;
  return ::munmap(header, header->map_length) == 0;
}

namespace {

struct LibraryTextRelease {
  void operator()(char* text) const { VirtualFree(text, 0, MEM_RELEASE); }
};
using LibraryText = std::unique_ptr<char, LibraryTextRelease>;

// How reports name the PDF text library as what read a document.
constexpr const char* kPdfReader = "libpdfinfo";

// The page count of the document information's "Pages: N" line; -1 without one.
std::int64_t PagesOf(std::string_view info) {
  constexpr std::string_view kKey = "\nPages: ";
  const std::size_t at = ("\n" + std::string(info)).rfind(kKey);
  if (at == std::string::npos) return -1;
  std::int64_t pages = 0;
  std::size_t i = at + kKey.size() - 1;
  for (; i < info.size() && info[i] >= '0' && info[i] <= '9' && pages < (std::int64_t{1} << 32); ++i)
    pages = pages * 10 + (info[i] - '0');
  return i > at + kKey.size() - 1 ? pages : -1;
}

}  // namespace

DocumentText ReadPdf(const std::string& path) {
  DocumentText read;
  std::string why;
  const PdfLibrary* pdf = LoadPdfLibrary(&why);
  if (!pdf) {
    read.result = ConvertResult::NoText(why);
    return read;
  }
  char info[PDFINFO_INFO_SIZE];
  LibraryText text;
  {
    std::lock_guard<std::mutex> hold(PdfLock);
    if (pdf->GetDocInfo(path.c_str(), info) == 0) {
      read.result = ConvertResult::NoText("the PDF cannot be opened: it is damaged or protected by a password");
      read.result.reader = kPdfReader;
      return read;
    }
    text.reset(pdf->GetTextContentFormated(path.c_str(), 0, 0));
  }
  info[sizeof info - 1] = '\0';
  const std::string_view info_text(info, std::strlen(info));
  const std::string_view content = text ? std::string_view(text.get()) : std::string_view();
  read.text.reserve(info_text.size() + 1 + content.size());
  read.text.append(info_text).append(1, ' ').append(content);
  read.result = ConvertResult::Written(text ? std::string() : "the PDF's page text could not be read");
  read.result.reader = kPdfReader;
  read.result.pages = PagesOf(info_text);
  return read;
}

ConvertResult ConvertPdf(const std::string& path, const std::string& out_path, const SaveOptions& save) {
  DocumentText read = ReadPdf(path);
  if (!read.result.written()) return read.result;
  try {
    return ResultOfSave(SaveTextFile(out_path, read.text, save), read.result.reason);
  } catch (const FileError& e) {
    return ConvertResult::Failed(e.what());
  }
}

}  // namespace quarn
