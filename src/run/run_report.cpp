#include "run/run_report.h"

#include <QSet>
#include <algorithm>
#include <span>

#include "base/native_path.h"
#include "platform/identity.h"

namespace convert {

namespace {

const QString kNotImported = QStringLiteral("not imported");
const QString kWithNote = QStringLiteral("imported with a note");
const QString kReportExtension = QStringLiteral(".txt");
// Names tried beside one store, as for the store itself.
constexpr int kNamesTried = 10000;

// Text as the file takes it: UTF-8, and a path's bytes as they were.
std::string Bytes(const QString& text) { return wharfline::NativeFromPath(text); }

// One field of a CSV row, quoted when it holds a comma, a quote or a line break.
std::string CsvField(const QString& text) {
  std::string bytes = Bytes(text);
  if (bytes.find_first_of(",\"\r\n") == std::string::npos) return bytes;
  std::string quoted = "\"";
  for (char c : bytes) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + '"';
}

// Every file to list, each with its status, failures first.
template <typename Row>
void ForEachFile(const RunOutcome& outcome, Row row) {
  for (const FileFailure& f : outcome.failures) row(kNotImported, f);
  for (const FileFailure& f : outcome.notes) row(kWithNote, f);
}

std::string TextReport(const RunOutcome& outcome, const ReportContext& context) {
  QStringList head;
  head << QStringLiteral("%1 %2: conversion report")
              .arg(QString::fromUtf8(identity::kProductName),
                   QString::fromUtf8(identity::kVersion));
  if (outcome.store_paths.size() > 1) {
    head << QStringLiteral("Stores (at most %1 each):").arg(SizeText(outcome.max_store_size));
    for (const QString& path : outcome.store_paths) head << QStringLiteral("  ") + path;
  } else {
    head << QStringLiteral("Store: ") + outcome.pst_path;
  }
  head << OutcomeHeadLines(outcome);
  head << QStringLiteral("Files listed: %1").arg(outcome.listed);
  head << QStringLiteral("Imported: %1").arg(outcome.stored);
  head << QStringLiteral("Not imported: %1").arg(outcome.failures.size());
  head << QStringLiteral("Imported with a note: %1").arg(outcome.notes.size());
  // A stopped run names no file it did not get to; its count says how many there are.
  const std::int64_t unreached =
      outcome.listed - outcome.stored - static_cast<std::int64_t>(outcome.failures.size());
  if (unreached > 0) head << QStringLiteral("Not reached: %1").arg(unreached);
  head << QStringLiteral("Source folders:");
  for (const QString& folder : context.source_folders) head << QStringLiteral("  ") + folder;
  head << QStringLiteral("Options:");
  for (const QString& option : context.options) head << QStringLiteral("  ") + option;
  head << QString() << QStringLiteral("Status\tPath\tReason");

  std::string text;
  for (const QString& line : head) text += Bytes(line) + '\n';
  ForEachFile(outcome, [&text](const QString& status, const FileFailure& file) {
    text += Bytes(status) + '\t' + Bytes(file.path) + '\t' + Bytes(file.reason) + '\n';
  });
  return text;
}

std::string CsvReport(const RunOutcome& outcome) {
  std::string text = "status,path,reason\r\n";
  ForEachFile(outcome, [&text](const QString& status, const FileFailure& file) {
    text += CsvField(status) + ',' + CsvField(file.path) + ',' + CsvField(file.reason) + "\r\n";
  });
  return text;
}

// The folder part of path without its last separator, but for a root ("/", "C:\"); the empty
// text when path has no separator.
QString FolderPart(const QString& path) {
  const qsizetype at = std::max(path.lastIndexOf(u'/'), path.lastIndexOf(u'\\'));
  if (at < 0) return {};
  const bool root = at == 0 || (at == 2 && path.at(1) == u':');
  return path.left(root ? at + 1 : at);
}

bool IsRoot(const QString& folder) {
  return folder.size() == 1 || (folder.size() == 3 && folder.at(1) == u':');
}

}  // namespace

bool HasFilesToReport(const RunOutcome& outcome) {
  return !outcome.failures.empty() || !outcome.notes.empty();
}

std::string ReportBytes(const RunOutcome& outcome, const ReportContext& context,
                        ReportFormat format) {
  return format == ReportFormat::kCsv ? CsvReport(outcome) : TextReport(outcome, context);
}

QStringList SourceFoldersOf(const PathList& files) {
  QSet<QString> folders;
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (QString folder = FolderPart(files.At(i)); !folder.isEmpty()) folders.insert(folder);
  }
  QStringList top;
  for (const QString& folder : folders) {
    bool below = false;
    for (QString above = folder; !below && !IsRoot(above);) {
      above = FolderPart(above);
      if (above.isEmpty()) break;
      below = folders.contains(above);
    }
    if (!below) top << folder;
  }
  top.sort();
  return top;
}

wharfline::Status WriteNewFile(pst::FileEnv& env, const QString& path, std::string_view bytes) {
  const std::string native = wharfline::NativeFromPath(path);
  wharfline::Result<std::unique_ptr<pst::WritableFile>> created = env.CreateExclusive(native);
  if (!created) return created.error();
  pst::WritableFile& file = **created;
  const std::span<const std::uint8_t> data(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                           bytes.size());
  wharfline::Status written = file.WriteAt(0, data);
  if (written.ok()) written = file.Sync();
  const wharfline::Status closed = file.Close();
  if (written.ok()) written = closed;
  // Half a report would pass for a whole one: what could not be written to its end goes.
  if (!written.ok()) (void)env.Remove(native);
  return written;
}

wharfline::Result<QString> WriteReportBesideStore(pst::FileEnv& env, const RunOutcome& outcome,
                                                  const ReportContext& context) {
  QString stem = outcome.pst_path;
  if (stem.endsWith(QStringLiteral(".pst"), Qt::CaseInsensitive)) stem.chop(4);
  const std::string bytes = ReportBytes(outcome, context, ReportFormat::kText);
  for (int n = 1;; ++n) {
    const QString suffix = n == 1 ? QString() : QStringLiteral(" (%1)").arg(n);
    const QString path = stem + suffix + kReportExtension;
    const wharfline::Status written = WriteNewFile(env, path, bytes);
    if (written.ok()) return path;
    if (!written.IsAlreadyExists() || n >= kNamesTried) return written;
  }
}

QString ReportWrittenLine(const QString& where) {
  return QStringLiteral("The full report is in ") + where;
}

QString ReportFailedLine(const wharfline::Status& why) {
  return QStringLiteral("The report could not be written: ") +
         QString::fromStdString(why.IsIOError() ? why.detail() : why.message());
}

}  // namespace convert
