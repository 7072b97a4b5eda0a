#pragma once
// What the benchmarks of the workbench window's live preview share: one
// application for the process, waiting with the events flowing, and the
// device number of a named capture device.

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <cstdlib>
#include <string>
#include <vector>

#include "sources/media/DShow.h"

inline void Wait(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

// 1-based, as the sources panel counts devices; 0 when there is no such device.
inline int DeviceNumber(const char* name) {
  std::vector<std::string> names;
  DShow::EnumVideoCaptureDevices(names);
  for (size_t i = 0; i < names.size(); ++i)
    if (names[i] == name) return static_cast<int>(i) + 1;
  return 0;
}

inline QApplication& Application() {
  static int argc = 1;
  static char name[] = "lentora_bench";
  static char* argv[] = {name, nullptr};
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 0);
  static QApplication* application = new QApplication(argc, argv);
  return *application;
}

inline int FromEnvironment(const char* name, int fallback) {
  const char* value = std::getenv(name);
  return value ? std::max(0, std::atoi(value)) : fallback;
}
