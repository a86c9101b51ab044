// The walker on the in-memory accessor: exact orders, keys and failures.
#include "filelist/pathLogger.h"

#include <gtest/gtest.h>

#include "memory_file_system.h"
#include "walker_test_util.h"

namespace filelist {
namespace {

using wharfline_test::Integers;
using wharfline_test::Keys;
using wharfline_test::MemoryFileSystem;
using wharfline_test::Texts;

// The same tree in both path forms: F holds a.eml and the sub-folders S (b.eml and the
// sub-folder T with d.eml) and S2 (c.eml), listed in that order.
struct TreeForm {
  const char* root;  // F
  const char* sep;
};

class ExampleTree : public ::testing::TestWithParam<TreeForm> {
 protected:
  QString P(const QString& rest) const {
    QString r = rest;
    r.replace(u'|', QString::fromLatin1(GetParam().sep));
    return QString::fromLatin1(GetParam().root) + r;
  }
  void SetUp() override {
    fs_.AddFile(P("|a.eml"));
    fs_.AddFile(P("|S|b.eml"));
    fs_.AddFile(P("|S|T|d.eml"));
    fs_.AddFile(P("|S2|c.eml"));
  }
  MemoryFileSystem fs_;
};

TEST_P(ExampleTree, RecordsBreadthFirstWithKeysAndPointers) {
  pathLogger walker(fs_);
  walker.PathLogInit();
  walker.fullFileNamesOnly(false);
  ASSERT_TRUE(walker.LogPath(P("")).ok());

  EXPECT_EQ(Texts(*walker.fullFileNames()),
            QStringList({P("|a.eml"), P("|S|b.eml"), P("|S2|c.eml"), P("|S|T|d.eml")}));
  EXPECT_EQ(Keys(*walker.fullFileNames()), QStringList({"K1", "K2", "K3", "K4"}));
  EXPECT_EQ(Texts(*walker.pathNames()), QStringList({P("|"), P("|S|"), P("|S2|"), P("|S|T|")}));
  EXPECT_EQ(Keys(*walker.pathNames()), QStringList({"K0", "K2", "K3", "K4"}));
  EXPECT_EQ(Texts(*walker.fileNames()), QStringList({"a.eml", "b.eml", "c.eml", "d.eml"}));
  EXPECT_EQ(Keys(*walker.fileNames()), QStringList({"K1", "K2", "K3", "K4"}));
  EXPECT_EQ(Integers(*walker.pathPointers()), std::vector<int>({1, 2, 3, 4}));
  EXPECT_EQ(Keys(*walker.pathPointers()), QStringList({"K1", "K2", "K3", "K4"}));
  EXPECT_EQ(walker.Count(), 5);
}

TEST_P(ExampleTree, ASinkGetsTheFilesInsteadOfTheListAndCanStopTheWalk) {
  // Each case: after how many files the sink fails (0: never), what it saw as folder|name.
  const struct {
    int fail_after;
    QStringList seen;
  } cases[] = {
      {0, {P("|") + "|a.eml", P("|S|") + "|b.eml", P("|S2|") + "|c.eml", P("|S|T|") + "|d.eml"}},
      {2, {P("|") + "|a.eml", P("|S|") + "|b.eml"}},
  };
  for (const auto& c : cases) {
    pathLogger walker(fs_);
    walker.PathLogInit();
    QStringList seen;
    walker.SetFileSink([&](const QString& folder, const QString& name) {
      seen << folder + u'|' + name;
      return seen.size() == c.fail_after ? wharfline::Status::IOError("sink", "full")
                                         : wharfline::Status::OK();
    });
    const wharfline::Status s = walker.LogPath(P(""));
    EXPECT_EQ(s.ok(), c.fail_after == 0) << s.ToString();
    EXPECT_EQ(seen, c.seen);
    EXPECT_EQ(walker.fullFileNames()->Count(), 0);
  }
}

TEST_P(ExampleTree, FlagIsReadAfreshForEveryFolder) {
  pathLogger walker(fs_);
  walker.fullFileNamesOnly(false);
  walker.PathLogInit();  // sets the flag back to true
  // Switched while the walk is under way, as the second folder (S) is opened.
  fs_.on_open = [&](const QString& path) {
    if (path == P("|S|")) walker.fullFileNamesOnly(false);
  };
  ASSERT_TRUE(walker.LogPath(P("")).ok());
  EXPECT_EQ(walker.fullFileNames()->Count(), 4);
  EXPECT_EQ(Texts(*walker.fileNames()), QStringList({"b.eml", "c.eml", "d.eml"}));
  EXPECT_EQ(Keys(*walker.fileNames()), QStringList({"K2", "K3", "K4"}));
  EXPECT_EQ(Integers(*walker.pathPointers()), std::vector<int>({2, 3, 4}));
}

TEST_P(ExampleTree, SecondLogPathWithoutInitFailsOnDuplicateKey) {
  pathLogger walker(fs_);
  walker.PathLogInit();
  ASSERT_TRUE(walker.LogPath(P("")).ok());
  const wharfline::Status again = walker.LogPath(P(""));
  EXPECT_TRUE(again.IsAlreadyExists()) << again.ToString();
  EXPECT_EQ(again.number(), 457);
  EXPECT_EQ(walker.pathNames()->Count(), 4);
  EXPECT_EQ(walker.fullFileNames()->Count(), 4);

  // With PathLogInit in between the lists start afresh; a trailing separator is not doubled.
  walker.PathLogInit();
  ASSERT_TRUE(walker.LogPath(P("|S|")).ok());
  EXPECT_EQ(Texts(*walker.pathNames()), QStringList({P("|S|"), P("|S|T|")}));
  EXPECT_EQ(Texts(*walker.fullFileNames()), QStringList({P("|S|b.eml"), P("|S|T|d.eml")}));
  EXPECT_EQ(walker.Count(), 3);
}

TEST_P(ExampleTree, AFolderThatCannotBeReadIsPassedOverAndTheWalkGoesOn) {
  struct Case {
    const char* failing;
    QStringList files;  // what is still recorded
  };
  for (const Case& c : {Case{"|S2", {P("|a.eml"), P("|S|b.eml"), P("|S|T|d.eml")}},
                        Case{"|S", {P("|a.eml"), P("|S2|c.eml")}}, Case{"", {}}}) {
    MemoryFileSystem fs;
    for (const char* file : {"|a.eml", "|S|b.eml", "|S|T|d.eml", "|S2|c.eml"}) fs.AddFile(P(file));
    fs.FailOpen(P(c.failing), QStringLiteral("Permission denied"));
    pathLogger walker(fs);
    walker.PathLogInit();
    EXPECT_TRUE(walker.LogPath(P("")).ok()) << c.failing;
    EXPECT_EQ(Texts(*walker.fullFileNames()), c.files) << c.failing;
    ASSERT_EQ(walker.SkippedFolders().size(), 1u) << c.failing;
    EXPECT_EQ(walker.SkippedFolders()[0].message(),
              (P(c.failing) + QString::fromLatin1(GetParam().sep) + ": Permission denied").toStdString());
  }
}

TEST_P(ExampleTree, FileCounterOverflowsInsteadOfWrapping) {
  pathLogger walker(fs_);
  walker.PathLogInit();
  // Four folders fit; the counter after the fourth file (5) does not.
  walker.SetCounterLimitForTesting(4);
  const wharfline::Status s = walker.LogPath(P(""));
  EXPECT_TRUE(s.IsOverflow()) << s.ToString();
  EXPECT_EQ(s.number(), 6);
  EXPECT_NE(s.message().find("file counter"), std::string::npos) << s.message();
  // The fourth file is recorded; raising the counter past it is what fails.
  EXPECT_EQ(walker.fullFileNames()->Count(), 4);
  EXPECT_EQ(walker.Count(), 4);
}

TEST_P(ExampleTree, FolderCountOverflowsInsteadOfWrapping) {
  pathLogger walker(fs_);
  walker.PathLogInit();
  walker.SetCounterLimitForTesting(2);  // F and S fit; S2 would be the third folder
  const wharfline::Status s = walker.LogPath(P(""));
  EXPECT_TRUE(s.IsOverflow()) << s.ToString();
  EXPECT_EQ(Texts(*walker.pathNames()), QStringList({P("|"), P("|S|")}));
  EXPECT_EQ(walker.fullFileNames()->Count(), 0);
}

TEST_P(ExampleTree, ListTakenBeforeTerminateOutlivesIt) {
  pathLogger walker(fs_);
  walker.PathLogInit();
  ASSERT_TRUE(walker.LogPath(P("")).ok());
  const std::shared_ptr<KeyedList> taken = walker.fullFileNames();
  walker.Terminate();
  EXPECT_EQ(taken->Count(), 4);
  EXPECT_EQ(Texts(*taken).last(), P("|S|T|d.eml"));
  EXPECT_EQ(walker.fullFileNames()->Count(), 0);  // a new, empty list
  EXPECT_EQ(walker.Count(), 5);
  // Without an accessor the walker cannot walk until PathLogInit again.
  EXPECT_EQ(walker.LogPath(P("")).number(), 91);
}

INSTANTIATE_TEST_SUITE_P(BothPathForms, ExampleTree,
                         ::testing::Values(TreeForm{"C:\\F", "\\"}, TreeForm{"/F", "/"}),
                         [](const auto& info) {
                           return std::string(info.param.sep) == "/" ? "Posix" : "Drive";
                         });

TEST(pathLogger, EmptyFolderGivesOneFolderAndCountOne) {
  MemoryFileSystem fs;
  fs.AddFolder(QStringLiteral("C:\\Empty"));
  pathLogger walker(fs);
  walker.PathLogInit();
  ASSERT_TRUE(walker.LogPath(QStringLiteral("C:\\Empty")).ok());
  EXPECT_EQ(Texts(*walker.pathNames()), QStringList({"C:\\Empty\\"}));
  EXPECT_EQ(Keys(*walker.pathNames()), QStringList({"K0"}));
  EXPECT_EQ(walker.fullFileNames()->Count(), 0);
  EXPECT_EQ(walker.Count(), 1);
  // Again without PathLogInit: the folder itself is the duplicate, with nothing below it.
  EXPECT_EQ(walker.LogPath(QStringLiteral("C:\\Empty")).number(), 457);
}

TEST(pathLogger, MissingFolderRecordsNothingAndKeepsCount) {
  MemoryFileSystem fs;
  fs.AddFile(QStringLiteral("/F/a.eml"));
  pathLogger walker(fs);
  walker.PathLogInit();
  ASSERT_TRUE(walker.LogPath(QStringLiteral("/nowhere")).ok());
  EXPECT_EQ(walker.Count(), 0);
  EXPECT_EQ(walker.pathNames()->Count(), 0);
  EXPECT_EQ(walker.fullFileNames()->Count(), 0);
  EXPECT_EQ(walker.fileNames()->Count(), 0);
  EXPECT_EQ(walker.pathPointers()->Count(), 0);

  // A missing folder after a walk leaves the counter of that walk.
  ASSERT_TRUE(walker.LogPath(QStringLiteral("/F")).ok());
  walker.PathLogInit();
  ASSERT_TRUE(walker.LogPath(QStringLiteral("/F/a.eml")).ok());  // a file is no folder
  EXPECT_EQ(walker.Count(), 2);
  EXPECT_EQ(walker.fullFileNames()->Count(), 0);
}

TEST(pathLogger, RootsKeepTheirSingleSeparator) {
  MemoryFileSystem fs;
  fs.AddFile(QStringLiteral("C:\\x.eml"));
  fs.AddFile(QStringLiteral("C:\\Mail\\y.eml"));
  fs.AddFile(QStringLiteral("/z.eml"));
  fs.AddFile(QStringLiteral("/home/w.eml"));

  pathLogger walker(fs);
  walker.PathLogInit();
  ASSERT_TRUE(walker.LogPath(QStringLiteral("C:\\")).ok());
  EXPECT_EQ(Texts(*walker.pathNames()), QStringList({"C:\\", "C:\\Mail\\"}));
  EXPECT_EQ(Texts(*walker.fullFileNames()), QStringList({"C:\\x.eml", "C:\\Mail\\y.eml"}));

  walker.PathLogInit();
  ASSERT_TRUE(walker.LogPath(QStringLiteral("/")).ok());
  EXPECT_EQ(Texts(*walker.pathNames()), QStringList({"/", "/home/"}));
  EXPECT_EQ(Texts(*walker.fullFileNames()), QStringList({"/z.eml", "/home/w.eml"}));
}

TEST(pathLogger, RecordsEveryNameInListingOrderWithoutFiltering) {
  MemoryFileSystem fs;
  for (const char* name : {"zz.txt", ".hidden", "README", "a.eml", "B.EMLX", "trail.eml  "}) {
    fs.AddFile(QStringLiteral("/F/") + QString::fromLatin1(name));
  }
  fs.AddFolder(QStringLiteral("/F/.git"));
  pathLogger walker(fs);
  walker.PathLogInit();
  ASSERT_TRUE(walker.LogPath(QStringLiteral("/F")).ok());
  EXPECT_EQ(Texts(*walker.fullFileNames()),
            QStringList({"/F/zz.txt", "/F/.hidden", "/F/README", "/F/a.eml", "/F/B.EMLX",
                         "/F/trail.eml  "}));
  EXPECT_EQ(Texts(*walker.pathNames()), QStringList({"/F/", "/F/.git/"}));
}

TEST(pathLogger, LinkedFoldersAreVisitedOnceSoLoopsEnd) {
  MemoryFileSystem fs;
  fs.AddFile(QStringLiteral("/F/A/a.eml"));
  fs.AddFile(QStringLiteral("/F/B/b.eml"));
  fs.AddFolderLink(QStringLiteral("/F/B/up"), QStringLiteral("/F"));      // loop to the top
  fs.AddFolderLink(QStringLiteral("/F/B/self"), QStringLiteral("/F/B"));  // loop to itself
  fs.AddFolderLink(QStringLiteral("/F/B/toA"), QStringLiteral("/F/A"));   // seen sibling
  fs.AddFolder(QStringLiteral("/G"));
  fs.AddFile(QStringLiteral("/G/g.eml"));
  fs.AddFolderLink(QStringLiteral("/F/B/toG"), QStringLiteral("/G"));  // new folder
  pathLogger walker(fs);
  walker.PathLogInit();
  ASSERT_TRUE(walker.LogPath(QStringLiteral("/F")).ok());
  EXPECT_EQ(Texts(*walker.pathNames()), QStringList({"/F/", "/F/A/", "/F/B/", "/F/B/toG/"}));
  EXPECT_EQ(Keys(*walker.pathNames()), QStringList({"K0", "K2", "K3", "K4"}));
  EXPECT_EQ(Texts(*walker.fullFileNames()),
            QStringList({"/F/A/a.eml", "/F/B/b.eml", "/F/B/toG/g.eml"}));
  EXPECT_EQ(walker.Count(), 4);
}

}  // namespace
}  // namespace filelist
