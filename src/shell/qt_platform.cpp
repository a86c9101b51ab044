#include "shell/qt_platform.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <cstdio>
#include <cstdlib>

namespace shell {

namespace {

const char kBufferTooSmall[] = "The file name buffer is too small";

QMessageBox::StandardButtons ButtonsFor(int style) {
  switch (style & 0x0F) {
    case 1: return QMessageBox::Ok | QMessageBox::Cancel;
    case 2: return QMessageBox::Abort | QMessageBox::Retry | QMessageBox::Ignore;
    case 3: return QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
    case 4: return QMessageBox::Yes | QMessageBox::No;
    case 5: return QMessageBox::Retry | QMessageBox::Cancel;
    default: return QMessageBox::Ok;
  }
}

QMessageBox::Icon IconFor(int style) {
  switch (style & 0xF0) {
    case 16: return QMessageBox::Critical;
    case platform::kQuestion: return QMessageBox::Question;
    case platform::kExclamation: return QMessageBox::Warning;
    case platform::kInformation: return QMessageBox::Information;
    default: return QMessageBox::NoIcon;
  }
}

int ResultFor(QMessageBox::StandardButton button) {
  switch (button) {
    case QMessageBox::Ok: return platform::kResultOk;
    case QMessageBox::Cancel: return platform::kResultCancel;
    case QMessageBox::Abort: return 3;
    case QMessageBox::Retry: return 4;
    case QMessageBox::Ignore: return 5;
    case QMessageBox::Yes: return platform::kResultYes;
    case QMessageBox::No: return platform::kResultNo;
    default: return platform::kResultCancel;
  }
}

// The folder part of a native path, its trailing separator kept only for a root.
QString ParentOf(const QString& path) {
  const qsizetype cut = std::max(path.lastIndexOf(u'/'), path.lastIndexOf(u'\\'));
  if (cut < 0) return QString();
  const QString parent = path.left(cut);
  if (parent.isEmpty() || parent.endsWith(u':')) return path.left(cut + 1);  // "/" or "C:\"
  return parent;
}

bool IsUnder(const QString& path, const QString& folder) {
  if (!path.startsWith(folder)) return false;
  if (folder.endsWith(u'/') || folder.endsWith(u'\\')) return true;
  return path.size() > folder.size() && (path[folder.size()] == u'/' || path[folder.size()] == u'\\');
}

}  // namespace

int QtDialogs::MsgBox(const QString& text, int style, const QString& caption) {
  QMessageBox box(IconFor(style), caption, text, ButtonsFor(style), owner_.data());
  const auto buttons = box.standardButtons();
  // The first button is the default unless the style names the second or third.
  QList<QAbstractButton*> in_order;
  for (auto b : {QMessageBox::Ok, QMessageBox::Yes, QMessageBox::No, QMessageBox::Abort,
                 QMessageBox::Retry, QMessageBox::Ignore, QMessageBox::Cancel}) {
    if (buttons & b) in_order.append(box.button(b));
  }
  const int default_index = (style & 0xF00) >> 8;
  if (default_index < in_order.size()) {
    box.setDefaultButton(qobject_cast<QPushButton*>(in_order[default_index]));
  }
  const int clicked = box.exec();
  return ResultFor(static_cast<QMessageBox::StandardButton>(clicked));
}

namespace {

// The open-file dialog as the add-files command asks for it: no flag insists that a typed name
// exists, so a name typed in is taken as it is, whether or not there is such a file. A folder
// typed in is opened, as the dialog always does. Qt's own dialog (not the desktop's) is used,
// so this holds everywhere.
class TypedNamesDialog final : public QFileDialog {
 public:
  TypedNamesDialog(QWidget* owner, bool must_exist) : QFileDialog(owner), must_exist_(must_exist) {
    setOption(QFileDialog::DontUseNativeDialog, true);
  }

 protected:
  void accept() override {
    const QStringList files = selectedFiles();
    if (must_exist_ || files.isEmpty() || (files.size() == 1 && QFileInfo(files[0]).isDir())) {
      QFileDialog::accept();
      return;
    }
    QDialog::accept();
  }

 private:
  bool must_exist_;
};

}  // namespace

void KeepNoSettings() {
  // A place below a file, where no folder and so no settings file can ever be made. (Where
  // settings live in the system registry instead of files, this changes nothing.)
  for (QSettings::Format format : {QSettings::NativeFormat, QSettings::IniFormat}) {
    for (QSettings::Scope scope : {QSettings::UserScope, QSettings::SystemScope}) {
      QSettings::setPath(format, scope, QStringLiteral("/dev/null/wharfline"));
    }
  }
}

platform::OpenFileOutcome QtDialogs::ShowOpen(const platform::OpenFileRequest& request) {
  TypedNamesDialog dialog(owner_.data(), (request.flags & platform::kOfnFileMustExist) != 0);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode((request.flags & platform::kOfnAllowMultiSelect) ? QFileDialog::ExistingFiles
                                                                       : QFileDialog::ExistingFile);
  dialog.setOption(QFileDialog::HideNameFilterDetails, true);
  dialog.setNameFilters(QtNameFilters(request.filter));
  if (!request.file_name.isEmpty()) dialog.selectFile(request.file_name);
  if (dialog.exec() != QDialog::Accepted) return {};
  QStringList paths;
  for (const QString& path : dialog.selectedFiles()) paths.append(QDir::toNativeSeparators(path));
  return MultiSelectResult(paths, request.result_capacity);
}

QString QtDialogs::BrowseForFolder(const QString& title) {
  const QString chosen = QFileDialog::getExistingDirectory(owner_.data(), title, QDir::rootPath(),
                                                           QFileDialog::ShowDirsOnly);
  return QDir::toNativeSeparators(chosen);
}

void QtPointer::SetHourglass(bool on) {
  if (on == on_) return;
  on_ = on;
  if (on) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
  } else {
    QApplication::restoreOverrideCursor();
  }
}

void QtEventPump::ProcessPendingEvents() {
  constexpr qint64 kFrameMs = 15;
  if (since_last_.isValid() && since_last_.elapsed() < kFrameMs) return;
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  since_last_.restart();
}

QDateTime QtClock::Now() { return QDateTime::currentDateTime(); }

void QtProcessExit::Exit(int code) {
  std::fflush(nullptr);
  std::_Exit(code);
}

platform::OpenFileOutcome MultiSelectResult(const QStringList& native_paths,
                                            std::int32_t capacity) {
  platform::OpenFileOutcome outcome;
  if (native_paths.isEmpty()) return outcome;
  QStringList names;
  QString text;
  qsizetype head = 0;  // characters before the first name: the folder and its NUL
  if (native_paths.size() == 1) {
    text = native_paths.front();
    names.append(text);
  } else {
    // The common folder of all picked files; one dialog folder normally, but typed names may
    // reach elsewhere.
    QString folder = ParentOf(native_paths.front());
    for (const QString& path : native_paths) {
      while (!folder.isEmpty() && !IsUnder(path, folder)) folder = ParentOf(folder);
    }
    const bool root = folder.endsWith(u'/') || folder.endsWith(u'\\');
    const qsizetype skip = root ? folder.size() : folder.size() + 1;
    for (const QString& path : native_paths) names.append(path.mid(skip));
    head = folder.size() + 1;
    text = folder + QChar(u'\0') + names.join(QChar(u'\0'));
  }
  if (text.size() + 1 > capacity) {
    // How many of the picked files fit, counting the folder and the separators.
    qsizetype used = head;
    std::int32_t fit = 0;
    for (const QString& name : names) {
      used += name.size() + 1;
      if (used > capacity) break;
      ++fit;
    }
    outcome.status = wharfline::Status::WithNumber(wharfline::Status::Code::kComponentFailed,
                                                   platform::kErrBufferTooSmall, kBufferTooSmall);
    outcome.files_that_fit = fit;
    return outcome;
  }
  outcome.file_name = text;
  return outcome;
}

QStringList QtNameFilters(const QString& filter) {
  QStringList filters;
  const QStringList pieces = filter.split(u'|');
  for (qsizetype i = 0; i + 1 < pieces.size(); i += 2) {
    QString patterns = pieces[i + 1];
    patterns.replace(u';', u' ');
    filters.append(pieces[i] + QStringLiteral(" (") + patterns + u')');
  }
  return filters;
}

}  // namespace shell
