// The walker on real temporary trees through both disk accessors (the POSIX one and the
// portable one): what counts as files and folders, links, and failures that come from the
// system itself.
#include <gtest/gtest.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QSet>
#include <QTemporaryDir>
#include <filesystem>
#include <functional>

#include "filelist/file_system.h"
#include "filelist/pathLogger.h"
#include "walker_test_util.h"

namespace filelist {
namespace {

using wharfline_test::Integers;
using wharfline_test::Texts;

class DiskTree : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.isValid()); }

  QString Root() const { return dir_.path(); }  // no trailing "/"
  QString P(const QString& rest) const { return dir_.path() + rest; }

  void MakeFile(const QString& rest) {
    const QString path = P(rest);
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << path.toStdString();
  }
  void MakeFolder(const QString& rest) { ASSERT_TRUE(QDir().mkpath(P(rest))); }
  void MakeLink(const QString& target, const QString& rest) {
    ASSERT_EQ(
        ::symlink(QFile::encodeName(target).constData(), QFile::encodeName(P(rest)).constData()),
        0);
  }

  FileSystem& Disk() {
    if (GetParam()) return std_;
    return real_;
  }

  QTemporaryDir dir_;
  RealFileSystem real_;
  StdFileSystem std_;
};

QSet<QString> AsSet(const QStringList& list) { return QSet<QString>(list.begin(), list.end()); }

TEST_P(DiskTree, ExampleTreeIsWalkedBreadthFirst) {
  MakeFile("/a.eml");
  MakeFile("/S/b.eml");
  MakeFile("/S/T/d.eml");
  MakeFile("/S2/c.eml");

  pathLogger walker(Disk());
  walker.PathLogInit();
  walker.fullFileNamesOnly(false);
  ASSERT_TRUE(walker.LogPath(Root()).ok());

  // The order of S and S2 is the disk's own; everything else is fixed by the breadth-first rule.
  const QStringList full = Texts(*walker.fullFileNames());
  ASSERT_EQ(full.size(), 4);
  EXPECT_EQ(full[0], P("/a.eml"));
  EXPECT_EQ(AsSet(full.mid(1, 2)), AsSet({P("/S/b.eml"), P("/S2/c.eml")}));
  EXPECT_EQ(full[3], P("/S/T/d.eml"));
  const QStringList folders = Texts(*walker.pathNames());
  ASSERT_EQ(folders.size(), 4);
  EXPECT_EQ(folders[0], P("/"));
  EXPECT_EQ(AsSet(folders.mid(1, 2)), AsSet({P("/S/"), P("/S2/")}));
  EXPECT_EQ(folders[3], P("/S/T/"));
  EXPECT_EQ(walker.Count(), 5);

  const QStringList names = Texts(*walker.fileNames());
  const std::vector<int> pointers = Integers(*walker.pathPointers());
  for (int k = 0; k < 4; ++k) EXPECT_EQ(folders[pointers[k] - 1] + names[k], full[k]);
}

TEST_P(DiskTree, FilesAreRegularFilesAndLinksToThem) {
  MakeFile("/.hidden");
  MakeFile("/README");
  MakeFile("/real.eml");
  MakeLink(P("/real.eml"), "/link.eml");
  MakeLink(P("/gone.eml"), "/dangling.eml");
  ASSERT_EQ(::mkfifo(QFile::encodeName(P("/pipe.eml")).constData(), 0600), 0);
  MakeLink(P("/pipe.eml"), "/pipe-link.eml");  // reading it would wait for a writer

  pathLogger walker(Disk());
  walker.PathLogInit();
  ASSERT_TRUE(walker.LogPath(Root()).ok());
  EXPECT_EQ(AsSet(Texts(*walker.fullFileNames())),
            AsSet({P("/.hidden"), P("/README"), P("/real.eml"), P("/link.eml")}));
}

TEST_P(DiskTree, LinkedFoldersAreFollowedOnceAndLoopsEnd) {
  MakeFile("/F/A/a.eml");
  MakeFile("/G/g.eml");
  MakeFolder("/F/B");
  MakeLink(P("/F"), "/F/B/up");
  MakeLink(P("/F/B"), "/F/B/self");
  MakeLink(P("/G"), "/F/B/toG");
  MakeLink(P("/F/B/loop2"), "/F/B/loop1");  // links that lead to each other: nowhere
  MakeLink(P("/F/B/loop1"), "/F/B/loop2");

  pathLogger walker(Disk());
  walker.PathLogInit();
  ASSERT_TRUE(walker.LogPath(P("/F")).ok());
  EXPECT_EQ(AsSet(Texts(*walker.pathNames())),
            AsSet({P("/F/"), P("/F/A/"), P("/F/B/"), P("/F/B/toG/")}));
  EXPECT_EQ(AsSet(Texts(*walker.fullFileNames())), AsSet({P("/F/A/a.eml"), P("/F/B/toG/g.eml")}));
}

// Passes every call on to a disk accessor and can run an action when a folder is opened.
class HookedDisk final : public FileSystem {
 public:
  explicit HookedDisk(FileSystem& disk) : disk_(disk) {}
  bool FolderExists(const QString& path) override { return disk_.FolderExists(path); }
  wharfline::Result<std::unique_ptr<Folder>> Open(const QString& path) override {
    if (on_open) on_open(path);
    return disk_.Open(path);
  }
  std::function<void(const QString&)> on_open;

 private:
  FileSystem& disk_;
};

TEST_P(DiskTree, AFolderVanishingMidWalkIsPassedOverWithTheSystemsReason) {
  MakeFile("/a.eml");
  MakeFile("/S/b.eml");
  MakeFile("/S/T/d.eml");
  MakeFile("/S2/X/Y/e.eml");  // visited after T
  HookedDisk disk(Disk());
  // T is queued while S is visited and is gone when its own turn comes.
  disk.on_open = [&](const QString& path) {
    if (path == P("/S/T/")) std::filesystem::remove_all(QFile::encodeName(path).toStdString());
  };
  pathLogger walker(disk);
  walker.PathLogInit();
  EXPECT_TRUE(walker.LogPath(Root()).ok());
  ASSERT_EQ(walker.SkippedFolders().size(), 1u);
  EXPECT_EQ(walker.SkippedFolders()[0].message(),
            (P("/S/T/") + ": No such file or directory").toStdString());
  EXPECT_EQ(AsSet(Texts(*walker.fullFileNames())),
            AsSet({P("/a.eml"), P("/S/b.eml"), P("/S2/X/Y/e.eml")}));
}

// Runs body as another user (nobody) in a child process and returns what it printed; empty
// with skip set when no other user can be taken on here.
std::string AsAnotherUser(const std::function<std::string()>& body, std::string* skip) {
  if (::geteuid() != 0) return body();  // permissions bind us already
  int out[2];
  if (::pipe(out) != 0) return *skip = "no pipe", std::string();
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(out[0]);
    if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) _exit(77);
    const std::string text = body();
    (void)!::write(out[1], text.data(), text.size());
    _exit(0);
  }
  ::close(out[1]);
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
  ::close(out[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 77) *skip = "cannot become another user here";
  return text;
}

TEST_P(DiskTree, AnUnreadableFolderIsPassedOverAndTheWalkGoesOn) {
  MakeFile("/a.eml");
  MakeFile("/locked/b.eml");
  MakeFile("/open/c.eml");
  // Everyone may look, but at the locked folder.
  for (const char* folder : {"", "/open", "/locked"}) {
    ASSERT_EQ(::chmod(QFile::encodeName(P(folder)).constData(), 0755), 0);
  }
  ASSERT_EQ(::chmod(QFile::encodeName(P("/locked")).constData(), 0), 0);
  std::string skip;
  const std::string seen = AsAnotherUser(
      [&] {
        pathLogger walker(Disk());
        walker.PathLogInit();
        const wharfline::Status s = walker.LogPath(Root());
        std::string text = s.ok() ? "ok\n" : s.ToString() + "\n";
        for (const QString& file : Texts(*walker.fullFileNames())) text += file.toStdString() + "\n";
        for (const wharfline::Status& f : walker.SkippedFolders()) text += "skipped " + f.message() + "\n";
        return text;
      },
      &skip);
  ::chmod(QFile::encodeName(P("/locked")).constData(), 0700);
  if (!skip.empty()) GTEST_SKIP() << skip;
  const QStringList lines = QString::fromStdString(seen).split(u'\n', Qt::SkipEmptyParts);
  EXPECT_EQ(AsSet(lines), AsSet({"ok", P("/a.eml"), P("/open/c.eml"),
                                 "skipped " + P("/locked/") + ": Permission denied"}));
}

INSTANTIATE_TEST_SUITE_P(Accessors, DiskTree, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Std" : "Real"; });

}  // namespace
}  // namespace filelist
