#include "filelist/registry.h"

#include "filelist/file_system.h"
#include "platform/platform.h"

namespace registry {
namespace {

using filelist::folder_paths::IsDriveForm;

// Cuts trailing separators but keeps the one a root needs: "/" stays "/", "C:\" and "C:/" become
// "C:\", and a drive-form path keeps "\" as its separator.
QString WithoutTrailingSeparator(QString path) {
  const bool drive_form = IsDriveForm(path);
  auto is_separator = [&](QChar c) { return c == u'/' || (drive_form && c == u'\\'); };
  while (!path.isEmpty() && is_separator(path.back())) path.chop(1);
  if (path.isEmpty()) return QStringLiteral("/");
  if (drive_form && path.size() == 2 && path[1] == u':') return path + u'\\';
  return path;
}

}  // namespace

QString ChooseFolder(platform::Dialogs& dialogs, const QString& title) {
  filelist::RealFileSystem disk;
  return ChooseFolder(dialogs, title, disk);
}

QString ChooseFolder(platform::Dialogs& dialogs, const QString& title,
                     filelist::FileSystem& file_system) {
  // Every way of not getting a usable folder ends the same way: the empty text, as on cancel.
  const QString chosen = dialogs.BrowseForFolder(title);
  if (chosen.isEmpty() || !filelist::folder_paths::IsAbsolute(chosen)) return QString();
  const QString path = WithoutTrailingSeparator(chosen);
  if (!file_system.FolderExists(path)) return QString();
  return path;
}

}  // namespace registry
