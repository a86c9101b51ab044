// Adding 100,000 rows through AddFileToList on the real window (offscreen), then painting the
// grid and clearing it: seconds and the growth of peak memory. Given a folder tree (for example
// the one bench_walker leaves behind), also the whole add-folder command over it, filling the
// real grid.
// Usage: bench_filelist [rows] [tree]
#include <sys/resource.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>
#include <cstdio>
#include <cstdlib>

#include "support/memory_store.h"
#include "filelist/file_system.h"
#include "shell/frmStep1.h"
#include "shell/qt_platform.h"
#include "support/scripted_platform.h"

namespace {
long PeakKb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}
}  // namespace

int main(int argc, char** argv) {
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  const int rows = argc > 1 ? std::atoi(argv[1]) : 100000;
  int qt_argc = 1;
  QApplication app(qt_argc, argv);
  // Scripted dialogs, but the real event pump: the add-folder command yields twice per file.
  testing_support::ScriptedPlatform platform;
  shell::QtEventPump events;
  testing_support::MemoryEngine mail;
  filelist::RealFileSystem file_system;
  frmStep1 window({platform.dialogs, platform.pointer, events, platform.clock, platform.exit},
                  mail.engine(), file_system);
  window.show();
  if (!QTest::qWaitForWindowExposed(&window)) std::fprintf(stderr, "window not exposed\n");
  QCoreApplication::processEvents();

  const long base_kb = PeakKb();
  QStringList paths;
  paths.reserve(rows);
  for (int i = 0; i < rows; ++i) {
    paths << QStringLiteral("/home/ann/Mail/archive/%1/folder %2/message-%3.eml")
                 .arg(2000 + i % 20).arg(i % 500).arg(i);
  }
  QElapsedTimer timer;
  timer.start();
  for (const QString& path : paths) {
    if (!window.AddFileToList(path).ok()) return 1;
  }
  const double add_s = timer.nsecsElapsed() / 1e9;
  timer.restart();
  window.grdFiles1->repaint();
  QCoreApplication::processEvents();
  const double paint_s = timer.nsecsElapsed() / 1e9;
  const long peak_kb = PeakKb();
  timer.restart();
  window.ClearFileList();
  QCoreApplication::processEvents();
  const double clear_s = timer.nsecsElapsed() / 1e9;

  if (argc > 2) {
    platform.dialogs.folder_answers = {QString::fromLocal8Bit(argv[2])};
    const long before_kb = PeakKb();
    timer.restart();
    window.CmdAddFolder->click();
    QCoreApplication::processEvents();
    const double command_s = timer.nsecsElapsed() / 1e9;
    std::printf("add-folder command over %s: %.2f s, %d rows; peak memory %.1f MB (+%.1f MB)\n",
                argv[2], command_s, window.grid().Rows(), PeakKb() / 1024.0,
                (PeakKb() - before_kb) / 1024.0);
    if (!platform.dialogs.msgboxes.empty()) {
      std::printf("  box: %s\n", qPrintable(platform.dialogs.msgboxes.back().text));
    }
  }
  std::printf("AddFileToList x %d: %.3f s (%.1f us/row); paint %.3f s; clear %.3f s\n", rows,
              add_s, add_s * 1e6 / rows, paint_s, clear_s);
  std::printf("peak memory: %.1f MB before adding, +%.1f MB for the rows (%.0f bytes/row, the path "
              "texts and the list they were made in included)\n",
              base_kb / 1024.0, (peak_kb - base_kb) / 1024.0, (peak_kb - base_kb) * 1024.0 / rows);
  return 0;
}
