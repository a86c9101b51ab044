#include "cli/convert_command.h"

#include <signal.h>
#include <unistd.h>

#include <csignal>

#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <QDate>
#include <QDateTime>
#include <QStringList>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "cli/terminal_progress.h"
#include "run/conversion_run.h"
#include "base/native_path.h"
#include "run/row_source.h"
#include "filelist/KeyedList.h"
#include "filelist/add_folder_command.h"
#include "filelist/file_system.h"
#include "platform/identity.h"
#include "platform/platform.h"

namespace cli {

namespace {

const char kProgram[] = "wharfline-convert";

class ListRows final : public convert::RowSource {
 public:
  explicit ListRows(const QStringList& rows) : rows_(rows) {}
  std::int32_t Rows() override { return static_cast<std::int32_t>(rows_.size()); }
  wharfline::Result<QString> RowText(std::int32_t row) override {
    if (row < 0 || row >= rows_.size()) return wharfline::Status::OutOfRange("no such row");
    return rows_[row];
  }

 private:
  const QStringList& rows_;
};

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

}  // namespace

int RunConvertCommand(int argc, char** argv, convert::Engine engine, std::FILE* out,
                      std::FILE* err) {
  CLI::App app{"Converts .eml and .emlx message files into a new Outlook .pst file.", kProgram};
  std::vector<std::string> sources;
  std::string output;
  bool quiet = false;
  convert::RunOptions run_options;
  std::string since_text;
  std::string until_text;
  app.add_option("SOURCE", sources,
                 "message files (taken whatever their extension) and folders (searched, with "
                 "every folder below them, for .eml and .emlx files)")
      ->required();
  app.add_option("-o,--output", output, "folder to write the new .pst file into")->required();
  app.add_flag("-q,--quiet", quiet, "show no progress");
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

  // The file list, as the window's add commands would build it.
  QStringList files;
  std::vector<std::string> unread_folders;  // "folder: reason"
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
      files << wharfline::PathFromNative(native);
      continue;
    }
    const QString folder = wharfline::PathFromNative(native + (native.ends_with('/') ? "" : "/"));
    const filelist::WalkResult walk = filelist::WalkForFiles(file_system, folder);
    for (const filelist::KeyedList::Entry& entry : *walk.files) {
      if (filelist::IsMessageFileName(entry.Text())) files << entry.Text();
    }
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
  if (files.isEmpty()) {
    Say(err, QStringLiteral("no message files found"));
    return kExitUsage;
  }

  convert::RunState state;
  state.outputFolder = wharfline::PathFromNative(output_native);
  if (!state.outputFolder.endsWith(u'/')) state.outputFolder += u'/';

  const TerminalProgress::Mode mode = quiet                  ? TerminalProgress::Mode::kQuiet
                                      : ::isatty(fileno(err)) ? TerminalProgress::Mode::kBar
                                                              : TerminalProgress::Mode::kLines;
  TerminalProgress progress(err, mode, static_cast<std::int32_t>(files.size()));
  ListRows rows(files);
  NoEvents events;
  SystemClock clock;
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
  const bool complete = outcome.Complete();
  if (complete) {
    std::fprintf(out, "Imported %lld of %d files in %.1f s.\n",
                 static_cast<long long>(outcome.stored), outcome.files, elapsed);
  } else {
    for (const QString& line : convert::OutcomeHeadLines(outcome)) {
      std::fprintf(out, "%s\n", Printable(line).c_str());
    }
  }
  const auto list = [out](const char* heading, const std::vector<convert::FileFailure>& entries) {
    if (entries.empty()) return;
    std::fprintf(out, "%s (%zu):\n", heading, entries.size());
    for (const convert::FileFailure& entry : entries) {
      std::fprintf(out, "  %s: %s\n", Printable(entry.path).c_str(),
                   Printable(entry.reason).c_str());
    }
  };
  list(complete ? "Not imported" : "Not in the store", outcome.failures);
  if (!unread_folders.empty()) {
    std::fprintf(out, "Folders not searched (%zu):\n", unread_folders.size());
    for (const std::string& folder : unread_folders) std::fprintf(out, "  %s\n", folder.c_str());
  }
  list("Duplicates, not imported", outcome.duplicates);
  if (outcome.outside_dates > 0) {
    std::fprintf(out, "Skipped, sent outside the dates asked for: %d file%s.\n",
                 outcome.outside_dates, outcome.outside_dates == 1 ? "" : "s");
  }
  list("Imported with notes", outcome.notes);
  if (outcome.stopped && outcome.files < outcome.listed) {
    std::fprintf(out, "Not reached: %d files, from %s on.\n", outcome.listed - outcome.files,
                 Printable(files[outcome.files]).c_str());
  }
  std::fprintf(out, "%s\n", Printable(outcome.pst_path).c_str());
  std::fflush(out);
  if (!outcome.unexpected.isEmpty() || !outcome.store_failure.isEmpty()) return kExitSomeFailed;
  if (outcome.stopped) return kExitInterrupted + signal_number;
  return outcome.failures.empty() && unread_folders.empty() ? kExitAllImported : kExitSomeFailed;
}

}  // namespace cli
