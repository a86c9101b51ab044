// PST writer benchmarks. Prints figures; never fails on them.
//   bench_pst                 small messages (none, permute), 1 MB attachments against a
//                             sequential write of the same size, peak memory at 100,000
//                             and 1,000,000 small messages
//   bench_pst small N ENC     N small messages, ENC = none | permute
//   bench_pst attach N        N messages with a 1 MB attachment, then the same bytes written
//                             sequentially
//   bench_pst memory N        peak resident memory for N small messages
//   bench_pst huge GIB        one store of about GIB GiB (run by hand: --huge 6)
// Files go to $BENCH_DIR (default: the current directory) and are removed afterwards.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "pst/pst_writer.h"
#include "tests/support/pst_samples.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string Dir() {
  const char* d = std::getenv("BENCH_DIR");
  return d ? d : ".";
}

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

long MaxRssKb() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

// A pool of distinct 2 KB messages, reused in turn so that generating them is not timed.
std::vector<pst::MessageContent> SmallPool() {
  std::vector<pst::MessageContent> pool;
  for (int i = 0; i < 256; ++i) {
    pool.push_back(pst::testing::MakeMessage({.index = i, .recipients = 2, .body_size = 1400, .html = false}));
  }
  return pool;
}

void Check(const wharfline::Status& s) {
  if (!s.ok()) {
    std::fprintf(stderr, "bench_pst: %s\n", s.ToString().c_str());
    std::exit(1);
  }
}

// Writes `n` small messages into folders of at most 10,000; returns seconds.
double WriteSmall(long n, pst::Encoding enc, const std::string& path, std::uint64_t* size) {
  auto pool = SmallPool();
  unlink(path.c_str());
  auto start = Clock::now();
  auto w = pst::PstWriter::Create(pst::DefaultFileEnv(), path, u"Bench", {.encoding = enc, .sync = true, .now = {}});
  if (!w) Check(w.error());
  pst::FolderId folder = 0;
  for (long i = 0; i < n; ++i) {
    if (i % 10000 == 0) {
      auto f2 = (*w)->AddFolder((*w)->RootFolder(), u"Folder " + std::u16string(std::to_string(i).begin(), std::to_string(i).end()));
      if (!f2) Check(f2.error());
      folder = *f2;
    }
    auto r = (*w)->AddMessage(folder, pool[i % pool.size()]);
    if (!r) Check(r.error());
  }
  Check((*w)->Close());
  double secs = Seconds(start);
  *size = (*w)->file_size();
  unlink(path.c_str());
  return secs;
}

void Small(long n, pst::Encoding enc) {
  std::uint64_t size = 0;
  double secs = WriteSmall(n, enc, Dir() + "/bench_small.pst", &size);
  std::printf("small messages (2 KB, %s): %ld in %.2f s = %.0f messages/s, file %.1f MB\n",
              enc == pst::Encoding::kNone ? "none" : "permute", n, secs, n / secs, size / 1e6);
}

double SequentialWrite(std::uint64_t bytes, const std::string& path) {
  unlink(path.c_str());
  std::vector<char> chunk(1 << 20, 'x');
  auto start = Clock::now();
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
  std::uint64_t off = 0;
  while (off < bytes) {
    if (pwrite(fd, chunk.data(), chunk.size(), static_cast<off_t>(off)) < 0) std::exit(1);
    off += chunk.size();
  }
  fdatasync(fd);
  close(fd);
  double secs = Seconds(start);
  unlink(path.c_str());
  return secs;
}

void Attach(long n) {
  std::string path = Dir() + "/bench_attach.pst";
  unlink(path.c_str());
  auto m = pst::testing::MakeMessage({.index = 1, .recipients = 1, .attachments = 1, .attachment_size = 1 << 20});
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  for (auto enc : {pst::Encoding::kNone, pst::Encoding::kPermute}) {
    // Writer and sequential runs alternate, three of each, and the medians are compared:
    // the disk's speed drifts on a shared machine.
    std::vector<double> writer_secs, seq_secs;
    std::uint64_t size = 0;
    for (int round = 0; round < 3; ++round) {
      auto start = Clock::now();
      auto w = pst::PstWriter::Create(pst::DefaultFileEnv(), path, u"Bench", {.encoding = enc, .sync = true, .now = {}});
      if (!w) Check(w.error());
      auto f = (*w)->AddFolder((*w)->RootFolder(), u"Attachments");
      for (long i = 0; i < n; ++i) {
        if (!(*w)->AddMessage(*f, m)) std::exit(1);
      }
      Check((*w)->Close());
      writer_secs.push_back(Seconds(start));
      size = (*w)->file_size();
      unlink(path.c_str());
      seq_secs.push_back(SequentialWrite(size, Dir() + "/bench_seq.bin"));
    }
    double w = median(writer_secs), seq = median(seq_secs);
    std::printf("1 MB attachments (%s): %ld messages, %.0f MB file in %.2f s = %.0f MB/s; "
                "sequential write of the same size with one fdatasync: %.0f MB/s; ratio %.0f%%\n",
                enc == pst::Encoding::kNone ? "none" : "permute", n, size / 1e6, w, size / 1e6 / w,
                size / 1e6 / seq, 100.0 * seq / w);
  }
}

void Memory(long n) {
  long base = MaxRssKb();
  std::uint64_t size = 0;
  double secs = WriteSmall(n, pst::Encoding::kPermute, Dir() + "/bench_memory.pst", &size);
  long peak = MaxRssKb();
  std::printf("memory: %ld messages in %.1f s, peak RSS %.1f MB, base %.1f MB, %.0f bytes/message beyond base\n",
              n, secs, peak / 1024.0, base / 1024.0, (peak - base) * 1024.0 / n);
}

void Huge(double gib) {
  std::string path = Dir() + "/bench_huge.pst";
  unlink(path.c_str());
  auto m = pst::testing::MakeMessage({.index = 1, .recipients = 1, .attachments = 1, .attachment_size = 8 << 20});
  auto start = Clock::now();
  auto w = pst::PstWriter::Create(pst::DefaultFileEnv(), path, u"Huge", {.encoding = pst::Encoding::kPermute, .sync = true, .now = {}});
  if (!w) Check(w.error());
  auto f = (*w)->AddFolder((*w)->RootFolder(), u"Big");
  long count = 0;
  while ((*w)->file_size() < gib * (1ull << 30)) {
    if (!(*w)->AddMessage(*f, m)) std::exit(1);
    ++count;
  }
  Check((*w)->Close());
  std::printf("huge store: %ld messages of 8 MB, %.2f GiB in %.1f s; kept at %s for reading\n", count,
              (*w)->file_size() / double(1ull << 30), Seconds(start), path.c_str());
}

// Runs this program again with `args`, so each memory figure has a process of its own.
void Spawn(const std::vector<std::string>& args) {
  std::fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> argv;
    static std::string self = "/proc/self/exe";
    argv.push_back(self.data());
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv("/proc/self/exe", argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> a(argv + 1, argv + argc);
  if (a.size() >= 2 && a[0] == "small") {
    Small(std::atol(a[1].c_str()), a.size() > 2 && a[2] == "none" ? pst::Encoding::kNone : pst::Encoding::kPermute);
  } else if (a.size() >= 2 && a[0] == "attach") {
    Attach(std::atol(a[1].c_str()));
  } else if (a.size() >= 2 && a[0] == "memory") {
    Memory(std::atol(a[1].c_str()));
  } else if (a.size() >= 2 && (a[0] == "huge" || a[0] == "--huge")) {
    Huge(std::atof(a[1].c_str()));
  } else {
    Spawn({"small", "50000", "none"});
    Spawn({"small", "50000", "permute"});
    Spawn({"attach", "300"});
    Spawn({"memory", "100000"});
    Spawn({"memory", "1000000"});
  }
  return 0;
}
