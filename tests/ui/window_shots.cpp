// Takes the README's three pictures of the real window on an X display
// (Xvfb in scripts/screenshots.sh): waiting, processing a dropped folder, and
// done.  The folder is dropped as a file manager's drag would arrive, and each
// document is slowed down so that the run can be caught half way.
// Usage: quarn_window_shots OUTDIR FOLDER
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QPixmap>
#include <QScreen>
#include <QUrl>

#include <chrono>
#include <cstdio>
#include <thread>

#include "app/main.h"
#include "process/process.h"
#include "ui/mainfrm.h"
#include "ui/window.h"
#include "ui_test_support.h"

namespace {

bool Grab(const quarn::TMainForm& form, const QString& file) {
  QCoreApplication::processEvents();
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  QCoreApplication::processEvents();
  const QRect frame = form.frameGeometry();
  const QPixmap shot = form.screen()->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
  return !shot.isNull() && shot.save(file);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s OUTDIR FOLDER\n", argv[0]);
    return 2;
  }
  quarn::PrepareQtScaling();
  quarn::TApplication app(argc, argv);
  quarn::InitProcessing();
  quarn::SetFileConverter([](const std::string& path) {
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    return quarn::ConvertFile(path, "");
  });
  const QString out = QString::fromLocal8Bit(argv[1]);
  int status = 0;
  {
    quarn::TMainForm form;
    form.show();
    quarn::testing::WaitUntil([&] { return form.isVisible(); });
    if (!Grab(form, out + "/waiting.png")) status = 1;

    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(QString::fromLocal8Bit(argv[2]))});
    QDragEnterEvent enter(QPoint(30, 30), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&form, &enter);
    QDropEvent drop(QPointF(30, 30), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&form, &drop);
    // Half way: a document (not a folder) being converted, a few taken.
    quarn::testing::WaitUntil([&] {
      const quarn::ProgressSnapshot p = quarn::ReadProgress();
      const QString shown = form.Image->OverlayText();
      return p.TakenCount >= 3 && p.TakenCount < p.QueuedCount && shown.mid(shown.lastIndexOf('/')).contains('.');
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (!Grab(form, out + "/processing.png")) status = 1;
    std::printf("processing: %s (%s)\n", qPrintable(form.Image->OverlayText().replace('\n', " | ")),
                qPrintable(form.Caption()));

    if (!quarn::testing::WaitUntil([&] { return form.viewState() == quarn::vsDone; }, 60000)) status = 1;
    if (!Grab(form, out + "/done.png")) status = 1;
    std::printf("done: caption %s, task-bar title %s\n", qPrintable(form.Caption()), qPrintable(form.TaskbarTitle()));
    form.close();
  }
  quarn::DoneProcessing();
  return status;
}
