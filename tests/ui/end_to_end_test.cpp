// A folder of real sample documents dropped onto the real window, converted
// by the real workers and filters: every text file must be there and hold
// its document's text.
#include <gtest/gtest.h>

#include <QDir>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "ui/mainfrm.h"
#include "ui_test_support.h"

namespace quarn {
namespace {

namespace fs = std::filesystem;

std::string Slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

TEST(EndToEnd, DroppedFolderOfSamplesIsConvertedBesideItself) {
  testing::Scratch scratch;
  const fs::path root = fs::path(scratch.root()) / "docs";
  fs::copy(fs::path(QUARN_TEST_DATA) / "ui" / "docs", root, fs::copy_options::recursive);
  ASSERT_TRUE(testing::WaitForIdle());
  testing::FakeDialogs dialogs;

  TMainForm form(96);
  form.show();
  QMimeData data;
  data.setUrls({QUrl::fromLocalFile(QString::fromStdString(root.string()))});
  QDragEnterEvent enter(QPoint(20, 20), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(&form, &enter);
  ASSERT_TRUE(enter.isAccepted());
  QDropEvent drop(QPointF(20, 20), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(&form, &drop);
  EXPECT_EQ(form.viewState(), vsProcessing);
  ASSERT_TRUE(testing::WaitUntil([&] { return form.viewState() == vsDone; }, 30000));
  EXPECT_EQ(form.TaskbarTitle(), "Quarn:Done");

  const struct {
    const char* text_file;
    const char* must_hold;
  } expected[] = {
      {"notes.txt", "The heron waits at the weir every morning."},
      {"table.txt", "Bergen"},
      {"sub/server.txt", "stopped the pump"},
      {"sub/deeper/brew.txt", "kettle on"},
  };
  for (const auto& e : expected) {
    const fs::path out = root / e.text_file;
    ASSERT_TRUE(fs::exists(out)) << out;
    EXPECT_NE(Slurp(out).find(e.must_hold), std::string::npos) << out << ":\n" << Slurp(out);
  }
  // Nothing else was written: the dot-less file is left out under "*.*".
  int text_files = 0;
  for (const auto& entry : fs::recursive_directory_iterator(root))
    if (entry.path().extension() == ".txt") ++text_files;
  EXPECT_EQ(text_files, 4);
  EXPECT_FALSE(fs::exists(root / "sub/NOTES.txt"));
  const RunReport report = ReadRunReport();
  EXPECT_EQ(report.written, 4);
  EXPECT_EQ(report.failed, 0);
  EXPECT_TRUE(dialogs.messages.empty()) << "a clean run reports nothing";
}

}  // namespace
}  // namespace quarn
