// The mail store on our PST writer: exclusive creation, folder name rules, and what a run over
// it reports for files that fail to read or read with notes.
#include "store/pst_backend.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "run/conversion_run.h"
#include "run/row_source.h"
#include "store/mail_profile.h"
#include "store/memory_store.h"
#include "support/scripted_platform.h"

namespace {

// Reads nothing from disk: the file name decides what the "importer" makes of it.
wharfline::Result<store::ReadMessage> FakeReader(const std::string& path) {
  if (path.find("broken") != std::string::npos) {
    return wharfline::Status::InvalidArgument("not a message", path);
  }
  store::ReadMessage read;
  read.content.props.push_back({pst::MakeTag(0x0037, pst::PropType::kString), u"Hello"});
  if (path.find("partial") != std::string::npos) read.notes.push_back("attachments missing");
  return read;
}

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

class PstBackendTest : public ::testing::Test {
 protected:
  QTemporaryDir dir_;
  store::PstBackend backend_{pst::DefaultFileEnv(), FakeReader};
  store::MailProfile profile_;
  store::ProfileComponents components_{profile_, backend_,
                                       [] { return std::make_shared<store::MemoryMimeMessage>(); }};
};

TEST_F(PstBackendTest, NeverOpensAnExistingFile) {
  const QString path = dir_.filePath(QStringLiteral("taken.pst"));
  {
    QFile taken(path);
    ASSERT_TRUE(taken.open(QIODevice::WriteOnly));
    taken.write("keep me");
  }
  try {
    backend_.CreateStore(path, store::kStoreFormatUnicode, QStringLiteral("S"));
    FAIL() << "an existing file was opened";
  } catch (const store::StoreError& error) {
    EXPECT_EQ(error.number(), 58);
  }
  QFile taken(path);
  ASSERT_TRUE(taken.open(QIODevice::ReadOnly));
  EXPECT_EQ(taken.readAll(), QByteArray("keep me"));
  EXPECT_THROW(backend_.CreateStore(dir_.filePath("x.pst"), 2, QStringLiteral("S")),
               store::StoreError);
}

TEST_F(PstBackendTest, FolderNamesAreUniqueWithoutRegardToCase) {
  auto created = backend_.CreateStore(dir_.filePath(QStringLiteral("f.pst")),
                                      store::kStoreFormatUnicode, QStringLiteral("Store Ä"));
  auto top = created->RootFolder();
  EXPECT_EQ(top->Name(), QStringLiteral("Store Ä"));
  auto mail = top->Folders()->Add(QStringLiteral("Mail"), store::kFolderTypeMail);
  mail->Folders()->Add(QStringLiteral("2010 Ünïcode"), store::kFolderTypeMail);
  try {
    top->Folders()->Add(QStringLiteral("MAIL"), store::kFolderTypeMail);
    FAIL() << "a case twin was created";
  } catch (const store::StoreError& error) {
    EXPECT_EQ(error.number(), store::kErrCollision);
  }
  EXPECT_EQ(top->Folders()->Item(QStringLiteral("mail"))->Name(), QStringLiteral("Mail"));
  EXPECT_EQ(mail->Folders()->Item(1)->Name(), QStringLiteral("2010 Ünïcode"));
  EXPECT_EQ(top->Folders()->Count(), 2);  // Deleted Items and Mail
  created->Close();
  EXPECT_THROW(top->Folders(), store::StoreError);  // handles fail once the store is closed
}

TEST_F(PstBackendTest, ARunReportsUnreadableFilesAndNotes) {
  testing_support::ScriptedPlatform platform;
  convert::ConversionRun run(components_, platform.events, platform.clock);
  convert::RunState state;
  state.outputFolder = dir_.path() + u'/';
  ListRows rows({QStringLiteral("/m/a.eml"), QStringLiteral("/m/broken.eml"),
                 QStringLiteral("/m/x.partial.emlx")});
  NullView view;
  const convert::RunOutcome outcome = run.Run(state, rows, view);
  ASSERT_FALSE(outcome.outlook_error) << outcome.cause.toStdString();
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
