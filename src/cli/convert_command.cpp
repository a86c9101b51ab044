#include "cli/convert_command.h"

#include <signal.h>
#include <unistd.h>

#include <csignal>

#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <QDate>
#include <QDateTime>
#include <QRegularExpression>
#include <QStringList>
#include <chrono>
#include <filesystem>
#include <set>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "cli/terminal_progress.h"
#include "run/conversion_run.h"
#include "run/store_verify.h"
#include "run/run_report.h"
#include "base/native_path.h"
#include "run/row_source.h"
#include "filelist/KeyedList.h"
#include "filelist/add_folder_command.h"
#include "filelist/file_system.h"
#include "platform/identity.h"
#include "platform/platform.h"
#include "pst/file.h"

namespace cli {

namespace {

const char kProgram[] = "wharfline-convert";

class ListRows final : public convert::RowSource {
 public:
  explicit ListRows(std::shared_ptr<const convert::PathList> rows) : rows_(std::move(rows)) {}
  std::int32_t Rows() override { return static_cast<std::int32_t>(rows_->size()); }
  wharfline::Result<QString> RowText(std::int32_t row) override {
    if (row < 0 || static_cast<std::size_t>(row) >= rows_->size()) {
      return wharfline::Status::OutOfRange("no such row");
    }
    return rows_->At(static_cast<std::size_t>(row));
  }
  // The list never changes during the run: the look-ahead shares it.
  std::shared_ptr<const convert::PathList> PeekRows() override { return rows_; }

 private:
  std::shared_ptr<const convert::PathList> rows_;
};

QStringList TextsOf(const convert::PathList& list) {
  QStringList texts;
  texts.reserve(static_cast<qsizetype>(list.size()));
  for (std::size_t i = 0; i < list.size(); ++i) texts << list.At(i);
  return texts;
}

// Nothing else runs beside the command line's run, so there is nothing to let through.
class NoEvents final : public platform::EventPump {
 public:
  void ProcessPendingEvents() override {}
};

class SystemClock final : public platform::Clock {
 public:
  QDateTime Now() override { return QDateTime::currentDateTime(); }
};

QString Native(const std::string& path) { return wharfline::PathFromNative(path); }
// Text as the terminal takes it; a path's bytes come out as they were given.
std::string Printable(const QString& text) { return wharfline::NativeFromPath(text); }

// The path made absolute, without "." and ".." and without a separator at the end (but for
// the root), as bytes.
std::string AbsoluteNative(const std::string& path) {
  std::error_code ec;
  std::filesystem::path absolute = std::filesystem::absolute(path, ec);
  if (ec) absolute = path;
  std::string text = absolute.lexically_normal().native();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

void Say(std::FILE* err, const QString& text) {
  std::fprintf(err, "%s: %s\n", kProgram, Printable(text).c_str());
}

// A day given as YYYY-MM-DD, and nothing else (Qt takes the form strictly: no blanks, no
// short fields); an impossible day (2023-02-29) is no day.
std::optional<QDate> DayOf(const std::string& text) {
  const QDate day =
      QDate::fromString(QString::fromStdString(text), QStringLiteral("yyyy-MM-dd"));
  if (!day.isValid()) return std::nullopt;
  return day;
}

// The first instant of a day in local time, as the store counts time.
mail::FileTime StartOf(const QDate& day) {
  constexpr std::int64_t kUnixEpochSeconds = 11644473600;  // 1601-01-01 to 1970-01-01
  const std::int64_t seconds = day.startOfDay().toSecsSinceEpoch();
  return mail::FileTime{(seconds + kUnixEpochSeconds) * 10'000'000};
}

// While it lives, SIGINT and SIGTERM are caught (once: a second one has its usual effect)
// and remembered for the run to see between files.
class InterruptWatch {
 public:
  InterruptWatch() {
    caught_ = 0;
    struct sigaction action {};
    action.sa_handler = [](int signal_number) { caught_ = signal_number; };
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND | SA_RESTART;
    sigaction(SIGINT, &action, &old_int_);
    sigaction(SIGTERM, &action, &old_term_);
  }
  ~InterruptWatch() {
    sigaction(SIGINT, &old_int_, nullptr);
    sigaction(SIGTERM, &old_term_, nullptr);
  }
  InterruptWatch(const InterruptWatch&) = delete;
  InterruptWatch& operator=(const InterruptWatch&) = delete;

  // The signal caught, or 0.
  static int Caught() { return caught_; }

 private:
  static inline volatile std::sig_atomic_t caught_ = 0;
  struct sigaction old_int_ {};
  struct sigaction old_term_ {};
};

// The message files the sources name, as the window's add commands would list them; folders
// that could not be read are named on `err` and added to `unread_folders`. Returns 0, or the
// exit status of a usage error.
int ListFiles(const std::vector<std::string>& sources, std::FILE* err, convert::PathList* out,
              std::vector<std::string>* unread_out, QStringList* source_folders = nullptr) {
  convert::PathList& files = *out;
  std::vector<std::string>& unread_folders = *unread_out;
  filelist::RealFileSystem file_system;
  for (const std::string& source : sources) {
    const std::string native = AbsoluteNative(source);
    struct stat source_stat {};
    if (::stat(native.c_str(), &source_stat) != 0) {
      Say(err, QStringLiteral("%1: no such file or folder").arg(Native(source)));
      return kExitUsage;
    }
    if (!S_ISDIR(source_stat.st_mode)) {
      // Whatever it is: the run reads regular files only and names anything else.
      files.Append(wharfline::PathFromNative(native));
      if (source_folders) *source_folders << Native(pst::FolderOf(native));
      continue;
    }
    if (source_folders) *source_folders << Native(native);
    const QString folder = wharfline::PathFromNative(native + (native.ends_with('/') ? "" : "/"));
    // The files go straight into the compact list: a million of them are not held twice.
    const filelist::WalkResult walk = filelist::WalkForFiles(
        file_system, folder, [&files](const QString& in, const QString& name) {
          if (filelist::IsMessageFileName(name)) files.Append(in, name);
          return wharfline::Status::OK();
        });
    for (const wharfline::Status& skipped : walk.skipped) {
      Say(err, QStringLiteral("warning: a folder could not be read and was passed over: %1")
                   .arg(QString::fromStdString(skipped.message())));
      unread_folders.push_back(skipped.message());
    }
    if (!walk.status.ok()) {
      Say(err, QStringLiteral("warning: the search of %1 stopped early: %2")
                   .arg(folder, QString::fromStdString(walk.status.message())));
      unread_folders.push_back(walk.status.message());
    }
  }
  if (files.empty()) {
    Say(err, QStringLiteral("no message files found"));
    return kExitUsage;
  }
  return 0;
}

// Prints what verifying the store found; true when it holds every file whole.
bool PrintVerify(std::FILE* out, const convert::VerifyOutcome& verify) {
  std::fprintf(out, "%s\n", Printable(convert::VerifyHeadLine(verify)).c_str());
  for (const QString& line : verify.differences) std::fprintf(out, "  %s\n", Printable(line).c_str());
  return verify.ok();
}

// The smallest --max-size: an empty store takes about a quarter of it.
constexpr std::uint64_t kSmallestMaxSize = std::uint64_t{1} << 20;

bool EndsWithPst(const std::string& name) {
  return name.size() > 4 && QString::fromStdString(name.substr(name.size() - 4))
                                    .compare(QStringLiteral(".pst"), Qt::CaseInsensitive) == 0;
}

// "20G", "500M", "1.5T", "800000": a size in bytes, units of 1024 (a B after the unit is
// allowed); empty when the text is none.
std::optional<std::uint64_t> SizeOf(const std::string& text) {
  static const QRegularExpression kSize(QStringLiteral("^(\\d+(?:\\.\\d+)?)\\s*([KMGT]?)B?$"),
                                        QRegularExpression::CaseInsensitiveOption);
  const QRegularExpressionMatch m = kSize.match(QString::fromStdString(text).trimmed());
  if (!m.hasMatch()) return std::nullopt;
  double value = m.captured(1).toDouble();
  const QString unit = m.captured(2).toUpper();
  for (const char* u : {"K", "M", "G", "T"}) {
    if (unit.isEmpty()) break;
    value *= 1024.0;
    if (unit == QLatin1String(u)) break;
  }
  if (!(value >= 1.0) || value > 9.0e18) return std::nullopt;
  return static_cast<std::uint64_t>(value);
}

// wharfline-convert verify STORE... SOURCE...: checks a store made earlier against its files.
int RunVerifyCommand(int argc, char** argv, std::FILE* out, std::FILE* err) {
  CLI::App app{"Checks that a .pst file holds the given message files, each whole and in its "
               "folder.", std::string(kProgram) + " verify"};
  std::vector<std::string> arguments;
  app.add_option("STORE... SOURCE", arguments,
                 "the .pst file to check (every file of a run that went on in new stores, "
                 "each named by its .pst ending), then the message files and folders it was "
                 "made from")
      ->required();
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::fputs(app.help().c_str(), out);
    return kExitAllImported;
  } catch (const CLI::ParseError& error) {
    Say(err, QString::fromStdString(error.what()));
    std::fprintf(err, "Run with --help for more information.\n");
    return kExitUsage;
  }
  // The leading arguments that name .pst files are the stores.
  std::vector<std::string> stores;
  std::size_t first_source = 0;
  while (first_source < arguments.size() && EndsWithPst(arguments[first_source])) {
    stores.push_back(AbsoluteNative(arguments[first_source++]));
  }
  const std::vector<std::string> sources(arguments.begin() + static_cast<std::ptrdiff_t>(first_source),
                                         arguments.end());
  if (stores.empty() || sources.empty()) {
    Say(err, QStringLiteral("verify needs a .pst file and the message files it was made from"));
    std::fprintf(err, "Run with --help for more information.\n");
    return kExitUsage;
  }
  convert::PathList listed;
  std::vector<std::string> unread_folders;
  if (const int status = ListFiles(sources, err, &listed, &unread_folders); status != 0) return status;
  const QStringList files = TextsOf(listed);
  const convert::VerifyOutcome verify =
      convert::VerifyStoresAgainstFiles(stores, files, convert::ReadMessageFile);
  const bool ok = PrintVerify(out, verify);
  std::fflush(out);
  return ok && unread_folders.empty() ? kExitAllImported : kExitSomeFailed;
}

}  // namespace

int RunConvertCommand(int argc, char** argv, convert::Engine engine, std::FILE* out,
                      std::FILE* err) {
  if (argc > 1 && std::string(argv[1]) == "verify") return RunVerifyCommand(argc - 1, argv + 1, out, err);
  CLI::App app{"Converts .eml and .emlx message files into a new Outlook .pst file.", kProgram};
  std::vector<std::string> sources;
  std::string output;
  bool quiet = false;
  std::string report;
  convert::RunOptions run_options;
  std::string since_text;
  std::string until_text;
  app.add_option("SOURCE", sources,
                 "message files (taken whatever their extension) and folders (searched, with "
                 "every folder below them, for .eml and .emlx files)")
      ->required();
  app.add_option("-o,--output", output, "folder to write the new .pst file into")->required();
  app.add_flag("-q,--quiet", quiet, "show no progress");
  bool verify = false;
  app.add_flag("--verify", verify,
               "read the finished store back and check every message against its file");
  app.add_option("--report", report,
                 "write the report of every file not imported or imported with a note to FILE "
                 "(\"-\": standard output; CSV when FILE ends in .csv) instead of beside the "
                 "store; FILE must not exist")
      ->type_name("FILE");
  std::string max_size_text;
  CLI::Option* max_size =
      app.add_option("--max-size", max_size_text,
                     "go on in a new .pst file, named with \" (2)\", \" (3)\", ..., when the "
                     "next message would take the file past SIZE (K, M, G or T; at least 1M; "
                     "default 50G, Outlook's limit)")
          ->type_name("SIZE");
  app.add_flag("--keep-state", run_options.keep_state,
               "keep each message unread, answered, forwarded or flagged as its mail program "
               "recorded (otherwise every message is stored as read)");
  app.add_flag("--skip-duplicates", run_options.skip_duplicates,
               "store a message found in several files once: a file whose Message-ID, date, "
               "sender and body match a message already stored is listed, not stored");
  CLI::Option* since = app.add_option("--since", since_text,
                                      "store only messages sent on or after DATE (YYYY-MM-DD, "
                                      "local time); the others are counted as skipped")
                           ->type_name("DATE");
  CLI::Option* until = app.add_option("--until", until_text,
                                      "store only messages sent on or before DATE (YYYY-MM-DD, "
                                      "local time); the others are counted as skipped")
                           ->type_name("DATE");
  app.set_version_flag("--version", identity::kVersion);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::fputs(app.help().c_str(), out);
    return kExitAllImported;
  } catch (const CLI::CallForVersion&) {
    std::fprintf(out, "%s\n", identity::kVersion);
    return kExitAllImported;
  } catch (const CLI::ParseError& error) {
    Say(err, QString::fromStdString(error.what()));
    std::fprintf(err, "Run with --help for more information.\n");
    return kExitUsage;
  }

  const auto usage = [err](const QString& text) {
    Say(err, text);
    std::fprintf(err, "Run with --help for more information.\n");
    return kExitUsage;
  };
  std::optional<QDate> since_day;
  std::optional<QDate> until_day;
  for (auto [option, text, day] :
       {std::tuple(since, &since_text, &since_day), std::tuple(until, &until_text, &until_day)}) {
    if (option->count() == 0) continue;
    *day = DayOf(*text);
    if (!*day) {
      return usage(QStringLiteral("%1: \"%2\" is not a date of the form YYYY-MM-DD")
                       .arg(QString::fromStdString(option->get_name()), Native(*text)));
    }
  }
  if (since_day && until_day && *since_day > *until_day) {
    return usage(QStringLiteral("--since %1 is after --until %2")
                     .arg(QString::fromStdString(since_text), QString::fromStdString(until_text)));
  }
  if (max_size->count() > 0) {
    const std::optional<std::uint64_t> size = SizeOf(max_size_text);
    if (!size) {
      return usage(QStringLiteral("--max-size: \"%1\" is not a size such as 20G or 500M")
                       .arg(Native(max_size_text)));
    }
    if (*size < kSmallestMaxSize) {
      return usage(QStringLiteral("--max-size: %1 is too small; a store needs at least 1 MB")
                       .arg(Native(max_size_text)));
    }
    run_options.max_store_size = *size;
  }
  if (since_day) run_options.sent_from = StartOf(*since_day);
  if (until_day) run_options.sent_before = StartOf(until_day->addDays(1));

  // Names are taken as the bytes given: a file name need not be UTF-8.
  const std::string output_native = AbsoluteNative(output);
  struct stat output_stat {};
  if (::stat(output_native.c_str(), &output_stat) != 0) {
    Say(err, QStringLiteral("the output folder %1 does not exist").arg(Native(output)));
    return kExitUsage;
  }
  if (!S_ISDIR(output_stat.st_mode)) {
    Say(err, QStringLiteral("the output %1 is not a folder").arg(Native(output)));
    return kExitUsage;
  }
  if (::access(output_native.c_str(), W_OK | X_OK) != 0) {
    Say(err, QStringLiteral("the output folder %1 is not writable").arg(Native(output)));
    return kExitUsage;
  }

  // The report file is checked now, not after a long run: it must be new, in a folder that
  // can take it.
  const bool report_to_out = report == "-";
  if (!report.empty() && !report_to_out) {
    const std::string report_native = AbsoluteNative(report);
    struct stat report_stat {};
    if (::lstat(report_native.c_str(), &report_stat) == 0) {
      Say(err, QStringLiteral("the report file %1 already exists").arg(Native(report)));
      return kExitUsage;
    }
    const std::string report_folder = pst::FolderOf(report_native);
    struct stat folder_stat {};
    if (::stat(report_folder.c_str(), &folder_stat) != 0 || !S_ISDIR(folder_stat.st_mode) ||
        ::access(report_folder.c_str(), W_OK | X_OK) != 0) {
      Say(err, QStringLiteral("the report file %1 cannot be made: its folder is missing or not "
                              "writable")
                   .arg(Native(report)));
      return kExitUsage;
    }
  }

  // The file list, as the window's add commands would build it.
  auto listed = std::make_shared<convert::PathList>();
  convert::ReportContext report_context;
  std::vector<std::string> unread_folders;  // "folder: reason"
  if (const int status = ListFiles(sources, err, listed.get(), &unread_folders,
                                   &report_context.source_folders);
      status != 0) {
    return status;
  }
  const std::shared_ptr<const convert::PathList> files = std::move(listed);

  convert::RunState state;
  state.outputFolder = wharfline::PathFromNative(output_native);
  if (!state.outputFolder.endsWith(u'/')) state.outputFolder += u'/';

  const TerminalProgress::Mode mode = quiet                  ? TerminalProgress::Mode::kQuiet
                                      : ::isatty(fileno(err)) ? TerminalProgress::Mode::kBar
                                                              : TerminalProgress::Mode::kLines;
  TerminalProgress progress(err, mode, static_cast<std::int32_t>(files->size()));
  ListRows rows(files);
  NoEvents events;
  SystemClock clock;
  // With --verify, what each file gave as it went to the store: the store is read back
  // against it, without reading and importing every file again.
  std::optional<convert::RecordedExpectations> recorded;
  if (verify) {
    recorded.emplace(TextsOf(*files));
    run_options.on_store = [&recorded](std::int32_t row, const mail::MessageContent& m) {
      recorded->Record(row, m);
    };
  }
  convert::ConversionRun run(engine, events, clock);
  run.SetOptions(run_options);
  const auto started = std::chrono::steady_clock::now();
  convert::RunOutcome outcome;
  int signal_number = 0;
  {
    // Ctrl-C or a polite kill ends the run after the message in hand, with the final commit;
    // a second one ends the process at once (the store then holds its last commit).
    const InterruptWatch interrupts;
    run.StopWhen([] { return InterruptWatch::Caught() != 0; });
    outcome = run.Run(state, rows, progress);
    signal_number = InterruptWatch::Caught();
  }
  progress.Finish();
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  if (outcome.outlook_error || !outcome.store_made) {
    Say(err, QStringLiteral("no store could be made in %1: %2")
                 .arg(state.outputFolder,
                      outcome.outlook_error ? outcome.cause : outcome.unexpected));
    return kExitUsage;
  }
  // The report: to standard output, which then carries nothing else; to the file named; or,
  // when some file is not imported or has a note, beside the store.
  report_context.source_folders.removeDuplicates();
  report_context.options << QStringLiteral("Output folder: ") + Native(output_native);
  if (!report.empty()) report_context.options << QStringLiteral("Report: ") + Native(report);
  if (quiet) report_context.options << QStringLiteral("Quiet: yes");
  report_context.options << QStringLiteral("Store size limit: ") +
                                convert::SizeText(run_options.max_store_size);
  QString report_line;
  bool report_failed = false;
  if (report_to_out) {
    const std::string bytes =
        convert::ReportBytes(outcome, report_context, convert::ReportFormat::kText);
    std::fwrite(bytes.data(), 1, bytes.size(), out);
    std::fflush(out);
    report_line = QStringLiteral("The full report is on standard output.");
  } else if (!report.empty()) {
    const QString path = Native(AbsoluteNative(report));
    const convert::ReportFormat format = path.endsWith(QStringLiteral(".csv"), Qt::CaseInsensitive)
                                             ? convert::ReportFormat::kCsv
                                             : convert::ReportFormat::kText;
    const wharfline::Status written = convert::WriteNewFile(
        engine.reports, path, convert::ReportBytes(outcome, report_context, format));
    report_failed = !written.ok();
    report_line =
        written.ok() ? convert::ReportWrittenLine(path) : convert::ReportFailedLine(written);
  } else if (convert::HasFilesToReport(outcome)) {
    const wharfline::Result<QString> written =
        convert::WriteReportBesideStore(engine.reports, outcome, report_context);
    report_failed = !written;
    report_line = written ? convert::ReportWrittenLine(*written)
                          : convert::ReportFailedLine(written.error());
  }

  // With the report on standard output, the summary goes with the messages.
  std::FILE* const summary = report_to_out ? err : out;
  const bool complete = outcome.Complete();
  if (complete) {
    std::fprintf(summary, "Imported %lld of %d files in %.1f s.\n",
                 static_cast<long long>(outcome.stored), outcome.files, elapsed);
  } else {
    for (const QString& line : convert::OutcomeHeadLines(outcome)) {
      std::fprintf(summary, "%s\n", Printable(line).c_str());
    }
  }
  const auto list = [summary](const char* heading,
                              const std::vector<convert::FileFailure>& entries) {
    if (entries.empty()) return;
    std::fprintf(summary, "%s (%zu):\n", heading, entries.size());
    for (const convert::FileFailure& entry : entries) {
      std::fprintf(summary, "  %s: %s\n", Printable(entry.path).c_str(),
                   Printable(entry.reason).c_str());
    }
  };
  list(complete ? "Not imported" : "Not in the store", outcome.failures);
  if (!unread_folders.empty()) {
    std::fprintf(summary, "Folders not searched (%zu):\n", unread_folders.size());
    for (const std::string& folder : unread_folders) {
      std::fprintf(summary, "  %s\n", folder.c_str());
    }
  }
  list("Duplicates, not imported", outcome.duplicates);
  if (outcome.outside_dates > 0) {
    std::fprintf(out, "Skipped, sent outside the dates asked for: %d file%s.\n",
                 outcome.outside_dates, outcome.outside_dates == 1 ? "" : "s");
  }
  list("Imported with notes", outcome.notes);
  if (outcome.stopped && outcome.files < outcome.listed) {
    std::fprintf(summary, "Not reached: %d files, from %s on.\n", outcome.listed - outcome.files,
                 Printable(files->At(static_cast<std::size_t>(outcome.files))).c_str());
  }
  if (!report_line.isEmpty()) std::fprintf(summary, "%s\n", Printable(report_line).c_str());
  bool verified = true;
  if (verify) {
    // What the store should hold: every file but those the outcome names as not in it.
    QStringList stored;
    std::set<QString> missing;
    for (const convert::FileFailure& f : outcome.failures) missing.insert(f.path);
    for (std::size_t i = 0; i < files->size() && i < static_cast<std::size_t>(outcome.files);
         ++i) {
      if (QString file = files->At(i); !missing.count(file)) stored << std::move(file);
    }
    std::vector<std::string> stores;
    for (const QString& path : outcome.store_paths) stores.push_back(wharfline::NativeFromPath(path));
    if (stores.empty()) stores.push_back(wharfline::NativeFromPath(outcome.pst_path));
    verified = PrintVerify(summary, convert::VerifyStores(stores, stored, *recorded));
  }
  const QStringList split = convert::SplitLines(outcome);
  if (split.isEmpty()) {
    std::fprintf(summary, "%s\n", Printable(outcome.pst_path).c_str());
  } else {
    for (const QString& line : split) std::fprintf(summary, "%s\n", Printable(line).c_str());
  }
  std::fflush(summary);
  if (!verified) return kExitSomeFailed;
  if (!outcome.unexpected.isEmpty() || !outcome.store_failure.isEmpty()) return kExitSomeFailed;
  if (outcome.stopped) return kExitInterrupted + signal_number;
  return outcome.failures.empty() && unread_folders.empty() && !report_failed ? kExitAllImported
                                                                             : kExitSomeFailed;
}

}  // namespace cli
