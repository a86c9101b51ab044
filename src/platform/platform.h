// The platform seam: what the window and its commands need of the desktop toolkit. The Qt
// implementations live in shell/; tests use scripted ones from tests/support/. All calls are
// made on the window's thread.
#pragma once

#include <QDateTime>
#include <QString>
#include <cstdint>

#include "base/status.h"

namespace platform {

// Windows message-box style numbers (they add up: 36 = Yes/No + question icon).
enum MsgBoxStyle : int {
  kOkOnly = 0,
  kYesNo = 4,
  kQuestion = 32,
  kExclamation = 48,
  kInformation = 64,
};

// Windows message-box result numbers.
enum MsgBoxResult : int {
  kResultOk = 1,
  kResultCancel = 2,
  kResultYes = 6,
  kResultNo = 7,
};

// Open-file dialog flags the add-files command uses.
inline constexpr std::uint32_t kOfnAllowMultiSelect = 0x200;
inline constexpr std::uint32_t kOfnFileMustExist = 0x1000;  // typed names must name files
inline constexpr std::uint32_t kOfnExplorer = 0x80000;

// The dialog's error number when the selection does not fit its result capacity.
inline constexpr std::int32_t kErrBufferTooSmall = 20476;

struct OpenFileRequest {
  QString file_name;               // initial file name
  QString filter;                  // "description|pattern;pattern|description|..." pairs
  std::uint32_t flags = 0;         // kOfn* flags
  std::int32_t result_capacity = 0;  // characters the result text may hold
};

struct OpenFileOutcome {
  // Not OK when the dialog failed; number() is kErrBufferTooSmall when the selection did not
  // fit, and then files_that_fit says how many of the picked files would have.
  wharfline::Status status;
  // One picked file: its full path. Several: the folder, NUL, then the names separated by NUL.
  // Empty on cancel.
  QString file_name;
  std::int32_t files_that_fit = 0;
};

class Dialogs {
 public:
  virtual ~Dialogs() = default;
  // Modal message box; style is a sum of MsgBoxStyle numbers; returns a MsgBoxResult number.
  virtual int MsgBox(const QString& text, int style, const QString& caption) = 0;
  // Modal open-file dialog.
  virtual OpenFileOutcome ShowOpen(const OpenFileRequest& request) = 0;
  // Modal folder browser starting at the top of the folder tree, showing title. Returns the
  // chosen folder's absolute path as the toolkit gives it, or empty on cancel.
  virtual QString BrowseForFolder(const QString& title) = 0;
};

// The application-wide mouse pointer.
class Pointer {
 public:
  virtual ~Pointer() = default;
  virtual void SetHourglass(bool on) = 0;
};

// "Let the window process its pending events": the only way a long command yields.
class EventPump {
 public:
  virtual ~EventPump() = default;
  virtual void ProcessPendingEvents() = 0;
};

class Clock {
 public:
  virtual ~Clock() = default;
  virtual QDateTime Now() = 0;  // local time
};

// Ends the process at once, from wherever it is called; nothing is closed on the way.
class ProcessExit {
 public:
  virtual ~ProcessExit() = default;
  virtual void Exit(int code) = 0;
};

// The seams a window is built on; main() owns the implementations, which must outlive it.
struct Platform {
  Dialogs& dialogs;
  Pointer& pointer;
  EventPump& events;
  Clock& clock;
  ProcessExit& exit;
};

}  // namespace platform
