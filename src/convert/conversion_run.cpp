#include "convert/conversion_run.h"

#include "convert/message_import.h"
#include "convert/row_source.h"
#include "convert/store_folder_tree.h"
#include "platform/platform.h"

namespace convert {

namespace {

const QString kFileStem = QStringLiteral("PellimorEMLMessages");
const QString kFileExtension = QStringLiteral(".pst");
const QString kDisplayNameStem = QStringLiteral("Pellimor Software");
const QString kCreated = QStringLiteral(" : Created - ");
const QString kConverting = QStringLiteral("Details : Converting - (");
const QString kOf = QStringLiteral(" of ");
const QString kFilesClose = QStringLiteral(") file(s)");
const QString kImportingFrom = QStringLiteral("Importing Messages... from (");
const QString kOutlookError =
    QStringLiteral("Outlook Session Creation Error !\r\n"
                   "Check if Outlook is installed and configured.\r\n"
                   "For more details visit this link : "
                   "https://support.microsoft.com/office/"
                   "add-an-email-account-to-outlook-6e27792a-9267-4aa4-8bb6-c84ef146101b");
const QString kCauseLine = QStringLiteral("\r\nCause: ");
constexpr int kFailuresListed = 20;

}  // namespace

QString RunTimestamp(const QDateTime& when) {
  return when.toString(QStringLiteral("d.M.yy H.m.ss"));
}

RunOutcome ConversionRun::Run(RunState& state, RowSource& rows, ProgressView& view) {
  RunOutcome outcome;
  view.SetBarRanges(0.0f, 100.0f);
  events_.ProcessPendingEvents();

  StoreFolderTree tree(components_, events_);
  std::shared_ptr<store::Store> newStore;
  QString storeEntryID;
  try {
    // Stop-at-first-failure: session, store file and the folder list.
    state.rdoSession = components_.CreateSession();
    store::Checked(state.rdoSession, "session")->Logon();
    outcome.pst_path = state.outputFolder + kFileStem + RunTimestamp(clock_.Now()) + kFileExtension;
    state.storeDisplayName = kDisplayNameStem + kCreated + RunTimestamp(clock_.Now());
    newStore = store::Checked(state.rdoSession->Stores(), "stores")
                   ->AddPSTStore(outcome.pst_path, store::kStoreFormatUnicode,
                                 state.storeDisplayName);
    storeEntryID = store::Checked(newStore, "store")->EntryID();
    tree.PrepareFolderList(rows, state.folderList);
  } catch (const store::StoreError& error) {
    outcome.outlook_error = true;
    outcome.cause = error.ToString();
    return outcome;
  }

  // From the first folder creation to the end every step is skipped on failure instead.
  tree.CreateFolders(state.folderList, state.rdoSession, storeEntryID, state.storeDisplayName,
                     outcome.skipped);

  outcome.reached_files = true;
  // The files as listed now are worth reading ahead; the run below still goes by the rows.
  std::vector<QString> upcoming = rows.PeekRows();
  for (QString& path : upcoming) path = path.trimmed();
  components_.ExpectImports(upcoming);
  upcoming = {};

  const std::int32_t n = rows.Rows();
  QString relative_folder;
  for (std::int32_t i = 0; i < n; ++i) {
    // Reading the row makes it the grid's current cell, so the highlight follows the run.
    (void)rows.RowText(i);
    events_.ProcessPendingEvents();
    relative_folder = ImportMessage(rows, i, state, components_, relative_folder,
                                    outcome.skipped, outcome.failures, outcome.notes);
    view.SetConvertEnabled(false);
    // Rows is read afresh for the texts: the list can change while events are processed.
    const std::int32_t rows_now = std::max(1, rows.Rows());
    view.SetFrameCaption(kConverting + QString::number(i + 1) + kOf +
                         QString::number(rows_now) + kFilesClose);
    view.SetStatusLine(kImportingFrom + relative_folder + u')');
    view.SetOverallProgress(static_cast<float>((i + 1) / static_cast<double>(rows_now) * 100.0));
  }
  outcome.files = n;
  components_.ExpectImports({});
  events_.ProcessPendingEvents();

  SkipOnFailure(outcome.skipped, QStringLiteral("detach the store"),
                [&] { store::Checked(newStore, "store")->Remove(); });
  newStore.reset();
  events_.ProcessPendingEvents();
  SkipOnFailure(outcome.skipped, QStringLiteral("log off"),
                [&] { store::Checked(state.rdoSession, "session")->Logoff(); });
  state.rdoSession.reset();
  return outcome;
}

QString OutlookErrorText(const QString& cause) { return kOutlookError + kCauseLine + cause; }

QString FailureSummaryText(const RunOutcome& outcome) {
  const auto failed = static_cast<std::int32_t>(outcome.failures.size());
  QString text = QStringLiteral("Imported %1 of %2 files.").arg(outcome.files - failed).arg(outcome.files);
  const auto list = [&text](const std::vector<FileFailure>& files, const QString& one,
                            const QString& many) {
    if (files.empty()) return;
    const auto n = static_cast<std::int32_t>(files.size());
    text += QStringLiteral("\r\n") + (n == 1 ? one : many);
    for (int i = 0; i < n && i < kFailuresListed; ++i) {
      text += QStringLiteral("\r\n") + files[i].path + QStringLiteral(" - ") + files[i].reason;
    }
    if (n > kFailuresListed) text += QStringLiteral("\r\nand %1 more").arg(n - kFailuresListed);
  };
  list(outcome.failures, QStringLiteral("This file could not be imported:"),
       QStringLiteral("These files could not be imported:"));
  list(outcome.notes, QStringLiteral("This file was imported, but:"),
       QStringLiteral("These files were imported, but:"));
  return text;
}

}  // namespace convert
