#include "UiTestSupport.h"

#include <cstdlib>

QApplication& TestApplication() {
  static int argc = 1;
  static char name[] = "ui_tests";
  static char* argv[] = {name, nullptr};
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 0);
  static QApplication* application = new QApplication(argc, argv);
  return *application;
}
