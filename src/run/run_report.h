// The report of a run: every file that is not in the store or came with a note, each with its
// reason, under a header with the run's counts, its source folders and its options. The end box
// names only the first files; the report names them all. Both front ends write it: the window
// beside the store, the command line there or where it is told. Paths are written byte for byte
// as the system names them. Any thread, one report at a time.
#pragma once

#include <QString>
#include <QStringList>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "pst/file.h"
#include "run/conversion_run.h"

namespace convert {

// What the report says of the run beyond its outcome, as the front end knows it.
struct ReportContext {
  QStringList source_folders;
  QStringList options;  // one "Name: value" each
};

enum class ReportFormat {
  kText,  // the header, then one tab-separated line per file
  kCsv,   // a header row, then one row per file: status, path, reason
};

// A report beside the store is written only when the run has a file to list in it: one not in
// the store, or one imported with a note.
bool HasFilesToReport(const RunOutcome& outcome);

// The report's bytes.
std::string ReportBytes(const RunOutcome& outcome, const ReportContext& context,
                        ReportFormat format);

// The folders the files were found in, without those that lie below another one of them, in
// ascending order: what the window knows of a run's sources.
QStringList SourceFoldersOf(const PathList& files);

// Writes bytes into a new file at path. Nothing at path is ever replaced: AlreadyExists when
// anything is there. A file that could not be written to its end is removed again.
wharfline::Status WriteNewFile(pst::FileEnv& env, const QString& path, std::string_view bytes);

// Writes the text report beside the run's store, named as the store with ".txt" for ".pst",
// or, when that name is taken, the next free one of "… (2).txt", "… (3).txt", …. Returns the
// path it took.
wharfline::Result<QString> WriteReportBesideStore(pst::FileEnv& env, const RunOutcome& outcome,
                                                  const ReportContext& context);

// The line the end box and the summary give the report: where it is, or why it is not.
QString ReportWrittenLine(const QString& where);
QString ReportFailedLine(const wharfline::Status& why);

}  // namespace convert
