#include "ui/ProgressWindow.h"

#include <QProgressDialog>

QProgressDialog* OpenProgressWindow(QWidget* parent, const QString& title, const QString& text, int maximum,
                                    int delayMs) {
  auto* window = new QProgressDialog(text, "Cancel", 0, maximum, parent);
  window->setWindowTitle(title);
  window->setAutoClose(false);
  window->setAutoReset(false);
  window->setMinimumDuration(delayMs);
  // The first value starts the delay; without it the window's own timer
  // keeps its four seconds.
  window->setValue(0);
  return window;
}

void CloseProgressWindow(QProgressDialog*& window) {
  if (!window) return;
  QProgressDialog* closing = window;
  window = nullptr;
  closing->disconnect();
  // cancel() stops the pending show and marks the window as done, so its
  // timer can never bring it back; the deletion waits for the event loop
  // because a signal of the window may be calling us.
  closing->cancel();
  closing->hide();
  closing->deleteLater();
}
