// Drives the real window over the real engine, for the end-to-end tests: lists the
// message files of the given sources, answers the output-folder question with OUTDIR, presses
// "Convert Messages" and, when asked to, closes the window after the n-th yield of the run (which
// ends the process at once, as it does for a user). Prints the new store's path when the run
// ends normally.
// Usage: window_probe OUTDIR CLOSE_AFTER_YIELDS SOURCE...   (0: never close)
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <cstdio>
#include <cstdlib>

#include "run/engine.h"
#include "filelist/KeyedList.h"
#include "filelist/add_folder_command.h"
#include "filelist/file_system.h"
#include "shell/frmStep1.h"
#include "shell/qt_platform.h"
#include "support/scripted_platform.h"

namespace {

// The real event pump, counting, with a hook on the n-th yield.
class ProbePump final : public platform::EventPump {
 public:
  int close_after = 0;
  QWidget* window = nullptr;
  void ProcessPendingEvents() override {
    QCoreApplication::processEvents();
    if (close_after > 0 && ++yields_ == close_after) window->close();
  }

 private:
  int yields_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: window_probe OUTDIR CLOSE_AFTER_YIELDS SOURCE...\n");
    return 2;
  }
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  int qt_argc = 1;
  QApplication app(qt_argc, argv);

  QStringList log;
  testing_support::ScriptedDialogs dialogs(log);
  testing_support::ScriptedPointer pointer(log);
  ProbePump events;
  shell::QtClock clock;
  shell::QtProcessExit exit;
  platform::Platform seams{dialogs, pointer, events, clock, exit};
  convert::PstEngine engine;
  filelist::RealFileSystem file_system;
  frmStep1 window(seams, engine.engine(), file_system);
  events.window = &window;
  events.close_after = std::atoi(argv[2]);
  window.show();

  for (int i = 3; i < argc; ++i) {
    const QFileInfo info(QString::fromLocal8Bit(argv[i]));
    if (!info.isDir()) {
      if (!window.AddFileToList(info.absoluteFilePath()).ok()) return 3;
      continue;
    }
    const auto walk = filelist::WalkForFiles(file_system, info.absoluteFilePath() + u'/');
    for (const auto& entry : *walk.files) {
      if (filelist::IsMessageFileName(entry.Text()) && !window.AddFileToList(entry.Text()).ok()) {
        return 3;
      }
    }
  }
  window.CmdExtractDBX->setEnabled(true);
  dialogs.folder_answers = {QString::fromLocal8Bit(argv[1])};
  window.CmdExtractDBX->click();

  for (const auto& box : dialogs.msgboxes) {
    std::fprintf(stderr, "box %d %s: %s\n", box.style, qPrintable(box.caption),
                 qPrintable(box.text));
  }
  const QFileInfoList stores =
      QDir(QString::fromLocal8Bit(argv[1])).entryInfoList({"*.pst"}, QDir::Files, QDir::Time);
  if (stores.isEmpty()) return 4;
  std::printf("%s\n", qPrintable(stores.front().absoluteFilePath()));
  return dialogs.msgboxes.empty() ? 0 : 1;
}
