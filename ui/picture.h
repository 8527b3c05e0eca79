// The window's picture: a baseline JPEG carried inside the program and
// decoded with libjpeg-turbo.  Main thread only (the decoded picture is made
// once, on first use).
#pragma once

#include <QImage>

#include <cstddef>
#include <span>
#include <string>

namespace quarn {

// The picture's bytes as stored (137 x 129, baseline JPEG).
std::span<const unsigned char> PictureJpeg();

// Decodes one JPEG into an RGB image.  A damaged or oversized image gives a
// null QImage and, when error is given, the decoder's reason; the decoder's
// errors never end the process.
QImage DecodeJpeg(std::span<const unsigned char> data, std::string* error = nullptr);

// The window's picture, decoded on first use.
const QImage& WindowPicture();

}  // namespace quarn
