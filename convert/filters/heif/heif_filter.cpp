#include "convert/filters/heif/heif_filter.h"

#include <libheif/heif.h>

#include <cstdint>
#include <string>
#include <vector>

#include "convert/conversion_options.h"
#include "convert/filters/module.h"
#include "convert/filters/sniff.h"

namespace quarn {

namespace {

// A file with more pictures than this (a burst, an image sequence saved as
// stills) is read up to here.
constexpr int kMaxPictures = 5000;

struct ContextFree {
  void operator()(heif_context* c) const { heif_context_free(c); }
};
struct HandleRelease {
  void operator()(const heif_image_handle* h) const { heif_image_handle_release(h); }
};
struct ImageRelease {
  void operator()(const heif_image* i) const { heif_image_release(i); }
};
struct OptionsFree {
  void operator()(heif_decoding_options* o) const { heif_decoding_options_free(o); }
};
using Context = std::unique_ptr<heif_context, ContextFree>;
using Handle = std::unique_ptr<const heif_image_handle, HandleRelease>;
using Image = std::unique_ptr<const heif_image, ImageRelease>;
using Options = std::unique_ptr<heif_decoding_options, OptionsFree>;

// libheif's message for an error, in parentheses; empty when it has none.
std::string Why(const heif_error& e) {
  std::string message = e.message ? e.message : "";
  while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
  return message.empty() ? message : " (" + message + ")";
}

// One picture decoded as it is coded (nearly always luminance and colour,
// of which the luminance alone is read: the text is in it), turned and
// cropped as the file says; its 8-bit grey view, on the decoder's plane or
// on a copy when the picture has deeper samples or is coded as RGB.
struct Grey {
  Image image;
  std::vector<unsigned char> copy;
  GreyImage view{};
};

std::string Decode(const heif_image_handle* handle, Grey& out) {
  Options options(heif_decoding_options_alloc());
  if (!options) return "out of memory for the picture";
  options->convert_hdr_to_8bit = 1;
  auto decode = [&](heif_colorspace space, heif_chroma chroma) {
    heif_image* decoded = nullptr;
    const heif_error e = heif_decode_image(handle, &decoded, space, chroma, options.get());
    out.image.reset(decoded);
    return e.code == heif_error_Ok && decoded ? std::string() : "the picture is damaged or truncated" + Why(e);
  };
  if (std::string why = decode(heif_colorspace_undefined, heif_chroma_undefined); !why.empty()) return why;
  const bool luminance = heif_image_has_channel(out.image.get(), heif_channel_Y) != 0;
  if (!luminance) {
    if (std::string why = decode(heif_colorspace_RGB, heif_chroma_interleaved_RGB); !why.empty()) return why;
  }
  const heif_channel channel = luminance ? heif_channel_Y : heif_channel_interleaved;
  const int width = heif_image_get_width(out.image.get(), channel);
  const int height = heif_image_get_height(out.image.get(), channel);
  int stride = 0;
  const std::uint8_t* plane = heif_image_get_plane_readonly(out.image.get(), channel, &stride);
  if (!plane || width <= 0 || height <= 0 || stride <= 0) return "the picture has no pixels";
  const int bits = heif_image_get_bits_per_pixel_range(out.image.get(), channel);
  if (luminance && bits <= 8) {
    out.view = GreyImage{plane, width, height, stride, 0};
    return {};
  }
  out.copy.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
  for (int y = 0; y < height; ++y) {
    const std::uint8_t* row = plane + static_cast<std::size_t>(y) * static_cast<std::size_t>(stride);
    unsigned char* to = out.copy.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(width);
    if (luminance) {
      // Samples of 9 to 16 bits, two bytes each in the machine's order.
      const auto* wide = reinterpret_cast<const std::uint16_t*>(row);
      for (int x = 0; x < width; ++x) to[x] = static_cast<unsigned char>(wide[x] >> (bits - 8));
    } else {
      for (int x = 0; x < width; ++x)
        to[x] = static_cast<unsigned char>((299 * row[3 * x] + 587 * row[3 * x + 1] + 114 * row[3 * x + 2]) / 1000);
    }
  }
  out.image.reset();
  out.view = GreyImage{out.copy.data(), width, height, width, 0};
  return {};
}

class HeifFilter final : public BuiltinFilter {
 public:
  ExtractResult Extract(const std::string& path, TextSink& sink) override {
    if (auto redirected = ExtractRedirected(path, "heif", sink)) return *redirected;
    if (!CurrentConversionOptions().ocr)
      return ExtractResult::Failed("the picture needs text recognition (OCR), which is turned off");
    Context ctx(heif_context_alloc());
    if (!ctx) return ExtractResult::Failed("out of memory for the picture");
    // Tiles decoded on this thread: the converter runs one document at a
    // time, and a hostile grid of tiles should not start a thread for each.
    heif_context_set_max_decoding_threads(ctx.get(), 0);
    const heif_error opened = heif_context_read_from_file(ctx.get(), path.c_str(), nullptr);
    if (opened.code != heif_error_Ok)
      return ExtractResult::Failed("the picture is damaged or in a format that cannot be read" + Why(opened));
    const int count = heif_context_get_number_of_top_level_images(ctx.get());
    if (count <= 0) return ExtractResult::Failed("the file holds no picture");
    std::vector<heif_item_id> ids(static_cast<std::size_t>(count));
    ids.resize(static_cast<std::size_t>(heif_context_get_list_of_top_level_image_IDs(ctx.get(), ids.data(), count)));
    sink.set_pages(static_cast<int>(ids.size()));

    std::string problem;
    int failed = 0;
    auto note = [&](std::size_t picture, const std::string& why) {
      if (failed++ == 0)
        problem = ids.size() > 1 ? "picture " + std::to_string(picture + 1) + ": " + why : why;
    };
    const std::size_t readable = ids.size() > kMaxPictures ? kMaxPictures : ids.size();
    for (std::size_t i = 0; i < readable && !sink.full(); ++i) {
      heif_image_handle* raw = nullptr;
      const heif_error got = heif_context_get_image_handle(ctx.get(), ids[i], &raw);
      Handle handle(raw);
      if (got.code != heif_error_Ok || !handle) {
        note(i, "the picture is damaged" + Why(got));
        continue;
      }
      const int w = heif_image_handle_get_width(handle.get()), h = heif_image_handle_get_height(handle.get());
      if (w <= 0 || h <= 0) {
        note(i, "the picture has no pixels");
        continue;
      }
      if (static_cast<std::uint64_t>(w) * static_cast<std::uint64_t>(h) > kMaxPicturePixels) {
        note(i, PictureTooLargeReason(static_cast<std::uint64_t>(w), static_cast<std::uint64_t>(h)));
        continue;
      }
      Grey grey;
      if (std::string why = Decode(handle.get(), grey); !why.empty()) {
        note(i, why);
        continue;
      }
      const OcrPageText read = RecognizeGreyPageOnDemand(grey.view);
      if (!read.problem.empty()) note(i, read.problem);
      sink.AppendRecognizedPage(read.text);
    }
    if (ids.size() > kMaxPictures && problem.empty())
      problem = "only the first " + std::to_string(kMaxPictures) + " of " + std::to_string(ids.size()) +
                " pictures were read";
    if (failed > 1) problem += " (and " + std::to_string(failed - 1) + " more pictures)";
    if (problem.empty()) return ExtractResult::Ok();
    if (sink.empty()) return ExtractResult::Failed(problem);
    return ExtractResult::Incomplete(problem);
  }
};

}  // namespace

std::unique_ptr<BuiltinFilter> CreateHeifFilter() { return std::make_unique<HeifFilter>(); }

}  // namespace quarn
