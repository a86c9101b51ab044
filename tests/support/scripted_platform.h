// Scripted stand-ins for the platform seam: each answers from a queue the test fills and
// records every call with its arguments. An optional hook runs inside a call, so a test can act
// "while the box is up" or "while events are processed" (a nested click, for example).
#pragma once

#include <QDateTime>
#include <QString>
#include <deque>
#include <functional>
#include <vector>

#include "platform/platform.h"

namespace testing_support {

struct MsgBoxCall {
  QString text;
  int style;
  QString caption;
};

class ScriptedDialogs final : public platform::Dialogs {
 public:
  // Answers, used in order. An empty queue answers OK to a box, cancel to a dialog.
  std::deque<int> msgbox_answers;
  std::deque<platform::OpenFileOutcome> open_answers;
  std::deque<QString> folder_answers;

  // What was asked.
  std::vector<MsgBoxCall> msgboxes;
  std::vector<platform::OpenFileRequest> opens;
  std::vector<QString> folder_titles;

  // Runs inside MsgBox before it answers, with the call's index.
  std::function<void(std::size_t)> on_msgbox;

  int MsgBox(const QString& text, int style, const QString& caption) override;
  platform::OpenFileOutcome ShowOpen(const platform::OpenFileRequest& request) override;
  QString BrowseForFolder(const QString& title) override;

  // Helpers for the open-file answers.
  void AnswerOpen(const QString& result);
  void AnswerOpenFailure(std::int32_t number, const QString& description,
                         std::int32_t files_that_fit = 0);
};

class ScriptedPointer final : public platform::Pointer {
 public:
  std::vector<bool> changes;  // every SetHourglass call, in order
  bool hourglass = false;
  void SetHourglass(bool on) override {
    changes.push_back(on);
    hourglass = on;
  }
};

class CountingEventPump final : public platform::EventPump {
 public:
  int count = 0;
  // Runs on the n-th call (1-based) when set.
  int act_on = 0;
  std::function<void()> action;
  void ProcessPendingEvents() override {
    ++count;
    if (action && count == act_on) action();
  }
};

class FixedClock final : public platform::Clock {
 public:
  QDateTime now = QDateTime(QDate(2026, 12, 7), QTime(1, 41, 31));
  int step_seconds = 0;  // added after every read
  QDateTime Now() override {
    const QDateTime t = now;
    now = now.addSecs(step_seconds);
    return t;
  }
};

class RecordingExit final : public platform::ProcessExit {
 public:
  std::vector<int> codes;
  void Exit(int code) override { codes.push_back(code); }
};

// All five, wired together.
struct ScriptedPlatform {
  ScriptedDialogs dialogs;
  ScriptedPointer pointer;
  CountingEventPump events;
  FixedClock clock;
  RecordingExit exit;

  platform::Platform Seams() { return {dialogs, pointer, events, clock, exit}; }
};

}  // namespace testing_support
