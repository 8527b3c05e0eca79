#include "convert/filters/image/image_filter.h"

#include <leptonica/allheaders.h>
#include <png.h>

#include <cstdio>
#include <string>

#include "convert/conversion_options.h"
#include "convert/filters/image/ocr.h"
#include "convert/filters/image/pix.h"
#include "convert/filters/module.h"
#include "convert/filters/sniff.h"

namespace quarn {

namespace {

// A multi-page TIFF with more pages than this is read up to here.
constexpr int kMaxTiffPages = 5000;

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

// The picture as 8-bit grey on white: transparent parts become white, as a
// viewer shows them.
PixPtr ToGrey(Pix* pix) {
  if (pixGetDepth(pix) == 32 && pixGetSpp(pix) == 4) {
    PixPtr flat(pixAlphaBlendUniform(pix, 0xffffff00));
    if (!flat) return flat;
    return PixPtr(pixConvertTo8(flat.get(), 0));
  }
  if (pixGetDepth(pix) == 8 && !pixGetColormap(pix)) return PixPtr(pixClone(pix));
  return PixPtr(pixConvertTo8(pix, 0));
}

// The resolution a PNG's pHYs chunk gives, in dots per inch; 0 when it
// gives none (or only an aspect ratio).
int PngDpi(const std::string& path) {
  std::unique_ptr<std::FILE, FileCloser> f(std::fopen(path.c_str(), "rb"));
  if (!f || std::fseek(f.get(), 8, SEEK_SET) != 0) return 0;
  for (int chunks = 0; chunks < 64; ++chunks) {
    unsigned char head[8];
    if (std::fread(head, 1, 8, f.get()) != 8) return 0;
    const std::uint32_t length = static_cast<std::uint32_t>(head[0]) << 24 | head[1] << 16 | head[2] << 8 | head[3];
    const std::string type(reinterpret_cast<const char*>(head + 4), 4);
    if (type == "IDAT" || type == "IEND") return 0;
    if (type == "pHYs" && length == 9) {
      unsigned char data[9];
      if (std::fread(data, 1, 9, f.get()) != 9 || data[8] != 1) return 0;
      const std::uint32_t per_metre = static_cast<std::uint32_t>(data[0]) << 24 | data[1] << 16 | data[2] << 8 | data[3];
      return static_cast<int>(per_metre * 0.0254 + 0.5);
    }
    if (std::fseek(f.get(), static_cast<long>(length) + 4, SEEK_CUR) != 0) return 0;
  }
  return 0;
}

// A PNG decoded straight to grey, composed on white where it is transparent.
// libpng's own decoder reports damage in the image's message rather than on
// standard error.
PixPtr ReadPngGrey(const std::string& path) {
  png_image png{};
  png.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&png, path.c_str())) return nullptr;
  png.format = PNG_FORMAT_GRAY;
  PixPtr pix(pixCreate(static_cast<l_int32>(png.width), static_cast<l_int32>(png.height), 8));
  if (!pix) {
    png_image_free(&png);
    return nullptr;
  }
  const png_color white{255, 255, 255};
  const png_int_32 stride = pixGetWpl(pix.get()) * 4;
  if (!png_image_finish_read(&png, &white, pixGetData(pix.get()), stride, nullptr)) {
    png_image_free(&png);
    return nullptr;
  }
  // The rows were written byte by byte; Leptonica keeps a row's bytes in
  // 32-bit words of the machine's order.
  pixEndianByteSwap(pix.get());
  return pix;
}

class ImageFilter : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    if (auto redirected = ExtractRedirected(path, "image", sink)) return *redirected;
    if (!CurrentConversionOptions().ocr)
      return ExtractResult::Failed("the picture needs text recognition (OCR), which is turned off");
    l_int32 format = IFF_UNKNOWN, w = 0, h = 0, bps = 0, spp = 0, cmap = 0;
    if (pixReadHeader(path.c_str(), &format, &w, &h, &bps, &spp, &cmap) != 0 || format == IFF_UNKNOWN)
      return ExtractResult::Failed("the picture is damaged or in a format that cannot be read");
    if (w <= 0 || h <= 0) return ExtractResult::Failed("the picture has no pixels");
    if (static_cast<std::uint64_t>(w) * static_cast<std::uint64_t>(h) > kMaxPicturePixels)
      return ExtractResult::Failed(PictureTooLargeReason(static_cast<std::uint64_t>(w), static_cast<std::uint64_t>(h)));
    if (L_FORMAT_IS_TIFF(format)) return ExtractTiff(path, sink);

    std::string damaged;
    PixPtr pix;
    if (format == IFF_JFIF_JPEG) {
      // Luminance only: a colour JPEG decodes into a quarter of the memory.
      // A truncated or damaged file keeps the part that decodes.
      l_int32 warnings = 0;
      pix.reset(pixReadJpeg(path.c_str(), 0, 1, &warnings, L_JPEG_READ_LUMINANCE | L_JPEG_CONTINUE_WITH_BAD_DATA));
      if (pix && warnings > 0) damaged = "the picture is damaged or truncated; its text may be incomplete";
    } else if (format == IFF_PNG) {
      pix = ReadPngGrey(path);
      if (pix) {
        const int dpi = PngDpi(path);
        pixSetResolution(pix.get(), dpi, dpi);
      }
    } else {
      pix.reset(pixRead(path.c_str()));
    }
    if (!pix) return ExtractResult::Failed("the picture is damaged or truncated");
    sink.set_pages(1);  // one picture, one page
    OcrPageText page = ReadPicture(std::move(pix));
    AppendRecognizedPage(page, sink);
    if (!page.problem.empty() && sink.empty()) return ExtractResult::Failed(page.problem);
    if (!page.problem.empty()) return ExtractResult::Incomplete(page.problem);
    if (!damaged.empty() && !sink.empty()) return ExtractResult::Incomplete(damaged);
    return ExtractResult::Ok();
  }

 private:
  static OcrPageText ReadPicture(PixPtr pix) {
    const l_int32 dpi = pixGetXRes(pix.get());
    PixPtr grey = ToGrey(pix.get());
    pix.reset();
    if (!grey) return {{}, "out of memory for the picture", false};
    // Resolutions outside what scanners and cameras write are guesses of
    // the program that saved the file: the engine estimates its own then.
    pixSetResolution(grey.get(), dpi >= 50 && dpi <= 2400 ? dpi : 0, dpi >= 50 && dpi <= 2400 ? dpi : 0);
    return RecognizePix(std::move(grey));
  }

  // Every page of a TIFF file, each checked for size before it is decoded.
  static ExtractResult ExtractTiff(const std::string& path, TextSink& sink) {
    l_int32 pages = 0;
    {
      std::unique_ptr<std::FILE, FileCloser> f(std::fopen(path.c_str(), "rb"));
      if (!f || tiffGetCount(f.get(), &pages) != 0 || pages <= 0)
        return ExtractResult::Failed("the picture is damaged or truncated");
    }
    sink.set_pages(pages);
    std::string problem;
    int failed = 0;
    auto note = [&](int page, const std::string& why) {
      ++failed;
      if (problem.empty()) problem = pages > 1 ? "page " + std::to_string(page + 1) + ": " + why : why;
    };
    const int readable = pages > kMaxTiffPages ? kMaxTiffPages : pages;
    std::size_t offset = 0;
    for (int i = 0; i < readable; ++i) {
      l_int32 w = 0, h = 0, bps = 0, spp = 0, res = 0, cmap = 0, format = 0;
      if (readHeaderTiff(path.c_str(), i, &w, &h, &bps, &spp, &res, &cmap, &format) != 0 || w <= 0 || h <= 0) {
        note(i, "the page is damaged");
        break;  // the pages after it cannot be found either
      }
      if (static_cast<std::uint64_t>(w) * static_cast<std::uint64_t>(h) > kMaxPicturePixels) {
        note(i, PictureTooLargeReason(static_cast<std::uint64_t>(w), static_cast<std::uint64_t>(h)));
        break;  // reading on means decoding it
      }
      PixPtr pix(pixReadFromMultipageTiff(path.c_str(), &offset));
      if (!pix) {
        note(i, "the page is damaged or truncated");
        break;
      }
      OcrPageText page = ReadPicture(std::move(pix));
      if (!page.problem.empty()) note(i, page.problem);
      AppendRecognizedPage(page, sink);
      if (sink.full() || offset == 0) break;
    }
    if (pages > kMaxTiffPages && problem.empty())
      problem = "only the first " + std::to_string(kMaxTiffPages) + " of " + std::to_string(pages) + " pages were read";
    if (failed > 1) problem += " (and " + std::to_string(failed - 1) + " more pages)";
    if (problem.empty()) return ExtractResult::Ok();
    if (sink.empty()) return ExtractResult::Failed(problem);
    return ExtractResult::Incomplete(problem);
  }
};

}  // namespace

std::unique_ptr<BuiltinFilter> CreateImageFilter() { return std::make_unique<ImageFilter>(); }

}  // namespace quarn
