#include "ui/picture.h"

#include <csetjmp>
#include <cstdio>
// jpeglib.h needs size_t and FILE declared before it.
#include <jpeglib.h>

namespace quarn {

extern const unsigned char window_picture_jpeg[];
extern const std::size_t window_picture_jpeg_size;

namespace {

// Far beyond any picture of ours; keeps a hostile header from asking for
// gigabytes.
constexpr JDIMENSION kMaxSide = 8192;

// libjpeg's default error manager calls exit(); this one jumps back to the
// decoding call instead, keeping the library's message.
struct JumpingErrorManager {
  jpeg_error_mgr base;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

void JumpOnError(j_common_ptr info) {
  auto* manager = reinterpret_cast<JumpingErrorManager*>(info->err);
  (*info->err->format_message)(info, manager->message);
  std::longjmp(manager->jump, 1);
}

// Warnings (a corrupt but readable stream) are counted, not printed.
void CountWarnings(j_common_ptr info, int level) {
  if (level < 0) ++info->err->num_warnings;
}

// Everything between setjmp and the last libjpeg call lives in this function,
// which holds no object with a destructor, so the jump skips nothing.  The
// image is created by the caller once the size is known.
bool DecodeInto(const unsigned char* data, unsigned long size, QImage* image, char* message) {
  jpeg_decompress_struct info;
  JumpingErrorManager manager;
  info.err = jpeg_std_error(&manager.base);
  manager.base.error_exit = JumpOnError;
  manager.base.emit_message = CountWarnings;
  manager.message[0] = '\0';
  if (setjmp(manager.jump)) {
    jpeg_destroy_decompress(&info);
    std::snprintf(message, JMSG_LENGTH_MAX, "%s", manager.message);
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, data, size);
  jpeg_read_header(&info, TRUE);
  if (info.image_width == 0 || info.image_height == 0 || info.image_width > kMaxSide ||
      info.image_height > kMaxSide) {
    jpeg_destroy_decompress(&info);
    std::snprintf(message, JMSG_LENGTH_MAX, "image size %ux%u out of range", info.image_width,
                  info.image_height);
    return false;
  }
  info.out_color_space = JCS_RGB;
  jpeg_start_decompress(&info);
  // The QImage is assigned here, before any further libjpeg call may jump;
  // the assignment itself cannot jump.
  *image = QImage(static_cast<int>(info.output_width), static_cast<int>(info.output_height),
                  QImage::Format_RGB888);
  if (image->isNull() || info.output_components != 3) {
    jpeg_destroy_decompress(&info);
    std::snprintf(message, JMSG_LENGTH_MAX, "cannot hold the decoded image");
    return false;
  }
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = image->scanLine(static_cast<int>(info.output_scanline));
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  // A warning means the stream was damaged and libjpeg filled in the gaps:
  // that is not the picture we were given.
  const long warnings = manager.base.num_warnings;
  jpeg_destroy_decompress(&info);
  if (warnings > 0) {
    std::snprintf(message, JMSG_LENGTH_MAX, "damaged image data (%ld warnings)", warnings);
    return false;
  }
  return true;
}

}  // namespace

std::span<const unsigned char> PictureJpeg() { return {window_picture_jpeg, window_picture_jpeg_size}; }

QImage DecodeJpeg(std::span<const unsigned char> data, std::string* error) {
  char message[JMSG_LENGTH_MAX] = "";
  QImage image;
  if (data.empty()) {
    if (error) *error = "no image data";
    return {};
  }
  if (!DecodeInto(data.data(), static_cast<unsigned long>(data.size()), &image, message)) {
    if (error) *error = message;
    return {};
  }
  return image;
}

const QImage& WindowPicture() {
  static const QImage picture = [] {
    QImage decoded = DecodeJpeg(PictureJpeg());
    if (decoded.isNull()) {
      // Cannot happen with the picture we ship; a plain dark face keeps the
      // window usable if it ever does.
      decoded = QImage(137, 129, QImage::Format_RGB888);
      decoded.fill(QColor(16, 32, 56));
    }
    return decoded;
  }();
  return picture;
}

}  // namespace quarn
