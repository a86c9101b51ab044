// The conversion run, from a settled output folder to a new store file: session and store,
// the folder tree, every listed file imported with progress shown, then the store detached
// and the session closed. The front end (window or command line) asks for the output folder
// before and tells the user the outcome after; the run itself shows nothing. Window's thread
// only; it lets the window process its pending events at fixed points.
#pragma once

#include <QDateTime>
#include <QString>
#include <cstdint>
#include <vector>

#include "convert/run_state.h"
#include "convert/skip_on_failure.h"

namespace platform {
class Clock;
class EventPump;
}  // namespace platform

namespace convert {

class RowSource;

struct RunOutcome {
  // True when the run stopped at its first failure before any folder was created; cause then
  // says why ("number:description").
  bool outlook_error = false;
  QString cause;
  QString pst_path;           // the store file the run created (or tried to)
  std::int32_t files = 0;     // rows the per-file stage went through
  std::vector<FileFailure> failures;  // files that did not make it into the store
  std::vector<FileFailure> notes;     // files stored with something the user should know
  FailureLog skipped;         // every step skipped after the first folder creation
  bool reached_files = false;  // the per-file stage ran
};

// The timestamp both names of a run carry: "d.m.YY H.m.ss" (7.12.26 1.41.31).
QString RunTimestamp(const QDateTime& when);

class ConversionRun {
 public:
  // All three must outlive the object.
  ConversionRun(store::Components& components, platform::EventPump& events,
                platform::Clock& clock)
      : components_(components), events_(events), clock_(clock) {}
  ConversionRun(const ConversionRun&) = delete;
  ConversionRun& operator=(const ConversionRun&) = delete;

  // REQUIRES: state.outputFolder is set and ends in a separator.
  RunOutcome Run(RunState& state, RowSource& rows, ProgressView& view);

 private:
  store::Components& components_;
  platform::EventPump& events_;
  platform::Clock& clock_;
};

// The texts of a run's end, as the front ends show them.
QString OutlookErrorText(const QString& cause);
// "Imported 8 of 10 files." and the failed files (the first 20, then "and N more"), then the
// files imported with a note, listed the same way.
QString FailureSummaryText(const RunOutcome& outcome);

}  // namespace convert
