// Documents that are nothing but pictures: a page scanned and saved as a
// word-processing file or a presentation.  Their filters find the pictures;
// these helpers tell such a document from one with words and read its
// pictures by OCR, through the picture filter, as pages of their own.  Used
// on the filter's own thread; nothing here is shared.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "convert/filters/builtin_filter.h"
#include "convert/filters/members.h"

namespace quarn {

// Pictures read by OCR in one document, at most.
constexpr std::size_t kMaxScannedPictures = 500;

// Whether text holds a word: a letter or digit of any script.  Bullets,
// punctuation, symbols and private-use glyphs alone are none.
bool HasWords(const TextSink& text);
bool HasWords(std::string_view text);

// A picture's width and height in pixels, read from its header (PNG, JPEG,
// GIF, BMP); nullopt for other formats or a header that cannot be read.
std::optional<std::pair<int, int>> PictureSize(std::string_view bytes);

// Whether a picture may be a scanned page or part of one: not when its size
// is known and it is no bigger than an icon, a logo or a signature (below
// 600 pixels on its longer side or 150 on its shorter), whose OCR gives noise.
bool MayBeAScan(std::string_view bytes);

// Reads one picture file's bytes (PNG, JPEG, TIFF, BMP, ...) by OCR through
// the picture filter, as a member named name, and appends its text to sink
// as a page read by OCR; pictures that cannot be a scan are passed over.
// True when it gave text.
bool RecognizePicture(std::string_view bytes, std::string_view name, PrivateFolder& folder, TextSink& sink);

// A picture stored in Office 97-2003 drawing data (a BLIP record of the
// Data, WordDocument or Pictures stream): where its file's bytes lie in the
// stream, and whether they are a bare device-independent bitmap that needs
// a file header to be read.
struct OfficeArtPicture {
  std::size_t offset = 0;
  std::size_t size = 0;
  bool dib = false;
  const char* extension = "";  // ".png", ".jpg", ".tif", ".bmp"
};

// The bitmap pictures (PNG, JPEG, TIFF, DIB) whose records stand in stream,
// in the order they are stored, at most max_pictures; metafiles are left out.
std::vector<OfficeArtPicture> FindOfficeArtPictures(std::string_view stream,
                                                    std::size_t max_pictures = kMaxScannedPictures);

// The picture's bytes as a file: a bitmap gets the file header it lacks;
// empty when the bitmap's header is not one a file can have.
std::string OfficeArtPictureFile(std::string_view stream, const OfficeArtPicture& picture);

// Reads by OCR, as RecognizePicture does, the bitmap pictures stored in
// stream, in order, at most max of them; how many were read.
std::size_t RecognizeOfficeArtPictures(std::string_view stream, PrivateFolder& folder, TextSink& sink,
                                       std::size_t max = kMaxScannedPictures);

}  // namespace quarn
