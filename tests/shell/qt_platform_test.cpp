// The Qt side of the platform seam that can be checked without a person at the screen: how a
// picked set of files becomes the dialog's result text, the capacity failure, and the filters.
// Also that the exit seam really ends the process from inside a nested event loop.
#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTemporaryDir>

#include "platform/platform.h"
#include "shell/qt_platform.h"

namespace {

using shell::MultiSelectResult;

const QChar kNul(u'\0');

TEST(MultiSelectResult, OneFileIsItsPathSeveralAreFolderThenNames) {
  EXPECT_EQ(MultiSelectResult({"/home/ann/a.eml"}, 1000).file_name, QStringLiteral("/home/ann/a.eml"));
  EXPECT_EQ(MultiSelectResult({"/home/ann/a.eml", "/home/ann/b.eml"}, 1000).file_name,
            QStringLiteral("/home/ann") + kNul + "a.eml" + kNul + "b.eml");
  EXPECT_EQ(MultiSelectResult({"/a.eml", "/b.eml"}, 1000).file_name,
            QStringLiteral("/") + kNul + "a.eml" + kNul + "b.eml");
  EXPECT_EQ(MultiSelectResult({"C:\\Mail\\a.eml", "C:\\Mail\\b.eml"}, 1000).file_name,
            QStringLiteral("C:\\Mail") + kNul + "a.eml" + kNul + "b.eml");
  EXPECT_EQ(MultiSelectResult({"C:\\a.eml", "C:\\b.eml"}, 1000).file_name,
            QStringLiteral("C:\\") + kNul + "a.eml" + kNul + "b.eml");
  // Names typed into the dialog can reach other folders: the common folder is used.
  EXPECT_EQ(MultiSelectResult({"/m/x/a.eml", "/m/y/b.eml"}, 1000).file_name,
            QStringLiteral("/m") + kNul + "x/a.eml" + kNul + "y/b.eml");
  EXPECT_EQ(MultiSelectResult({"/mail/a.eml", "/mailbox/b.eml"}, 1000).file_name,
            QStringLiteral("/") + kNul + "mail/a.eml" + kNul + "mailbox/b.eml");
  EXPECT_TRUE(MultiSelectResult({}, 1000).file_name.isEmpty());
  EXPECT_TRUE(MultiSelectResult({}, 1000).status.ok());
}

TEST(MultiSelectResult, ASelectionThatDoesNotFitFailsWithTheCountThatWould) {
  // "/m" NUL "a.eml" NUL "b.eml" NUL "c.eml" and the final NUL: 3 + 3 * 6 = 21 characters.
  const QStringList picked = {"/m/a.eml", "/m/b.eml", "/m/c.eml"};
  EXPECT_TRUE(MultiSelectResult(picked, 21).status.ok());
  const platform::OpenFileOutcome tight = MultiSelectResult(picked, 20);
  EXPECT_EQ(tight.status.number(), 20476);
  EXPECT_TRUE(tight.file_name.isEmpty());
  EXPECT_EQ(tight.files_that_fit, 2);
  EXPECT_EQ(MultiSelectResult(picked, 3).files_that_fit, 0);
  EXPECT_EQ(MultiSelectResult({"/m/a.eml"}, 8).status.number(), 20476);  // 8 + NUL > 8
  EXPECT_TRUE(MultiSelectResult({"/m/a.eml"}, 9).status.ok());
}

TEST(QtNameFilters, PairsBecomeQtFilters) {
  EXPECT_EQ(shell::QtNameFilters(QStringLiteral("Email Messages (*.eml, *.emlx)|*.eml;*.emlx")),
            QStringList{"Email Messages (*.eml, *.emlx) (*.eml *.emlx)"});
  EXPECT_EQ(shell::QtNameFilters(QStringLiteral("A|*.a|B|*.b;*.c")),
            (QStringList{"A (*.a)", "B (*.b *.c)"}));
}

TEST(QtProcessExit, EndsTheProcessAtOnceFromANestedEventLoop) {
  QProcess probe;
  probe.start(QStringLiteral(WHARFLINE_EXIT_PROBE), {});
  ASSERT_TRUE(probe.waitForFinished(20000));
  const QByteArray out = probe.readAllStandardOutput();
  EXPECT_EQ(probe.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(probe.exitCode(), 0);
  EXPECT_TRUE(out.contains("inside nested loop")) << out.toStdString();
  EXPECT_FALSE(out.contains("after")) << "nothing may run after the exit: " << out.toStdString();
}

TEST(QtDialogs, ATypedNameIsTakenAsItIsAndNothingIsRememberedOnDisk) {
  // The open-file dialog insists on nothing: a name no file has comes back as typed. And Qt's
  // dialog would save its state in the user's settings folder: nothing may land there.
  QTemporaryDir home;
  ASSERT_TRUE(home.isValid());
  QProcess probe;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("HOME"), home.path());
  env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.path() + QStringLiteral("/.config"));
  env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
  probe.setProcessEnvironment(env);
  probe.setWorkingDirectory(home.path());
  probe.start(QStringLiteral(WHARFLINE_DIALOG_PROBE), {});
  ASSERT_TRUE(probe.waitForFinished(30000));
  EXPECT_EQ(probe.exitCode(), 0) << probe.readAllStandardError().toStdString();
  EXPECT_EQ(QString::fromUtf8(probe.readAllStandardOutput()).trimmed(),
            home.path() + QStringLiteral("/not-there.eml"));
  QStringList left;
  QDirIterator it(home.path(), QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                  QDirIterator::Subdirectories);
  while (it.hasNext()) left << it.next();
  EXPECT_TRUE(left.isEmpty()) << left.join(u' ').toStdString();
}

}  // namespace
