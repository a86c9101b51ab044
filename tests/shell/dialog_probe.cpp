// Helper process for the dialog test: shows the real open-file dialog, types a name that no
// file has and presses Enter, then prints what the dialog gave back. Run with the settings
// folders pointed somewhere the test can look into afterwards.
#include <QApplication>
#include <QLineEdit>
#include <QTest>
#include <QTimer>
#include <cstdio>

#include "platform/platform.h"
#include "shell/qt_platform.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  shell::KeepNoSettings();
  shell::QtDialogs dialogs;
  QTimer::singleShot(200, [] {
    QWidget* dialog = QApplication::activeModalWidget();
    QLineEdit* name = dialog ? dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")) : nullptr;
    if (name == nullptr) {
      std::printf("no dialog\n");
      std::fflush(stdout);
      std::_Exit(2);
    }
    name->setText(QStringLiteral("not-there.eml"));
    QTest::keyClick(name, Qt::Key_Return);
  });
  platform::OpenFileRequest request;
  request.filter = QStringLiteral("Email Messages (*.eml, *.emlx)|*.eml;*.emlx");
  request.flags = platform::kOfnExplorer | platform::kOfnAllowMultiSelect;
  request.result_capacity = 1000;
  const platform::OpenFileOutcome outcome = dialogs.ShowOpen(request);
  std::printf("%s\n", outcome.file_name.toUtf8().constData());
  return 0;
}
