// Write failures injected at every write in turn: each run must end in a failure reported
// to the caller, never crash, and write nothing after the first failure.
#include <gtest/gtest.h>

#include "convert/pst/pst_writer.h"
#include "tests/support/pst_fake_files.h"
#include "tests/support/pst_samples.h"

namespace pst {
namespace {

using testing::FaultFileEnv;
using testing::MakeMessage;
using testing::MemFileEnv;

// Runs a small store through create, messages, a commit, more messages and close.
// Returns false as soon as any step fails.
bool WriteStore(FileEnv& env) {
  WriterOptions o;
  auto w = PstWriter::Create(env, "f.pst", u"Faults", o);
  if (!w) return false;
  auto f = (*w)->AddFolder((*w)->RootFolder(), u"Inbox");
  if (!f) return false;
  for (int i = 0; i < 30; ++i) {
    auto m = MakeMessage({.index = i, .attachments = i % 5 == 0 ? 1 : 0, .attachment_size = 1 << 20});
    if (!(*w)->AddMessage(*f, m)) return false;
    if (i == 15 && !(*w)->Commit().ok()) return false;
  }
  return (*w)->Close().ok();
}

void Sweep(bool forever, bool short_write) {
  std::uint64_t n = 1;
  for (;; ++n) {
    MemFileEnv mem;
    FaultFileEnv env(mem, {.fail_write = n, .forever = forever, .short_write = short_write});
    bool ok = WriteStore(env);
    if (env.faults() == 0) {
      EXPECT_TRUE(ok);
      break;
    }
    EXPECT_FALSE(ok) << "write " << n << " failed but the store reported success";
    EXPECT_EQ(env.writes_after_fault(), 0u) << "wrote after the failure of write " << n;
  }
  EXPECT_GT(n, 5u) << "the sweep should cover several writes";
}

TEST(PstFaults, FailingWriteOnceIsStickyAtEveryPosition) { Sweep(false, false); }
TEST(PstFaults, FailingWriteForeverAtEveryPosition) { Sweep(true, false); }
TEST(PstFaults, DiskFullAtEveryPosition) { Sweep(false, true); }

TEST(PstFaults, FailingSyncIsReported) {
  for (std::uint64_t n = 1; n <= 6; ++n) {
    MemFileEnv mem;
    FaultFileEnv env(mem, {.fail_sync = n});
    bool ok = WriteStore(env);
    if (env.faults() == 0) break;
    EXPECT_FALSE(ok) << "sync " << n;
    EXPECT_EQ(env.writes_after_fault(), 0u);
  }
}

}  // namespace
}  // namespace pst
