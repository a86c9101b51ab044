// The run's report: what it lists and how (text and CSV, paths byte for byte), the folders it
// names, the name it takes beside the store, and that it never replaces a file nor leaves half
// of itself behind.
#include "run/run_report.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/pst_fake_files.h"
#include "test_helpers.h"

namespace {

using pst::testing::FaultFileEnv;
using pst::testing::MemFileEnv;

// A name whose last byte is not UTF-8, as the list holds it.
const QString kLatin1Name = QStringLiteral("/m/caf") + QChar(0xDCE9) + QStringLiteral(".eml");

convert::RunOutcome FinishedRun() {
  convert::RunOutcome outcome;
  outcome.pst_path = QStringLiteral("/out/PellimorEMLMessages7.12.26 1.41.31.pst");
  outcome.store_made = outcome.reached_files = true;
  outcome.listed = outcome.files = 4;
  outcome.stored = 2;
  outcome.failures = {{kLatin1Name, QStringLiteral("21:empty message file")},
                      {QStringLiteral("/m/a, \"b\".eml"), QStringLiteral("two\nlines")}};
  outcome.notes = {{QStringLiteral("/m/c.eml"), QStringLiteral("attachments missing")}};
  return outcome;
}

std::string Text(const std::vector<std::uint8_t>* bytes) {
  return bytes ? std::string(bytes->begin(), bytes->end()) : std::string("(no file)");
}

TEST(RunReport, TextHasTheCountsSourcesOptionsAndEveryFileByteForByte) {
  const convert::ReportContext context{{QStringLiteral("/m")},
                                       {QStringLiteral("Output folder: /out/")}};
  EXPECT_EQ(convert::ReportBytes(FinishedRun(), context, convert::ReportFormat::kText),
            "Pellimor Wharfline 5.06: conversion report\n"
            "Store: /out/PellimorEMLMessages7.12.26 1.41.31.pst\n"
            "Imported 2 of 4 files.\n"
            "Files listed: 4\nImported: 2\nNot imported: 2\nImported with a note: 1\n"
            "Source folders:\n  /m\n"
            "Options:\n  Output folder: /out/\n"
            "\nStatus\tPath\tReason\n"
            "not imported\t/m/caf\xe9.eml\t21:empty message file\n"
            "not imported\t/m/a, \"b\".eml\ttwo\nlines\n"
            "imported with a note\t/m/c.eml\tattachments missing\n");

  // A stopped run counts the files it did not get to.
  convert::RunOutcome stopped = FinishedRun();
  stopped.stopped = true;
  stopped.files = 3;
  stopped.listed = 5;
  const std::string text = convert::ReportBytes(stopped, context, convert::ReportFormat::kText);
  EXPECT_NE(text.find("Stopped: 2 of 5 files imported.\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nNot reached: 1\n"), std::string::npos) << text;
}

TEST(RunReport, CsvQuotesWhatNeedsIt) {
  EXPECT_EQ(convert::ReportBytes(FinishedRun(), {}, convert::ReportFormat::kCsv),
            "status,path,reason\r\n"
            "not imported,/m/caf\xe9.eml,21:empty message file\r\n"
            "not imported,\"/m/a, \"\"b\"\".eml\",\"two\nlines\"\r\n"
            "imported with a note,/m/c.eml,attachments missing\r\n");
}

TEST(RunReport, SourceFoldersAreTheTopmostFoldersOfTheFiles) {
  struct Case {
    std::vector<QString> files;
    QStringList folders;
  };
  const std::vector<Case> cases = {
      {{"/m/a.eml", "/m/sub/b.eml", "/m/sub/deeper/c.eml"}, {"/m"}},
      {{"/m/x/a.eml", "/m/y/b.eml", "/m x/c.eml"}, {"/m x", "/m/x", "/m/y"}},
      {{"/a.eml", "/m/b.eml"}, {"/"}},
      {{"C:\\Mail\\2010\\a.eml", "C:\\Mail\\b.eml", "D:\\c.eml"}, {"C:\\Mail", "D:\\"}},
      {{kLatin1Name}, {"/m"}},
  };
  for (const Case& c : cases) {
    convert::PathList files;
    for (const QString& f : c.files) files.Append(f);
    EXPECT_EQ(convert::SourceFoldersOf(files), c.folders) << c.folders.join(u'|').toStdString();
  }
}

TEST(RunReport, BesideTheStoreTakesTheNextFreeNameAndLeavesOthersAlone) {
  MemFileEnv disk;
  const std::string stem = "/out/PellimorEMLMessages7.12.26 1.41.31";
  disk.Put(stem + ".txt", {'m', 'i', 'n', 'e'});
  disk.Put(stem + " (2).txt", {});
  const wharfline::Result<QString> written =
      convert::WriteReportBesideStore(disk, FinishedRun(), {});
  ASSERT_TRUE(written) << written.error().ToString();
  EXPECT_EQ(*written, QString::fromStdString(stem + " (3).txt"));
  EXPECT_EQ(Text(disk.Contents(stem + ".txt")), "mine");
  EXPECT_EQ(Text(disk.Contents(stem + " (2).txt")), "");
  EXPECT_EQ(Text(disk.Contents(stem + " (3).txt")),
            convert::ReportBytes(FinishedRun(), {}, convert::ReportFormat::kText));
}

TEST(RunReport, AFailedWriteLeavesNoFileAndSaysWhy) {
  // Every call of the write failing in turn, and a disk that fills up: never half a report.
  const std::string path = "/out/report.txt";
  const std::string bytes(100000, 'x');
  for (std::uint64_t at = 1;; ++at) {
    MemFileEnv disk;
    FaultFileEnv faulty(disk, {FaultFileEnv::Mode::kFailOnce, at, ENOSPC});
    const wharfline::Status written =
        convert::WriteNewFile(faulty, QString::fromStdString(path), bytes);
    if (faulty.faults() == 0) {  // past the last call: the write went through
      EXPECT_TRUE(written.ok());
      EXPECT_EQ(Text(disk.Contents(path)), bytes);
      break;
    }
    EXPECT_FALSE(written.ok()) << "call " << at;
    EXPECT_EQ(disk.Contents(path), nullptr) << "call " << at;
    EXPECT_EQ(convert::ReportFailedLine(written),
              QStringLiteral("The report could not be written: No space left on device"));
  }
  MemFileEnv disk;
  FaultFileEnv full(disk, {FaultFileEnv::Mode::kDiskFull, 1, ENOSPC});
  EXPECT_FALSE(convert::WriteNewFile(full, QString::fromStdString(path), bytes).ok());
  EXPECT_EQ(disk.Contents(path), nullptr);

  // Nothing already there is replaced.
  disk.Put(path, {'o', 'l', 'd'});
  EXPECT_TRUE(convert::WriteNewFile(disk, QString::fromStdString(path), "new").IsAlreadyExists());
  EXPECT_EQ(Text(disk.Contents(path)), "old");
}

}  // namespace
