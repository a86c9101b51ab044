#include "filelist/add_folder_command.h"

#include <gtest/gtest.h>

#include "memory_file_system.h"
#include "support/scripted_platform.h"

namespace filelist {
namespace {

using wharfline_test::MemoryFileSystem;
using testing_support::ScriptedPlatform;

// A command run against scripted seams; rows and the convert button are plain members, and
// every add and switch also goes into the shared log so the order can be checked.
class AddFolderCommandTest : public ::testing::Test {
 protected:
  void Run(const QString& answer) {
    p_.dialogs.folder_answers.push_back(answer);
    AddFolderCommand(
        p_.platform,
        [this](const QString& path) {
          p_.log << QStringLiteral("add ") + path;
          if (fail_add_at_ == rows_.size() + 1) {
            return wharfline::Status::OutOfRange("AddFileToList", "grid refused the row");
          }
          rows_ << path;
          return wharfline::Status::OK();
        },
        [this](bool on) {
          p_.log << (on ? QStringLiteral("convert on") : QStringLiteral("convert off"));
          convert_enabled_ = on;
        },
        fs_);
  }
  QString LastBoxText() const { return p_.dialogs.msgboxes.back().text; }

  ScriptedPlatform p_;
  MemoryFileSystem fs_;
  QStringList rows_;
  bool convert_enabled_ = false;
  qsizetype fail_add_at_ = -1;
};

TEST_F(AddFolderCommandTest, CancelChangesNothing) {
  fs_.AddFile(QStringLiteral("/M/a.eml"));
  rows_ << QStringLiteral("/earlier.eml");
  convert_enabled_ = true;
  Run(QString());
  EXPECT_EQ(p_.log, QStringList({"browse Choose Source Folder..."}));
  EXPECT_EQ(rows_, QStringList({"/earlier.eml"}));
  EXPECT_TRUE(convert_enabled_);
}

TEST_F(AddFolderCommandTest, AddsMessageFilesBreadthFirstWithPathsUnchanged) {
  fs_.AddFile(QStringLiteral("/M/x.EML"));
  fs_.AddFile(QStringLiteral("/M/sub/deep/MAIL.EML"));
  fs_.AddFile(QStringLiteral("/M/note.eml.bak"));
  fs_.AddFile(QStringLiteral("/M/sub/y.Emlx"));
  fs_.AddFile(QStringLiteral("/M/ z.eml  "));
  fs_.AddFile(QStringLiteral("/M/note.txt"));
  fs_.AddFile(QStringLiteral("/M/eml"));
  fs_.AddFile(QStringLiteral("/M/tab.eml\t"));
  Run(QStringLiteral("/M"));
  EXPECT_EQ(rows_,
            QStringList({"/M/x.EML", "/M/ z.eml  ", "/M/sub/y.Emlx", "/M/sub/deep/MAIL.EML"}));
  EXPECT_TRUE(convert_enabled_);
  ASSERT_EQ(p_.dialogs.msgboxes.size(), 1u);
  EXPECT_EQ(LastBoxText(), QStringLiteral("4 Files Added to List."));
  EXPECT_EQ(p_.dialogs.msgboxes.back().style, 0);
  EXPECT_EQ(p_.dialogs.msgboxes.back().caption, QStringLiteral("Pellimor Wharfline"));
}

TEST_F(AddFolderCommandTest, YieldsBeforeEveryItemAndEveryAddUnderTheHourglass) {
  fs_.AddFile(QStringLiteral("C:\\M\\a.eml"));
  fs_.AddFile(QStringLiteral("C:\\M\\b.txt"));
  fs_.AddFile(QStringLiteral("C:\\M\\S\\c.emlx"));
  Run(QStringLiteral("C:\\M"));
  EXPECT_EQ(p_.log,
            QStringList({"browse Choose Source Folder...", "hourglass on", "events", "events",
                         "add C:\\M\\a.eml", "events", "events", "events", "add C:\\M\\S\\c.emlx",
                         "hourglass off", "convert on", "msgbox 0"}));
  EXPECT_EQ(LastBoxText(), QStringLiteral("2 Files Added to List."));
}

TEST_F(AddFolderCommandTest, OneFileIsStillFilesAndRootsAreNotDoubled) {
  fs_.AddFile(QStringLiteral("C:\\only.eml"));
  Run(QStringLiteral("C:\\"));
  EXPECT_EQ(rows_, QStringList({"C:\\only.eml"}));
  EXPECT_EQ(LastBoxText(), QStringLiteral("1 Files Added to List."));
}

TEST_F(AddFolderCommandTest, FolderWithoutMessagesDisablesConvertEvenWithEarlierRows) {
  fs_.AddFile(QStringLiteral("/M/a.eml"));
  fs_.AddFile(QStringLiteral("/Other/readme.txt"));
  fs_.AddFolder(QStringLiteral("/Other/empty"));
  Run(QStringLiteral("/M"));
  ASSERT_TRUE(convert_enabled_);
  Run(QStringLiteral("/Other/"));
  EXPECT_FALSE(convert_enabled_);
  EXPECT_EQ(rows_, QStringList({"/M/a.eml"}));
  EXPECT_EQ(LastBoxText(), QStringLiteral("0 Files Added to List."));
  EXPECT_FALSE(p_.pointer.hourglass);
}

TEST_F(AddFolderCommandTest, FoldersThatCannotBeReadArePassedOverAndNamed) {
  fs_.AddFile(QStringLiteral("/M/a.eml"));
  fs_.AddFile(QStringLiteral("/M/S/b.eml"));
  fs_.AddFile(QStringLiteral("/M/Locked/c.eml"));
  fs_.AddFile(QStringLiteral("/M/S/T/d.eml"));
  fs_.AddFile(QStringLiteral("/M/S/Gone/e.eml"));
  fs_.FailOpen(QStringLiteral("/M/Locked"), QStringLiteral("Permission denied"));
  fs_.FailOpen(QStringLiteral("/M/S/Gone"), QStringLiteral("No such file or directory"));
  Run(QStringLiteral("/M"));
  // The folders after the unreadable ones are still searched.
  EXPECT_EQ(rows_, QStringList({"/M/a.eml", "/M/S/b.eml", "/M/S/T/d.eml"}));
  EXPECT_TRUE(convert_enabled_);
  EXPECT_FALSE(p_.pointer.hourglass);
  ASSERT_EQ(p_.dialogs.msgboxes.size(), 2u);
  const testing_support::MsgBoxCall& warning = p_.dialogs.msgboxes[0];
  EXPECT_EQ(warning.style, 48);
  EXPECT_EQ(warning.caption, QStringLiteral("Pellimor Wharfline"));
  EXPECT_EQ(warning.text, QStringLiteral("These folders could not be read and were passed over:\n"
                                         "/M/Locked/: Permission denied\n"
                                         "/M/S/Gone/: No such file or directory\n\n"
                                         "The files found in the other folders are added to the "
                                         "list."));
  EXPECT_EQ(p_.dialogs.msgboxes[1].text, QStringLiteral("3 Files Added to List."));
  EXPECT_EQ(p_.log.mid(p_.log.indexOf("hourglass off")),
            QStringList({"hourglass off", "convert on", "msgbox 48", "msgbox 0"}));
}

TEST_F(AddFolderCommandTest, FailedAddStopsAndIsReported) {
  fs_.AddFile(QStringLiteral("/M/a.eml"));
  fs_.AddFile(QStringLiteral("/M/b.eml"));
  fs_.AddFile(QStringLiteral("/M/c.eml"));
  fail_add_at_ = 2;
  Run(QStringLiteral("/M"));
  EXPECT_EQ(rows_, QStringList({"/M/a.eml"}));
  EXPECT_FALSE(p_.log.contains("add /M/c.eml"));
  ASSERT_EQ(p_.dialogs.msgboxes.size(), 2u);
  EXPECT_EQ(p_.dialogs.msgboxes[0].style, 48);
  EXPECT_TRUE(p_.dialogs.msgboxes[0].text.contains(QStringLiteral("grid refused the row")));
  EXPECT_EQ(LastBoxText(), QStringLiteral("1 Files Added to List."));
  EXPECT_FALSE(p_.pointer.hourglass);
}

}  // namespace
}  // namespace filelist
