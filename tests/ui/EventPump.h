#pragma once
// Running the event loop while a test waits for something queued to happen.

#include <QCoreApplication>
#include <QElapsedTimer>

// Runs the event loop until `done` holds or `limitMs` ran out (a guard
// against a hang, not a duration); whether it holds.
template <class Predicate>
bool PumpUntil(Predicate done, int limitMs = 20000) {
  QElapsedTimer timer;
  timer.start();
  while (!done() && timer.elapsed() < limitMs) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  return done();
}
