// Scripted platform seams for command tests: dialogs that answer from queues the test fills,
// a pointer and an event pump that record what happens, all writing into one shared call log
// so a test can check the order of events, adds and pointer changes.
#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <deque>
#include <functional>
#include <vector>

#include "platform/platform.h"

namespace wharfline_test {

struct MsgBoxCall {
  QString text;
  int style = 0;
  QString caption;
};

class ScriptedDialogs final : public platform::Dialogs {
 public:
  explicit ScriptedDialogs(QStringList& log) : log_(log) {}

  // Answers of the next BrowseForFolder calls; empty text (or an empty queue) is a cancel.
  std::deque<QString> folder_answers;
  // Answers of the next MsgBox calls; kResultOk when empty.
  std::deque<int> msgbox_answers;

  std::vector<MsgBoxCall> msgboxes;
  QStringList browse_titles;

  int MsgBox(const QString& text, int style, const QString& caption) override;
  platform::OpenFileOutcome ShowOpen(const platform::OpenFileRequest& request) override;
  QString BrowseForFolder(const QString& title) override;

 private:
  QStringList& log_;
};

class RecordingPointer final : public platform::Pointer {
 public:
  explicit RecordingPointer(QStringList& log) : log_(log) {}
  void SetHourglass(bool on) override;
  bool hourglass = false;

 private:
  QStringList& log_;
};

class RecordingEventPump final : public platform::EventPump {
 public:
  explicit RecordingEventPump(QStringList& log) : log_(log) {}
  // Runs on every yield with the yield's number (from 1), e.g. to click a button mid-command.
  std::function<void(int)> on_yield;
  int yields = 0;
  void ProcessPendingEvents() override;

 private:
  QStringList& log_;
};

class FixedClock final : public platform::Clock {
 public:
  QDateTime now = QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5));
  QDateTime Now() override { return now; }
};

class RecordingExit final : public platform::ProcessExit {
 public:
  std::vector<int> codes;
  void Exit(int code) override { codes.push_back(code); }
};

// All seams together, with the log they share. Log lines: "browse <title>", "msgbox <style>",
// "hourglass on", "hourglass off", "events"; tests add their own (e.g. "add <path>").
struct ScriptedPlatform {
  QStringList log;
  ScriptedDialogs dialogs{log};
  RecordingPointer pointer{log};
  RecordingEventPump events{log};
  FixedClock clock;
  RecordingExit exit;
  platform::Platform platform{dialogs, pointer, events, clock, exit};
};

}  // namespace wharfline_test
