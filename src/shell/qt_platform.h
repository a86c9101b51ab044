// The platform seam on Qt: message boxes, the open-file dialog, the folder browser, the wait
// pointer, the event pump, the clock and process exit. Window thread only.
#pragma once

#include <QElapsedTimer>
#include <QPointer>
#include <QStringList>
#include <QWidget>

#include "platform/platform.h"

namespace shell {

// The application keeps no settings between runs, but Qt's own dialogs remember their state
// in a settings file of the user's. After this, what they would remember is kept nowhere.
// Call once at start-up, before any dialog is shown.
void KeepNoSettings();

class QtDialogs final : public platform::Dialogs {
 public:
  // Dialogs are modal to the owner once it is set; before that they have no owner.
  void SetOwner(QWidget* owner) { owner_ = owner; }

  int MsgBox(const QString& text, int style, const QString& caption) override;
  platform::OpenFileOutcome ShowOpen(const platform::OpenFileRequest& request) override;
  QString BrowseForFolder(const QString& title) override;

 private:
  QPointer<QWidget> owner_;
};

class QtPointer final : public platform::Pointer {
 public:
  void SetHourglass(bool on) override;

 private:
  bool on_ = false;
};

// Long commands yield after every file; the window needs far fewer passes than that to stay
// live (a pass also repaints whatever changed), so a pass runs only when the last one is more
// than a frame old. A click still gets through within a frame.
class QtEventPump final : public platform::EventPump {
 public:
  void ProcessPendingEvents() override;

 private:
  QElapsedTimer since_last_;
};

class QtClock final : public platform::Clock {
 public:
  QDateTime Now() override;
};

class QtProcessExit final : public platform::ProcessExit {
 public:
  [[noreturn]] void Exit(int code) override;
};

// Everything main() needs, in one owner.
struct QtPlatform {
  QtDialogs dialogs;
  QtPointer pointer;
  QtEventPump events;
  QtClock clock;
  QtProcessExit exit;

  platform::Platform Seams() { return {dialogs, pointer, events, clock, exit}; }
};

// Turns the picked files into the open-file dialog's result text: one file as its full path;
// several as their common folder, NUL, and the names relative to it separated by NULs. When the
// text would not fit capacity characters (its terminating NUL included), the outcome is the
// buffer-too-small failure with the number of picked files that would have fit.
platform::OpenFileOutcome MultiSelectResult(const QStringList& native_paths,
                                            std::int32_t capacity);

// Turns "description|patterns|description|patterns" into Qt's name filters.
QStringList QtNameFilters(const QString& filter);

}  // namespace shell
