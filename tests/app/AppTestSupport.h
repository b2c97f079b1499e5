#pragma once
// What the application tests share: the offscreen Qt application, the hostfile model, and a
// pump that runs Qt's loop and the main queue until a condition holds.
#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QtGlobal>

#include <functional>

#include "hostfiles/ChangeTracker.h"
#include "hostfiles/HostfilesModel.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/UserDefaults.h"

namespace test {

inline QApplication& qtApplication() {
  static QApplication* app = [] {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "test_app";
    static char* argv[] = {name, nullptr};
    return new QApplication(argc, argv);
  }();
  return *app;
}

// Runs Qt's events and the main queue until `condition` holds or `seconds` pass; returns it.
inline bool pumpUntil(const std::function<bool()>& condition, double seconds = 5.0) {
  QElapsedTimer clock;
  clock.start();
  while (!condition()) {
    if (clock.elapsed() > seconds * 1000) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    foundation::RunLoop::main().processPending();
  }
  return true;
}

// Registers the application's hostfile model as the main bundle's model and starts the change
// tracker afresh. Call before any set-up.
inline void registerHostGroupModel() {
  HostfilesModel::registerModel();
  ChangeTracker::resetSharedInstanceForTesting();
}

}  // namespace test
