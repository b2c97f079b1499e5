#pragma once
// The Qt application of a test process, on the offscreen platform so tests need no display.
// Made once and kept for the process's life: Qt allows only one, and tests share it.
#include <QApplication>
#include <QtGlobal>

namespace test {

inline QApplication& qtApplication() {
  static QApplication* app = [] {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "test_platform_appkit";
    static char* argv[] = {name, nullptr};
    return new QApplication(argc, argv);
  }();
  return *app;
}

}  // namespace test
