#include "filelist/add_folder_command.h"

#include <QStringList>
#include <memory>

#include "base/native_path.h"
#include "filelist/KeyedList.h"
#include "filelist/file_system.h"
#include "filelist/pathLogger.h"
#include "filelist/registry.h"
#include "platform/identity.h"
#include "platform/platform.h"

namespace filelist {
namespace {

const QString kChooserTitle = QStringLiteral("Choose Source Folder...");
const QString kFilesAdded = QStringLiteral(" Files Added to List.");
const QString kApplicationTitle = QString::fromUtf8(identity::kApplicationTitle);
const QString kFoldersSkipped = QStringLiteral(
    "%1 could not be read and %2 passed over:\n%3\n\n"
    "The files found in the other folders are added to the list.");
constexpr int kFoldersNamed = 20;
const QString kWalkStopped = QStringLiteral(
    "The search of the folder stopped early:\n%1\n\n"
    "The files found before that are added to the list.");
const QString kAddFailed = QStringLiteral(
    "A file could not be added to the list:\n%1\n\n"
    "The files added before it stay on the list.");

// Blanks only: tabs and other white space are part of the name.
QString TrimBlanks(const QString& text) {
  qsizetype first = 0;
  qsizetype last = text.size();
  while (first < last && text[first] == u' ') ++first;
  while (last > first && text[last - 1] == u' ') --last;
  return text.mid(first, last - first);
}

// Puts the hourglass up for as long as it lives, unless taken down earlier.
class WaitPointer {
 public:
  explicit WaitPointer(platform::Pointer& pointer) : pointer_(pointer) {
    pointer_.SetHourglass(true);
  }
  ~WaitPointer() { Release(); }
  WaitPointer(const WaitPointer&) = delete;
  WaitPointer& operator=(const WaitPointer&) = delete;

  void Release() {
    if (on_) pointer_.SetHourglass(false);
    on_ = false;
  }

 private:
  platform::Pointer& pointer_;
  bool on_ = true;
};

}  // namespace

WalkResult WalkForFiles(FileSystem& file_system, const QString& folder) {
  return WalkForFiles(file_system, folder, nullptr);
}

WalkResult WalkForFiles(FileSystem& file_system, const QString& folder,
                        pathLogger::FileSink sink) {
  WalkResult result;
  pathLogger walker(file_system);
  walker.PathLogInit();
  walker.fullFileNamesOnly(true);
  walker.SetFileSink(std::move(sink));
  result.status = walker.LogPath(folder);
  // Taken whether or not the walk finished: what was recorded before a failure is still added.
  result.files = walker.fullFileNames();
  result.skipped = walker.SkippedFolders();
  walker.Terminate();
  return result;
}

bool IsMessageFileName(const QString& v) {
  const QString t = TrimBlanks(v).toLower();
  return t.endsWith(u".eml") || t.endsWith(u".emlx");
}

void AddFolderCommand(platform::Platform& p,
                      const std::function<wharfline::Status(const QString&)>& add_file_to_list,
                      const std::function<void(bool)>& set_convert_enabled,
                      FileSystem& file_system) {
  QString folder = registry::ChooseFolder(p.dialogs, kChooserTitle, file_system);
  if (folder.isEmpty()) return;
  folder = folder_paths::WithTrailingSeparator(folder);

  WaitPointer wait(p.pointer);

  WalkResult walk = WalkForFiles(file_system, folder);
  const std::shared_ptr<KeyedList>& found = walk.files;
  const wharfline::Status& walk_status = walk.status;

  std::int32_t n = 0;
  wharfline::Status add_status;
  for (const KeyedList::Entry& entry : *found) {
    p.events.ProcessPendingEvents();
    const QString& v = entry.Text();
    if (!IsMessageFileName(v)) continue;
    p.events.ProcessPendingEvents();
    add_status = add_file_to_list(v);
    if (!add_status.ok()) break;
    ++n;
  }

  wait.Release();
  set_convert_enabled(n > 0);

  // One box for whatever went wrong, the walk's failure first since it happened first.
  QStringList problems;
  if (!walk.skipped.empty()) {
    const auto n_skipped = static_cast<qsizetype>(walk.skipped.size());
    QStringList named;
    for (qsizetype i = 0; i < n_skipped && i < kFoldersNamed; ++i) {
      named << wharfline::PathForDisplay(QString::fromStdString(walk.skipped[i].message()));
    }
    if (n_skipped > kFoldersNamed) named << QStringLiteral("and %1 more").arg(n_skipped - kFoldersNamed);
    problems << kFoldersSkipped.arg(n_skipped == 1 ? QStringLiteral("This folder")
                                                   : QStringLiteral("These folders"),
                                    n_skipped == 1 ? QStringLiteral("was") : QStringLiteral("were"),
                                    named.join(u'\n'));
  }
  if (!walk_status.ok()) {
    problems << kWalkStopped.arg(QString::fromStdString(walk_status.message()));
  }
  if (!add_status.ok()) problems << kAddFailed.arg(QString::fromStdString(add_status.message()));
  if (!problems.isEmpty()) {
    p.dialogs.MsgBox(problems.join(u"\n\n"), platform::kExclamation, kApplicationTitle);
  }
  p.dialogs.MsgBox(QString::number(n) + kFilesAdded, platform::kOkOnly, kApplicationTitle);
}

}  // namespace filelist
