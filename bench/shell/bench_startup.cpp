// Time from process start to the window shown. The benchmark starts itself again as a child
// with the moment of launch (monotonic clock) on its command line; the child builds the window
// exactly as main() does and reports the time when the window is first exposed.
// Usage: bench_startup [runs]   (QT_QPA_PLATFORM picks the platform; offscreen by default)
#include <QApplication>
#include <QProcess>
#include <QTest>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "run/engine.h"
#include "filelist/file_system.h"
#include "shell/app_identity.h"
#include "shell/frmStep1.h"
#include "shell/qt_platform.h"

namespace {

long long NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

int Child(long long launched_ns) {
  int qt_argc = 1;
  char* qt_argv[] = {const_cast<char*>("bench_startup"), nullptr};
  QApplication app(qt_argc, qt_argv);
  shell::SetApplicationIdentity();
  shell::QtPlatform platform;
  convert::PstEngine engine;
  filelist::RealFileSystem file_system;
  frmStep1 window(platform.Seams(), engine.engine(), file_system);
  window.show();
  if (!QTest::qWaitForWindowExposed(&window)) return 2;
  std::printf("%lld\n", (NowNs() - launched_ns) / 1000);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--child") return Child(std::atoll(argv[2]));
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  const int runs = argc > 1 ? std::atoi(argv[1]) : 15;
  std::vector<double> ms;
  for (int i = 0; i < runs; ++i) {
    QProcess child;
    const long long launched = NowNs();
    child.start(QString::fromLocal8Bit(argv[0]),
                {QStringLiteral("--child"), QString::number(launched)});
    if (!child.waitForFinished(30000) || child.exitCode() != 0) {
      std::fprintf(stderr, "child run failed\n");
      return 1;
    }
    ms.push_back(child.readAllStandardOutput().trimmed().toLongLong() / 1000.0);
  }
  std::sort(ms.begin(), ms.end());
  std::printf("startup to window shown (%s, %d runs): median %.1f ms, min %.1f ms, max %.1f ms\n",
              std::getenv("QT_QPA_PLATFORM"), runs, ms[ms.size() / 2], ms.front(), ms.back());
  return 0;
}
