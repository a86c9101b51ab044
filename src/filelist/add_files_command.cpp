#include "filelist/add_files_command.h"

#include <QChar>
#include <QStringList>

#include "filelist/file_list.h"
#include "platform/identity.h"
#include "platform/platform.h"

namespace filelist {

namespace {

const QString kSelectOnly = QStringLiteral("Please select only ");
const QString kFilesAtATime = QStringLiteral(" files at a time");

// The folder prefix of a multiple selection ends in the platform's separator; a root folder
// ("C:\", "/") already does.
QChar SeparatorFor(const QString& folder) {
  return folder.startsWith(u'/') ? QChar(u'/') : QChar(u'\\');
}

QString NumberColonDescription(const wharfline::Status& status) {
  return QString::number(status.number()) + u':' + QString::fromStdString(status.message());
}

}  // namespace

void AddFilesCommand(platform::Dialogs& dialogs, FileList& list,
                     const std::function<void(bool)>& set_convert_enabled) {
  // Every failure from here on ends the command with one box.
  const QString title = QString::fromUtf8(identity::kApplicationTitle);
  const auto report = [&](const QString& text) {
    dialogs.MsgBox(text, platform::kExclamation | platform::kOkOnly, title);
  };

  platform::OpenFileRequest request;
  request.file_name = QString();
  request.filter = QString::fromUtf8(kOpenFilter);
  request.flags = kOpenFlags;
  request.result_capacity = kOpenResultCapacity;
  const platform::OpenFileOutcome outcome = dialogs.ShowOpen(request);
  if (!outcome.status.ok()) {
    if (outcome.status.number() == platform::kErrBufferTooSmall) {
      report(kSelectOnly + QString::number(outcome.files_that_fit) + kFilesAtATime);
    } else {
      report(NumberColonDescription(outcome.status));
    }
    return;
  }

  QString result = outcome.file_name;
  if (result.isEmpty()) return;  // cancelled
  if (!result.endsWith(QChar(u'\0'))) result.append(QChar(u'\0'));

  set_convert_enabled(true);

  const QStringList parts = result.split(QChar(u'\0'));  // the last part is always empty
  const qsizetype k = parts.size() - 1;
  QString prefix;
  if (k > 1) {
    prefix = parts[0];
    const QChar separator = SeparatorFor(prefix);
    if (!prefix.endsWith(separator)) prefix.append(separator);
  }
  for (qsizetype i = 0; i < k; ++i) {
    if (!prefix.isEmpty() && i == 0) continue;  // part 0 is the folder itself
    if (const wharfline::Status s = list.AddFileToList(prefix + parts[i]); !s.ok()) {
      report(NumberColonDescription(s));
      return;
    }
  }
}

void ClearCommand(platform::Dialogs& dialogs, FileList& list) {
  if (!list.HoldsEntries()) return;
  const int answer = dialogs.MsgBox(QString::fromUtf8(kClearQuestion),
                                    platform::kYesNo | platform::kQuestion,
                                    QString::fromUtf8(identity::kApplicationTitle));
  if (answer == platform::kResultYes) list.ClearFileList();
}

}  // namespace filelist
