#include "walker_platform_fakes.h"

namespace wharfline_test {

int ScriptedDialogs::MsgBox(const QString& text, int style, const QString& caption) {
  log_ << QStringLiteral("msgbox %1").arg(style);
  msgboxes.push_back(MsgBoxCall{text, style, caption});
  if (msgbox_answers.empty()) return platform::kResultOk;
  const int answer = msgbox_answers.front();
  msgbox_answers.pop_front();
  return answer;
}

platform::OpenFileOutcome ScriptedDialogs::ShowOpen(const platform::OpenFileRequest&) {
  log_ << QStringLiteral("open");
  return {};
}

QString ScriptedDialogs::BrowseForFolder(const QString& title) {
  log_ << QStringLiteral("browse ") + title;
  browse_titles << title;
  if (folder_answers.empty()) return QString();
  QString answer = folder_answers.front();
  folder_answers.pop_front();
  return answer;
}

void RecordingPointer::SetHourglass(bool on) {
  hourglass = on;
  log_ << (on ? QStringLiteral("hourglass on") : QStringLiteral("hourglass off"));
}

void RecordingEventPump::ProcessPendingEvents() {
  ++yields;
  log_ << QStringLiteral("events");
  if (on_yield) on_yield(yields);
}

}  // namespace wharfline_test
