// The window as the user meets it: its layout in each display state at two
// screen densities, its texts and menu, drops, progress, Stop and Esc, the
// chooser commands, About, the web commands and the end-of-run report.
#include <gtest/gtest.h>

#include <QAction>
#include <QDropEvent>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QProgressBar>
#include <QRegularExpression>
#include <QPushButton>
#include <QTest>
#include <QUrl>

#include <algorithm>

#include "ui/mainfrm.h"
#include "ui/window.h"
#include "ui_test_support.h"

namespace quarn {
namespace {

using testing::FakeDialogs;
using testing::GatedConverter;
using testing::Scratch;
using testing::WaitForIdle;
using testing::WaitUntil;

// As a drag from a file manager arrives: it enters, and drops if accepted.
void Drop(TMainForm& form, const QList<QUrl>& urls) {
  QMimeData data;
  data.setUrls(urls);
  QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(&form, &enter);
  QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(&form, &drop);
}

QList<QUrl> LocalUrls(const std::vector<std::string>& paths) {
  QList<QUrl> urls;
  for (const std::string& p : paths) urls << QUrl::fromLocalFile(QString::fromStdString(p));
  return urls;
}

void PostProgress(TMainForm& form) {
  QCoreApplication::postEvent(&form, new QEvent(kProcessProgressEvent));
  QCoreApplication::processEvents();
}

// What every layout must satisfy: the window is the picture, hidden controls
// lie outside it but stay visible widgets, the label is centred.
void ExpectCommonLayout(TMainForm& form) {
  EXPECT_EQ(form.size(), form.Image->size());
  EXPECT_EQ(form.ProgressBar->width(), form.Image->width());
  EXPECT_TRUE(form.ProgressBar->isVisibleTo(&form));
  EXPECT_TRUE(form.StopButton->isVisibleTo(&form));
  EXPECT_EQ(form.CenterLabel->x(), form.Image->width() / 2 - form.CenterLabel->width() / 2);
  // Every word of the label is shown whole.
  const QFontMetrics metrics(form.CenterLabel->font());
  for (const QString& word : form.CenterLabel->text().split(QRegularExpression("\\s+"), Qt::SkipEmptyParts))
    EXPECT_LE(metrics.horizontalAdvance(word), form.CenterLabel->width()) << word.toStdString();
  EXPECT_GE(form.CenterLabel->x(), 0);
  EXPECT_LE(form.CenterLabel->geometry().right(), form.Image->width() - 1);
  EXPECT_EQ(form.CenterLabel->height(), form.CenterLabel->heightForWidth(form.CenterLabel->width()));
}

struct DpiLayout {
  int dpi;
  QSize client;
  int bar_height, button_width, button_height, label_width;
  int window_font_px, label_font_px;
};

class LayoutAtDpi : public ::testing::TestWithParam<DpiLayout> {};

TEST_P(LayoutAtDpi, EachViewStatePlacesTheControlsAsDesigned) {
  const DpiLayout& want = GetParam();
  TMainForm form(want.dpi);
  EXPECT_EQ(form.layoutDpi(), want.dpi);
  EXPECT_EQ(form.Image->geometry(), QRect(QPoint(0, 0), want.client));
  EXPECT_EQ(form.size(), want.client);
  EXPECT_EQ(form.minimumSize(), want.client);
  EXPECT_EQ(form.maximumSize(), want.client);
  EXPECT_EQ(form.ProgressBar->height(), want.bar_height);
  EXPECT_EQ(form.StopButton->size(), QSize(want.button_width, want.button_height));
  EXPECT_EQ(form.CenterLabel->width(), want.label_width) << "\"Drop Files Here\" wraps within the design";
  EXPECT_EQ(form.font().pixelSize(), want.window_font_px);
  EXPECT_EQ(form.CenterLabel->font().pixelSize(), want.label_font_px);
  EXPECT_TRUE(form.CenterLabel->font().bold());

  const int w = want.client.width(), h = want.client.height();
  // Waiting: bar below and button right of the client area, out of reach.
  EXPECT_EQ(form.viewState(), vsWaiting);
  ExpectCommonLayout(form);
  EXPECT_EQ(form.ProgressBar->y(), h + want.bar_height);
  EXPECT_EQ(form.StopButton->x(), w + want.button_width);
  EXPECT_EQ(form.StopButton->y(), 0);
  EXPECT_FALSE(form.rect().intersects(form.ProgressBar->geometry()));
  EXPECT_FALSE(form.rect().intersects(form.StopButton->geometry()));
  EXPECT_EQ(form.CenterLabel->y(), h / 2 - form.CenterLabel->height() / 2);

  form.SetViewState(vsProcessing);
  ExpectCommonLayout(form);
  EXPECT_EQ(form.ProgressBar->y(), h - want.bar_height);
  EXPECT_EQ(form.ProgressBar->value(), 0);
  EXPECT_EQ(form.ProgressBar->maximum(), 100);
  EXPECT_EQ(form.StopButton->x(), w - want.button_width);
  EXPECT_TRUE(form.rect().contains(form.StopButton->geometry()));
  EXPECT_TRUE(form.rect().contains(form.ProgressBar->geometry()));
  EXPECT_EQ(form.CenterLabel->y(), form.ProgressBar->y() / 2 - form.CenterLabel->height() / 2);
  EXPECT_EQ(form.Caption(), "Quarn");

  form.SetViewState(vsDone);
  ExpectCommonLayout(form);
  EXPECT_EQ(form.ProgressBar->y(), h - want.bar_height);
  EXPECT_EQ(form.ProgressBar->value(), 100);
  EXPECT_EQ(form.StopButton->x(), w + want.button_width);
  EXPECT_EQ(form.CenterLabel->y(), form.ProgressBar->y() / 2 - form.CenterLabel->height() / 2);
  EXPECT_LE(form.CenterLabel->geometry().bottom(), form.ProgressBar->y());

  form.SetViewState(vsWaiting);
  EXPECT_EQ(form.ProgressBar->y(), h + want.bar_height);
  EXPECT_EQ(form.ProgressBar->value(), 100) << "waiting leaves the bar's position alone";
}

INSTANTIATE_TEST_SUITE_P(Dpi, LayoutAtDpi,
                         ::testing::Values(DpiLayout{96, {137, 129}, 14, 37, 21, 68, 10, 11},
                                           DpiLayout{120, {171, 161}, 17, 46, 26, 85, 13, 14}),
                         [](const auto& info) { return "dpi" + std::to_string(info.param.dpi); });

TEST(Scaling, RoundsOnceAndNeverOnTopOfQtsOwnScaling) {
  EXPECT_EQ(ScaleToDpi(137, 120), 171);
  EXPECT_EQ(ScaleToDpi(129, 120), 161);
  EXPECT_EQ(ScaleToDpi(190, 120), 238);  // 237.5 rounds up
  EXPECT_EQ(ScaleToDpi(137, 144), 206);
  EXPECT_EQ(LayoutDpi(120.0, 1.0), 120);
  EXPECT_EQ(LayoutDpi(119.6, 1.0), 120);
  EXPECT_EQ(LayoutDpi(120.0, 1.25), 96) << "the platform already scales";
  EXPECT_EQ(LayoutDpi(96.0, 2.0), 96);
  EXPECT_EQ(LayoutDpi(0.0, 1.0), 96) << "a screen without a density";
  TMainForm form;  // offscreen: 96 dpi, no device scaling
  EXPECT_EQ(form.layoutDpi(), 96);
  EXPECT_EQ(form.size(), QSize(137, 129));
}

TEST(Window, IsAFixedAlwaysOnTopPictureWithCloseBoxOnly) {
  TMainForm form(96);
  const Qt::WindowFlags flags = form.windowFlags();
  EXPECT_TRUE(flags & Qt::WindowStaysOnTopHint);
  EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
  EXPECT_FALSE(flags & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
  EXPECT_EQ(form.Caption(), "Quarn");
  EXPECT_EQ(form.TaskbarTitle(), "Quarn");
  EXPECT_TRUE(form.acceptDrops());
  EXPECT_EQ(form.palette().color(QPalette::Window), form.palette().color(QPalette::Button));
  EXPECT_EQ(form.font().family(), "Tahoma");
  EXPECT_EQ(form.font().styleHint(), QFont::SansSerif);
  EXPECT_EQ(form.CenterLabel->palette().color(QPalette::WindowText), QColor(Qt::white));
  EXPECT_FALSE(form.CenterLabel->autoFillBackground());
  EXPECT_EQ(form.StopButton->text(), "Stop");
  EXPECT_EQ(form.ProgressBar->minimum(), 0);
  EXPECT_EQ(form.ProgressBar->maximum(), 100);
}

TEST(Window, LabelTextsFollowTheViewState) {
  TMainForm form(96);
  EXPECT_EQ(form.CenterLabel->text(), "Drop Files Here");
  form.SetViewState(vsProcessing);
  EXPECT_EQ(form.CenterLabel->text(), "Processing...");
  form.SetViewState(vsDone);
  EXPECT_EQ(form.CenterLabel->text(), "Done\nDrop Files Here Again");
  EXPECT_EQ(form.Caption(), "Quarn");
  EXPECT_EQ(form.TaskbarTitle(), "Quarn:Done");
  // Two lines at least: the line feed is kept, not drawn as a character.
  EXPECT_GE(form.CenterLabel->height(), 2 * QFontMetrics(form.CenterLabel->font()).height());
}

TEST(Menu, ItemsCaptionsAndOrder) {
  TMainForm form(96);
  QStringList got;
  for (QAction* a : form.PopupMenu->actions()) got << (a->isSeparator() ? "-" : a->text());
  EXPECT_EQ(got, (QStringList{"Convert &File...", "Convert F&older...", "-", "&Program Website",
                              "Check for &Updates", "&Support Service", "&Bug Report", "-", "&About..."}));
  QStringList names;
  for (QAction* a : form.PopupMenu->actions()) names << a->objectName();
  EXPECT_EQ(names, (QStringList{"MConvFile", "MConvDir", "N2", "MProgramWebsite", "MCheckForUpdates",
                                "MSupportService", "MBugReport", "N1", "MAbout"}));
  EXPECT_EQ(form.StopButton->contextMenuPolicy(), Qt::PreventContextMenu);
}

TEST(Menu, AboutShowsNameVersionAndCopyright) {
  FakeDialogs dialogs;
  TMainForm form(96);
  form.MAbout->trigger();
  ASSERT_EQ(dialogs.messages.size(), 1u);
  const MessageRequest& m = dialogs.messages[0];
  EXPECT_EQ(m.title, "About");
  EXPECT_EQ(m.main_text, "Velmor Quarn version " QUARN_VERSION);
  EXPECT_TRUE(m.content.startsWith(QString::fromUtf8("Copyright © "))) << m.content.toStdString();
  EXPECT_TRUE(m.content.contains("Velmor"));
  EXPECT_EQ(m.buttons, 1);
  EXPECT_EQ(m.icon, 104);
}

TEST(Menu, WebCommandsOpenTheirPages) {
  TMainForm form(96);
  std::vector<std::string> pages;
  form.SetPageOpener([&](const std::string& page) { pages.push_back(page); });
  form.MProgramWebsite->trigger();
  form.MCheckForUpdates->trigger();
  form.MSupportService->trigger();
  form.MBugReport->trigger();
  EXPECT_EQ(pages, (std::vector<std::string>{"quarn/", "quarn/changelog.php", "support/", "support/"}));
}

TEST(Drop, ThreeFilesQueueThreePathsInOneRun) {
  Scratch scratch;
  const std::string a = scratch.Write("a.txt"), b = scratch.Write("b.txt"), c = scratch.Write("c.txt");
  GatedConverter gate;
  TMainForm form(96);
  const std::uint64_t before = ReadProgress().Run;
  Drop(form, LocalUrls({a, b, c}));
  EXPECT_EQ(form.viewState(), vsProcessing);
  const ProgressSnapshot during = ReadProgress();
  EXPECT_EQ(during.QueuedCount, 3);
  EXPECT_EQ(during.Run, before + 1) << "only the first path starts the workers";
  ASSERT_TRUE(WaitUntil([&] { return !gate.Seen().empty(); }));
  QThread::msleep(50);
  // Two workers at most are busy: with the first paths, never the last.
  for (const std::string& p : gate.Seen()) EXPECT_TRUE(p == a || p == b) << p;
  gate.OpenAll();
  ASSERT_TRUE(WaitUntil([&] { return form.viewState() == vsDone; }));
  const RunReport report = ReadRunReport();
  EXPECT_EQ(report.run, before + 1);
  EXPECT_EQ(report.written, 3);
  std::vector<std::string> all = gate.Seen();
  std::sort(all.begin(), all.end());
  EXPECT_EQ(all, (std::vector<std::string>{a, b, c}));
}

TEST(Drop, OnlyLocalFilesAreTaken) {
  Scratch scratch;
  const std::string a = scratch.Write("a.txt");
  GatedConverter gate;
  gate.OpenAll();
  TMainForm form(96);
  const std::uint64_t before = ReadProgress().Run;
  Drop(form, {QUrl("https://example.org/a.txt"), QUrl("ftp://host/b.txt")});
  EXPECT_EQ(form.viewState(), vsWaiting);
  EXPECT_EQ(ReadProgress().Run, before) << "nothing local: no run";

  QMimeData remote;
  remote.setUrls({QUrl("https://example.org/a.txt")});
  QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &remote, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(&form, &enter);
  EXPECT_FALSE(enter.isAccepted());

  // A folder URL with its trailing slash names the folder itself.
  Drop(form, {QUrl("https://example.org/x"), QUrl::fromLocalFile(QString::fromStdString(scratch.root() + "/"))});
  ASSERT_TRUE(WaitUntil([&] { return form.viewState() == vsDone; }));
  EXPECT_EQ(gate.Seen(), std::vector<std::string>{a});
}

TEST(Progress, LastPathTakenShowsFullBarAndPercentInTitles) {
  Scratch scratch;
  const std::string x = scratch.Write("x.txt");
  const std::string y = scratch.Write("deep/folder/with a long name/and & more/y.txt");
  GatedConverter gate;
  TMainForm form(96);
  Drop(form, LocalUrls({x, y}));
  // x may go at once; y stays held, so the run stays on its last path.
  gate.Release(x);
  ASSERT_TRUE(WaitUntil([] {
    const ProgressSnapshot p = ReadProgress();
    return p.TakenCount == 2 && p.QueuedCount == 2 && !p.CurrentPath.empty();
  }));
  PostProgress(form);
  EXPECT_EQ(form.viewState(), vsProcessing);
  EXPECT_EQ(form.ProgressBar->value(), 100);
  EXPECT_EQ(form.Caption(), "Quarn:100%");
  EXPECT_EQ(form.TaskbarTitle(), "Quarn:100%");
  const QString text = form.Image->OverlayText();
  EXPECT_TRUE(text.startsWith("File 2 of 2\n")) << text.toStdString();
  EXPECT_TRUE(text.endsWith(QString::fromStdString(y)));
  // Two lines of the window's font right above the bar, inside the picture.
  const int line = QFontMetrics(form.font()).height();
  const QRect r = form.Image->OverlayRect();
  EXPECT_EQ(r.left(), 2);
  EXPECT_EQ(r.right(), form.Image->width() - 3);
  EXPECT_EQ(r.bottom(), form.ProgressBar->y() - 3);
  EXPECT_EQ(r.height(), 2 * line);

  gate.OpenAll();
  ASSERT_TRUE(WaitUntil([&] { return form.viewState() == vsDone; }));
  EXPECT_TRUE(form.Image->OverlayText().isEmpty()) << "the end wipes the progress text";
  EXPECT_EQ(form.Caption(), "Quarn");
  EXPECT_EQ(form.TaskbarTitle(), "Quarn:Done");
  EXPECT_EQ(form.ProgressBar->value(), 100);
}

TEST(Stop, EscAndStopEndARunButNothingElse) {
  TMainForm form(96);
  ASSERT_TRUE(WaitForIdle());
  // Out of a run: nothing changes.
  const ProcessState idle = GetProcessState();
  QTest::keyClick(&form, Qt::Key_Escape);
  form.StopButtonClick();
  EXPECT_EQ(GetProcessState(), idle);
  EXPECT_EQ(form.viewState(), vsWaiting);

  Scratch scratch;
  std::vector<std::string> paths;
  for (int i = 0; i < 5; ++i) paths.push_back(scratch.Write("f" + std::to_string(i) + ".txt"));
  GatedConverter gate;
  Drop(form, LocalUrls(paths));
  ASSERT_TRUE(WaitUntil([] { return GetProcessState() == psRunning; }));
  ASSERT_TRUE(WaitUntil([&] { return !gate.Seen().empty(); }));
  // Esc reaches the window first even when a control has the focus.
  form.StopButton->setFocus();
  QTest::keyClick(form.StopButton, Qt::Key_Escape);
  EXPECT_EQ(GetProcessState(), psStopping);
  gate.OpenAll();
  ASSERT_TRUE(WaitUntil([&] { return form.viewState() == vsDone; }));
  EXPECT_LE(gate.Seen().size(), 2u) << "paths still waiting are dropped";
}

TEST(Stop, StopButtonIsReachableOnlyDuringARun) {
  Scratch scratch;
  GatedConverter gate;
  TMainForm form(96);
  EXPECT_FALSE(form.rect().contains(form.StopButton->geometry().center()));
  Drop(form, LocalUrls({scratch.Write("a.txt"), scratch.Write("b.txt"), scratch.Write("c.txt")}));
  ASSERT_TRUE(WaitUntil([] { return GetProcessState() == psRunning; }));
  EXPECT_TRUE(form.rect().contains(form.StopButton->geometry()));
  QTest::mouseClick(form.StopButton, Qt::LeftButton);
  EXPECT_EQ(GetProcessState(), psStopping);
}

TEST(Commands, ChosenFilesAreQueuedInTheChoosersOrder) {
  Scratch scratch;
  const std::string a = scratch.Write("d/a.pdf"), b = scratch.Write("d/b.doc"), c = scratch.Write("d/c.rtf");
  FakeDialogs dialogs;
  GatedConverter gate;
  TMainForm form(96);
  dialogs.file_answers.push_back(std::nullopt);  // cancel first
  form.MConvFile->trigger();
  EXPECT_EQ(form.viewState(), vsWaiting) << "cancel does nothing";
  ASSERT_EQ(dialogs.file_requests.size(), 1u);
  const FileChooserRequest& r = dialogs.file_requests[0];
  EXPECT_EQ(r.title, "Select File(s) to Convert");
  EXPECT_EQ(r.name_filters, (QStringList{"Supported files (*.*)", "All Files (*.*)"}));
  EXPECT_TRUE(r.for_open && r.must_exist && r.multi_select && !r.overwrite_prompt);

  const std::uint64_t before = ReadProgress().Run;
  dialogs.file_answers.push_back(
      QStringList{QString::fromStdString(a), QString::fromStdString(b), QString::fromStdString(c)});
  form.MConvFile->trigger();
  EXPECT_EQ(form.viewState(), vsProcessing);
  EXPECT_EQ(ReadProgress().QueuedCount, 3);
  ASSERT_TRUE(WaitUntil([&] { return !gate.Seen().empty(); }));
  QThread::msleep(50);
  // Two workers at most are busy: with the first chosen, never the last.
  const std::vector<std::string> early = gate.Seen();
  EXPECT_NE(std::find(early.begin(), early.end(), a), early.end()) << "the first chosen is taken first";
  EXPECT_EQ(std::find(early.begin(), early.end(), c), early.end());

  // A folder chosen during the run joins it.
  const std::string e = scratch.Write("more/e.txt");
  dialogs.folder_answers.push_back(QString::fromStdString(scratch.Path("more")));
  form.MConvDir->trigger();
  ASSERT_EQ(dialogs.folder_requests.size(), 1u);
  EXPECT_EQ(dialogs.folder_requests[0].title, "Select Folder to Convert");
  EXPECT_EQ(ReadProgress().Run, before + 1);
  EXPECT_EQ(ReadProgress().QueuedCount, 4);
  gate.OpenAll();
  ASSERT_TRUE(WaitUntil([&] { return form.viewState() == vsDone; }));
  std::vector<std::string> all = gate.Seen();
  std::sort(all.begin(), all.end());
  EXPECT_EQ(all, (std::vector<std::string>{a, b, c, e}));
  EXPECT_EQ(ReadRunReport().run, before + 1);
}

TEST(Commands, FolderChooserTakesRealFoldersOnly) {
  Scratch scratch;
  const std::string file = scratch.Write("plain.txt");
  FakeDialogs dialogs;
  TMainForm form(96);
  const std::uint64_t before = ReadProgress().Run;
  dialogs.folder_answers.push_back(QString::fromStdString(file));
  dialogs.folder_answers.push_back(QString::fromStdString(scratch.Path("gone")));
  dialogs.folder_answers.push_back(std::nullopt);
  form.MConvDir->trigger();
  form.MConvDir->trigger();
  form.MConvDir->trigger();
  EXPECT_EQ(form.viewState(), vsWaiting);
  EXPECT_EQ(ReadProgress().Run, before);
}

TEST(Report, FailuresOfARunAreListedOnceAndNoTextStaysSilent) {
  Scratch scratch;
  std::vector<std::string> paths;
  for (int i = 0; i < 22; ++i) paths.push_back(scratch.Write("bad" + std::to_string(100 + i) + ".txt"));
  const std::string empty = scratch.Write("empty.txt");
  FakeDialogs dialogs;
  GatedConverter gate;
  gate.result = [&](const std::string& path) {
    return path == empty ? ConvertResult::NoText("no text in it") : ConvertResult::Failed("damaged & unreadable");
  };
  TMainForm form(96);
  paths.push_back(empty);
  // Held until every path is queued, so that the drop is one run.
  Drop(form, LocalUrls(paths));
  gate.OpenAll();
  ASSERT_TRUE(WaitUntil([&] { return form.viewState() == vsDone && !dialogs.messages.empty(); }));
  PostProgress(form);  // a late notification of the same end
  ASSERT_EQ(dialogs.messages.size(), 1u);
  const MessageRequest& m = dialogs.messages[0];
  EXPECT_EQ(m.title, "Quarn");
  EXPECT_TRUE(m.main_text.contains("22")) << m.main_text.toStdString();
  const QStringList lines = m.content.split('\n');
  ASSERT_EQ(lines.size(), 21);
  EXPECT_EQ(lines.back(), "and 2 more");
  EXPECT_TRUE(lines.front().endsWith(": damaged & unreadable"));
  EXPECT_FALSE(m.content.contains("empty.txt"));

  // A clean run says nothing.
  dialogs.messages.clear();
  gate.result = [](const std::string& path) {
    return path.ends_with("empty.txt") ? ConvertResult::NoText("none") : ConvertResult::Written();
  };
  Drop(form, LocalUrls({empty, scratch.Write("good.txt")}));
  ASSERT_TRUE(WaitForIdle());
  ASSERT_TRUE(WaitUntil([&] { return form.viewState() == vsDone; }));
  EXPECT_TRUE(dialogs.messages.empty());
}

// A handler that throws on the main thread.
class Thrower : public QObject {
 protected:
  bool event(QEvent* e) override {
    if (e->type() == QEvent::User) throw std::runtime_error("the disk went away");
    return QObject::event(e);
  }
};

TEST(Errors, AnExceptionInAHandlerIsShownAndTheProgramGoesOn) {
  FakeDialogs dialogs;
  Thrower thrower;
  QEvent boom(QEvent::User);
  EXPECT_FALSE(QCoreApplication::sendEvent(&thrower, &boom));
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_EQ(dialogs.messages[0].title, "Quarn");
  EXPECT_EQ(dialogs.messages[0].main_text, "the disk went away");
  EXPECT_EQ(dialogs.messages[0].icon, 103);
  TMainForm form(96);  // and the program still works
  EXPECT_EQ(form.CenterLabel->text(), "Drop Files Here");
}

}  // namespace
}  // namespace quarn
