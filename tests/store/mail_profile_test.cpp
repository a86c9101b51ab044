#include "store/mail_profile.h"

#include <gtest/gtest.h>

#include "store/memory_mail.h"

inline void PrintTo(const QString& text, std::ostream* os) {
  *os << '"' << text.toStdString() << '"';
}

namespace {

using store::StoreError;

const QString kName = QStringLiteral("Pellimor Software : Created - 1.3.11 9.5.03");

// Runs call and returns the number of the StoreError it throws, or 0.
template <typename Call>
std::int32_t ErrorOf(Call&& call) {
  try {
    call();
  } catch (const StoreError& error) {
    return error.number();
  }
  return 0;
}

class ProfileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    session_ = mail_.components().CreateSession();
    session_->Logon();
    store_ = session_->Stores()->AddPSTStore(QStringLiteral("/out/a.pst"), 1, kName);
  }

  store::MemoryMail mail_;
  std::shared_ptr<store::Session> session_;
  std::shared_ptr<store::Store> store_;
};

TEST_F(ProfileTest, SessionAndAutomationSeeTheSameStoreAndFolders) {
  ASSERT_EQ(mail_.profile().stores().size(), 1u);
  EXPECT_EQ(mail_.profile().stores()[0].display_name, kName);
  EXPECT_EQ(mail_.backend().stores()[0]->path, QStringLiteral("/out/a.pst"));

  // Made through the session, found through automation, and the other way round.
  store_->IPMRootFolder()->Folders()->Add(QStringLiteral("Mail"), 6);
  std::shared_ptr<store::Application> app = mail_.components().CreateApplication();
  std::shared_ptr<store::Folder> top =
      app->GetNamespace(QStringLiteral("MAPI"))->Folders()->Item(kName.toUpper());
  EXPECT_EQ(top->Name(), kName);
  top->Folders()->Item(QStringLiteral("mail"))->Folders()->Add(QStringLiteral("2010"), 6);

  std::shared_ptr<store::Store> again = session_->Stores()->GetStoreFromID(store_->EntryID());
  EXPECT_EQ(again->IPMRootFolder()->Folders()->Item(QStringLiteral("MAIL"))->Folders()->Count(), 1);
  std::shared_ptr<store::Folder> by_path =
      session_->GetFolderFromPath(QStringLiteral("\\\\") + kName + QStringLiteral("\\mail\\2010"));
  EXPECT_EQ(by_path->Name(), QStringLiteral("2010"));
  // The top folder by path, with and without the final "\".
  EXPECT_EQ(session_->GetFolderFromPath(QStringLiteral("\\\\") + kName + QStringLiteral("\\"))
                ->Folders()
                ->Count(),
            1);
  EXPECT_EQ(session_->GetFolderFromPath(QStringLiteral("\\\\") + kName)->Name(), kName);

  EXPECT_EQ(
      ErrorOf([&] {
        session_->GetFolderFromPath(QStringLiteral("\\\\") + kName + QStringLiteral("\\Nope"));
      }),
      store::kErrNotFound);
  EXPECT_EQ(ErrorOf([&] { session_->GetFolderFromPath(QStringLiteral("\\\\Other\\Mail")); }),
            store::kErrNotFound);
  // Only "\\" opens a path; with other separators the store's name is not looked up.
  EXPECT_EQ(ErrorOf([&] { session_->GetFolderFromPath(QStringLiteral("//") + kName); }),
            store::kErrNotFound);
  EXPECT_EQ(ErrorOf([&] { app->GetNamespace(QStringLiteral("NEWS")); }), store::kErrInvalidCall);
  EXPECT_EQ(ErrorOf([&] {
              app->GetNamespace(QStringLiteral("MAPI"))->Folders()->Add(QStringLiteral("x"), 6);
            }),
            store::kErrNoSupport);
}

TEST_F(ProfileTest, FolderNamesAreUniqueWithoutRegardToCase) {
  std::shared_ptr<store::Folders> folders = store_->IPMRootFolder()->Folders();
  folders->Add(QStringLiteral("Mail"), 6);
  EXPECT_EQ(ErrorOf([&] { folders->Add(QStringLiteral("MAIL"), 6); }), store::kErrCollision);
  EXPECT_EQ(ErrorOf([&] { folders->Add(QStringLiteral("Mail"), 6); }), store::kErrCollision);
  EXPECT_EQ(ErrorOf([&] { folders->Add(QString(), 6); }), store::kErrInvalidCall);
  EXPECT_EQ(ErrorOf([&] { folders->Item(2); }), store::kErrNotFound);
  EXPECT_EQ(ErrorOf([&] { folders->Item(0); }), store::kErrNotFound);
  EXPECT_EQ(folders->Count(), 1);
  EXPECT_EQ(folders->Item(1)->Name(), QStringLiteral("Mail"));
}

TEST_F(ProfileTest, ItemsImportFlagAndSave) {
  std::shared_ptr<store::Folder> folder =
      store_->IPMRootFolder()->Folders()->Add(QStringLiteral("Mail"), 6);
  std::shared_ptr<store::Item> item = folder->Items()->Add(0);
  item->Import(QStringLiteral("/in/a.eml"), 1024);
  mail_.components().CreateMapiUtils()->HrSetOneProp(item->MAPIOBJECT(), 0x0E070003u, 17, true);
  item->Save();

  const store::MemoryItem& stored = mail_.backend().stores()[0]->nodes[1].items.at(0);
  EXPECT_EQ(stored.imported_path, QStringLiteral("/in/a.eml"));
  EXPECT_EQ(std::get<std::int32_t>(stored.props.at(0x0E070003u)), 17);
  EXPECT_EQ(stored.property_saves, 1);
  EXPECT_EQ(stored.saves, 1);
  EXPECT_EQ(mail_.backend().stores()[0]->nodes[1].items.size(), 1u);
  EXPECT_EQ(mail_.recorder().Args(QStringLiteral("MapiUtils.HrSetOneProp")),
            std::vector<QString>{QStringLiteral("0x0E070003, 17, true")});

  // An empty reference passed in is an error, not a crash.
  EXPECT_EQ(
      ErrorOf([&] { mail_.components().CreateMapiUtils()->HrSetOneProp(nullptr, 1, 1, true); }),
      store::kErrObjectNotSet);
  EXPECT_EQ(ErrorOf([&] {
              mail_.components().CreateMimeMessage()->MimeFileStep1(QStringLiteral("/in/a.eml"));
            }),
            0);
}

TEST_F(ProfileTest, RemoveDetachesAndClosesTheStore) {
  std::shared_ptr<store::Folder> top = store_->IPMRootFolder();
  const QString id = store_->EntryID();
  store_->Remove();
  EXPECT_TRUE(mail_.profile().stores().empty());
  EXPECT_TRUE(mail_.backend().stores()[0]->closed);
  EXPECT_EQ(ErrorOf([&] { session_->Stores()->GetStoreFromID(id); }), store::kErrNotFound);
  std::shared_ptr<store::Application> app = mail_.components().CreateApplication();
  EXPECT_EQ(ErrorOf([&] { app->GetNamespace(QStringLiteral("MAPI"))->Folders()->Item(kName); }),
            store::kErrNotFound);
  EXPECT_EQ(ErrorOf([&] { top->Folders(); }), store::kErrCallFailed);
  EXPECT_EQ(ErrorOf([&] { store_->Remove(); }), store::kErrNotFound);
  // The same file cannot be created twice, attached or not.
  EXPECT_EQ(
      ErrorOf([&] { session_->Stores()->AddPSTStore(QStringLiteral("/out/a.pst"), 1, kName); }),
      wharfline::Status::kNumberAlreadyExists);
}

TEST_F(ProfileTest, LogonIsNeededAndThereIsNoExplorerWindow) {
  std::shared_ptr<store::Session> fresh = mail_.components().CreateSession();
  EXPECT_EQ(ErrorOf([&] { fresh->Stores(); }), store::kErrNotInitialized);
  EXPECT_EQ(ErrorOf([&] { fresh->GetFolderFromPath(QStringLiteral("\\\\") + kName); }),
            store::kErrNotInitialized);
  std::shared_ptr<store::Stores> stores = session_->Stores();
  session_->Logoff();
  EXPECT_EQ(ErrorOf([&] { stores->GetStoreFromID(store_->EntryID()); }), store::kErrNotInitialized);
  EXPECT_EQ(ErrorOf([&] { stores->AddPSTStore(QStringLiteral("/out/b.pst"), 1, kName); }),
            store::kErrNotInitialized);
  EXPECT_EQ(ErrorOf([&] { session_->Logoff(); }), store::kErrNotInitialized);

  std::shared_ptr<store::Application> app = mail_.components().CreateApplication();
  EXPECT_EQ(app->ActiveExplorer(), nullptr);
  EXPECT_EQ(ErrorOf([&] { store::Checked(app->ActiveExplorer(), "explorer")->CurrentFolder(); }),
            store::kErrObjectNotSet);

  store::MailProfile profile;
  store::MemoryBackend backend;
  store::ProfileComponents without_mime(profile, backend);
  EXPECT_EQ(ErrorOf([&] { without_mime.CreateMimeMessage(); }), store::kErrCannotCreateObject);
}

TEST(CallRecorder, FailsTheNthMatchingCallOnceOrFromThenOn) {
  store::MemoryMail mail;
  store::CallRecorder& rec = mail.recorder();
  rec.FailNth(QStringLiteral("Components.CreateSession"), 2);
  EXPECT_EQ(ErrorOf([&] { mail.components().CreateSession(); }), 0);
  EXPECT_EQ(ErrorOf([&] { mail.components().CreateSession(); }), store::kErrCallFailed);
  EXPECT_EQ(ErrorOf([&] { mail.components().CreateSession(); }), 0);

  rec.SetFaultError(StoreError(123, QStringLiteral("disk full")));
  rec.FailNth(QStringLiteral("Components.CreateApplication"), 2, /*from_then_on=*/true);
  std::vector<std::int32_t> got;
  for (int i = 0; i < 4; ++i)
    got.push_back(ErrorOf([&] { mail.components().CreateApplication(); }));
  EXPECT_EQ(got, (std::vector<std::int32_t>{0, 123, 123, 123}));
  EXPECT_EQ(rec.faults_delivered(), 4);

  // A fault keyed on arguments counts only the calls that carry them.
  std::shared_ptr<store::Session> session = mail.components().CreateSession();
  session->Logon();
  std::shared_ptr<store::Folders> top = session->Stores()
                                            ->AddPSTStore(QStringLiteral("/x.pst"), 1, kName)
                                            ->IPMRootFolder()
                                            ->Folders();
  rec.FailNth(QStringLiteral("Folders.Add"), 2, false, QStringLiteral("B, 6"));
  top->Add(QStringLiteral("A"), 6);
  top->Add(QStringLiteral("B"), 6);
  EXPECT_EQ(ErrorOf([&] { top->Add(QStringLiteral("C"), 6); }), 0);
  EXPECT_EQ(ErrorOf([&] { top->Add(QStringLiteral("B"), 6); }), 123);  // would collide anyway
  EXPECT_TRUE(rec.calls().back().failed);
  EXPECT_EQ(rec.Args(QStringLiteral("Folders.Add")),
            (std::vector<QString>{QStringLiteral("A, 6"), QStringLiteral("B, 6"),
                                  QStringLiteral("C, 6"), QStringLiteral("B, 6")}));
  EXPECT_EQ(StoreError(5, QStringLiteral("x")).ToString(), QStringLiteral("5:x"));
}

}  // namespace
