// The conversion run's skip-and-continue regime in one place: a step runs through
// SkipOnFailure, which swallows the mail store error it throws and records it, so the run can
// tell the user at the end how much was skipped. Window's thread only.
#pragma once

#include <QString>
#include <cstdint>
#include <utility>
#include <vector>

#include "store/mail_store.h"

namespace convert {

struct SkippedStep {
  QString step;  // what was attempted ("create folder Mail\2010")
  std::int32_t number;
  QString description;
};

// The steps skipped during one run, in order.
class FailureLog {
 public:
  void Record(const QString& step, const store::StoreError& error) {
    entries_.push_back(SkippedStep{step, error.number(), error.description()});
  }
  const std::vector<SkippedStep>& entries() const { return entries_; }
  bool empty() const { return entries_.empty(); }
  void Clear() { entries_.clear(); }

 private:
  std::vector<SkippedStep> entries_;
};

// Runs step(). A store::StoreError it throws is recorded in log under the name step_name and
// goes no further. Returns true when the step ran to its end. A step assigns its outputs only
// once every call it makes has succeeded, so a skipped step leaves them as they were.
template <typename Step>
bool SkipOnFailure(FailureLog& log, const QString& step_name, Step&& step) {
  try {
    std::forward<Step>(step)();
    return true;
  } catch (const store::StoreError& error) {
    log.Record(step_name, error);
    return false;
  }
}

}  // namespace convert
