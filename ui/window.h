// The window's application object.  Created only by RunWindow, so the
// command-line forms never need a display.
#pragma once

#include <QApplication>

namespace quarn {

// Catches what an event handler on the main thread throws: the message is
// shown in a box titled "Quarn" and the program goes on.
class TApplication : public QApplication {
  Q_OBJECT
 public:
  TApplication(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;
};

// Qt's own high-DPI scaling is turned off before the application object
// exists (unless the user chose otherwise through Qt's variables), so that
// the window's layout is scaled once, by the window itself.
void PrepareQtScaling();

}  // namespace quarn
