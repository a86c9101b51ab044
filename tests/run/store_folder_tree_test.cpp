#include "run/store_folder_tree.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "run/OpenMAPIFolder.h"
#include "store/memory_mail.h"
#include "test_helpers.h"

namespace {

using convert_test::CountingPump;
using convert_test::VectorRows;

const QString kDisplayName = QStringLiteral("Pellimor Software : Created - 7.12.26 1.41.31");

// A logged-on session with one new store, as the run has it when the folder tree starts.
class FolderTreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    session_ = mail_.components().CreateSession();
    session_->Logon();
    store_ = session_->Stores()->AddPSTStore(QStringLiteral("/out/a.pst"), 1, kDisplayName);
    entry_id_ = store_->EntryID();
    mail_.recorder().ClearCalls();
  }

  // Both halves of the stage over rows; returns the folder list.
  QStringList Run(const QStringList& rows) {
    VectorRows source(rows);
    QStringList folder_list;
    tree_.PrepareFolderList(source, folder_list);
    tree_.CreateFolders(folder_list, session_, entry_id_, kDisplayName, skipped_);
    return folder_list;
  }

  std::vector<QString> StoreFolders() { return mail_.backend().stores().front()->FolderPaths(); }

  bool AddAttempted(const QString& name) {
    const std::vector<QString> adds = mail_.recorder().Args(QStringLiteral("Folders.Add"));
    return std::find(adds.begin(), adds.end(), name + QStringLiteral(", 6")) != adds.end();
  }

  store::MemoryMail mail_;
  CountingPump pump_;
  convert::StoreFolderTree tree_{mail_.components(), pump_};
  convert::FailureLog skipped_;
  std::shared_ptr<store::Session> session_;
  std::shared_ptr<store::Store> store_;
  QString entry_id_;
};

TEST_F(FolderTreeTest, TwoSiblingFoldersGiveExactlyThreeFoldersParentFirst) {
  const QStringList list =
      Run({QStringLiteral(R"(C:\Mail\2011\b.eml)"), QStringLiteral(R"(C:\Mail\2010\a.eml)")});
  EXPECT_EQ(list, (QStringList{QStringLiteral("Mail"), QStringLiteral(R"(Mail\2010)"),
                               QStringLiteral(R"(Mail\2011)")}));
  EXPECT_EQ(StoreFolders(),
            (std::vector<QString>{QStringLiteral("Mail"), QStringLiteral(R"(Mail\2010)"),
                                  QStringLiteral(R"(Mail\2011)")}));
  EXPECT_TRUE(skipped_.empty());
  // Deeper folders are opened by path through automation, a new application each time.
  EXPECT_EQ(mail_.recorder().Args(QStringLiteral("Folders.Item")),
            (std::vector<QString>{kDisplayName, QStringLiteral("Mail"), kDisplayName,
                                  QStringLiteral("Mail")}));
  EXPECT_EQ(mail_.recorder().Count(QStringLiteral("Components.CreateApplication")), 2);
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
  EXPECT_EQ(mail_.recorder().Count(QStringLiteral("Folders.Add")), 5);
}

TEST_F(FolderTreeTest, ExistingTopLevelFolderIsReusedNotCreatedAgain) {
  store_->IPMRootFolder()->Folders()->Add(QStringLiteral("Other"), 6);
  store_->IPMRootFolder()->Folders()->Add(QStringLiteral("Mail"), 6);
  mail_.recorder().ClearCalls();
  Run({QStringLiteral(R"(C:\Mail\2010\a.eml)")});
  EXPECT_FALSE(AddAttempted(QStringLiteral("Mail")));
  EXPECT_TRUE(AddAttempted(QStringLiteral("2010")));
  EXPECT_EQ(StoreFolders(), (std::vector<QString>{QStringLiteral("Other"), QStringLiteral("Mail"),
                                                  QStringLiteral(R"(Mail\2010)")}));
  EXPECT_TRUE(skipped_.empty());
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
  ASSERT_EQ(skipped_.entries().size(), 1u);
  EXPECT_EQ(skipped_.entries()[0].step, QStringLiteral("create folder Mail"));
  EXPECT_EQ(skipped_.entries()[0].number, store::kErrCollision);
}

TEST_F(FolderTreeTest, FailedParentMakesItsChildLandOneLevelHigher) {
  mail_.recorder().FailAlways(QStringLiteral("Folders.Add"), QStringLiteral("2010, 6"));
  Run({QStringLiteral(R"(C:\Mail\2010\Jan\a.eml)"), QStringLiteral(R"(C:\Mail\2011\b.eml)")});
  EXPECT_EQ(StoreFolders(),
            (std::vector<QString>{QStringLiteral("Mail"), QStringLiteral(R"(Mail\Jan)"),
                                  QStringLiteral(R"(Mail\2011)")}));
  ASSERT_EQ(skipped_.entries().size(), 1u);
  EXPECT_EQ(skipped_.entries()[0].step, QStringLiteral(R"(create folder Mail\2010)"));
}

TEST_F(FolderTreeTest, WithoutAutomationOnlyTopLevelFoldersAreCreated) {
  mail_.recorder().FailAlways(QStringLiteral("Components.CreateApplication"));
  Run({QStringLiteral(R"(C:\Mail\2010\a.eml)"), QStringLiteral(R"(C:\News\b.eml)")});
  EXPECT_EQ(StoreFolders(), (std::vector<QString>{QStringLiteral("Mail"), QStringLiteral("News")}));
  ASSERT_EQ(skipped_.entries().size(), 1u);
  EXPECT_EQ(skipped_.entries()[0].number, store::kErrObjectNotSet);
  // Each creation attempt still yields as often as when it succeeds.
  EXPECT_EQ(pump_.count(), 3 + 1 + 2 + 1);
}

TEST_F(FolderTreeTest, EachFailingCreationStepIsSkippedAndTheRestGoesOn) {
  // The store lookup fails for the first top-level folder only; later, an empty session makes
  // every top-level step fail. Nothing is thrown out of the creation.
  mail_.recorder().FailNth(QStringLiteral("Stores.GetStoreFromID"), 1);
  Run({QStringLiteral(R"(C:\A\a.eml)"), QStringLiteral(R"(C:\B\b.eml)")});
  EXPECT_EQ(StoreFolders(), (std::vector<QString>{QStringLiteral("B")}));
  // Without the store, the listing and the creation fail as well: three records for one folder.
  EXPECT_EQ(skipped_.entries().size(), 3u);

  skipped_.Clear();
  tree_.CreateFolders({QStringLiteral("C"), QStringLiteral(R"(C\D)")}, nullptr, entry_id_,
                      kDisplayName, skipped_);
  // C is missing, so its child D is made directly below the top folder.
  EXPECT_EQ(StoreFolders(), (std::vector<QString>{QStringLiteral("B"), QStringLiteral("D")}));
  EXPECT_EQ(skipped_.entries().size(), 3u);
}

TEST_F(FolderTreeTest, FilesDirectlyInARootAddNoFolder) {
  EXPECT_EQ(Run({QStringLiteral(R"(C:\a.eml)"), QStringLiteral("/b.eml")}), QStringList());
  EXPECT_TRUE(StoreFolders().empty());
  EXPECT_EQ(mail_.recorder().calls().size(), 0u);

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
    try {
      tree_.PrepareFolderList(rows, folder_list);
      ADD_FAILURE() << "no error for " << c.rows.join(u'|').toStdString();
    } catch (const store::StoreError& error) {
      EXPECT_EQ(error.number(), c.number);
    }
  }
  // No events are processed before every row is read.
  EXPECT_EQ(pump_.count(), 0);
}

TEST_F(FolderTreeTest, PreparationRebuildsTheListFromScratch) {
  VectorRows rows({QStringLiteral(R"(C:\New\a.eml)")});
  QStringList folder_list{QStringLiteral("Old"), QStringLiteral(R"(Old\Stale)")};
  tree_.PrepareFolderList(rows, folder_list);
  EXPECT_EQ(folder_list, QStringList{QStringLiteral("New")});
}

// While the stage yields, the window's other commands run: clearing the list resets the
// window's folder list, and a second run replaces its session. The stage works on.
TEST_F(FolderTreeTest, CommandsRunningWhileEventsAreProcessedDoNotDisturbTheStage) {
  QStringList folder_list;  // the window's fields
  std::shared_ptr<store::Session> rdo_session = session_;
  pump_.OnYield([&](int) {
    folder_list = QStringList{QString()};
    rdo_session.reset();
  });
  VectorRows rows({QStringLiteral(R"(C:\Mail\2010\a.eml)"), QStringLiteral(R"(C:\News\b.eml)")});
  tree_.PrepareFolderList(rows, folder_list);
  EXPECT_EQ(folder_list, (QStringList{QStringLiteral("Mail"), QStringLiteral(R"(Mail\2010)"),
                                      QStringLiteral("News")}));
  rdo_session = session_;
  tree_.CreateFolders(folder_list, rdo_session, entry_id_, kDisplayName, skipped_);
  EXPECT_EQ(StoreFolders(),
            (std::vector<QString>{QStringLiteral("Mail"), QStringLiteral(R"(Mail\2010)"),
                                  QStringLiteral("News")}));
  EXPECT_TRUE(skipped_.empty());
}

TEST(OpenMAPIFolder, ResolvesNamesAndPassesOverWhatItCannotFind) {
  store::MemoryMail mail;
  std::shared_ptr<store::Session> session = mail.components().CreateSession();
  session->Logon();
  const QString s = QStringLiteral("S");
  std::shared_ptr<store::Folder> root =
      session->Stores()->AddPSTStore(QStringLiteral("/s.pst"), 1, s)->IPMRootFolder();
  std::shared_ptr<store::Folder> mail_folder = root->Folders()->Add(QStringLiteral("Mail"), 6);
  mail_folder->Folders()->Add(QStringLiteral("2010"), 6);
  root->Folders()->Add(QStringLiteral("2010"), 6);
  // A second store whose display name is also a folder name of the first.
  session->Stores()->AddPSTStore(QStringLiteral("/m.pst"), 1, QStringLiteral("Mail"));
  auto& backend = mail.backend();
  auto path_of = [&](const std::shared_ptr<store::Folder>& folder) -> QString {
    if (!folder) return QStringLiteral("<none>");
    return folder->Name();
  };
  auto open = [&](const char* path) {
    return convert::OpenMAPIFolder(mail.components(), QString::fromUtf8(path));
  };

  EXPECT_EQ(path_of(open(R"(\S\Mail\2010)")), QStringLiteral("2010"));
  // The same name one level up: only the parent's children are searched.
  EXPECT_EQ(open(R"(\S\Mail\2010)")->Folders()->Count(), 0);
  EXPECT_EQ(path_of(open(R"(\s\MAIL)")), QStringLiteral("Mail"));   // case ignored
  EXPECT_EQ(path_of(open(R"(\S\Mail\)")), QStringLiteral("Mail"));  // trailing "\"
  EXPECT_EQ(path_of(open(R"(\S\\Mail)")), QStringLiteral("Mail"));  // empty name passed over
  // Missing is passed over; 2010 is then found directly below the top folder of S.
  std::shared_ptr<store::Folder> top_2010 = open(R"(\S\Missing\2010)");
  ASSERT_TRUE(top_2010);
  top_2010->Folders()->Add(QStringLiteral("mark"), 6);
  EXPECT_GE(backend.stores()[0]->Find(QStringLiteral(R"(2010\mark)")), 0);
  // Unknown is passed over and Mail is looked up among the stores' top folders.
  EXPECT_EQ(path_of(open(R"(\Unknown\Mail)")), QStringLiteral("Mail"));
  EXPECT_EQ(path_of(open(R"(\Unknown\Nothing)")), QStringLiteral("<none>"));
  // No explorer window: the empty path finds nothing, and a relative path is looked up from
  // the stores' top folders (here it finds the store named Mail and passes over 2010).
  EXPECT_EQ(path_of(open("")), QStringLiteral("<none>"));
  EXPECT_EQ(path_of(open(R"(Mail\2010)")), QStringLiteral("Mail"));
  // Every call makes its own application object.
  EXPECT_EQ(mail.recorder().Count(QStringLiteral("Components.CreateApplication")), 10);

  mail.recorder().FailAlways(QStringLiteral("Components.CreateApplication"));
  EXPECT_EQ(path_of(open(R"(\S\Mail)")), QStringLiteral("<none>"));
  mail.recorder().ClearFaults();
  mail.recorder().FailAlways(QStringLiteral("Folders.Item"), QStringLiteral("2010"));
  EXPECT_EQ(path_of(open(R"(\S\Mail\2010)")), QStringLiteral("Mail"));
}

}  // namespace
