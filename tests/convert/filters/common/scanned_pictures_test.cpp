#include "convert/filters/common/scanned_pictures.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace quarn {
namespace {

std::string Le(std::uint32_t v, int bytes) {
  std::string out;
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  return out;
}

// A BLIP record as Office 97-2003 stores a picture: header, ids, tag, file.
std::string Blip(std::uint16_t type, std::uint16_t instance, const std::string& file) {
  const bool two_ids = instance & 1;
  std::string body = std::string(two_ids ? 32 : 16, 'u') + '\xFF' + file;
  return Le(instance << 4, 2) + Le(type, 2) + Le(static_cast<std::uint32_t>(body.size()), 4) + body;
}

TEST(ScannedPictures, WordsAreLettersOrDigitsOfAnyScript) {
  auto has = [](const std::string& text) {
    TextSink sink;
    sink.Append(text);
    return HasWords(sink);
  };
  EXPECT_FALSE(has(""));
  EXPECT_FALSE(has(" \n\t\n"));
  EXPECT_FALSE(has("\u2022 \u2013 \u00b7 . , ; \u25a0 \ufffd \uf0b7 \U0001F389 \u3002"));
  EXPECT_TRUE(has("\u2022 7"));
  EXPECT_TRUE(has("  x"));
  EXPECT_TRUE(has("\u00e9"));
  EXPECT_TRUE(has("\u4e16"));
  EXPECT_TRUE(has("\u0416"));
  EXPECT_TRUE(has("\u05d0"));
}

TEST(ScannedPictures, BitmapRecordsAreFoundAndMetafilesAndDamagePassedOver) {
  const std::string png = "\x89PNG\r\n\x1a\nrest of a png";
  const std::string jpeg = "\xFF\xD8\xFF\xE0 rest of a jpeg";
  std::string dib = Le(40, 4) + Le(2, 4) + Le(2, 4) + Le(1, 2) + Le(8, 2) + Le(0, 4) + Le(4, 4) + Le(0, 4) +
                    Le(0, 4) + Le(0, 4) + Le(0, 4) + std::string(256 * 4, '\0') + std::string(8, 'p');
  std::string stream = "junk before" + Blip(0xF01E, 0x6E0, png) + Blip(0xF01D, 0x46B, jpeg) +
                       Blip(0xF01A, 0x3D4, std::string(60, 'e')) +  // an EMF: a drawing, not a bitmap
                       Blip(0xF01E, 0x6E0, "not a png at all") +    // the wrong signature
                       Blip(0xF01F, 0x7A8, dib) + "between" +
                       Blip(0xF01E, 0x6E1, png).substr(0, 30);  // cut short
  auto found = FindOfficeArtPictures(stream);
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(stream.substr(found[0].offset, found[0].size), png);
  EXPECT_STREQ(found[0].extension, ".png");
  EXPECT_EQ(stream.substr(found[1].offset, found[1].size), jpeg);  // past both ids
  EXPECT_STREQ(found[1].extension, ".jpg");
  ASSERT_TRUE(found[2].dib);
  const std::string bmp = OfficeArtPictureFile(stream, found[2]);
  ASSERT_EQ(bmp.size(), 14 + dib.size());
  EXPECT_EQ(bmp.substr(0, 2), "BM");
  EXPECT_EQ(bmp.substr(2, 4), Le(static_cast<std::uint32_t>(bmp.size()), 4));
  EXPECT_EQ(bmp.substr(10, 4), Le(14 + 40 + 256 * 4, 4));  // pixels after the palette
  EXPECT_EQ(bmp.substr(14), dib);
  EXPECT_EQ(OfficeArtPictureFile(stream, found[0]), png);

  EXPECT_EQ(FindOfficeArtPictures(stream, 1).size(), 1u);
  // A record whose length runs past the stream is no picture.
  std::string cut = Blip(0xF01E, 0x6E0, png);
  cut.resize(cut.size() - 1);
  EXPECT_TRUE(FindOfficeArtPictures(cut).empty());
  // A bitmap whose header asks for more colours than the file holds gives nothing.
  std::string short_dib = dib.substr(0, 40 + 16);
  auto odd = FindOfficeArtPictures(Blip(0xF01F, 0x7A8, short_dib));
  ASSERT_EQ(odd.size(), 1u);
  EXPECT_TRUE(OfficeArtPictureFile(Blip(0xF01F, 0x7A8, short_dib), odd[0]).empty());
}

std::string Be(std::uint32_t v, int bytes) {
  std::string out;
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  return out;
}

TEST(ScannedPictures, SizesFromHeadersTellScansFromLogos) {
  const std::string png = std::string("\x89PNG\r\n\x1a\n", 8) + Be(13, 4) + "IHDR" + Be(1275, 4) + Be(1650, 4);
  EXPECT_EQ(PictureSize(png), std::make_pair(1275, 1650));
  // A JPEG's size is in its frame header, after whatever segments come first.
  const std::string jpeg = std::string("\xFF\xD8\xFF\xE0", 4) + Be(16, 2) + std::string(14, 'j') +
                           std::string("\xFF\xC2", 2) + Be(17, 2) + '\x08' + Be(211, 2) + Be(640, 2) + "rest";
  EXPECT_EQ(PictureSize(jpeg), std::make_pair(640, 211));
  EXPECT_EQ(PictureSize("GIF89a" + Le(140, 2) + Le(56, 2)), std::make_pair(140, 56));
  std::string bmp = "BM" + std::string(16, '\0') + Le(800, 4) + Le(static_cast<std::uint32_t>(-300), 4);
  EXPECT_EQ(PictureSize(bmp), std::make_pair(800, 300));  // stored top down
  EXPECT_EQ(PictureSize("II*\0 a tiff"), std::nullopt);
  EXPECT_EQ(PictureSize(std::string("\xFF\xD8\xFF\xE0\x00", 5)), std::nullopt);  // cut short
  EXPECT_EQ(PictureSize(png.substr(0, 20)), std::nullopt);

  EXPECT_TRUE(MayBeAScan(png));
  EXPECT_TRUE(MayBeAScan(jpeg));                           // a strip of text
  EXPECT_FALSE(MayBeAScan("GIF89a" + Le(140, 2) + Le(56, 2)));  // a logo
  EXPECT_FALSE(MayBeAScan(std::string("\x89PNG\r\n\x1a\n", 8) + Be(13, 4) + "IHDR" + Be(900, 4) + Be(90, 4)));
  EXPECT_TRUE(MayBeAScan("II*\0 size unknown"));
}

}  // namespace
}  // namespace quarn
