// Helper for the crash test: writes generated messages into one folder and commits every
// few messages, printing "committed N" after each commit so the test knows what a killed
// run must leave behind.
//   pst_crash_writer <store.pst> <messages> <commit_every>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "pst/pst_writer.h"
#include "tests/support/pst_samples.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: pst_crash_writer <store.pst> <messages> <commit_every>\n");
    return 2;
  }
  int total = std::atoi(argv[2]);
  int every = std::atoi(argv[3]);
  auto w = pst::PstWriter::Create(pst::DefaultFileEnv(), argv[1], u"Crash ✓");
  if (!w) {
    std::fprintf(stderr, "%s\n", w.error().ToString().c_str());
    return 1;
  }
  auto folder = (*w)->AddFolder((*w)->RootFolder(), u"Absturz");
  if (!folder) return 1;
  std::printf("committed 0\n");
  std::fflush(stdout);
  for (int i = 1; i <= total; ++i) {
    auto m = pst::testing::MakeMessage({.index = i, .attachments = i % 4 == 0 ? 1 : 0,
                                        .attachment_size = 50000});
    if (!(*w)->AddMessage(*folder, m)) return 1;
    if (i % every == 0) {
      wharfline::Status s = (*w)->Commit();
      if (!s.ok()) {
        std::fprintf(stderr, "%s\n", s.ToString().c_str());
        return 1;
      }
      std::printf("committed %d\n", i);
      std::fflush(stdout);
    }
  }
  return (*w)->Close().ok() ? 0 : 1;
}
