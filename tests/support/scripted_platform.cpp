#include "support/scripted_platform.h"

namespace testing_support {

int ScriptedDialogs::MsgBox(const QString& text, int style, const QString& caption) {
  log_ << QStringLiteral("msgbox %1").arg(style);
  msgboxes.push_back({text, style, caption});
  if (on_msgbox) on_msgbox(msgboxes.size() - 1);
  if (msgbox_answers.empty()) return platform::kResultOk;
  const int answer = msgbox_answers.front();
  msgbox_answers.pop_front();
  return answer;
}

platform::OpenFileOutcome ScriptedDialogs::ShowOpen(const platform::OpenFileRequest& request) {
  log_ << QStringLiteral("open");
  opens.push_back(request);
  if (open_answers.empty()) return {};
  platform::OpenFileOutcome answer = open_answers.front();
  open_answers.pop_front();
  return answer;
}

QString ScriptedDialogs::BrowseForFolder(const QString& title) {
  log_ << QStringLiteral("browse ") + title;
  folder_titles << title;
  if (folder_answers.empty()) return {};
  const QString answer = folder_answers.front();
  folder_answers.pop_front();
  return answer;
}

void ScriptedDialogs::AnswerOpen(const QString& result) {
  platform::OpenFileOutcome outcome;
  outcome.file_name = result;
  open_answers.push_back(outcome);
}

void ScriptedDialogs::AnswerOpenFailure(std::int32_t number, const QString& description,
                                        std::int32_t files_that_fit) {
  platform::OpenFileOutcome outcome;
  outcome.status = wharfline::Status::WithNumber(wharfline::Status::Code::kComponentFailed, number,
                                                 description.toStdString());
  outcome.files_that_fit = files_that_fit;
  open_answers.push_back(outcome);
}

}  // namespace testing_support
