#include "ui/window.h"

#include <QIcon>
#include <QPixmap>

#include <cstdio>
#include <exception>
#include <new>

#include "process/exit_code.h"
#include "ui/run_window.h"
#include "ui/mainfrm.h"
#include "ui/picture.h"
#include "ui/sysdialogs.h"

namespace quarn {

namespace {

void ShowUnexpectedError(const char* message) {
  ShowMessageDialog(QApplication::activeWindow(), "Quarn", message, "", 1, 103);
}

}  // namespace

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::bad_alloc&) {
    ShowUnexpectedError("Out of memory.");
  } catch (const std::exception& e) {
    ShowUnexpectedError(e.what());
  } catch (...) {
    ShowUnexpectedError("An unexpected error occurred.");
  }
  return false;
}

void PrepareQtScaling() {
  if (qEnvironmentVariableIsEmpty("QT_ENABLE_HIGHDPI_SCALING")) qputenv("QT_ENABLE_HIGHDPI_SCALING", "0");
}

}  // namespace quarn

int RunWindow(int argc, char** argv) {
  // Qt ends the process when it cannot reach a display; say why instead.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
      qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
    std::fprintf(stderr,
                 "quarn: no window without a display (DISPLAY or WAYLAND_DISPLAY); name a file to convert, "
                 "or see \"quarn --help\"\n");
    return quarn::Status(quarn::ExitCode::kUsage);
  }
  quarn::PrepareQtScaling();
  quarn::TApplication app(argc, argv);
  app.setApplicationName("quarn");
  app.setDesktopFileName("quarn");
  app.setWindowIcon(QIcon(QPixmap::fromImage(quarn::WindowPicture())));
  quarn::TMainForm form;
  form.show();
  return app.exec();
}
