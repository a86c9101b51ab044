// Scripted stand-ins for the platform seam: each answers from a queue the test fills and
// records every call with its arguments, also as lines of one call log shared by all of them
// ("browse <title>", "open", "msgbox <style>", "hourglass on", "hourglass off", "events"), so a
// test can check the order of what happened; tests may add lines of their own. Hooks run inside
// a call, so a test can act "while the box is up" or "while events are processed".
#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>
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
  explicit ScriptedDialogs(QStringList& log) : log_(log) {}

  // Answers, used in order. An empty queue answers OK to a box, cancel to a dialog.
  std::deque<int> msgbox_answers;
  std::deque<platform::OpenFileOutcome> open_answers;
  std::deque<QString> folder_answers;

  // What was asked.
  std::vector<MsgBoxCall> msgboxes;
  std::vector<platform::OpenFileRequest> opens;
  QStringList folder_titles;

  // Runs inside MsgBox before it answers, with the call's index.
  std::function<void(std::size_t)> on_msgbox;

  int MsgBox(const QString& text, int style, const QString& caption) override;
  platform::OpenFileOutcome ShowOpen(const platform::OpenFileRequest& request) override;
  QString BrowseForFolder(const QString& title) override;

  // Helpers for the open-file answers.
  void AnswerOpen(const QString& result);
  void AnswerOpenFailure(std::int32_t number, const QString& description,
                         std::int32_t files_that_fit = 0);

 private:
  QStringList& log_;
};

class ScriptedPointer final : public platform::Pointer {
 public:
  explicit ScriptedPointer(QStringList& log) : log_(log) {}
  bool hourglass = false;
  void SetHourglass(bool on) override {
    hourglass = on;
    log_ << (on ? QStringLiteral("hourglass on") : QStringLiteral("hourglass off"));
  }

 private:
  QStringList& log_;
};

class CountingEventPump final : public platform::EventPump {
 public:
  explicit CountingEventPump(QStringList& log) : log_(log) {}
  int yields = 0;
  // Runs on every yield with the yield's number (from 1), e.g. to click a button mid-command.
  std::function<void(int)> on_yield;
  void ProcessPendingEvents() override {
    ++yields;
    log_ << QStringLiteral("events");
    if (on_yield) on_yield(yields);
  }

 private:
  QStringList& log_;
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

// All five, wired together, with the log they share.
struct ScriptedPlatform {
  QStringList log;
  ScriptedDialogs dialogs{log};
  ScriptedPointer pointer{log};
  CountingEventPump events{log};
  FixedClock clock;
  RecordingExit exit;
  platform::Platform platform{dialogs, pointer, events, clock, exit};

  platform::Platform Seams() { return platform; }
};

}  // namespace testing_support
