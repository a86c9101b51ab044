#include "run/registry_paths.h"

#include <QStringList>

namespace registry {

namespace {

// Removes leading and trailing U+0020 only; tabs and other white space are part of a name.
QString TrimSpaces(const QString& text) {
  qsizetype begin = 0;
  qsizetype end = text.size();
  while (begin < end && text.at(begin) == QLatin1Char(' ')) ++begin;
  while (end > begin && text.at(end - 1) == QLatin1Char(' ')) --end;
  return text.mid(begin, end - begin);
}

wharfline::Result<QString> PosixRelativeFolder(const QString& path) {
  const QString below_root = path.mid(1);
  if (below_root.isEmpty()) {
    return wharfline::Status::OutOfRange("RelativeFolderOf", "the row names the root itself");
  }
  const qsizetype last_slash = below_root.lastIndexOf(QLatin1Char('/'));
  if (last_slash < 0) return QString();  // a file directly in the root
  // Repeated separators name no folder of their own, as the file system sees it.
  return below_root.left(last_slash)
      .split(QLatin1Char('/'), Qt::SkipEmptyParts)
      .join(QLatin1Char('\\'));
}

}  // namespace

wharfline::Result<QString> FolderOfPath(const QString& path) {
  if (path.isEmpty()) return wharfline::Status::OutOfRange("FolderOfPath", "empty path");
  return path.left(path.lastIndexOf(QLatin1Char('\\')) + 1);
}

wharfline::Result<QString> RelativeFolderOf(const QString& rowText) {
  const QString row = TrimSpaces(rowText);
  if (row.startsWith(QLatin1Char('/'))) return PosixRelativeFolder(row);

  const QStringList pieces = row.split(QLatin1Char(':'));
  if (pieces.size() < 2) {
    return wharfline::Status::OutOfRange("RelativeFolderOf", "the row has no drive");
  }
  // Drop the "\" after the drive's colon.
  const QString below_drive = TrimSpaces(pieces.at(1)).mid(1);
  wharfline::Result<QString> folder = FolderOfPath(below_drive);
  if (!folder) return folder.error();
  QString relative = std::move(*folder);
  // A file directly in the drive's root: its relative folder is empty, and its message goes to
  // the store's top folder.
  if (relative.isEmpty()) return QString();
  relative.chop(1);
  return relative;
}

}  // namespace registry
