// The conversion run's state and the views it works through. The window holds the state for
// as long as it lives and each run overwrites it; the command line holds one for its run.
// Window's thread only.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <memory>
#include <vector>

#include "store/mail_store.h"

namespace convert {

struct RunState {
  QString outputFolder;      // always ends in a separator
  QString storeDisplayName;  // the first name of every store folder path the run builds
  QStringList folderList;    // working list of the folder tree
  std::shared_ptr<store::Session> rdoSession;    // empty after a run that ended normally
  std::shared_ptr<store::MimeMessage> mimeMessage;  // used and released within one import
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

}  // namespace convert
