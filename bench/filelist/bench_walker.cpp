// Times the folder walker against find(1) on one generated tree of 100,000 files in 10,000
// folders, then the whole add-folder command on it with a list standing in for the grid.
// Usage: bench_walker [tree]   (a missing tree is generated there and kept; without an argument
// one is generated in a temporary folder and removed at the end). Figures are for a warm
// file-system cache.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QStringList>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "filelist/add_folder_command.h"
#include "filelist/file_system.h"
#include "filelist/pathLogger.h"
#include "platform/platform.h"

namespace {

constexpr int kTopFolders = 100;
constexpr int kSubFoldersEach = 99;  // 100 + 100 * 99 = 10,000 folders
constexpr int kFilesPerFolder = 10;  // 100,000 files; 9 of every 10 are message files
// Walks and finds alternate; the machine is shared, so the median of several rounds counts.
constexpr int kRounds = 9;
constexpr const char* kFileNames[kFilesPerFolder] = {"m0.eml",  "m1.eml", "m2.eml", "m3.eml",
                                                     "m4.eml",  "m5.eml", "M6.EML", "n7.emlx",
                                                     "n8.Emlx", "x9.txt"};

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

long PeakRssKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

bool MakeFiles(const std::string& folder) {
  for (const char* name : kFileNames) {
    const int fd = ::open((folder + "/" + name).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    ::close(fd);
  }
  return true;
}

bool Generate(const std::string& root) {
  if (!MakeFiles(root)) return false;
  for (int t = 0; t < kTopFolders; ++t) {
    const std::string top = root + "/d" + std::to_string(t);
    if (::mkdir(top.c_str(), 0755) != 0 || !MakeFiles(top)) return false;
    for (int s = 0; s < kSubFoldersEach; ++s) {
      const std::string sub = top + "/s" + std::to_string(s);
      if (::mkdir(sub.c_str(), 0755) != 0 || !MakeFiles(sub)) return false;
    }
  }
  return true;
}

double TimeFind(const std::string& root) {
  const std::string command = "find '" + root + "' > /dev/null";
  const Clock::time_point start = Clock::now();
  if (std::system(command.c_str()) != 0) std::fprintf(stderr, "find failed\n");
  return Seconds(start);
}

double TimeWalk(const QString& root, int* files) {
  filelist::RealFileSystem disk;
  const Clock::time_point start = Clock::now();
  filelist::pathLogger walker(disk);
  walker.PathLogInit();
  walker.fullFileNamesOnly(true);
  const wharfline::Status s = walker.LogPath(root);
  *files = walker.fullFileNames()->Count();
  walker.Terminate();
  const double seconds = Seconds(start);
  if (!s.ok()) std::fprintf(stderr, "walk failed: %s\n", s.ToString().c_str());
  return seconds;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

class BenchDialogs final : public platform::Dialogs {
 public:
  explicit BenchDialogs(QString folder) : folder_(std::move(folder)) {}
  int MsgBox(const QString& text, int, const QString&) override {
    last_box = text;
    return platform::kResultOk;
  }
  platform::OpenFileOutcome ShowOpen(const platform::OpenFileRequest&) override { return {}; }
  QString BrowseForFolder(const QString&) override { return folder_; }
  QString last_box;

 private:
  QString folder_;
};

class NoPointer final : public platform::Pointer {
 public:
  void SetHourglass(bool) override {}
};

class CountingPump final : public platform::EventPump {
 public:
  void ProcessPendingEvents() override { ++yields; }
  long yields = 0;
};

class NoClock final : public platform::Clock {
 public:
  QDateTime Now() override { return {}; }
};

class NoExit final : public platform::ProcessExit {
 public:
  void Exit(int) override {}
};

}  // namespace

int main(int argc, char** argv) {
  // With a path, the tree there is walked, and generated first (and kept) when it is missing;
  // without one it is generated in a temporary folder and removed at the end.
  std::string root;
  bool remove_at_end = false;
  if (argc > 1) {
    root = argv[1];
  } else {
    std::string pattern = (std::filesystem::temp_directory_path() / "bench_walker.XXXXXX");
    if (::mkdtemp(pattern.data()) == nullptr) {
      std::perror("mkdtemp");
      return 1;
    }
    root = pattern;
    remove_at_end = true;
  }
  std::error_code exists_ec;
  if (remove_at_end || !std::filesystem::exists(root, exists_ec)) {
    const Clock::time_point start = Clock::now();
    if ((!remove_at_end && ::mkdir(root.c_str(), 0755) != 0) || !Generate(root)) {
      std::perror("generating the tree");
      return 1;
    }
    std::printf("generated %d files in %d folders under %s in %.2f s\n",
                (kTopFolders * (kSubFoldersEach + 1) + 1) * kFilesPerFolder,
                kTopFolders * (kSubFoldersEach + 1) + 1, root.c_str(), Seconds(start));
  }
  const QString qroot = QString::fromStdString(root);

  // The whole command first, so the peak memory is its own and not the walks' below.
  {
    const long rss_before = PeakRssKiB();
    BenchDialogs dialogs(qroot);
    NoPointer pointer;
    CountingPump pump;
    NoClock clock;
    NoExit exit;
    platform::Platform p{dialogs, pointer, pump, clock, exit};
    filelist::RealFileSystem disk;
    QStringList grid;
    bool convert = false;
    const Clock::time_point start = Clock::now();
    filelist::AddFolderCommand(
        p,
        [&grid](const QString& path) {
          grid << path;
          return wharfline::Status::OK();
        },
        [&convert](bool on) { convert = on; }, disk);
    const double seconds = Seconds(start);
    std::printf("add-folder command: %.3f s, %lld rows, %ld yields, box \"%s\", convert %s\n",
                seconds, static_cast<long long>(grid.size()), pump.yields,
                qPrintable(dialogs.last_box), convert ? "on" : "off");
    std::printf("peak RSS: %ld KiB before the command, %ld KiB after\n", rss_before, PeakRssKiB());
  }

  // Warm the cache once, then alternate the two so both see the same conditions.
  int files = 0;
  TimeFind(root);
  TimeWalk(qroot, &files);
  std::vector<double> find_times;
  std::vector<double> walk_times;
  for (int round = 0; round < kRounds; ++round) {
    find_times.push_back(TimeFind(root));
    walk_times.push_back(TimeWalk(qroot, &files));
  }
  const double find_median = Median(find_times);
  const double walk_median = Median(walk_times);
  const double find_best = *std::min_element(find_times.begin(), find_times.end());
  const double walk_best = *std::min_element(walk_times.begin(), walk_times.end());
  std::printf("find:   median %.3f s, best %.3f s (%d runs)\n", find_median, find_best, kRounds);
  std::printf("walker: median %.3f s, best %.3f s (%d runs), %d files recorded\n", walk_median,
              walk_best, kRounds, files);
  std::printf("walker / find: %.2f (medians), %.2f (bests)\n", walk_median / find_median,
              walk_best / find_best);

  if (remove_at_end) {
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  }
  return 0;
}
