// Helper process for the exit test: asks the real exit seam to end the process from inside a
// nested event loop, as the exit button does in the middle of a long command.
#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <cstdio>

#include "shell/qt_platform.h"

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  shell::QtProcessExit exit;
  QTimer::singleShot(0, [&] {
    QEventLoop nested;
    QTimer::singleShot(0, [&] {
      std::printf("inside nested loop\n");
      exit.Exit(0);
      std::printf("after exit\n");
    });
    nested.exec();
    std::printf("after nested loop\n");
  });
  app.exec();
  std::printf("after application loop\n");
  return 3;
}
