#include "cli/convert_command.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <QDir>
#include <QFileInfo>
#include <QStringList>
#include <chrono>
#include <string>
#include <vector>

#include "cli/terminal_progress.h"
#include "convert/conversion_run.h"
#include "convert/row_source.h"
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

QString Native(const std::string& path) { return QFile::decodeName(QByteArray::fromStdString(path)); }
std::string Printable(const QString& text) { return text.toUtf8().toStdString(); }

void Say(std::FILE* err, const QString& text) {
  std::fprintf(err, "%s: %s\n", kProgram, Printable(text).c_str());
}

}  // namespace

int RunConvertCommand(int argc, char** argv, store::Components& components, std::FILE* out,
                      std::FILE* err) {
  CLI::App app{"Converts .eml and .emlx message files into a new Outlook .pst file.", kProgram};
  std::vector<std::string> sources;
  std::string output;
  bool quiet = false;
  app.add_option("SOURCE", sources,
                 "message files (taken whatever their extension) and folders (searched, with "
                 "every folder below them, for .eml and .emlx files)")
      ->required();
  app.add_option("-o,--output", output, "folder to write the new .pst file into")->required();
  app.add_flag("-q,--quiet", quiet, "show no progress");
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

  const QFileInfo output_info(Native(output));
  if (!output_info.exists()) {
    Say(err, QStringLiteral("the output folder %1 does not exist").arg(Native(output)));
    return kExitUsage;
  }
  if (!output_info.isDir()) {
    Say(err, QStringLiteral("the output %1 is not a folder").arg(Native(output)));
    return kExitUsage;
  }
  if (::access(QFile::encodeName(output_info.absoluteFilePath()).constData(), W_OK | X_OK) != 0) {
    Say(err, QStringLiteral("the output folder %1 is not writable").arg(Native(output)));
    return kExitUsage;
  }

  // The file list, as the window's add commands would build it.
  QStringList files;
  filelist::RealFileSystem file_system;
  for (const std::string& source : sources) {
    const QFileInfo info(Native(source));
    if (!info.exists()) {
      Say(err, QStringLiteral("%1: no such file or folder").arg(Native(source)));
      return kExitUsage;
    }
    if (!info.isDir()) {
      files << QDir::toNativeSeparators(info.absoluteFilePath());
      continue;
    }
    const QString folder = QDir::toNativeSeparators(info.absoluteFilePath());
    const filelist::WalkResult walk = filelist::WalkForFiles(
        file_system, folder.endsWith(QDir::separator()) ? folder : folder + QDir::separator());
    for (const filelist::KeyedList::Entry& entry : *walk.files) {
      if (filelist::IsMessageFileName(entry.Text())) files << entry.Text();
    }
    if (!walk.status.ok()) {
      Say(err, QStringLiteral("warning: the search of %1 stopped early: %2")
                   .arg(folder, QString::fromStdString(walk.status.message())));
    }
  }
  if (files.isEmpty()) {
    Say(err, QStringLiteral("no message files found"));
    return kExitUsage;
  }

  convert::RunState state;
  state.outputFolder = QDir::toNativeSeparators(output_info.absoluteFilePath());
  if (!state.outputFolder.endsWith(QDir::separator())) state.outputFolder += QDir::separator();

  const TerminalProgress::Mode mode = quiet                  ? TerminalProgress::Mode::kQuiet
                                      : ::isatty(fileno(err)) ? TerminalProgress::Mode::kBar
                                                              : TerminalProgress::Mode::kLines;
  TerminalProgress progress(err, mode, static_cast<std::int32_t>(files.size()));
  ListRows rows(files);
  NoEvents events;
  SystemClock clock;
  convert::ConversionRun run(components, events, clock);
  const auto started = std::chrono::steady_clock::now();
  const convert::RunOutcome outcome = run.Run(state, rows, progress);
  progress.Finish();
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  if (outcome.outlook_error) {
    Say(err, QStringLiteral("no store could be made in %1: %2")
                 .arg(state.outputFolder, outcome.cause));
    return kExitUsage;
  }
  const auto failed = static_cast<std::int32_t>(outcome.failures.size());
  std::fprintf(out, "Imported %d of %d files in %.1f s.\n", outcome.files - failed, outcome.files,
               elapsed);
  if (failed > 0) {
    std::fprintf(out, "Not imported (%d):\n", failed);
    for (const convert::FileFailure& failure : outcome.failures) {
      std::fprintf(out, "  %s: %s\n", Printable(failure.path).c_str(),
                   Printable(failure.reason).c_str());
    }
  }
  if (!outcome.notes.empty()) {
    std::fprintf(out, "Imported with notes (%zu):\n", outcome.notes.size());
    for (const convert::FileFailure& note : outcome.notes) {
      std::fprintf(out, "  %s: %s\n", Printable(note.path).c_str(), Printable(note.reason).c_str());
    }
  }
  std::fprintf(out, "%s\n", Printable(outcome.pst_path).c_str());
  std::fflush(out);
  return failed > 0 ? kExitSomeFailed : kExitAllImported;
}

}  // namespace cli
