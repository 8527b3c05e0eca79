#include "ui/mainfrm.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <cmath>
#include <mutex>

#include "convert/printable.h"
#include "shell/execute.h"
#include "ui/picture.h"
#include "ui/sysdialogs.h"
#include "ui/vista.h"

#ifndef QUARN_VERSION
#error "QUARN_VERSION must be defined by the build"
#endif

namespace quarn {

namespace {

// The layout as designed at 96 dpi: left, top, width, height.
constexpr int kImage[] = {0, 0, 137, 129};
constexpr int kCenterLabel[] = {26, 63, 68, 13};
constexpr int kProgressBar[] = {0, 199, 182, 14};
constexpr int kStopButton[] = {190, 0, 37, 21};
constexpr int kWindowFontPixels = 10;
constexpr int kLabelFontPixels = 11;
constexpr const char* kFontFamily = "Tahoma";

constexpr const char* kAppTitle = "Quarn";
constexpr int kMaxListedFailures = 20;

QFont DesignFont(int pixels, bool bold) {
  QFont font(kFontFamily);
  // Where Tahoma is missing, fontconfig's sans-serif stands in.
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(pixels);
  font.setBold(bold);
  return font;
}

// Control characters in a file name would break the two-line layout.
// Paths and reasons are shown as the terminal shows them: control
// characters and broken bytes as visible escapes.
QString DisplayPath(const std::string& path) {
  return QFile::decodeName(QByteArray::fromStdString(PrintableText(path)));
}

}  // namespace

int ScaleToDpi(int value, int dpi) {
  return static_cast<int>(std::lround(static_cast<double>(value) * dpi / 96.0));
}

int LayoutDpi(double logical_dpi, double device_pixel_ratio) {
  if (std::abs(device_pixel_ratio - 1.0) > 1e-6) return 96;
  if (!(logical_dpi >= 24 && logical_dpi <= 960)) return 96;
  return static_cast<int>(std::lround(logical_dpi));
}

QString ElidePath(const QString& path, const QFontMetrics& metrics, int width) {
  if (metrics.horizontalAdvance(path) <= width) return path;
  const QString ellipsis = QStringLiteral("…");
  const qsizetype slash = path.lastIndexOf(u'/');
  if (slash > 0) {
    const QString folder = path.left(slash);
    const QString tail = path.mid(slash);  // "/name"
    // Longest start of the folder part that still fits before "…/name".
    qsizetype lo = 0, hi = folder.size();
    while (lo < hi) {
      const qsizetype mid = (lo + hi + 1) / 2;
      if (metrics.horizontalAdvance(folder.left(mid) + ellipsis + tail) <= width)
        lo = mid;
      else
        hi = mid - 1;
    }
    const QString candidate = folder.left(lo) + ellipsis + tail;
    if (metrics.horizontalAdvance(candidate) <= width) return candidate;
    return metrics.elidedText(ellipsis + tail, Qt::ElideRight, width);
  }
  return metrics.elidedText(path, Qt::ElideRight, width);
}

// The queue calls PostProgress on worker threads; the window detaches it from
// the queue before the window goes away.
class TMainForm::Notify final : public ProgressNotify {
 public:
  explicit Notify(QObject* target) : target_(target) {}
  void PostProgress() override {
    std::lock_guard<std::mutex> hold(lock_);
    if (target_) QCoreApplication::postEvent(target_, new QEvent(kProcessProgressEvent));
  }
  void Detach() {
    std::lock_guard<std::mutex> hold(lock_);
    target_ = nullptr;
  }

 private:
  std::mutex lock_;
  QObject* target_;
};

TPicture::TPicture(QWidget* parent) : QWidget(parent) {}

void TPicture::SetOverlay(const QString& first, const QString& second, const QRect& rect) {
  first_ = first;
  second_ = second;
  overlay_rect_ = rect;
  update();
}

void TPicture::ClearOverlay() { SetOverlay({}, {}, {}); }

QString TPicture::OverlayText() const { return first_.isEmpty() ? QString() : first_ + "\n" + second_; }

void TPicture::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  painter.drawImage(rect(), WindowPicture());
  if (first_.isEmpty() || overlay_rect_.isEmpty()) return;
  painter.setFont(font());
  painter.setPen(Qt::white);
  const QFontMetrics metrics(font());
  const int line = metrics.height();
  const int width = overlay_rect_.width();
  // Two lines fill the rectangle from its top; neither may run past its right edge.
  painter.drawText(QRect(overlay_rect_.left(), overlay_rect_.top(), width, line), Qt::AlignLeft | Qt::AlignTop,
                   metrics.elidedText(first_, Qt::ElideRight, width));
  painter.drawText(QRect(overlay_rect_.left(), overlay_rect_.top() + line, width, line),
                   Qt::AlignLeft | Qt::AlignTop, ElidePath(second_, metrics, width));
}

TMainForm::TMainForm(int dpi, QWidget* parent)
    : QWidget(parent,
              Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                  Qt::WindowStaysOnTopHint | Qt::MSWindowsFixedSizeDialogHint),
      dpi_(dpi),
      notify_(std::make_unique<Notify>(this)),
      open_page_([](const std::string& page) { OpenSitePage(page); }) {
  params_.NotifyWindow = notify_.get();
  params_.MaskList = "*.*";
  if (dpi_ <= 0) {
    const QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    dpi_ = screen ? LayoutDpi(screen->logicalDotsPerInchY(), screen->devicePixelRatio()) : 96;
  }
  FormCreate();
}

TMainForm::~TMainForm() {
  // After this no worker posts to us again, not even one still converting.
  DetachNotify(notify_.get());
  notify_->Detach();
}

QRect TMainForm::ScaledRect(int left, int top, int width, int height) const {
  const int l = S(left), t = S(top);
  return QRect(l, t, S(left + width) - l, S(top + height) - t);
}

void TMainForm::FormCreate() {
  setObjectName("MainForm");
  // Button-face background, the design's font; both scaled once, here.
  setAutoFillBackground(true);
  QPalette face = palette();
  face.setColor(QPalette::Window, face.color(QPalette::Button));
  setPalette(face);
  setFont(DesignFont(S(kWindowFontPixels), false));

  CreateControls();
  CreateMenu();
  SetTitles(kAppTitle, kAppTitle);
  setAcceptDrops(true);
  // Key preview: the window sees every key before its controls do.
  for (QWidget* child : findChildren<QWidget*>()) child->installEventFilter(this);

  // The window is exactly the picture.
  const QSize client = Image->size();
  setFixedSize(client);
  ProgressBar->resize(client.width(), ProgressBar->height());
  if (const QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen())
{
    const QRect area = screen->availableGeometry();
    move(area.x() + (area.width() - client.width()) / 2, area.y() + (area.height() - client.height()) / 2);
  }

  SetViewState(vsWaiting);
  AllowDropFromLowerIntegrity();
}

void TMainForm::CreateControls() {
  Image = new TPicture(this);
  Image->setObjectName("Image");
  Image->setGeometry(ScaledRect(kImage[0], kImage[1], kImage[2], kImage[3]));

  CenterLabel = new QLabel(this);
  CenterLabel->setObjectName("CenterLabel");
  CenterLabel->setGeometry(ScaledRect(kCenterLabel[0], kCenterLabel[1], kCenterLabel[2], kCenterLabel[3]));
  label_width_ = CenterLabel->width();
  CenterLabel->setFont(DesignFont(S(kLabelFontPixels), true));
  CenterLabel->setTextFormat(Qt::PlainText);
  CenterLabel->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  CenterLabel->setWordWrap(true);
  QPalette white = CenterLabel->palette();
  white.setColor(QPalette::WindowText, Qt::white);
  CenterLabel->setPalette(white);
  CenterLabel->setAutoFillBackground(false);  // transparent over the picture

  ProgressBar = new QProgressBar(this);
  ProgressBar->setObjectName("ProgressBar");
  ProgressBar->setGeometry(ScaledRect(kProgressBar[0], kProgressBar[1], kProgressBar[2], kProgressBar[3]));
  ProgressBar->setRange(0, 100);
  ProgressBar->setValue(0);
  ProgressBar->setTextVisible(false);

  StopButton = new QPushButton(QStringLiteral("Stop"), this);
  StopButton->setObjectName("StopButton");
  StopButton->setGeometry(ScaledRect(kStopButton[0], kStopButton[1], kStopButton[2], kStopButton[3]));
  // The button has no context menu of its own, and none of the window's.
  StopButton->setContextMenuPolicy(Qt::PreventContextMenu);
  connect(StopButton, &QPushButton::clicked, this, [this] { StopButtonClick(); });

  // Painted in this order: the picture, the label over it, the bar and button on top.
  Image->lower();
  CenterLabel->raise();
  ProgressBar->raise();
  StopButton->raise();
}

void TMainForm::CreateMenu() {
  PopupMenu = new QMenu(this);
  PopupMenu->setObjectName("PopupMenu");
  auto item = [this](const char* name, const char* caption, void (TMainForm::*handler)()) {
    QAction* action = PopupMenu->addAction(QString::fromUtf8(caption));
    action->setObjectName(name);
    connect(action, &QAction::triggered, this, [this, handler] { (this->*handler)(); });
    return action;
  };
  auto separator = [this](const char* name) {
    QAction* action = PopupMenu->addSeparator();
    action->setObjectName(name);
    return action;
  };
  MConvFile = item("MConvFile", "Convert &File...", &TMainForm::MConvFileClick);
  MConvDir = item("MConvDir", "Convert F&older...", &TMainForm::MConvDirClick);
  N2 = separator("N2");
  MProgramWebsite = item("MProgramWebsite", "&Program Website", &TMainForm::MProgramWebsiteClick);
  MCheckForUpdates = item("MCheckForUpdates", "Check for &Updates", &TMainForm::MCheckForUpdatesClick);
  MSupportService = item("MSupportService", "&Support Service", &TMainForm::MSupportServiceClick);
  MBugReport = item("MBugReport", "&Bug Report", &TMainForm::MBugReportClick);
  N1 = separator("N1");
  MAbout = item("MAbout", "&About...", &TMainForm::MAboutClick);
}

void TMainForm::SetPageOpener(std::function<void(const std::string&)> opener) { open_page_ = std::move(opener); }

void TMainForm::SetTitles(const QString& caption, const QString& taskbar) {
  setWindowTitle(caption);
  taskbar_title_ = taskbar;
  setWindowIconText(taskbar);
}

void TMainForm::SetLabelText(const QString& text) {
  CenterLabel->setText(text);
  // The label keeps its designed width and its height follows the wrapped
  // text.  A single word wider than that (the stand-in for Tahoma may be
  // wider) widens the label up to the picture's width rather than being cut.
  const QFontMetrics metrics(CenterLabel->font());
  int widest = 0;
  for (const QString& word : text.split(QRegularExpression("\\s+"), Qt::SkipEmptyParts))
    widest = std::max(widest, metrics.horizontalAdvance(word));
  const int width = std::clamp(widest, label_width_, std::max(label_width_, Image->width()));
  CenterLabel->resize(width, CenterLabel->height());
  const int height = CenterLabel->heightForWidth(width);
  CenterLabel->resize(width, height > 0 ? height : CenterLabel->sizeHint().height());
}

void TMainForm::SetViewState(ViewState state) {
  view_state_ = state;
  const int image_width = Image->width();
  const int image_height = Image->height();
  const int bar_height = ProgressBar->height();
  const int button_width = StopButton->width();
  // Hidden controls are moved outside the client area, never made invisible.
  switch (state) {
    case vsWaiting:
      ProgressBar->move(ProgressBar->x(), image_height + bar_height);
      StopButton->move(image_width + button_width, StopButton->y());
      SetLabelText("Drop Files Here");
      CenterLabel->move(image_width / 2 - CenterLabel->width() / 2, image_height / 2 - CenterLabel->height() / 2);
      break;
    case vsProcessing:
      ProgressBar->move(ProgressBar->x(), image_height - bar_height);
      ProgressBar->setRange(0, 100);
      ProgressBar->setValue(0);
      StopButton->move(image_width - button_width, StopButton->y());
      SetLabelText("Processing...");
      CenterLabel->move(image_width / 2 - CenterLabel->width() / 2,
                        ProgressBar->y() / 2 - CenterLabel->height() / 2);
      break;
    case vsDone:
      ProgressBar->move(ProgressBar->x(), image_height - bar_height);
      ProgressBar->setRange(0, 100);
      ProgressBar->setValue(100);
      StopButton->move(image_width + button_width, StopButton->y());
      SetLabelText("Done\nDrop Files Here Again");
      CenterLabel->move(image_width / 2 - CenterLabel->width() / 2,
                        ProgressBar->y() / 2 - CenterLabel->height() / 2);
      SetTitles(kAppTitle, "Quarn:Done");
      break;
  }
}

bool TMainForm::event(QEvent* event) {
  if (event->type() == kProcessProgressEvent) {
    ProcessProgress();
    return true;
  }
  return QWidget::event(event);
}

void TMainForm::ProcessProgress() {
  const ProgressSnapshot progress = ReadProgress();
  if (progress.CurrentPath.empty()) {
    Image->ClearOverlay();
    SetViewState(vsDone);
    if (progress.State == psFinished || progress.State == psIdle) {
      ReportFailures(progress.Run);
    } else if (!recheck_pending_) {
      // The run is ending (its last documents may still be recorded) or the
      // path was empty only for a moment: look again shortly.
      recheck_pending_ = true;
      QTimer::singleShot(50, this, [this] {
        recheck_pending_ = false;
        ProcessProgress();
      });
    }
    return;
  }
  SetViewState(vsProcessing);
  const QString first = QString("File %1 of %2").arg(progress.TakenCount).arg(progress.QueuedCount);
  int position = progress.QueuedCount > 0
                     ? static_cast<int>(static_cast<long long>(progress.TakenCount) * 100 / progress.QueuedCount)
                     : 0;
  position = std::clamp(position, 0, 100);
  ProgressBar->setValue(position);
  const QString title = QString("Quarn:%1%").arg(ProgressBar->value());
  SetTitles(title, title);
  // Two lines of the window's font, just above the bar.
  const int line = QFontMetrics(font()).height();
  const int bar_top = ProgressBar->y();
  Image->SetOverlay(first, DisplayPath(progress.CurrentPath),
                    QRect(QPoint(2, bar_top - 2 * line - 2), QPoint(Image->width() - 2 - 1, bar_top - 2 - 1)));
}

void TMainForm::ReportFailures(std::uint64_t run) {
  const RunReport report = ReadRunReport();
  // Once per run, and only for the run that ended (a new one may have begun).
  if (report.run == 0 || report.run != run || report.run == reported_run_) return;
  // Set before the box opens: its own event loop may deliver more progress.
  reported_run_ = report.run;
  if (report.failures.empty()) return;
  QString list;
  const int listed = std::min<int>(static_cast<int>(report.failures.size()), kMaxListedFailures);
  for (int i = 0; i < listed; ++i) {
    const RunFailure& f = report.failures[static_cast<std::size_t>(i)];
    list += DisplayPath(f.path) + ": " + DisplayPath(f.reason) + "\n";
  }
  const int total = std::max<int>(report.failed, static_cast<int>(report.failures.size()));
  if (total > listed) list += QString("and %1 more\n").arg(total - listed);
  list.chop(1);
  const QString main_text = total == 1 ? QString("1 document could not be converted.")
                                       : QString("%1 documents could not be converted.").arg(total);
  ShowMessageDialog(this, kAppTitle, main_text.toStdString(), list.toStdString(), 1, 101);
}

void TMainForm::QueueRequest(const std::string& path) { QueuePath(path, params_); }

void TMainForm::FormClose() { StopWorkers(); }

void TMainForm::FormKeyUp(int key) {
  if (key == Qt::Key_Escape) StopButtonClick();
}

void TMainForm::StopButtonClick() {
  RequestStop();
}

void TMainForm::MConvFileClick() {
  std::vector<std::string> names;
  if (!SelectFiles(this, "*.*", "Supported files|*.*|All Files (*.*)|*.*", "", "Select File(s) to Convert", names,
                   true, false, false, true, true))
    return;
  if (view_state_ != vsProcessing) SetViewState(vsProcessing);
  for (const std::string& name : names) QueueRequest(name);
}

void TMainForm::MConvDirClick() {
  std::string path;
  if (!SelectFolder("Select Folder to Convert", path, false)) return;
  if (view_state_ != vsProcessing) SetViewState(vsProcessing);
  QueueRequest(path);
}

void TMainForm::MAboutClick() {
  ShowMessageDialog(this, "About", "Velmor Quarn version " QUARN_VERSION, "Copyright © 2026 Velmor", 1, 104);
}

void TMainForm::MProgramWebsiteClick() { open_page_(std::string(kPageProgramWebsite)); }
void TMainForm::MCheckForUpdatesClick() { open_page_(std::string(kPageCheckForUpdates)); }
void TMainForm::MSupportServiceClick() { open_page_(std::string(kPageSupportService)); }
void TMainForm::MBugReportClick() { open_page_(std::string(kPageBugReport)); }

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyRelease) {
    auto* key = static_cast<QKeyEvent*>(event);
    if (!key->isAutoRepeat()) FormKeyUp(key->key());
  }
  return QWidget::eventFilter(watched, event);
}

void TMainForm::keyReleaseEvent(QKeyEvent* event) {
  // A key a child did not take comes here too, after the filter saw it; only
  // keys sent to the window itself are new.
  QWidget* focus = focusWidget();
  if (!event->isAutoRepeat() && (!focus || focus == this)) FormKeyUp(event->key());
  QWidget::keyReleaseEvent(event);
}

void TMainForm::closeEvent(QCloseEvent* event) {
  FormClose();
  event->accept();
}

void TMainForm::contextMenuEvent(QContextMenuEvent* event) {
  PopupMenu->popup(event->globalPos());
  event->accept();
}

namespace {

// The local paths of a drop, in its order; anything but local files is left out.
std::vector<std::string> DroppedPaths(const QMimeData* data) {
  std::vector<std::string> paths;
  if (!data || !data->hasUrls()) return paths;
  for (const QUrl& url : data->urls()) {
    if (!url.isLocalFile()) continue;
    QString path = url.toLocalFile();
    if (path.isEmpty()) continue;
    // "file:///docs/" names the folder /docs: keep the walk's paths free of "//".
    while (path.size() > 1 && path.endsWith(u'/')) path.chop(1);
    paths.push_back(QFile::encodeName(path).toStdString());
  }
  return paths;
}

}  // namespace

void TMainForm::dragEnterEvent(QDragEnterEvent* event) {
  if (!DroppedPaths(event->mimeData()).empty()) event->acceptProposedAction();
}

void TMainForm::dragMoveEvent(QDragMoveEvent* event) {
  if (!DroppedPaths(event->mimeData()).empty()) event->acceptProposedAction();
}

void TMainForm::dropEvent(QDropEvent* event) {
  const std::vector<std::string> paths = DroppedPaths(event->mimeData());
  if (paths.empty()) return;
  event->acceptProposedAction();
  for (const std::string& path : paths) {
    SetViewState(vsProcessing);
    QueueRequest(path);
  }
}

}  // namespace quarn
