// The store on our PST writer: exclusive creation, folder name rules, and what a run over it
// reports for files that fail to read or read with notes.
#include "store/pst_store.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include "run/conversion_run.h"
#include "run/row_source.h"
#include "support/memory_store.h"
#include "support/scripted_platform.h"

namespace {

class ListRows final : public convert::RowSource {
 public:
  explicit ListRows(QStringList rows) : rows_(std::move(rows)) {}
  std::int32_t Rows() override { return static_cast<std::int32_t>(rows_.size()); }
  wharfline::Result<QString> RowText(std::int32_t row) override { return rows_.at(row); }

 private:
  QStringList rows_;
};

class NullView final : public convert::ProgressView {
 public:
  void SetBarRanges(float, float) override {}
  void SetFrameCaption(const QString&) override {}
  void SetStatusLine(const QString&) override {}
  void SetOverallProgress(float) override {}
  void SetConvertEnabled(bool) override {}
};

class PstStoreTest : public ::testing::Test {
 protected:
  QTemporaryDir dir_;
  store::PstStores stores_{pst::DefaultFileEnv()};
};

TEST_F(PstStoreTest, NeverOpensAnExistingFile) {
  const QString path = dir_.filePath(QStringLiteral("taken.pst"));
  {
    QFile taken(path);
    ASSERT_TRUE(taken.open(QIODevice::WriteOnly));
    taken.write("keep me");
  }
  const auto created = stores_.Create(path, QStringLiteral("S"));
  ASSERT_FALSE(created);
  EXPECT_EQ(created.error().number(), 58);
  QFile taken(path);
  ASSERT_TRUE(taken.open(QIODevice::ReadOnly));
  EXPECT_EQ(taken.readAll(), QByteArray("keep me"));
}

TEST_F(PstStoreTest, FolderNamesAreUniqueWithoutRegardToCase) {
  std::unique_ptr<store::Store> created =
      *stores_.Create(dir_.filePath(QStringLiteral("f.pst")), QStringLiteral("Store Ä"));
  const store::FolderRef top = created->TopFolder();
  EXPECT_EQ(created->Name(top), QStringLiteral("Store Ä"));
  const store::FolderRef mail = *created->AddFolder(top, QStringLiteral("Mail"));
  const store::FolderRef sub = *created->AddFolder(mail, QStringLiteral("2010 Ünïcode"));
  EXPECT_TRUE(created->AddFolder(top, QStringLiteral("MAIL")).error().IsAlreadyExists());
  EXPECT_EQ(*created->Child(top, QStringLiteral("mail")), mail);
  EXPECT_EQ(*created->Child(mail, QStringLiteral("2010 ÜNÏCODE")), sub);
  EXPECT_EQ(created->Name(sub), QStringLiteral("2010 Ünïcode"));
  EXPECT_TRUE(created->Child(top, QStringLiteral("2010 Ünïcode")).error().IsNotFound());
  ASSERT_TRUE(created->Close().ok());
  EXPECT_FALSE(created->AddFolder(top, QStringLiteral("Later")));  // the store is closed
}

TEST_F(PstStoreTest, ARunReportsUnreadableFilesAndNotes) {
  testing_support::CallRecorder recorder;
  testing_support::FakeMessageFiles files(recorder);
  files.notes[QStringLiteral("/m/x.partial.emlx")] = {"attachments missing"};
  recorder.SetFaultStatus(wharfline::Status::InvalidArgument("not a message", "/m/broken.eml"));
  recorder.FailAlways(QStringLiteral("Files.Read"), QStringLiteral("/m/broken.eml"));
  testing_support::ScriptedPlatform platform;
  convert::ConversionRun run(convert::Engine{stores_, files}, platform.events, platform.clock);
  convert::RunState state;
  state.outputFolder = dir_.path() + u'/';
  ListRows rows({QStringLiteral("/m/a.eml"), QStringLiteral("/m/broken.eml"),
                 QStringLiteral("/m/x.partial.emlx")});
  NullView view;
  const convert::RunOutcome outcome = run.Run(state, rows, view);
  ASSERT_FALSE(outcome.outlook_error) << outcome.cause.toStdString();
  EXPECT_EQ(outcome.stored, 2);
  ASSERT_EQ(outcome.failures.size(), 1u);
  EXPECT_EQ(outcome.failures[0].path, QStringLiteral("/m/broken.eml"));
  EXPECT_EQ(outcome.failures[0].reason, QStringLiteral("5:not a message: /m/broken.eml"));
  ASSERT_EQ(outcome.notes.size(), 1u);
  EXPECT_EQ(outcome.notes[0].path, QStringLiteral("/m/x.partial.emlx"));
  EXPECT_EQ(outcome.notes[0].reason, QStringLiteral("attachments missing"));
  EXPECT_TRUE(QFile::exists(outcome.pst_path));
  EXPECT_TRUE(convert::FailureSummaryText(outcome).endsWith(
      "This file was imported, but:\r\n/m/x.partial.emlx - attachments missing"));
}

}  // namespace
