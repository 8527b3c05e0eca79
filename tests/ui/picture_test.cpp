// The window's picture and the progress path's shortening.
#include <gtest/gtest.h>

#include <QFontMetrics>

#include <vector>

#include "ui/mainfrm.h"
#include "ui/picture.h"

namespace quarn {
namespace {

TEST(Picture, BuiltInJpegDecodesAtItsSizeAndIsDarkEnoughForWhiteText) {
  std::string error;
  const QImage image = DecodeJpeg(PictureJpeg(), &error);
  ASSERT_FALSE(image.isNull()) << error;
  EXPECT_EQ(image.size(), QSize(137, 129));
  double sum = 0;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x) sum += qGray(image.pixel(x, y));
  EXPECT_LT(sum / (image.width() * image.height()), 90.0);
  EXPECT_EQ(WindowPicture().size(), QSize(137, 129));
}

TEST(Picture, DamagedDataIsRefusedWithoutEndingTheProcess) {
  const auto good = PictureJpeg();
  std::string error;
  EXPECT_TRUE(DecodeJpeg({}, &error).isNull());
  EXPECT_FALSE(error.empty());

  const std::vector<unsigned char> truncated(good.begin(), good.begin() + good.size() / 2);
  error.clear();
  EXPECT_TRUE(DecodeJpeg(truncated, &error).isNull());
  EXPECT_FALSE(error.empty());

  const std::vector<unsigned char> garbage(500, 0x5a);
  error.clear();
  EXPECT_TRUE(DecodeJpeg(garbage, &error).isNull());
  EXPECT_FALSE(error.empty());

  // A header that claims an enormous image.
  std::vector<unsigned char> huge(good.begin(), good.end());
  for (std::size_t i = 0; i + 8 < huge.size(); ++i)
    if (huge[i] == 0xFF && huge[i + 1] == 0xC0) {  // start of frame: height at +5, width at +7
      huge[i + 5] = huge[i + 6] = huge[i + 7] = huge[i + 8] = 0xFF;
      break;
    }
  error.clear();
  EXPECT_TRUE(DecodeJpeg(huge, &error).isNull());
  EXPECT_FALSE(error.empty());
}

TEST(PathEllipsis, KeepsTheFileNameAndCutsTheFolderInTheMiddle) {
  QFont font("Tahoma");
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(10);
  const QFontMetrics metrics(font);
  const int width = 133;
  EXPECT_EQ(ElidePath("/a/b.txt", metrics, width), "/a/b.txt");

  const QString long_path = "/home/someone/Documents/projects/2026/reports & notes/quarterly/summary.pdf";
  const QString shown = ElidePath(long_path, metrics, width);
  EXPECT_LE(metrics.horizontalAdvance(shown), width);
  EXPECT_TRUE(shown.startsWith("/home")) << shown.toStdString();
  EXPECT_TRUE(shown.endsWith(QString::fromUtf8("…/summary.pdf"))) << shown.toStdString();

  const QString long_name = "/x/" + QString(200, u'n') + ".pdf";
  const QString cut = ElidePath(long_name, metrics, width);
  EXPECT_LE(metrics.horizontalAdvance(cut), width);
  EXPECT_TRUE(cut.endsWith(QString::fromUtf8("…")));
  EXPECT_TRUE(cut.startsWith(QString::fromUtf8("…/nnn")));

  const QString no_slash = QString(300, u'w');
  EXPECT_LE(metrics.horizontalAdvance(ElidePath(no_slash, metrics, width)), width);
}

}  // namespace
}  // namespace quarn
