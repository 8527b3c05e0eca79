// Leptonica images inside the image module: a Pix* that is destroyed with its
// owner, and recognition of a picture already decoded by Leptonica.
#pragma once

#include <leptonica/allheaders.h>

#include <memory>

namespace quarn {

struct PixDeleter {
  void operator()(Pix* pix) const { pixDestroy(&pix); }
};
using PixPtr = std::unique_ptr<Pix, PixDeleter>;

struct OcrPageText;

// RecognizeGreyPage for an 8-bit grey Leptonica image without a colour map
// (its resolution, when known, set as the image's); the image is released
// as soon as it is no longer needed.
OcrPageText RecognizePix(PixPtr grey);

}  // namespace quarn
