// The conversion run's state and the view it works through. The window holds the state for
// as long as it lives and each run overwrites it; the command line holds one for its run.
// Window's thread only.
#pragma once

#include <QString>
#include <QStringList>
#include <memory>

#include "store/store.h"

namespace convert {

struct RunState {
  QString outputFolder;      // always ends in a separator
  QString storeDisplayName;  // the name of the store's top folder
  QStringList folderList;    // working list of the folder tree
  // The run's store while it is written. A run that stops at its first failure leaves it open
  // here, as it was, until the next run replaces it or the window goes.
  std::unique_ptr<store::Store> newStore;
};

// What the run shows while it works: the window's Details frame, or a terminal.
class ProgressView {
 public:
  virtual ~ProgressView() = default;
  // Both bars' Min and Max: the overall bar's first, then the current file's.
  virtual void SetBarRanges(float min, float max) = 0;
  virtual void SetFrameCaption(const QString& caption) = 0;
  virtual void SetStatusLine(const QString& text) = 0;
  virtual void SetOverallProgress(float value) = 0;
  virtual void SetConvertEnabled(bool enabled) = 0;
};

// A listed file that did not make it into the store, and why; or one that did, with something
// the user should know.
struct FileFailure {
  QString path;
  QString reason;  // "number:description" or a sentence
};

// A failure as the user reads it: its error number and message, "number:description".
inline QString FailureText(const wharfline::Status& status) {
  return QString::number(status.number()) + u':' + QString::fromStdString(status.message());
}

}  // namespace convert
