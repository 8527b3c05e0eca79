#include <clocale>
#include <string>

#include <gtest/gtest.h>

#include "app/batch.h"

namespace quarn {
namespace {

ProgressSnapshot At(int taken, int queued, std::string path) {
  ProgressSnapshot s;
  s.TakenCount = taken;
  s.QueuedCount = queued;
  s.CurrentPath = std::move(path);
  return s;
}

TEST(ProgressLine, ShowsCountsPercentAndTheWholePathWhenItFits) {
  EXPECT_EQ(ProgressLine(At(3, 10, "/docs/a.pdf"), 80, true), "File 3 of 10   30%  /docs/a.pdf");
  EXPECT_EQ(ProgressLine(At(0, 0, ""), 80, true), "File 0 of 0    0%  ");
}

TEST(ProgressLine, LongPathIsShortenedInTheMiddleBelowTheWidth) {
  const std::string path = "/home/user/" + std::string(200, 'x') + "/last-part.pdf";
  const std::string line = ProgressLine(At(1, 2, path), 60, true);
  // "…" is three bytes but one column.
  EXPECT_EQ(line.size(), 59u + 2u);
  EXPECT_EQ(line.rfind("File 1 of 2   50%  /home/", 0), 0u);
  EXPECT_NE(line.find("\xE2\x80\xA6"), std::string::npos);
  EXPECT_EQ(line.substr(line.size() - 13), "last-part.pdf");
  const std::string ascii = ProgressLine(At(1, 2, path), 60, false);
  EXPECT_EQ(ascii.size(), 59u);
  EXPECT_NE(ascii.find("..."), std::string::npos);
}

TEST(ProgressLine, ControlCharactersAndBrokenBytesCannotBreakTheLine) {
  std::setlocale(LC_ALL, "C.UTF-8");
  // Escaped visibly and reversibly: the name can still be told from what is shown.
  EXPECT_EQ(PrintablePath("a\nb\rc\x1b[2J\xFF\t\\.pdf"), "a\\nb\\rc\\x1b[2J\\xff\\t\\\\.pdf");
  EXPECT_EQ(PrintablePath("\xC3\xA9t\xC3\xA9.pdf"), "\xC3\xA9t\xC3\xA9.pdf");
  // C1 controls and text-reordering marks are shown by their bytes.
  EXPECT_EQ(PrintablePath("a\xC2\x9B" "31mb\xE2\x80\xAE" "fdp.exe"), "a\\xc2\\x9b31mb\\xe2\\x80\\xaefdp.exe");
  EXPECT_NE(PrintablePath("a\nb"), PrintablePath("a\\nb"));
  const std::string line = ProgressLine(At(1, 1, "x\ny"), 80, true);
  EXPECT_EQ(line.find('\n'), std::string::npos);
  // Shortening never cuts a character in half: the line stays valid UTF-8.
  for (int width = 20; width < 40; ++width) {
    const std::string wide =
        ProgressLine(At(1, 1, std::string(9, 'a') + "\xE6\x97\xA5\xE6\x9C\xAC\xC3\xA9" + std::string(30, 'b')), width, true);
    EXPECT_EQ(PrintablePath(wide), wide) << width;
  }
}

}  // namespace
}  // namespace quarn
