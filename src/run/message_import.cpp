#include "run/message_import.h"

#include "run/registry_paths.h"
#include "run/row_source.h"

namespace convert {

wharfline::Result<store::FolderRef> FolderAtPath(store::Store& store, const QString& path) {
  store::FolderRef folder = store.TopFolder();
  if (path.isEmpty()) return folder;
  for (const QString& name : path.split(u'\\')) {
    wharfline::Result<store::FolderRef> child = store.Child(folder, name);
    if (!child) {
      return wharfline::Status::NotFound((QStringLiteral("\\") + path).toStdString(),
                                         "no folder named " + name.toStdString());
    }
    folder = *child;
  }
  return folder;
}

QString ImportMessage(RowSource& rows, std::int32_t row, RunState& state, MessageFiles& files,
                      const QString& previous_folder, std::vector<FileFailure>& failures,
                      std::vector<FileFailure>& notes) {
  QString relative_folder = previous_folder;
  // The row's text exactly as listed: blanks at either end are part of a name where the
  // system allows them.
  wharfline::Result<QString> path = rows.RowText(row);
  if (!path) {
    failures.push_back(FileFailure{QStringLiteral("row %1").arg(row + 1), FailureText(path.error())});
    return relative_folder;
  }
  if (wharfline::Result<QString> folder = registry::RelativeFolderOf(*path)) {
    relative_folder = *folder;
  }
  const auto fail = [&](const wharfline::Status& why) {
    failures.push_back(FileFailure{*path, FailureText(why)});
    return relative_folder;
  };
  if (!state.newStore) return fail(wharfline::Status::InvalidArgument("import", "no store"));
  store::Store& store = *state.newStore;

  const wharfline::Result<store::FolderRef> folder = FolderAtPath(store, relative_folder);
  if (!folder) return fail(folder.error());
  wharfline::Result<ReadMessage> read = files.Read(*path);
  if (!read) return fail(read.error());
  if (wharfline::Status added = store.AddMessage(*folder, std::move(read->content)); !added.ok()) {
    return fail(added);
  }
  for (const std::string& note : read->notes) {
    notes.push_back(FileFailure{*path, QString::fromStdString(note)});
  }
  return relative_folder;
}

}  // namespace convert
