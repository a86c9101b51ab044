// The conversion run and the import of one file on the engine in memory: progress texts and
// values, the two error regimes, and what a failed file leaves behind and reports.
#include "run/conversion_run.h"

#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <stdexcept>

#include "run/message_import.h"
#include "support/memory_store.h"
#include "support/scripted_platform.h"
#include "test_helpers.h"

namespace {

using convert_test::CountingPump;
using convert_test::VectorRows;

// The window's progress controls, as a record of what the run set.
class RecordingView final : public convert::ProgressView {
 public:
  void SetBarRanges(float min, float max) override { ranges.emplace_back(min, max); }
  void SetFrameCaption(const QString& caption) override { captions << caption; }
  void SetStatusLine(const QString& text) override { status << text; }
  void SetOverallProgress(float value) override { values.push_back(value); }
  void SetConvertEnabled(bool enabled) override { convert_states.push_back(enabled); }

  std::vector<std::pair<float, float>> ranges;
  QStringList captions;
  QStringList status;
  std::vector<float> values;
  std::vector<bool> convert_states;
};

class ConversionRunTest : public ::testing::Test {
 protected:
  convert::RunOutcome Run(const QStringList& rows) {
    VectorRows source(rows);
    state_.outputFolder = QStringLiteral("/out/");
    return run_.Run(state_, source, view_);
  }
  testing_support::MemoryStoreData& Store() { return *engine_.stores().stores().front(); }
  const testing_support::MemoryFolderNode& Folder(const QString& path) {
    const int node = Store().Find(path);
    EXPECT_GE(node, 0) << path.toStdString();
    return Store().nodes.at(node);
  }

  testing_support::MemoryEngine engine_;
  CountingPump pump_;
  testing_support::FixedClock clock_;
  convert::ConversionRun run_{engine_.engine(), pump_, clock_};
  convert::RunState state_;
  RecordingView view_;
};

TEST(RunTimestamp, HasNoLeadingZerosButTwoDigitSecondsAndYear) {
  EXPECT_EQ(convert::RunTimestamp(QDateTime(QDate(2026, 12, 7), QTime(1, 41, 31))),
            QStringLiteral("7.12.26 1.41.31"));
  EXPECT_EQ(convert::RunTimestamp(QDateTime(QDate(2011, 3, 1), QTime(9, 5, 3))),
            QStringLiteral("1.3.11 9.5.03"));
}

TEST_F(ConversionRunTest, ThreeFilesShowTheirProgressAndEndClosed) {
  clock_.step_seconds = 1;  // the two names may fall on either side of a second
  const convert::RunOutcome outcome = Run({QStringLiteral("/home/ann/Mail/a.eml"),
                                           QStringLiteral("/home/ann/Mail/2010/b.emlx"),
                                           QStringLiteral("/home/ann/c.eml")});
  EXPECT_FALSE(outcome.outlook_error);
  EXPECT_TRUE(outcome.failures.empty());
  EXPECT_EQ(outcome.pst_path, QStringLiteral("/out/PellimorEMLMessages7.12.26 1.41.31.pst"));
  EXPECT_EQ(Store().path, outcome.pst_path);
  EXPECT_EQ(Store().display_name, QStringLiteral("Pellimor Software : Created - 7.12.26 1.41.32"));
  EXPECT_TRUE(Store().closed);
  EXPECT_FALSE(Store().abandoned);
  EXPECT_FALSE(state_.newStore);

  EXPECT_EQ(view_.ranges, (std::vector<std::pair<float, float>>{{0.0f, 100.0f}}));
  EXPECT_EQ(view_.captions, (QStringList{"Details : Converting - (1 of 3) file(s)",
                                         "Details : Converting - (2 of 3) file(s)",
                                         "Details : Converting - (3 of 3) file(s)"}));
  EXPECT_EQ(view_.status, (QStringList{R"(Importing Messages... from (home\ann\Mail))",
                                       R"(Importing Messages... from (home\ann\Mail\2010))",
                                       R"(Importing Messages... from (home\ann))"}));
  // The single-precision values of 100/3, 200/3 and 100.
  EXPECT_EQ(view_.values, (std::vector<float>{33.333332f, 66.666664f, 100.0f}));
  EXPECT_EQ(view_.convert_states, (std::vector<bool>{false, false, false}));

  EXPECT_EQ(Store().Subjects(R"(home\ann\Mail)"), QStringList{"/home/ann/Mail/a.eml"});
  EXPECT_EQ(Store().Subjects(R"(home\ann\Mail\2010)"), QStringList{"/home/ann/Mail/2010/b.emlx"});
  EXPECT_EQ(Store().Subjects(R"(home\ann)"), QStringList{"/home/ann/c.eml"});
}

TEST_F(ConversionRunTest, EachFileIsReadThenStored) {
  // Blanks at either end of a name are part of it: the path is used as listed.
  Run({QStringLiteral("/m/ a.eml "), QStringLiteral("/m/b.eml")});
  QStringList order;
  for (const testing_support::RecordedCall& call : engine_.recorder().calls()) {
    // The files are announced for reading ahead once, as the import spells them, and the
    // announcement is withdrawn when the last one is done.
    if (call.op == "Files.Read" || call.op == "Store.AddMessage" || call.op == "Files.Expect") {
      order << call.op + "(" + call.args + ")";
    }
  }
  EXPECT_EQ(order, (QStringList{"Files.Expect(/m/ a.eml , /m/b.eml)", "Files.Read(/m/ a.eml )",
                                "Store.AddMessage(m)", "Files.Read(/m/b.eml)",
                                "Store.AddMessage(m)", "Files.Expect()"}));
  EXPECT_EQ(Store().Subjects("m"), (QStringList{"/m/ a.eml ", "/m/b.eml"}));
}

TEST_F(ConversionRunTest, AFailedImportLeavesNothingAndIsReported) {
  engine_.recorder().FailNth(QStringLiteral("Files.Read"), 2);
  const convert::RunOutcome outcome =
      Run({QStringLiteral("/m/a.eml"), QStringLiteral("/m/bad.eml"), QStringLiteral("/m/c.eml")});
  EXPECT_EQ(view_.values.size(), 3u);  // the bar still advances for it
  ASSERT_EQ(outcome.failures.size(), 1u);
  EXPECT_EQ(outcome.failures[0].path, QStringLiteral("/m/bad.eml"));
  EXPECT_EQ(outcome.failures[0].reason, QStringLiteral("57:store: Injected fault"));
  EXPECT_EQ(Store().Subjects("m"), (QStringList{"/m/a.eml", "/m/c.eml"}));  // nothing left of it
  EXPECT_EQ(convert::FailureSummaryText(outcome),
            QStringLiteral("Imported 2 of 3 files.\r\nThis file could not be imported:\r\n"
                           "/m/bad.eml - 57:store: Injected fault"));
}

TEST_F(ConversionRunTest, AFolderThatCouldNotBeCreatedFailsItsFilesOnly) {
  engine_.recorder().FailAlways(QStringLiteral("Store.AddFolder"), QStringLiteral("y"));
  const convert::RunOutcome outcome =
      Run({QStringLiteral("/x/a.eml"), QStringLiteral("/y/b.eml"), QStringLiteral("/a.eml")});
  EXPECT_FALSE(outcome.outlook_error);
  ASSERT_EQ(outcome.failures.size(), 1u);
  EXPECT_EQ(outcome.failures[0].path, QStringLiteral("/y/b.eml"));
  EXPECT_EQ(Folder("x").messages.size(), 1u);
  // A file directly in the root goes to the store's top folder.
  EXPECT_EQ(Folder("").messages.size(), 1u);
  EXPECT_EQ(view_.status.back(), QStringLiteral("Importing Messages... from ()"));
}

TEST_F(ConversionRunTest, FailuresBeforeTheFirstFolderStopTheRun) {
  {
    testing_support::MemoryEngine engine;
    engine.recorder().FailAlways(QStringLiteral("Stores.Create"));
    convert::ConversionRun run(engine.engine(), pump_, clock_);
    VectorRows rows({QStringLiteral("/m/a.eml")});
    convert::RunState state;
    state.outputFolder = QStringLiteral("/out/");
    RecordingView view;
    const convert::RunOutcome outcome = run.Run(state, rows, view);
    EXPECT_TRUE(outcome.outlook_error);
    EXPECT_EQ(outcome.cause, QStringLiteral("57:store: Injected fault"));
    EXPECT_TRUE(engine.stores().stores().empty());
    EXPECT_TRUE(view.captions.isEmpty());
    EXPECT_FALSE(outcome.reached_files);
  }

  // The empty row of an empty list: the store exists and stays open, as it was.
  const convert::RunOutcome outcome = Run({QString()});
  EXPECT_TRUE(outcome.outlook_error);
  ASSERT_EQ(engine_.stores().stores().size(), 1u);
  EXPECT_FALSE(Store().closed);
  EXPECT_TRUE(state_.newStore);
  EXPECT_TRUE(Store().FolderPaths().empty());
  EXPECT_TRUE(convert::OutlookErrorText(outcome.cause)
                  .startsWith("Outlook Session Creation Error !\r\nCheck if Outlook is installed "
                              "and configured.\r\nFor more details visit this link : https://"));
  EXPECT_TRUE(convert::OutlookErrorText(QStringLiteral("9:x")).endsWith("\r\nCause: 9:x"));
}

TEST_F(ConversionRunTest, TheSummaryNamesTwentyFilesThenCountsTheRest) {
  convert::RunOutcome outcome;
  outcome.listed = outcome.files = 30;
  outcome.stored = 5;
  for (int i = 0; i < 25; ++i) {
    outcome.failures.push_back({QStringLiteral("/m/%1.eml").arg(i), QStringLiteral("53:gone")});
  }
  const QString text = convert::FailureSummaryText(outcome);
  EXPECT_TRUE(text.startsWith("Imported 5 of 30 files.\r\nThese files could not be imported:"));
  EXPECT_TRUE(text.contains("/m/19.eml - 53:gone"));
  EXPECT_FALSE(text.contains("/m/20.eml"));
  EXPECT_TRUE(text.endsWith("\r\nand 5 more"));
}

TEST_F(ConversionRunTest, ProgressUsesTheListAsItIsWhenEventsRun) {
  // A row added while the run yields changes the count in the caption and the bar, as the
  // list is read afresh; the rows the run set out with are the ones imported.
  VectorRows rows({QStringLiteral("/m/a.eml"), QStringLiteral("/m/b.eml")});
  bool added = false;
  pump_.OnYield([&](int) {
    if (!added && !view_.captions.isEmpty()) {
      rows.Append(QStringLiteral("/m/c.eml"));
      added = true;
    }
  });
  state_.outputFolder = QStringLiteral("/out/");
  const convert::RunOutcome outcome = run_.Run(state_, rows, view_);
  EXPECT_EQ(outcome.files, 2);
  EXPECT_EQ(Folder("m").messages.size(), 2u);
  EXPECT_EQ(view_.captions, (QStringList{"Details : Converting - (1 of 2) file(s)",
                                         "Details : Converting - (2 of 3) file(s)"}));
  EXPECT_EQ(view_.values, (std::vector<float>{50.0f, 66.666664f}));
}

TEST_F(ConversionRunTest, ATakenNameGivesTheNextFreeOneAndTheDisplayNameFollows) {
  // Runs of the same second: the file is never opened again, the next name is taken.
  for (const char* suffix : {"", " (2)", " (3)"}) {
    const convert::RunOutcome outcome = Run({QStringLiteral("/m/a.eml")});
    EXPECT_TRUE(outcome.Complete());
    EXPECT_EQ(outcome.pst_path,
              QStringLiteral("/out/PellimorEMLMessages7.12.26 1.41.31%1.pst").arg(suffix));
    EXPECT_EQ(engine_.stores().stores().back()->display_name,
              QStringLiteral("Pellimor Software : Created - 7.12.26 1.41.31%1").arg(suffix));
    EXPECT_EQ(engine_.stores().stores().back()->Messages(), 1);
  }
  // Any other failure to create the store is still the end of the run.
  engine_.recorder().FailAlways(QStringLiteral("Stores.Create"));
  EXPECT_TRUE(Run({QStringLiteral("/m/a.eml")}).outlook_error);
}

// A run that cannot go to its end: what it says, what the store holds, which files are named.
TEST_F(ConversionRunTest, ARunThatEndsEarlySaysWhatTheStoreHolds) {
  struct Case {
    const char* what;
    std::function<void(testing_support::MemoryEngine&, int files_done)> fault;  // before the run, after each file
    QString head;          // the report's first line
    std::int64_t stored;   // what the store holds
    bool abandoned;        // closed without its final commit
    QStringList lost;      // the files named, with their reasons
  };
  const QStringList files = {"/m/a.eml", "/m/b.eml", "/m/c.eml", "/m/d.eml"};
  const std::vector<Case> cases = {
      {"a write fails", [](testing_support::MemoryEngine& mail, int done) {
         if (done == 2) {
           mail.stores().stores().front()->failure =
               wharfline::Status::IOError("/out/x.pst", "No space left on device");
         }
       },
       "Writing the store failed: No space left on device", 2, false,
       {"/m/c.eml - 57:/out/x.pst: No space left on device",
        "/m/d.eml - not converted: writing the store had failed"}},
      {"the final commit fails", [](testing_support::MemoryEngine& mail, int done) {
         if (done == 0) mail.recorder().FailNth(QStringLiteral("Store.Close"), 1);
       },
       "Writing the store failed: 57:store: Injected fault", 4, true, {}},
      {"an unexpected error", [](testing_support::MemoryEngine& mail, int done) {
         if (done != 0) return;
         mail.recorder().SetFaultException(std::make_exception_ptr(std::runtime_error("Kaputt ✗")));
         mail.recorder().FailNth(QStringLiteral("Files.Read"), 3);
       },
       "The conversion stopped on an unexpected error: Kaputt ✗", 2, true,
       {"/m/c.eml - not converted: the conversion had stopped",
        "/m/d.eml - not converted: the conversion had stopped"}},
      {"memory runs out", [](testing_support::MemoryEngine& mail, int done) {
         if (done != 0) return;
         mail.recorder().SetFaultException(std::make_exception_ptr(std::bad_alloc()));
         mail.recorder().FailNth(QStringLiteral("Store.AddMessage"), 2);
       },
       "The conversion stopped on an unexpected error: 7:Out of memory", 1, true,
       {"/m/b.eml - not converted: the conversion had stopped",
        "/m/c.eml - not converted: the conversion had stopped",
        "/m/d.eml - not converted: the conversion had stopped"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testing_support::MemoryEngine mail;
    convert::ConversionRun run(mail.engine(), pump_, clock_);
    VectorRows rows(files);
    convert::RunState state;
    state.outputFolder = QStringLiteral("/out/");
    RecordingView view;
    c.fault(mail, 0);
    int done = 0;
    RecordingView* seen = &view;
    pump_.OnYield([&](int) {
      if (seen->captions.size() > done) c.fault(mail, done = static_cast<int>(seen->captions.size()));
    });
    const convert::RunOutcome outcome = run.Run(state, rows, view);
    pump_.OnYield({});
    const testing_support::MemoryStoreData& data = *mail.stores().stores().front();
    EXPECT_FALSE(outcome.Complete());
    EXPECT_EQ(outcome.stored, c.stored);
    EXPECT_EQ(data.Messages(), c.stored);
    EXPECT_TRUE(data.closed);
    EXPECT_EQ(data.abandoned, c.abandoned);
    QStringList lost;
    for (const convert::FileFailure& f : outcome.failures) lost << f.path + " - " + f.reason;
    if (!c.lost.isEmpty()) {
      EXPECT_EQ(lost.mid(lost.size() - c.lost.size()), c.lost);
    }
    const QString text = convert::FailureSummaryText(outcome);
    EXPECT_TRUE(text.startsWith(c.head + "\r\n")) << text.toStdString();
    EXPECT_FALSE(text.contains("Imported")) << text.toStdString();
    const QString holds = c.stored == 4 ? QStringLiteral("The store holds all 4 messages.")
                                        : QStringLiteral("The store is incomplete: it holds %1 of 4 messages.").arg(c.stored);
    EXPECT_TRUE(text.contains(holds + "\r\n" + outcome.pst_path)) << text.toStdString();
  }
}

TEST_F(ConversionRunTest, AStopAskedForEndsAfterTheFileInHandWithTheFinalCommit) {
  run_.StopWhen([this] { return view_.captions.size() >= 2; });
  const convert::RunOutcome outcome = Run({"/m/a.eml", "/m/b.eml", "/m/c.eml"});
  EXPECT_TRUE(outcome.stopped);
  EXPECT_EQ(outcome.files, 2);
  EXPECT_EQ(outcome.stored, 2);
  EXPECT_TRUE(Store().closed);
  EXPECT_FALSE(Store().abandoned);
  EXPECT_TRUE(outcome.failures.empty());
  EXPECT_EQ(convert::OutcomeHeadLines(outcome), QStringList{"Stopped: 2 of 3 files imported."});
}

}  // namespace

// A run whose messages fill more than one store: each store gets the same folders and its own
// name, no message is in two stores, and each failure on the way is told as a store's failure.
TEST_F(ConversionRunTest, AStoreThatReachesTheLimitGoesOnInANewOne) {
  struct Case {
    const char* what;
    std::uint64_t message_size;              // the limit is 2,500 bytes
    std::function<void(testing_support::CallRecorder&)> fault;
    std::vector<std::int64_t> per_store;     // messages in each store made
    int notes;                               // files stored alone although over the limit
    QString failure;                         // the store failure, if any
    QStringList lost;                        // files named as not in the store
  };
  const QStringList files = {"/m/a.eml", "/m/sub/b.eml", "/m/c.eml", "/m/sub/d.eml", "/m/e.eml"};
  const std::vector<Case> cases = {
      {"two a store", 1000, {}, {2, 2, 1}, 0, {}, {}},
      {"each over the limit alone", 3000, {}, {1, 1, 1, 1, 1}, 5, {}, {}},
      {"the next store cannot be made", 1000,
       [](testing_support::CallRecorder& r) { r.FailNth(QStringLiteral("Stores.Create"), 2); },
       {2}, 0, QStringLiteral("the next store could not be made: Injected fault"),
       {"/m/c.eml - 57:/out/PellimorEMLMessages7.12.26 1.41.31.pst: the next store could not be made: Injected fault",
        "/m/sub/d.eml - not converted: writing the store had failed",
        "/m/e.eml - not converted: writing the store had failed"}},
      {"closing the full store fails", 1000,
       [](testing_support::CallRecorder& r) { r.FailNth(QStringLiteral("Store.Close"), 1); },
       {2}, 0, QStringLiteral("Injected fault"),
       {"/m/c.eml - 57:store: Injected fault", "/m/sub/d.eml - not converted: writing the store had failed",
        "/m/e.eml - not converted: writing the store had failed"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testing_support::MemoryEngine mail;
    mail.stores().message_size = c.message_size;
    if (c.fault) c.fault(mail.recorder());
    convert::ConversionRun run(mail.engine(), pump_, clock_);
    convert::RunOptions options;
    options.max_store_size = 2500;
    run.SetOptions(options);
    VectorRows rows(files);
    convert::RunState state;
    state.outputFolder = QStringLiteral("/out/");
    RecordingView view;
    const convert::RunOutcome outcome = run.Run(state, rows, view);

    const auto& made = mail.stores().stores();
    ASSERT_EQ(made.size(), c.per_store.size());
    QStringList subjects;
    for (std::size_t i = 0; i < made.size(); ++i) {
      const QString suffix = i == 0 ? QString() : QStringLiteral(" (%1)").arg(i + 1);
      EXPECT_EQ(made[i]->path, QStringLiteral("/out/PellimorEMLMessages7.12.26 1.41.31%1.pst").arg(suffix));
      EXPECT_EQ(made[i]->display_name, QStringLiteral("Pellimor Software : Created - 7.12.26 1.41.31%1").arg(suffix));
      EXPECT_EQ(made[i]->FolderPaths(), made[0]->FolderPaths());
      EXPECT_TRUE(made[i]->closed);
      if (i < c.per_store.size()) EXPECT_EQ(made[i]->Messages(), c.per_store[i]);
      for (const QString& folder : made[i]->FolderPaths()) subjects << made[i]->Subjects(folder);
    }
    std::int64_t total = 0;
    for (std::int64_t n : c.per_store) total += n;
    EXPECT_EQ(outcome.stored, total);
    EXPECT_EQ(subjects.size(), total);
    EXPECT_EQ(subjects.removeDuplicates(), 0);
    EXPECT_EQ(static_cast<int>(outcome.notes.size()), c.notes);
    for (const convert::FileFailure& note : outcome.notes) {
      EXPECT_TRUE(note.reason.startsWith("larger than the store size limit of 2.441 KB on its own: stored alone in /out/"))
          << note.reason.toStdString();
    }
    EXPECT_EQ(outcome.store_failure, c.failure);
    QStringList lost;
    for (const convert::FileFailure& f : outcome.failures) lost << f.path + " - " + f.reason;
    EXPECT_EQ(lost, c.lost);
    if (c.failure.isEmpty()) {
      EXPECT_TRUE(outcome.Complete());
      EXPECT_EQ(outcome.store_paths.size(), static_cast<qsizetype>(c.per_store.size()));
      const QString text = convert::FailureSummaryText(outcome);
      EXPECT_TRUE(text.contains(QStringLiteral("The messages fill %1 stores of at most 2.441 KB each:\r\n")
                                    .arg(c.per_store.size()) + outcome.store_paths.join("\r\n")))
          << text.toStdString();
    }
  }
}
