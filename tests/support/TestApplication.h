#pragma once
// The one QApplication of a widget test executable: offscreen unless a
// platform is named, never destroyed (Qt's globals may be gone by then).

#include <QApplication>
#include <cstdlib>

inline QApplication& TestApplication() {
  static int argc = 1;
  static char name[] = "lentora_tests";
  static char* argv[] = {name, nullptr};
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 0);
  static QApplication* application = new QApplication(argc, argv);
  return *application;
}
