#include "run/message_import.h"

#include "run/registry_paths.h"
#include "run/row_source.h"

namespace convert {

namespace {

// The row's text as the import uses it: exactly as listed. Blanks at either end are part of a
// name where the system allows them.
QString PathOf(RowSource& rows, std::int32_t row) {
  wharfline::Result<QString> text = rows.RowText(row);
  if (!text) throw store::StoreError::FromStatus(text.error());
  return *text;
}

}  // namespace

QString ImportMessage(RowSource& rows, std::int32_t row, RunState& state,
                      store::Components& components, const QString& previous_folder,
                      FailureLog& steps, std::vector<FileFailure>& failures,
                      std::vector<FileFailure>& notes) {
  // Each step below runs on its own: a failure is recorded and the next step still runs, with
  // whatever the failed step would have produced left empty.
  QString relative_folder = previous_folder;
  QString failure;  // the first reason this file is not stored
  const auto note = [&](const store::StoreError& error) {
    if (failure.isEmpty()) failure = error.ToString();
  };
  const auto step = [&](const QString& name, auto&& body, bool file_fails) {
    const std::size_t before = steps.entries().size();
    const bool ok = SkipOnFailure(steps, name, body);
    if (!ok && file_fails && steps.entries().size() > before) {
      const SkippedStep& skipped = steps.entries().back();
      note(store::StoreError(skipped.number, skipped.description));
    }
    return ok;
  };

  QString path_for_report;
  step(QStringLiteral("read row %1").arg(row), [&] { path_for_report = PathOf(rows, row); }, false);
  step(QStringLiteral("relative folder of row %1").arg(row), [&] {
    wharfline::Result<QString> folder = registry::RelativeFolderOf(PathOf(rows, row));
    if (!folder) throw store::StoreError::FromStatus(folder.error());
    relative_folder = *folder;
  }, false);

  // A fresh MIME component for every file; it may bring the file into the form the import reads.
  step(QStringLiteral("MIME step 1: ") + path_for_report, [&] {
    if (!state.mimeMessage) state.mimeMessage = components.CreateMimeMessage();
    store::Checked(state.mimeMessage, "MIME message")->MimeFileStep1(PathOf(rows, row));
  }, false);
  step(QStringLiteral("MIME step 2: ") + path_for_report, [&] {
    if (!state.mimeMessage) state.mimeMessage = components.CreateMimeMessage();
    store::Checked(state.mimeMessage, "MIME message")->MimeFileStep2(PathOf(rows, row));
  }, false);
  state.mimeMessage.reset();

  std::shared_ptr<store::Item> item;
  step(QStringLiteral("open folder ") + relative_folder, [&] {
    const QString folder_path =
        QStringLiteral("\\\\") + state.storeDisplayName + u'\\' + relative_folder;
    auto folder = store::Checked(state.rdoSession, "session")->GetFolderFromPath(folder_path);
    item = store::Checked(store::Checked(folder, "folder")->Items(), "items")
               ->Add(store::kItemTypeMail);
  }, true);

  QStringList import_notes;
  const bool imported = step(QStringLiteral("import ") + path_for_report, [&] {
    store::Checked(item, "item")->Import(PathOf(rows, row), store::kImportRfc822);
    import_notes = item->ImportNotes();
  }, true);

  if (imported) {
    step(QStringLiteral("message flags ") + path_for_report, [&] {
      auto utils = components.CreateMapiUtils();
      store::Checked(utils, "MAPI utilities")
          ->HrSetOneProp(store::Checked(item, "item")->MAPIOBJECT(), kPrMessageFlags,
                         store::PropValue(kMsgFlagRead), true);
    }, false);
    step(QStringLiteral("save ") + path_for_report, [&] { store::Checked(item, "item")->Save(); },
         true);
  }
  item.reset();

  // Only the steps that put the message into the store decide whether the file made it.
  if (failure.isEmpty()) {
    for (const QString& note : import_notes) notes.push_back(FileFailure{path_for_report, note});
  }
  if (!failure.isEmpty()) {
    failures.push_back(FileFailure{
        path_for_report.isEmpty() ? QStringLiteral("row %1").arg(row + 1) : path_for_report,
        failure});
  }
  return relative_folder;
}

}  // namespace convert
