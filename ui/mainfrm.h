// The program's only window: a small always-on-top picture onto which the
// user drops files and folders.  It hands every path to the queue, shows the
// run's progress over the picture, offers a Stop button and a context menu,
// and stops the workers when it closes.  Main thread only: the workers reach
// it solely through the ProgressNotify it gives the queue, which posts a
// progress event to the window.
#pragma once

#include <QEvent>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "process/process.h"

class QAction;
class QFontMetrics;
class QLabel;
class QMenu;
class QProgressBar;
class QPushButton;

namespace quarn {

enum ViewState { vsWaiting = 0, vsProcessing = 1, vsDone = 2 };

// The event the workers' notifications turn into.
inline constexpr QEvent::Type kProcessProgressEvent = static_cast<QEvent::Type>(QEvent::User + 10);

// A design value of the 96 dpi layout at dpi, rounded to the nearest pixel.
int ScaleToDpi(int value, int dpi);

// The dots per inch the window scales its layout by.  Qt is started without
// its own high-DPI scaling, so the screen's logical DPI is the real one and
// the window scales itself.  Where the platform scales all the same (a device
// pixel ratio other than 1: a Wayland output scale, QT_SCALE_FACTOR), Qt
// already enlarges everything and the window keeps the 96 dpi design.
int LayoutDpi(double logical_dpi, double device_pixel_ratio);

// Shortens a path to width the way a path ellipsis does: the middle of the
// folder part gives way to "…" so the file name stays whole; a name too long
// by itself is cut at its end.
QString ElidePath(const QString& path, const QFontMetrics& metrics, int width);

// The picture control: draws the window's picture stretched to itself and,
// during a run, the two progress lines over it.
class TPicture : public QWidget {
  Q_OBJECT
 public:
  explicit TPicture(QWidget* parent);
  // Lines drawn white over the picture in rect; an empty first line draws nothing.
  void SetOverlay(const QString& first, const QString& second, const QRect& rect);
  void ClearOverlay();
  QString OverlayText() const;  // the lines as drawn, joined by a line feed
  QRect OverlayRect() const { return overlay_rect_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QString first_, second_;
  QRect overlay_rect_;
};

class TMainForm : public QWidget {
  Q_OBJECT
 public:
  // dpi 0: the screen's, as LayoutDpi tells.
  explicit TMainForm(int dpi = 0, QWidget* parent = nullptr);
  ~TMainForm() override;

  void SetViewState(ViewState state);
  ViewState viewState() const { return view_state_; }
  int layoutDpi() const { return dpi_; }

  // The caption is the window's title.  The task-bar title is the window's
  // icon text: on X11 the name desktops give the window's task-bar and icon
  // entry (_NET_WM_ICON_NAME), elsewhere it is not shown.
  QString Caption() const { return windowTitle(); }
  QString TaskbarTitle() const { return taskbar_title_; }

  // How the web commands open a page (OpenSitePage unless a test sets another).
  void SetPageOpener(std::function<void(const std::string& page)> opener);

  // The handlers of the window's events and commands.
  void FormCreate();
  void FormClose();
  void FormKeyUp(int key);
  void StopButtonClick();
  void MConvFileClick();
  void MConvDirClick();
  void MAboutClick();
  void MProgramWebsiteClick();
  void MCheckForUpdatesClick();
  void MSupportServiceClick();
  void MBugReportClick();

  // The controls, owned by the window.
  TPicture* Image = nullptr;
  QLabel* CenterLabel = nullptr;
  QProgressBar* ProgressBar = nullptr;
  QPushButton* StopButton = nullptr;
  QMenu* PopupMenu = nullptr;
  QAction* MConvFile = nullptr;
  QAction* MConvDir = nullptr;
  QAction* N2 = nullptr;
  QAction* MProgramWebsite = nullptr;
  QAction* MCheckForUpdates = nullptr;
  QAction* MSupportService = nullptr;
  QAction* MBugReport = nullptr;
  QAction* N1 = nullptr;
  QAction* MAbout = nullptr;

  // The notify target this window gives the queue with each request.
  const TProcessParams& processParams() const { return params_; }

 protected:
  bool event(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void keyReleaseEvent(QKeyEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  class Notify;

  int S(int value) const { return ScaleToDpi(value, dpi_); }
  QRect ScaledRect(int left, int top, int width, int height) const;
  void CreateControls();
  void CreateMenu();
  void SetTitles(const QString& caption, const QString& taskbar);
  void SetLabelText(const QString& text);
  void ProcessProgress();
  void ReportFailures(std::uint64_t run);
  void QueueRequest(const std::string& path);

  int dpi_;
  ViewState view_state_ = vsWaiting;
  QString taskbar_title_;
  std::unique_ptr<Notify> notify_;
  TProcessParams params_;
  std::uint64_t reported_run_ = 0;
  bool recheck_pending_ = false;
  int label_width_ = 0;  // as designed, scaled
  std::function<void(const std::string&)> open_page_;
};

}  // namespace quarn
