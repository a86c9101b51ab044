// The file list over its grid, and the add-files and clear commands driven through the
// scripted platform.
#include <gtest/gtest.h>

#include <QStringList>

#include "filelist/add_files_command.h"
#include "filelist/file_grid.h"
#include "filelist/file_list.h"
#include "support/scripted_platform.h"

namespace {

using filelist::FileGrid;
using filelist::FileList;
using testing_support::ScriptedDialogs;

const QChar kNul(u'\0');

// A grid, the list over it, and the count label's caption as the window would show it.
class FileListTest : public ::testing::Test {
 protected:
  FileListTest() : list(grid, [this](const QString& c) { caption = c; }) { list.InitFileList(); }

  QStringList Rows() {
    QStringList rows;
    for (int r = 0; r < grid.Rows(); ++r) {
      EXPECT_TRUE(grid.SetRow(r).ok());
      EXPECT_TRUE(grid.SetCol(0).ok());
      rows << grid.Text();
    }
    return rows;
  }

  void AddFiles() {
    filelist::AddFilesCommand(dialogs, list, [this](bool on) {
      convert_states.push_back(on);
      rows_when_enabled = grid.Rows() == 1 && grid.Text().isEmpty() ? 0 : grid.Rows();
    });
  }

  FileGrid grid;
  QString caption;
  FileList list;
  QStringList log;
  ScriptedDialogs dialogs{log};
  std::vector<bool> convert_states;
  int rows_when_enabled = -1;
};

TEST(FileGrid, StartsWithOneEmptyCellAndRejectsBadSizesUnchanged) {
  FileGrid grid;
  EXPECT_EQ(grid.Rows(), 1);
  EXPECT_EQ(grid.Cols(), 1);
  EXPECT_EQ(grid.FixedRows(), 0);
  EXPECT_TRUE(grid.Text().isEmpty());

  EXPECT_EQ(grid.SetRows(0).number(), 30009);
  EXPECT_EQ(grid.SetRow(1).number(), 30009);
  EXPECT_EQ(grid.SetCol(1).number(), 30010);
  EXPECT_EQ(grid.SetColWidth(3, 100).number(), 30010);
  grid.SetRowLimit(3);
  EXPECT_TRUE(grid.SetRows(3).ok());
  const wharfline::Status too_many = grid.SetRows(4);
  EXPECT_EQ(too_many.number(), 30009);
  EXPECT_EQ(too_many.message(), "Invalid Row value");
  EXPECT_EQ(grid.Rows(), 3);
  EXPECT_EQ(grid.rowCount(), 3);
}

TEST(FileGrid, TextGoesThroughTheCurrentCellAndShrinkingMovesIt) {
  FileGrid grid;
  ASSERT_TRUE(grid.SetRows(3).ok());
  ASSERT_TRUE(grid.SetRow(2).ok());
  grid.SetText(QStringLiteral("two"));
  ASSERT_TRUE(grid.SetRow(0).ok());
  EXPECT_TRUE(grid.Text().isEmpty());
  EXPECT_EQ(grid.data(grid.index(2, 0)).toString(), QStringLiteral("two"));

  ASSERT_TRUE(grid.SetRow(2).ok());
  ASSERT_TRUE(grid.SetRows(2).ok());
  EXPECT_EQ(grid.Row(), 1);  // the current row left with the dropped row
  ASSERT_TRUE(grid.SetRows(3).ok());
  ASSERT_TRUE(grid.SetRow(2).ok());
  EXPECT_TRUE(grid.Text().isEmpty()) << "a row dropped and grown again comes back empty";

  grid.SetText(QStringLiteral("x"));
  grid.Clear();
  EXPECT_EQ(grid.Rows(), 3);
  EXPECT_TRUE(grid.Text().isEmpty());
}

TEST_F(FileListTest, FirstEntryReusesRowZeroAndNarrowsTheColumn) {
  EXPECT_EQ(grid.ColWidth(0), 50000);
  EXPECT_EQ(caption, QStringLiteral("0 files"));

  ASSERT_TRUE(list.AddFileToList(QStringLiteral("C:\\Mail\\a.eml")).ok());
  EXPECT_EQ(grid.Rows(), 1);
  EXPECT_EQ(caption, QStringLiteral("1 files"));
  EXPECT_EQ(grid.ColWidth(0), 10000);

  ASSERT_TRUE(list.AddFileToList(QStringLiteral("C:\\Mail\\a.eml")).ok());
  EXPECT_EQ(caption, QStringLiteral("2 files"));
  EXPECT_EQ(grid.Row(), 1);  // the new entry is the current cell
  EXPECT_EQ(Rows(), (QStringList{"C:\\Mail\\a.eml", "C:\\Mail\\a.eml"}));
}

TEST_F(FileListTest, AnEmptyEntryLeavesTheListLookingEmpty) {
  ASSERT_TRUE(list.AddFileToList(QString()).ok());
  EXPECT_EQ(caption, QStringLiteral("1 files"));
  ASSERT_TRUE(list.AddFileToList(QStringLiteral(" /x/b.eml ")).ok());
  EXPECT_EQ(caption, QStringLiteral("1 files"));
  EXPECT_EQ(Rows(), QStringList{" /x/b.eml "}) << "entries are kept unchanged, blanks included";
}

TEST_F(FileListTest, ClearingKeepsOneEmptyRowAndTheColumnWidth) {
  ASSERT_TRUE(list.AddFileToList(QStringLiteral("a")).ok());
  ASSERT_TRUE(list.AddFileToList(QStringLiteral("b")).ok());
  ASSERT_TRUE(grid.SetColWidth(0, 777).ok());
  list.ClearFileList();
  EXPECT_EQ(Rows(), QStringList{QString()});
  EXPECT_EQ(caption, QStringLiteral("0 files"));
  EXPECT_EQ(grid.ColWidth(0), 777);
  ASSERT_TRUE(list.AddFileToList(QStringLiteral("c")).ok());
  EXPECT_EQ(Rows(), QStringList{"c"});
  EXPECT_EQ(grid.ColWidth(0), 10000);
}

TEST_F(FileListTest, AddFilesSetsUpTheDialogAndCancelChangesNothing) {
  dialogs.AnswerOpen(QString());
  AddFiles();
  ASSERT_EQ(dialogs.opens.size(), 1u);
  const auto& request = dialogs.opens[0];
  EXPECT_TRUE(request.file_name.isEmpty());
  EXPECT_EQ(request.filter, QStringLiteral("Email Messages (*.eml, *.emlx)|*.eml;*.emlx"));
  EXPECT_EQ(request.flags, 0x80200u);
  EXPECT_GE(request.result_capacity, 100000) << "thousands of picked files must fit";
  EXPECT_TRUE(convert_states.empty());
  EXPECT_TRUE(dialogs.msgboxes.empty());
  EXPECT_EQ(caption, QStringLiteral("0 files"));
}

TEST_F(FileListTest, AddFilesSplitsTheResultIntoFullPaths) {
  struct Case {
    QString result;
    QStringList rows;
  };
  const QString nul(kNul);
  const Case cases[] = {
      {"C:\\Mail\\one.eml", {"C:\\Mail\\one.eml"}},
      {"C:\\Mail" + nul + "a.eml" + nul + "b.eml" + nul + "c.emlx",
       {"C:\\Mail\\a.eml", "C:\\Mail\\b.eml", "C:\\Mail\\c.emlx"}},
      {"C:\\Mail" + nul + "a.eml" + nul + "b.eml" + nul,  // a trailing NUL changes nothing
       {"C:\\Mail\\a.eml", "C:\\Mail\\b.eml"}},
      {"C:\\" + nul + "a.eml" + nul + "b.eml", {"C:\\a.eml", "C:\\b.eml"}},
      {"/home/ann/Mail" + nul + "a.eml" + nul + "b.eml",
       {"/home/ann/Mail/a.eml", "/home/ann/Mail/b.eml"}},
      {"/" + nul + "a.eml" + nul + "b.eml", {"/a.eml", "/b.eml"}},
      {"/srv/x.eml" + nul, {"/srv/x.eml"}},
  };
  for (const Case& c : cases) {
    list.ClearFileList();
    convert_states.clear();
    dialogs.AnswerOpen(c.result);
    AddFiles();
    EXPECT_EQ(Rows(), c.rows) << c.result.toStdString();
    EXPECT_EQ(caption, QString::number(c.rows.size()) + QStringLiteral(" files"));
    EXPECT_EQ(convert_states, std::vector<bool>{true});
    EXPECT_EQ(rows_when_enabled, 0) << "the convert button is enabled before any row is added";
  }
  EXPECT_TRUE(dialogs.msgboxes.empty());

  dialogs.AnswerOpen("/m" + nul + "a.eml" + nul + "a.eml");  // picking again duplicates
  AddFiles();
  EXPECT_EQ(Rows(), (QStringList{"/srv/x.eml", "/m/a.eml", "/m/a.eml"}));
}

TEST_F(FileListTest, AddFilesReportsDialogFailuresAndAddsNothing) {
  dialogs.AnswerOpenFailure(20476, QStringLiteral("The file name buffer is too small"), 37);
  dialogs.AnswerOpenFailure(32755, QStringLiteral("Cancel was selected"));
  AddFiles();
  AddFiles();
  ASSERT_EQ(dialogs.msgboxes.size(), 2u);
  EXPECT_EQ(dialogs.msgboxes[0].text, QStringLiteral("Please select only 37 files at a time"));
  EXPECT_EQ(dialogs.msgboxes[0].style, 48);
  EXPECT_EQ(dialogs.msgboxes[0].caption, QStringLiteral("Pellimor Wharfline"));
  EXPECT_EQ(dialogs.msgboxes[1].text, QStringLiteral("32755:Cancel was selected"));
  EXPECT_EQ(dialogs.msgboxes[1].style, 48);
  EXPECT_TRUE(convert_states.empty());
  EXPECT_EQ(caption, QStringLiteral("0 files"));
}

TEST_F(FileListTest, AGridFailureStopsTheAddAndKeepsEarlierRows) {
  grid.SetRowLimit(2);
  dialogs.AnswerOpen(QStringLiteral("/m") + kNul + "a.eml" + kNul + "b.eml" + kNul + "c.eml" +
                     kNul + "d.eml");
  AddFiles();
  EXPECT_EQ(Rows(), (QStringList{"/m/a.eml", "/m/b.eml"}));
  ASSERT_EQ(dialogs.msgboxes.size(), 1u);
  EXPECT_EQ(dialogs.msgboxes[0].text, QStringLiteral("30009:Invalid Row value"));
  EXPECT_EQ(dialogs.msgboxes[0].style, 48);
  EXPECT_EQ(convert_states, std::vector<bool>{true});
}

TEST_F(FileListTest, ClearAsksOnlyWhenThereIsSomethingToClear) {
  filelist::ClearCommand(dialogs, list);
  EXPECT_TRUE(dialogs.msgboxes.empty());

  ASSERT_TRUE(list.AddFileToList(QStringLiteral("/m/a.eml")).ok());
  dialogs.msgbox_answers = {platform::kResultNo, platform::kResultYes};
  filelist::ClearCommand(dialogs, list);
  EXPECT_EQ(Rows(), QStringList{"/m/a.eml"});
  EXPECT_EQ(caption, QStringLiteral("1 files"));
  filelist::ClearCommand(dialogs, list);
  EXPECT_EQ(Rows(), QStringList{QString()});
  EXPECT_EQ(caption, QStringLiteral("0 files"));

  ASSERT_EQ(dialogs.msgboxes.size(), 2u);
  EXPECT_EQ(dialogs.msgboxes[0].text,
            QStringLiteral("Do you want to clear all the files in the list\r\n Proceed?"));
  EXPECT_EQ(dialogs.msgboxes[0].style, 36);
  EXPECT_EQ(dialogs.msgboxes[0].caption, QStringLiteral("Pellimor Wharfline"));
}

}  // namespace
