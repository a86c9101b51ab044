#include "run/conversion_run.h"

#include <algorithm>
#include <new>

#include "run/message_import.h"
#include "run/row_source.h"
#include "run/split_store.h"
#include "run/store_folder_tree.h"
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
// Names tried for one run's store: the timestamped one, then " (2)" up to this.
constexpr int kNamesTried = 10000;

// Why a file the run had got to is not in the store after all.
struct LostReasons {
  QString saved;    // saved after the store's last commit
  QString unreached;
};
const LostReasons kLostWithStore{QStringLiteral("lost when writing the store failed"),
                                 QStringLiteral("not converted: writing the store had failed")};
const LostReasons kLostWithRun{QStringLiteral("lost when the conversion stopped"),
                               QStringLiteral("not converted: the conversion had stopped")};

}  // namespace

// How far the per-file stage got.
struct ConversionRun::Progress {
  std::vector<std::int32_t> saved;  // rows whose message was saved, in order
  std::int32_t next = 0;            // the first row not yet gone through
};

namespace {

// A row's text from a look at the list, or its number where the list has no such row.
QString TextOfRow(const PathList& texts, std::int32_t row) {
  return row >= 0 && static_cast<std::size_t>(row) < texts.size()
             ? texts.At(static_cast<std::size_t>(row))
             : QStringLiteral("row %1").arg(row + 1);
}

// Names every file the store does not hold although the run got to it or meant to: those
// saved after its last commit (a commit covers the first messages saved), and those never
// reached.
void ListFilesLost(RowSource& rows, const std::vector<std::int32_t>& saved, std::int32_t next,
                   RunOutcome& outcome, const LostReasons& reasons) {
  const std::shared_ptr<const PathList> texts = rows.PeekRows();
  const auto text = [&texts](std::int32_t row) { return TextOfRow(*texts, row); };
  const auto kept = static_cast<std::size_t>(
      std::clamp<std::int64_t>(outcome.stored, 0, static_cast<std::int64_t>(saved.size())));
  for (std::size_t i = kept; i < saved.size(); ++i) {
    outcome.failures.push_back(FileFailure{text(saved[i]), reasons.saved});
  }
  for (std::int32_t row = next; row < outcome.listed; ++row) {
    outcome.failures.push_back(FileFailure{text(row), reasons.unreached});
  }
}

// Why the store's file failed, as the user reads it beside the file's name: the system's reason
// for a failed write ("No space left on device"), the whole message otherwise.
QString StoreFailureText(const wharfline::Status& status) {
  return QString::fromStdString(status.IsIOError() ? status.detail() : status.message());
}

}  // namespace

QString RunTimestamp(const QDateTime& when) {
  return when.toString(QStringLiteral("d.M.yy H.m.ss"));
}

RunOutcome ConversionRun::Run(RunState& state, RowSource& rows, ProgressView& view) {
  RunOutcome outcome;
  view.SetBarRanges(0.0f, 100.0f);
  events_.ProcessPendingEvents();

  StoreFolderTree tree(events_);
  Progress progress;
  // The last run's store, if it stopped early and left it open, goes now.
  state.newStore.reset();
  try {
    // Stop-at-first-failure: the store file and the folder list.
    wharfline::Status ready = AddStore(state, outcome);
    if (ready.ok()) ready = tree.PrepareFolderList(rows, state.folderList);
    if (!ready.ok()) {
      outcome.outlook_error = true;
      outcome.cause = FailureText(ready);
      return outcome;
    }

    // From the first folder creation to the end every step is skipped on failure instead.
    tree.CreateFolders(state.folderList, *state.newStore, state.storeDisplayName);
    ImportFiles(state, rows, view, outcome, progress);
    CloseStore(state, rows, outcome, progress);
  } catch (...) {
    // Nothing below throws for an expected failure: those are values. Whatever is thrown ends
    // the run, and the store is closed at its last commit, so its file stays a valid store of
    // the messages committed so far.
    outcome.unexpected = UnexpectedErrorText(std::current_exception());
    try {
      engine_.files.Expect({});
    } catch (...) {
    }
    if (state.newStore) {
      state.newStore->Abandon();
      outcome.stored = state.newStore->StoredMessages();
      outcome.files = progress.next;
      if (!outcome.reached_files) outcome.listed = rows.Rows();
      ListFilesLost(rows, progress.saved, progress.next, outcome, kLostWithRun);
      if (split_ != nullptr) outcome.store_paths = split_->paths();
      split_ = nullptr;
      state.newStore.reset();
    }
  }
  return outcome;
}

wharfline::Status ConversionRun::AddStore(RunState& state, RunOutcome& outcome) {
  const QString file_stamp = RunTimestamp(clock_.Now());
  const QString name_stamp = RunTimestamp(clock_.Now());
  const QString folder = state.outputFolder;
  store::Stores& stores = engine_.stores;
  // Another run of the same second may have the name: the next free one is taken, and the
  // store is created under it exclusively, so no two runs can end up with one name. A store
  // that goes on in a new file takes the next free name after its own.
  auto next_free = [=, &stores, n = 0](QString* display_name) mutable
      -> wharfline::Result<SplitStore::Part> {
    for (++n;; ++n) {
      const QString suffix = n == 1 ? QString() : QStringLiteral(" (%1)").arg(n);
      QString path = folder + kFileStem + file_stamp + suffix + kFileExtension;
      *display_name = kDisplayNameStem + kCreated + name_stamp + suffix;
      wharfline::Result<std::unique_ptr<store::Store>> created = stores.Create(path, *display_name);
      if (created) return SplitStore::Part{std::move(*created), std::move(path)};
      if (!created.error().IsAlreadyExists() || n >= kNamesTried) return created.error();
    }
  };
  outcome.pst_path = folder + kFileStem + file_stamp + kFileExtension;
  outcome.max_store_size = options_.max_store_size;
  wharfline::Result<SplitStore::Part> first = next_free(&state.storeDisplayName);
  if (!first) return first.error();
  outcome.pst_path = first->path;
  outcome.store_made = true;
  auto split = std::make_unique<SplitStore>(
      std::move(*first), options_.max_store_size, [next_free]() mutable {
        QString display_name;
        return next_free(&display_name);
      });
  split_ = split.get();
  state.newStore = std::move(split);
  return wharfline::Status::OK();
}

void ConversionRun::ImportFiles(RunState& state, RowSource& rows, ProgressView& view,
                                RunOutcome& outcome, Progress& progress) {
  outcome.reached_files = true;
  // The files as listed now are worth reading ahead; the run below still goes by the rows.
  engine_.files.Expect(rows.PeekRows());

  const std::int32_t n = rows.Rows();
  outcome.listed = n;
  QString relative_folder;
  MessageSieve sieve(options_);
  // Each duplicate's row and the row it repeats: both are named once the run is through, so
  // no more than the digests and their rows are kept while it goes.
  std::vector<std::pair<std::int32_t, std::int32_t>> duplicates;
  for (std::int32_t i = 0; i < n; ++i) {
    if (stop_asked_ && stop_asked_()) {
      outcome.stopped = true;
      break;
    }
    // Reading the row makes it the grid's current cell, so the highlight follows the run.
    const wharfline::Result<QString> row_text = rows.RowText(i);
    events_.ProcessPendingEvents();
    FileFate fate = FileFate::kFailed;
    std::int32_t first_row = -1;
    relative_folder = ImportMessage(rows, i, state, engine_.files, sieve, relative_folder,
                                    outcome.failures, outcome.notes, &fate, &first_row);
    progress.next = i + 1;
    if (fate == FileFate::kStored) progress.saved.push_back(i);
    if (fate == FileFate::kStored && split_ != nullptr && split_->TakeOversized()) {
      outcome.notes.push_back(FileFailure{
          row_text ? *row_text : QStringLiteral("row %1").arg(i + 1),
          QStringLiteral("larger than the store size limit of %1 on its own: stored alone in %2")
              .arg(SizeText(options_.max_store_size), split_->paths().back())});
    }
    if (fate == FileFate::kOutsideDates) ++outcome.outside_dates;
    if (fate == FileFate::kDuplicate) duplicates.emplace_back(i, first_row);
    view.SetConvertEnabled(false);
    // Rows is read afresh for the texts: the list can change while events are processed.
    const std::int32_t rows_now = std::max(1, rows.Rows());
    view.SetFrameCaption(kConverting + QString::number(i + 1) + kOf +
                         QString::number(rows_now) + kFilesClose);
    view.SetStatusLine(kImportingFrom + relative_folder + u')');
    view.SetOverallProgress(static_cast<float>((i + 1) / static_cast<double>(rows_now) * 100.0));
    // A store whose file failed takes nothing more: the run ends here.
    if (!state.newStore->Failure().ok()) break;
  }
  outcome.files = progress.next;
  engine_.files.Expect({});
  if (!duplicates.empty()) {
    const std::shared_ptr<const PathList> texts = rows.PeekRows();
    const auto text = [&texts](std::int32_t row) { return TextOfRow(*texts, row); };
    for (const auto& [row, first_row] : duplicates) {
      outcome.duplicates.push_back(
          FileFailure{text(row), QStringLiteral("duplicate of ") + text(first_row)});
    }
  }
}

void ConversionRun::CloseStore(RunState& state, RowSource& rows, RunOutcome& outcome,
                               const Progress& progress) {
  events_.ProcessPendingEvents();
  store::Store& store = *state.newStore;
  // Closing the store is its final commit. Its failure, like any failure of the file, is told:
  // the store is then left at its last commit.
  QString failure;
  if (const wharfline::Status closed = store.Close(); !closed.ok()) {
    failure = FailureText(closed);
    store.Abandon();
  }
  // What the store says it holds is what the user is told, checked against what was saved.
  outcome.stored = store.StoredMessages();
  if (const wharfline::Status broke = store.Failure(); !broke.ok()) failure = StoreFailureText(broke);
  const auto saved = static_cast<std::int64_t>(progress.saved.size());
  if (failure.isEmpty() && outcome.stored != saved) {
    failure = QStringLiteral("the store holds %1 messages where %2 were saved")
                  .arg(outcome.stored)
                  .arg(saved);
  }
  outcome.store_failure = failure;
  if (!failure.isEmpty()) ListFilesLost(rows, progress.saved, progress.next, outcome, kLostWithStore);
  if (split_ != nullptr) outcome.store_paths = split_->paths();
  split_ = nullptr;
  state.newStore.reset();
  events_.ProcessPendingEvents();
}

QString SizeText(std::uint64_t bytes) {
  static const char* const kUnits[] = {"bytes", "KB", "MB", "GB", "TB"};
  double value = static_cast<double>(bytes);
  int unit = 0;
  while (unit < 4 && value >= 1024.0) {
    value /= 1024.0;
    ++unit;
  }
  return QStringLiteral("%1 %2").arg(QString::number(value, 'g', 4), QLatin1String(kUnits[unit]));
}

QStringList SplitLines(const RunOutcome& outcome) {
  if (outcome.store_paths.size() < 2) return {};
  QStringList lines{QStringLiteral("The messages fill %1 stores of at most %2 each:")
                        .arg(outcome.store_paths.size())
                        .arg(SizeText(outcome.max_store_size))};
  lines << outcome.store_paths;
  return lines;
}

QString OutlookErrorText(const QString& cause) { return kOutlookError + kCauseLine + cause; }

QString UnexpectedErrorText(std::exception_ptr error) {
  try {
    std::rethrow_exception(std::move(error));
  } catch (const std::bad_alloc&) {
    return QStringLiteral("7:Out of memory");
  } catch (const std::exception& e) {
    return QString::fromUtf8(e.what());
  } catch (...) {
    return QStringLiteral("an error of unknown kind");
  }
}

QStringList OutcomeHeadLines(const RunOutcome& outcome) {
  if (outcome.Complete()) {
    return {QStringLiteral("Imported %1 of %2 files.").arg(outcome.stored).arg(outcome.files)};
  }
  if (outcome.unexpected.isEmpty() && outcome.store_failure.isEmpty()) {
    return {QStringLiteral("Stopped: %1 of %2 files imported.")
                .arg(outcome.stored)
                .arg(outcome.listed)};
  }
  QStringList lines;
  if (!outcome.unexpected.isEmpty()) {
    lines << QStringLiteral("The conversion stopped on an unexpected error: ") + outcome.unexpected;
  }
  if (!outcome.store_failure.isEmpty()) {
    lines << QStringLiteral("Writing the store failed: ") + outcome.store_failure;
  }
  if (!outcome.store_made) {
    lines << QStringLiteral("No store was made.");
  } else if (outcome.stored < outcome.listed) {
    lines << QStringLiteral("The store is incomplete: it holds %1 of %2 messages.")
                 .arg(outcome.stored)
                 .arg(outcome.listed);
  } else {
    lines << QStringLiteral("The store holds all %1 messages.").arg(outcome.stored);
  }
  return lines;
}

QString FailureSummaryText(const RunOutcome& outcome) {
  const QString kBreak = QStringLiteral("\r\n");
  QString text = OutcomeHeadLines(outcome).join(kBreak);
  const bool complete = outcome.Complete();
  if (!complete && outcome.store_made) {
    text += kBreak + (outcome.store_paths.isEmpty() ? outcome.pst_path : outcome.store_paths.back());
  }
  if (const QStringList split = SplitLines(outcome); !split.isEmpty()) text += kBreak + split.join(kBreak);
  const auto list = [&](const std::vector<FileFailure>& files, const QString& one,
                        const QString& many) {
    if (files.empty()) return;
    const auto n = static_cast<std::int32_t>(files.size());
    text += kBreak + (n == 1 ? one : many);
    for (int i = 0; i < n && i < kFailuresListed; ++i) {
      text += kBreak + files[i].path + QStringLiteral(" - ") + files[i].reason;
    }
    if (n > kFailuresListed) text += kBreak + QStringLiteral("and %1 more").arg(n - kFailuresListed);
  };
  if (complete) {
    list(outcome.failures, QStringLiteral("This file could not be imported:"),
         QStringLiteral("These files could not be imported:"));
  } else {
    list(outcome.failures, QStringLiteral("This file is not in the store:"),
         QStringLiteral("These files are not in the store:"));
  }
  list(outcome.notes, QStringLiteral("This file was imported, but:"),
       QStringLiteral("These files were imported, but:"));
  return text;
}

}  // namespace convert
