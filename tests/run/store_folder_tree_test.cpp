// The store folder tree on a store in memory: the folder list, the folders made and the order,
// failures skipped, and the lookup of a folder by its path.
#include "run/store_folder_tree.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "run/OpenMAPIFolder.h"
#include "support/memory_store.h"
#include "test_helpers.h"

namespace {

using convert_test::CountingPump;
using convert_test::VectorRows;

const QString kDisplayName = QStringLiteral("Pellimor Software : Created - 7.12.26 1.41.31");

// A new store, as the run has it when the folder tree starts.
class FolderTreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    store_ = *engine_.stores().Create(QStringLiteral("/out/a.pst"), kDisplayName);
    engine_.recorder().ClearCalls();
  }

  // Both halves of the stage over rows; returns the folder list.
  QStringList Run(const QStringList& rows) {
    VectorRows source(rows);
    QStringList folder_list;
    EXPECT_TRUE(tree_.PrepareFolderList(source, folder_list).ok());
    tree_.CreateFolders(folder_list, *store_, kDisplayName);
    return folder_list;
  }

  std::vector<QString> StoreFolders() { return engine_.stores().stores().front()->FolderPaths(); }

  bool AddAttempted(const QString& name) {
    const std::vector<QString> adds = engine_.recorder().Args(QStringLiteral("Store.AddFolder"));
    return std::find(adds.begin(), adds.end(), name) != adds.end();
  }

  testing_support::MemoryEngine engine_;
  CountingPump pump_;
  convert::StoreFolderTree tree_{pump_};
  std::unique_ptr<store::Store> store_;
};

TEST_F(FolderTreeTest, TwoSiblingFoldersGiveExactlyThreeFoldersParentFirst) {
  const QStringList list =
      Run({QStringLiteral(R"(C:\Mail\2011\b.eml)"), QStringLiteral(R"(C:\Mail\2010\a.eml)")});
  EXPECT_EQ(list, (QStringList{QStringLiteral("Mail"), QStringLiteral(R"(Mail\2010)"),
                               QStringLiteral(R"(Mail\2011)")}));
  EXPECT_EQ(StoreFolders(),
            (std::vector<QString>{QStringLiteral("Mail"), QStringLiteral(R"(Mail\2010)"),
                                  QStringLiteral(R"(Mail\2011)")}));
  // Deeper folders are made under the parent looked up by its path.
  EXPECT_EQ(engine_.recorder().Args(QStringLiteral("Store.Child")),
            (std::vector<QString>{QStringLiteral("Mail"), QStringLiteral("Mail"),
                                  QStringLiteral("Mail")}));
  EXPECT_EQ(engine_.recorder().Args(QStringLiteral("Store.AddFolder")),
            (std::vector<QString>{QStringLiteral("Mail"), QStringLiteral("2010"),
                                  QStringLiteral("2011")}));
  // Events: three during the preparation, one per top-level and two per deeper folder.
  EXPECT_EQ(pump_.count(), 3 + 1 + 2 + 2);
}

TEST_F(FolderTreeTest, SameFolderOnTwoDrivesAndManyFilesGiveOneEntryPerLevel) {
  QStringList rows{QStringLiteral(R"(C:\Mail\A\x.eml)"), QStringLiteral(R"(D:\Mail\A\y.emlx)")};
  for (int i = 0; i < 10; ++i) rows.append(QStringLiteral(R"(E:\Archive\2009\Q1\m%1.eml)").arg(i));
  const QStringList list = Run(rows);
  const QStringList expected{QStringLiteral("Archive"), QStringLiteral(R"(Archive\2009)"),
                             QStringLiteral(R"(Archive\2009\Q1)"), QStringLiteral("Mail"),
                             QStringLiteral(R"(Mail\A)")};
  EXPECT_EQ(list, expected);
  EXPECT_EQ(StoreFolders(), std::vector<QString>(expected.begin(), expected.end()));
  EXPECT_EQ(engine_.recorder().Count(QStringLiteral("Store.AddFolder")), 5);
}

TEST_F(FolderTreeTest, ExistingTopLevelFolderIsReusedNotCreatedAgain) {
  (void)store_->AddFolder(store_->TopFolder(), QStringLiteral("Other"));
  (void)store_->AddFolder(store_->TopFolder(), QStringLiteral("Mail"));
  engine_.recorder().ClearCalls();
  Run({QStringLiteral(R"(C:\Mail\2010\a.eml)")});
  EXPECT_FALSE(AddAttempted(QStringLiteral("Mail")));
  EXPECT_TRUE(AddAttempted(QStringLiteral("2010")));
  EXPECT_EQ(StoreFolders(), (std::vector<QString>{QStringLiteral("Other"), QStringLiteral("Mail"),
                                                  QStringLiteral(R"(Mail\2010)")}));
}

TEST_F(FolderTreeTest, NamesDifferingInCaseAreBothAttemptedAndShareOneFolder) {
  const QStringList list =
      Run({QStringLiteral(R"(C:\Mail\x\a.eml)"), QStringLiteral(R"(C:\MAIL\y\b.eml)")});
  EXPECT_EQ(list, (QStringList{QStringLiteral("MAIL"), QStringLiteral(R"(MAIL\y)"),
                               QStringLiteral("Mail"), QStringLiteral(R"(Mail\x)")}));
  EXPECT_TRUE(AddAttempted(QStringLiteral("MAIL")));
  EXPECT_TRUE(AddAttempted(QStringLiteral("Mail")));
  // The store refuses the case-only twin; both subfolders land in the one folder.
  EXPECT_EQ(StoreFolders(),
            (std::vector<QString>{QStringLiteral("MAIL"), QStringLiteral(R"(MAIL\y)"),
                                  QStringLiteral(R"(MAIL\x)")}));
}

TEST_F(FolderTreeTest, FailedParentMakesItsChildLandOneLevelHigher) {
  engine_.recorder().FailAlways(QStringLiteral("Store.AddFolder"), QStringLiteral("2010"));
  Run({QStringLiteral(R"(C:\Mail\2010\Jan\a.eml)"), QStringLiteral(R"(C:\Mail\2011\b.eml)")});
  EXPECT_EQ(StoreFolders(),
            (std::vector<QString>{QStringLiteral("Mail"), QStringLiteral(R"(Mail\Jan)"),
                                  QStringLiteral(R"(Mail\2011)")}));
}

TEST_F(FolderTreeTest, EachFailingCreationStepIsSkippedAndTheRestGoesOn) {
  // The first top-level folder cannot be made, nor the lookups below it; the rest goes on.
  engine_.recorder().FailNth(QStringLiteral("Store.AddFolder"), 1);
  Run({QStringLiteral(R"(C:\A\a.eml)"), QStringLiteral(R"(C:\B\b.eml)")});
  EXPECT_EQ(StoreFolders(), (std::vector<QString>{QStringLiteral("B")}));

  engine_.recorder().FailAlways(QStringLiteral("Store.AddFolder"), QStringLiteral("C"));
  tree_.CreateFolders({QStringLiteral("C"), QStringLiteral(R"(C\D)")}, *store_, kDisplayName);
  // C cannot be made, so its child D is made directly below the top folder.
  EXPECT_EQ(StoreFolders(), (std::vector<QString>{QStringLiteral("B"), QStringLiteral("D")}));
}

TEST_F(FolderTreeTest, FilesDirectlyInARootAddNoFolder) {
  EXPECT_EQ(Run({QStringLiteral(R"(C:\a.eml)"), QStringLiteral("/b.eml")}), QStringList());
  EXPECT_TRUE(StoreFolders().empty());
  EXPECT_EQ(engine_.recorder().calls().size(), 0u);

  EXPECT_EQ(Run({QStringLiteral(R"(C:\a.eml)"), QStringLiteral(R"(C:\Mail\b.eml)")}),
            QStringList{QStringLiteral("Mail")});
  EXPECT_EQ(StoreFolders(), std::vector<QString>{QStringLiteral("Mail")});
}

TEST_F(FolderTreeTest, PosixRowsRepeatTheirWholeFolderPath) {
  EXPECT_EQ(
      Run({QStringLiteral("/home/ann/Mail/2010/a.eml")}),
      (QStringList{QStringLiteral("home"), QStringLiteral(R"(home\ann)"),
                   QStringLiteral(R"(home\ann\Mail)"), QStringLiteral(R"(home\ann\Mail\2010)")}));
  EXPECT_EQ(StoreFolders().size(), 4u);
}

TEST_F(FolderTreeTest, PreparationStopsAtTheFirstFailure) {
  struct Case {
    QStringList rows;
    int fail_row;
    std::int32_t number;
  };
  const Case cases[] = {
      {{QString()}, -1, 9},  // the empty list: one empty row
      {{QStringLiteral(R"(C:\Mail\a.eml)"), QStringLiteral(R"(\\server\share\a.eml)")}, -1, 9},
      {{QStringLiteral(R"(C:\Mail\a.eml)"), QStringLiteral(R"(C:\Mail\b.eml)")}, 1, 9},
  };
  for (const Case& c : cases) {
    VectorRows rows(c.rows);
    rows.FailRow(c.fail_row);
    QStringList folder_list;
    const wharfline::Status s = tree_.PrepareFolderList(rows, folder_list);
    EXPECT_EQ(s.number(), c.number) << c.rows.join(u'|').toStdString();
  }
  // No events are processed before every row is read.
  EXPECT_EQ(pump_.count(), 0);
}

TEST_F(FolderTreeTest, PreparationRebuildsTheListFromScratch) {
  VectorRows rows({QStringLiteral(R"(C:\New\a.eml)")});
  QStringList folder_list{QStringLiteral("Old"), QStringLiteral(R"(Old\Stale)")};
  EXPECT_TRUE(tree_.PrepareFolderList(rows, folder_list).ok());
  EXPECT_EQ(folder_list, QStringList{QStringLiteral("New")});
}

// While the stage yields, the window's other commands run: clearing the list resets the
// window's folder list, and the window's display name may change. The stage works on.
TEST_F(FolderTreeTest, CommandsRunningWhileEventsAreProcessedDoNotDisturbTheStage) {
  QStringList folder_list;  // the window's fields
  QString display_name = kDisplayName;
  pump_.OnYield([&](int) {
    folder_list = QStringList{QString()};
    display_name = QStringLiteral("another run");
  });
  VectorRows rows({QStringLiteral(R"(C:\Mail\2010\a.eml)"), QStringLiteral(R"(C:\News\b.eml)")});
  EXPECT_TRUE(tree_.PrepareFolderList(rows, folder_list).ok());
  EXPECT_EQ(folder_list, (QStringList{QStringLiteral("Mail"), QStringLiteral(R"(Mail\2010)"),
                                      QStringLiteral("News")}));
  tree_.CreateFolders(folder_list, *store_, display_name);
  EXPECT_EQ(StoreFolders(),
            (std::vector<QString>{QStringLiteral("Mail"), QStringLiteral(R"(Mail\2010)"),
                                  QStringLiteral("News")}));
}

TEST(OpenMAPIFolder, ResolvesNamesAndPassesOverWhatItCannotFind) {
  testing_support::MemoryEngine engine;
  const QString s = QStringLiteral("S");
  std::unique_ptr<store::Store> store = *engine.stores().Create(QStringLiteral("/s.pst"), s);
  const store::FolderRef top = store->TopFolder();
  const store::FolderRef mail = *store->AddFolder(top, QStringLiteral("Mail"));
  const store::FolderRef mail_2010 = *store->AddFolder(mail, QStringLiteral("2010"));
  const store::FolderRef top_2010 = *store->AddFolder(top, QStringLiteral("2010"));
  const auto open = [&](const char* path) {
    return convert::OpenMAPIFolder(*store, s, QString::fromUtf8(path));
  };
  using Found = std::optional<store::FolderRef>;
  const struct {
    const char* path;
    Found found;
  } cases[] = {
      {R"(\S\Mail\2010)", mail_2010},  // only the parent's children are searched
      {R"(\s\MAIL)", mail},             // case ignored
      {R"(\S\Mail\)", mail},           // a trailing "\" changes nothing
      {R"(\S\\Mail)", mail},           // an empty name is passed over
      {R"(\S\Missing\2010)", top_2010},  // Missing is passed over: 2010 below the top folder
      {R"(\Unknown\Mail)", std::nullopt},  // no store of that name, and Mail is no store
      {R"(\S)", top},
      {"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(open(c.path), c.found) << c.path;
}

}  // namespace
