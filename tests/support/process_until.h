// For tests of the Qt window: runs the GUI thread's events until a condition holds.
#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>

namespace vqr::testing {

// Processes events until `done` holds or `ms` have passed; whether `done` holds then.
template <typename Predicate>
bool ProcessUntil(Predicate done, int ms = 2000) {
  QDeadlineTimer deadline(ms);
  while (!done() && !deadline.hasExpired())
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  return done();
}

}  // namespace vqr::testing
