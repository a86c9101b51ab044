// The conversion run, from a settled output folder to a new store file: the store, the folder
// tree, every listed file imported with progress shown, then the store closed. The front end
// (window or command line) asks for the output folder before and tells the user the outcome
// after; the run itself shows nothing. Window's thread only; it lets the window process its
// pending events at fixed points.
#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <vector>

#include "run/engine.h"
#include "run/message_import.h"
#include "run/run_state.h"

namespace platform {
class Clock;
class EventPump;
}  // namespace platform

namespace convert {

class RowSource;
class SplitStore;

struct RunOutcome {
  // True when the run stopped at its first failure before any folder was created; cause then
  // says why ("number:description").
  bool outlook_error = false;
  QString cause;
  QString pst_path;           // the store file the run created (or last tried to)
  // Every store file the run made, in order: the first, then one for each time the store
  // reached max_store_size.
  QStringList store_paths;
  std::uint64_t max_store_size = 0;
  bool store_made = false;    // the store file was created
  std::int32_t listed = 0;    // rows in the list when the per-file stage began
  std::int32_t files = 0;     // rows the per-file stage went through
  // Messages the store file holds at the end, as the store itself reports them: those of its
  // last commit.
  std::int64_t stored = 0;
  QString store_failure;      // why the store file could not be written to its end
  QString unexpected;         // the text of an unexpected error that ended the run
  bool stopped = false;       // asked to stop, the run ended after the file in hand
  // Files not in the store, each with its reason: files that failed on their own, and, when
  // the store or the run failed, files saved after the last commit and files never reached.
  std::vector<FileFailure> failures;
  std::vector<FileFailure> notes;     // files stored with something the user should know
  // Files left out as asked, neither stored nor failed: copies of a message stored before
  // (the reason names the file it repeats), and how many were sent outside the dates.
  std::vector<FileFailure> duplicates;
  std::int32_t outside_dates = 0;
  bool reached_files = false;  // the per-file stage ran

  // The run went through every listed file and the store holds each one that did not fail
  // on its own.
  bool Complete() const {
    return !outlook_error && unexpected.isEmpty() && store_failure.isEmpty() && !stopped &&
           files == listed;
  }
};

// The timestamp both names of a run carry: "d.m.YY H.m.ss" (7.12.26 1.41.31).
QString RunTimestamp(const QDateTime& when);

class ConversionRun {
 public:
  // What the engine refers to, the pump and the clock must outlive the object.
  ConversionRun(Engine engine, platform::EventPump& events, platform::Clock& clock)
      : engine_(engine), events_(events), clock_(clock) {}
  ConversionRun(const ConversionRun&) = delete;
  ConversionRun& operator=(const ConversionRun&) = delete;

  // REQUIRES: state.outputFolder is set and ends in a separator.
  RunOutcome Run(RunState& state, RowSource& rows, ProgressView& view);

  // Asked after every file whether to stop; when it answers yes, the run ends there as after
  // the last file (the store gets its final commit). The command line stops on a signal.
  void StopWhen(std::function<bool()> asked) { stop_asked_ = std::move(asked); }
  // What the run stores of each message; by default every message, marked read.
  void SetOptions(const RunOptions& options) { options_ = options; }

 private:
  struct Progress;
  wharfline::Status AddStore(RunState& state, RunOutcome& outcome);
  void ImportFiles(RunState& state, RowSource& rows, ProgressView& view, RunOutcome& outcome,
                   Progress& progress);
  void CloseStore(RunState& state, RowSource& rows, RunOutcome& outcome,
                  const Progress& progress);

  Engine engine_;
  platform::EventPump& events_;
  platform::Clock& clock_;
  std::function<bool()> stop_asked_;
  RunOptions options_;
  SplitStore* split_ = nullptr;  // the run's store while it has one
};

// "50 GB", "1.5 MB": a size limit as the user gave it, in units of 1024.
QString SizeText(std::uint64_t bytes);
// When the run made more than one store: the line that says so, then each store's path.
QStringList SplitLines(const RunOutcome& outcome);

// The texts of a run's end, as the front ends show them.
QString OutlookErrorText(const QString& cause);
// The text of an error nobody expected, for a box or a summary: its own text, or "7:Out of
// memory" when memory ran out.
QString UnexpectedErrorText(std::exception_ptr error);
// The lines that open a run's report: "Imported 8 of 10 files." for a run that went to its
// end; "Stopped: 8 of 10 files imported." for one asked to stop; otherwise what failed and how
// many messages the store holds.
QStringList OutcomeHeadLines(const RunOutcome& outcome);
// The head lines, the store's path when it is incomplete, the files not in the store (the
// first 20, then "and N more"), then the files imported with a note, listed the same way.
QString FailureSummaryText(const RunOutcome& outcome);

}  // namespace convert
