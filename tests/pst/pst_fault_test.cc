// The writer under every fault its file layer can show, at every call in turn: a failed
// call is reported and leaves the file at its last commit (or no file at all); a power cut
// or a kill leaves, under the store's name, either nothing or a store holding exactly the
// messages of a commit, never fewer than the last commit that was reported done.
#include <gtest/gtest.h>

#include <set>

#include "pst/pst_writer.h"
#include "tests/support/pst_fake_files.h"
#include "tests/support/pst_samples.h"
#include "tests/support/pst_verify.h"

namespace pst {
namespace {

using testing::FaultFileEnv;
using testing::MakeMessage;
using testing::MemFileEnv;
using Mode = FaultFileEnv::Mode;

constexpr char kPath[] = "out/f.pst";
constexpr int kMessages = 30;

// Every tenth message gives its attachment and recipients through sources, so that faults
// also strike while an attachment is read into the store block by block.
// The messages are made once: the sweep writes them hundreds of times.
const MessageContent& Message(int i) {
  static const std::vector<MessageContent> messages = [] {
    std::vector<MessageContent> made;
    for (int n = 0; n < kMessages; ++n) {
      // One attachment past the writer's 4 MiB buffer, late, so that a message's own writes
      // are swept too; the others spread over a few blocks each.
      made.push_back(MakeMessage({.index = n,
                                  .attachments = n % 5 == 0 ? 1 : 0,
                                  .attachment_size = n == 25 ? std::size_t{17} << 18 : std::size_t{64} << 10,
                                  .sourced = n % 10 == 0}));
    }
    return made;
  }();
  return messages.at(static_cast<std::size_t>(i));
}

std::u16string SubjectOf(int i) {
  for (const Property& p : Message(i).props) {
    if (p.tag == 0x0037001F) return std::get<std::u16string>(p.value);
  }
  return {};
}

struct Written {
  bool ok = false;              // every call succeeded
  std::uint64_t committed = 0;  // what the writer says the file holds, at the end
  // (calls made, messages) at the end of each commit that returned success
  std::vector<std::pair<std::uint64_t, std::uint64_t>> done;
};

// A small store through create, messages, commits after 10 and 20, and close.
Written WriteStore(FaultFileEnv& env) {
  Written out;
  auto w = PstWriter::Create(env, kPath, u"Faults");
  if (!w) return out;
  out.done.emplace_back(env.calls(), 0);
  auto finish = [&](bool ok) {
    out.ok = ok;
    out.committed = (*w)->committed_messages();
    if (!ok && (*w)->status().ok()) ADD_FAILURE() << "a failed call left the writer sound";
    return out;
  };
  auto f = (*w)->AddFolder((*w)->RootFolder(), u"Inbox");
  if (!f) return finish(false);
  for (int i = 0; i < kMessages; ++i) {
    if (!(*w)->AddMessage(*f, Message(i))) return finish(false);
    if (i == 9 || i == 19) {
      if (!(*w)->Commit().ok()) return finish(false);
      out.done.emplace_back(env.calls(), i + 1);
    }
  }
  if (!(*w)->Close().ok()) return finish(false);
  out.done.emplace_back(env.calls(), kMessages);
  return finish(true);
}

// The messages of the file at kPath in `image`, which must be the first of those added;
// -1 when there is no such file. A file cut short by a crash may have bytes past its end.
int CheckedPrefix(const testing::Image& image, const std::string& context, bool crashed) {
  auto it = image.find(kPath);
  if (it == image.end()) return -1;
  auto listed = testing::ListMessages(it->second, crashed);
  if (!listed) {
    ADD_FAILURE() << context << ": " << listed.error().ToString();
    return -2;
  }
  for (std::size_t i = 0; i < listed->size(); ++i) {
    EXPECT_EQ((*listed)[i].subject, SubjectOf(static_cast<int>(i))) << context;
  }
  return static_cast<int>(listed->size());
}

struct SweepCase {
  Mode mode;
  int error;
  const char* name;
};

class PstFaultSweep : public ::testing::TestWithParam<SweepCase> {};

TEST_P(PstFaultSweep, EveryCallInTurn) {
  const SweepCase& c = GetParam();
  std::uint64_t calls_made = 0;
  std::set<std::string> kinds_hit;
  for (std::uint64_t k = 1;; ++k) {
    MemFileEnv mem;
    FaultFileEnv env(mem, {.mode = c.mode, .at = k, .error = c.error});
    const Written w = WriteStore(env);
    if (k > env.calls()) {
      EXPECT_TRUE(w.ok) << "without a fault the store must be written";
      calls_made = env.calls();
      for (const auto& [kind, n] : env.kinds()) kinds_hit.insert(kind);
      break;
    }
    const std::string at = std::string(c.name) + " at call " + std::to_string(k);
    if (c.mode == Mode::kFailOnce || c.mode == Mode::kDiskFull) {
      if (env.faults() == 0) continue;  // the disk filled after the last write
      if (w.ok && env.failed_kind() == "truncate") {
        // Growing the file for spare room failed: the writer grew it only as far as it
        // needed and went on, and the store is whole.
        EXPECT_EQ(CheckedPrefix(mem.Now(), at, false), kMessages) << at;
        continue;
      }
      EXPECT_FALSE(w.ok) << at << ": the failure was not reported";
      const int held = CheckedPrefix(mem.Now(), at, false);
      // Either no store was made, or the file holds what the writer says it holds.
      EXPECT_EQ(held, w.done.empty() ? -1 : static_cast<int>(w.committed)) << at;
      EXPECT_EQ(mem.Now().size(), w.done.empty() ? 0u : 1u) << at << ": a stray file is left";
    } else {
      ASSERT_TRUE(env.cut()) << at;
      const int held = CheckedPrefix(env.image(), at, true);
      // Never less than a commit that had been reported done before the cut.
      int reported = -1;
      for (const auto& [after_call, messages] : w.done) {
        if (after_call <= k) reported = static_cast<int>(messages);
      }
      EXPECT_GE(held, reported) << at << ": a commit reported done was lost";
      EXPECT_TRUE(held == -1 || held == 0 || held == 10 || held == 20 || held == kMessages) << at;
    }
  }
  std::printf("writer sweep, %s: %llu calls, each failed or cut in turn\n", c.name,
              static_cast<unsigned long long>(calls_made));
  EXPECT_GT(calls_made, 20u);
  // The sweep reached every kind of call a store's life makes.
  for (const char* kind : {"create", "write", "sync", "truncate", "rename", "sync folder", "close"}) {
    EXPECT_TRUE(kinds_hit.count(kind)) << kind;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, PstFaultSweep,
    ::testing::Values(SweepCase{Mode::kFailOnce, EIO, "EIO"},
                      SweepCase{Mode::kFailOnce, ENOSPC, "ENOSPC"},
                      SweepCase{Mode::kDiskFull, ENOSPC, "disk full"},
                      SweepCase{Mode::kPowerCut, 0, "power cut"},
                      SweepCase{Mode::kPowerCutReordered, 0, "power cut, reordered"},
                      SweepCase{Mode::kKill, 0, "kill"}),
    [](const auto& info) {
      std::string name = info.param.name;
      for (char& ch : name) {
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
      }
      return name;
    });

}  // namespace
}  // namespace pst
