// The choosers and the message dialog: how a request becomes a Qt dialog,
// and how the answers come back to the commands.
#include <gtest/gtest.h>

#include <QDir>
#include <QFileDialog>
#include <QMessageBox>

#include "ui/sysdialogs.h"
#include "ui_test_support.h"

namespace quarn {
namespace {

using testing::FakeDialogs;
using testing::Scratch;

TEST(Filters, PairsBecomeQtNameFilters) {
  EXPECT_EQ(NameFiltersFrom("Supported files|*.*|All Files (*.*)|*.*"),
            (QStringList{"Supported files (*.*)", "All Files (*.*)"}));
  EXPECT_EQ(NameFiltersFrom("Text|*.txt;*.md"), QStringList{"Text (*.txt;*.md)"});
  EXPECT_EQ(NameFiltersFrom("Odd one out|"), QStringList{"Odd one out ()"});
  EXPECT_TRUE(NameFiltersFrom("").isEmpty());
}

TEST(FileChooser, RequestBecomesAMultiSelectOpenDialog) {
  FileChooserRequest request;
  request.title = "Select File(s) to Convert";
  request.name_filters = NameFiltersFrom("Supported files|*.*|All Files (*.*)|*.*");
  request.multi_select = true;
  QFileDialog dialog;
  ConfigureFileDialog(dialog, request);
  EXPECT_EQ(dialog.windowTitle(), "Select File(s) to Convert");
  EXPECT_EQ(dialog.fileMode(), QFileDialog::ExistingFiles);
  EXPECT_EQ(dialog.acceptMode(), QFileDialog::AcceptOpen);
  EXPECT_EQ(dialog.nameFilters(), (QStringList{"Supported files (*.*)", "All Files (*.*)"}));

  request.multi_select = false;
  ConfigureFileDialog(dialog, request);
  EXPECT_EQ(dialog.fileMode(), QFileDialog::ExistingFile);
}

TEST(FolderChooser, RequestBecomesADirectoriesOnlyDialog) {
  Scratch scratch;
  QFileDialog dialog;
  ConfigureFolderDialog(dialog, {"Select Folder to Convert", QString::fromStdString(scratch.root())});
  EXPECT_EQ(dialog.windowTitle(), "Select Folder to Convert");
  EXPECT_EQ(dialog.fileMode(), QFileDialog::Directory);
  EXPECT_TRUE(dialog.testOption(QFileDialog::ShowDirsOnly));
  EXPECT_EQ(QDir(dialog.directory()).canonicalPath(), QDir(QString::fromStdString(scratch.root())).canonicalPath());
}

TEST(SelectFiles, AnswersComeBackInOrderAndCancelKeepsTheName) {
  FakeDialogs dialogs;
  std::vector<std::string> names{"start.pdf"};
  dialogs.file_answers.push_back(std::nullopt);
  EXPECT_FALSE(SelectFiles(nullptr, "*.*", "All|*.*", "/srv/docs", "T", names, true, false, false, true, true));
  EXPECT_EQ(names, std::vector<std::string>{"start.pdf"});
  ASSERT_EQ(dialogs.file_requests.size(), 1u);
  EXPECT_EQ(dialogs.file_requests[0].initial_name, "start.pdf");
  EXPECT_EQ(dialogs.file_requests[0].directory, "/srv/docs");
  EXPECT_TRUE(dialogs.file_requests[0].default_suffix.isEmpty()) << "\"*.*\" is no suffix to append";

  dialogs.file_answers.push_back(QStringList{"/d/a.pdf", QString::fromUtf8("/d/\u00e9t\u00e9 & co.doc")});
  EXPECT_TRUE(SelectFiles(nullptr, "txt", "All|*.*", "", "T", names, true, false, false, true, true));
  EXPECT_EQ(names, (std::vector<std::string>{"/d/a.pdf", "/d/\xc3\xa9t\xc3\xa9 & co.doc"}));
  EXPECT_EQ(dialogs.file_requests[1].default_suffix, "txt");

  // Without multi_select only one path comes back.
  dialogs.file_answers.push_back(QStringList{"/d/a.pdf", "/d/b.pdf"});
  EXPECT_TRUE(SelectFiles(nullptr, "", "All|*.*", "", "T", names, true, false, false, true, false));
  EXPECT_EQ(names, std::vector<std::string>{"/d/a.pdf"});
}

TEST(SelectFolder, OnlyExistingFoldersWithOptionalSeparator) {
  Scratch scratch;
  const std::string file = scratch.Write("f.txt");
  FakeDialogs dialogs;
  std::string path = scratch.root() + "/";
  dialogs.folder_answers.push_back(QString::fromStdString(scratch.root()));
  ASSERT_TRUE(SelectFolder("Pick", path, true));
  EXPECT_EQ(path, scratch.root() + "/");
  EXPECT_EQ(dialogs.folder_requests[0].directory.toStdString(), scratch.root()) << "the separator is dropped";

  dialogs.folder_answers.push_back(QString::fromStdString(scratch.root()));
  ASSERT_TRUE(SelectFolder("Pick", path, false));
  EXPECT_EQ(path, scratch.root());

  for (const std::string& bad : {file, scratch.Path("missing")}) {
    dialogs.folder_answers.push_back(QString::fromStdString(bad));
    EXPECT_FALSE(SelectFolder("Pick", path, false)) << bad;
    EXPECT_EQ(path, scratch.root());
  }
  EXPECT_FALSE(SelectFolder("Pick", path, false)) << "cancel";
}

TEST(MessageDialog, IconsAndButtonsMapToTheMessageBox) {
  EXPECT_EQ(MessageBoxIcon(101), QMessageBox::Warning);
  EXPECT_EQ(MessageBoxIcon(102), QMessageBox::Question);
  EXPECT_EQ(MessageBoxIcon(103), QMessageBox::Critical);
  EXPECT_EQ(MessageBoxIcon(104), QMessageBox::Information);
  EXPECT_EQ(MessageBoxIcon(0), QMessageBox::Information);
  EXPECT_EQ(MessageBoxIcon(999), QMessageBox::Information);

  QMessageBox box;
  ConfigureMessageBox(box, {"About", "Velmor Quarn version 1.2.3", "Copyright", 1, 104});
  EXPECT_EQ(box.windowTitle(), "About");
  EXPECT_EQ(box.text(), "Velmor Quarn version 1.2.3");
  EXPECT_EQ(box.informativeText(), "Copyright");
  EXPECT_EQ(box.icon(), QMessageBox::Information);
  EXPECT_EQ(box.standardButtons(), QMessageBox::Ok);
  ConfigureMessageBox(box, {"Q", "?", "", 2 | 4, 102});
  EXPECT_EQ(box.standardButtons(), QMessageBox::Yes | QMessageBox::No);
}

TEST(MessageDialog, TheSeamSeesWhatTheCallerAsked) {
  FakeDialogs dialogs;
  EXPECT_EQ(ShowMessageDialog(nullptr, "Quarn", "main", "content \xc2\xa9", 1, 101), 1);
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_EQ(dialogs.messages[0].content, QString::fromUtf8("content \u00a9"));
  EXPECT_EQ(dialogs.messages[0].icon, 101);
}

}  // namespace
}  // namespace quarn
