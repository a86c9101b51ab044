// The whole run (real importer, real store) with the store's file layer failing at every one
// of its calls in turn, filling up from every call on, or losing power or being killed after
// every call. What the run reports must match the file it leaves: a failure is reported, the
// count the report gives is the count the file holds, every file not in the store is named,
// and whatever is left under the store's name is a committed prefix of the run (or nothing).
//
// With WHARFLINE_SWEEP_SAMPLES set to a folder, a sample of the stores checked here is written
// there with what each should hold, for the independent readers (fault_sweep_readers.py).
#include <gtest/gtest.h>

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>

#include "run/conversion_run.h"
#include "run/engine.h"
#include "support/scripted_platform.h"
#include "test_helpers.h"
#include "tests/support/pst_fake_files.h"
#include "tests/support/pst_verify.h"

namespace {

namespace fs = std::filesystem;
using pst::testing::FaultFileEnv;
using pst::testing::MemFileEnv;
using Mode = FaultFileEnv::Mode;

constexpr char kStore[] = "/out/PellimorEMLMessages7.12.26 1.41.31.pst";

class NullView final : public convert::ProgressView {
 public:
  void SetBarRanges(float, float) override {}
  void SetFrameCaption(const QString&) override {}
  void SetStatusLine(const QString&) override {}
  void SetOverallProgress(float) override {}
  void SetConvertEnabled(bool) override {}
};

// 30 messages in 3 folders: one with an attachment larger than a data block, one
// .partial.emlx whose attachment Apple Mail kept beside it.
struct Corpus {
  fs::path root;
  QStringList files;
  std::vector<std::u16string> subjects;  // by file
  std::vector<std::u16string> folders;   // the store folder's name, by file

  Corpus() {
    root = fs::temp_directory_path() / ("wharfline-sweep-" + std::to_string(::getpid()));
    fs::remove_all(root);
    const std::string big(20000, 'x');
    for (int i = 0; i < 30; ++i) {
      const char* folder = i < 12 ? "Inbox" : i < 22 ? "Archive/2019" : "Sent/Messages";
      fs::create_directories(root / folder);
      const std::string subject = "Sweep message " + std::to_string(i);
      std::string message = "From: Ann <ann@example.com>\nTo: bob@example.com\nSubject: " +
                            subject + "\nDate: Mon, 7 Dec 2026 01:41:31 +0000\n";
      if (i == 15) {
        message += "Content-Type: multipart/mixed; boundary=B\n\n--B\nContent-Type: text/plain\n\n"
                   "see attached\n--B\nContent-Type: application/octet-stream; name=big.bin\n"
                   "Content-Disposition: attachment; filename=big.bin\n\n" + big + "\n--B--\n";
      } else if (i == 29) {
        message += "Content-Type: multipart/mixed; boundary=XX\n\n--XX\nContent-Type: text/plain\n\n"
                   "see attached\n--XX\nContent-Type: application/pdf; name=\"r.pdf\"\n"
                   "Content-Disposition: attachment; filename=\"r.pdf\"\n"
                   "Content-Transfer-Encoding: base64\nX-Apple-Content-Length: 9\n\n\n--XX--\n";
      } else {
        message += "\nBody of message " + std::to_string(i) + "\n";
      }
      fs::path file;
      if (i >= 22) {
        const std::string stem = std::to_string(i) + (i == 29 ? ".partial" : "");
        file = root / folder / (stem + ".emlx");
        std::ofstream(file, std::ios::binary) << message.size() << "\n" << message
                                              << "<?xml version=\"1.0\"?>\n<plist/>\n";
      } else {
        file = root / folder / ("m" + std::to_string(i) + ".eml");
        std::ofstream(file, std::ios::binary) << message;
      }
      files << QString::fromStdString(file.string());
      subjects.push_back(QString::fromStdString(subject).toStdU16String());
      folders.push_back(QString::fromStdString(fs::path(folder).filename().string()).toStdU16String());
    }
    fs::create_directories(root / "Sent" / "Attachments" / "29" / "2");
    std::ofstream(root / "Sent" / "Attachments" / "29" / "2" / "r.pdf", std::ios::binary)
        << "%PDF-1.4\n";
  }
  ~Corpus() { fs::remove_all(root); }
};

struct Sweep {
  std::uint64_t runs = 0, calls = 0, faults = 0, stores_checked = 0, samples = 0;
};

class RunFaultSweep : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { corpus_ = new Corpus; }
  static void TearDownTestSuite() {
    delete corpus_;
    std::printf("fault sweep: %llu runs, %llu I/O calls swept, %llu faults injected, %llu stores "
                "checked, %llu written for the readers\n",
                static_cast<unsigned long long>(total_.runs),
                static_cast<unsigned long long>(total_.calls),
                static_cast<unsigned long long>(total_.faults),
                static_cast<unsigned long long>(total_.stores_checked),
                static_cast<unsigned long long>(total_.samples));
  }

  // One run over the corpus through env; commits after every 8 messages, so the run has
  // five commits in all (the empty store, three on the way, the last one).
  convert::RunOutcome RunOnce(pst::FileEnv& env) {
    store::PstStoreOptions options;
    options.commit_every_messages = 8;
    options.commit_growth_divisor = 1u << 30;
    options.commit_every_time = std::chrono::hours(1);
    convert::PstEngine engine(options, {.threads = 1}, env);
    convert_test::CountingPump pump;
    testing_support::FixedClock clock;
    convert::ConversionRun run(engine.engine(), pump, clock);
    convert_test::VectorRows rows(corpus_->files);
    convert::RunState state;
    state.outputFolder = QStringLiteral("/out/");
    NullView view;
    ++total_.runs;
    return run.Run(state, rows, view);
  }

  // The messages of the store under its name, checked to be the first `held` files in list
  // order, each in its own folder; -1 when there is no store file.
  int CheckStore(const pst::testing::Image& image, bool crashed, const std::string& at) {
    auto file = image.find(kStore);
    if (file == image.end()) return -1;
    ++total_.stores_checked;
    auto listed = pst::testing::ListMessages(file->second, crashed);
    if (!listed) {
      ADD_FAILURE() << at << ": " << listed.error().ToString();
      return -2;
    }
    for (std::size_t i = 0; i < listed->size(); ++i) {
      EXPECT_EQ((*listed)[i].subject, corpus_->subjects.at(i)) << at;
      EXPECT_EQ((*listed)[i].folder, corpus_->folders.at(i)) << at;
    }
    Sample(file->second, static_cast<int>(listed->size()), crashed);
    return static_cast<int>(listed->size());
  }

  // Every few stores, and every store holding a count not sampled yet, go to the readers.
  void Sample(const std::vector<std::uint8_t>& bytes, int held, bool crashed) {
    static const char* folder = std::getenv("WHARFLINE_SWEEP_SAMPLES");
    static std::set<int> counts;
    static int seen = 0;
    if (folder == nullptr || (++seen % 3 != 0 && !counts.insert(held).second)) return;
    const std::string name = std::string(folder) + "/sample" + std::to_string(total_.samples++);
    std::ofstream(name + ".pst", std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
    QJsonArray messages;
    for (int i = 0; i < held; ++i) {
      messages.append(QJsonObject{
          {"subject", QString::fromStdU16String(corpus_->subjects[static_cast<std::size_t>(i)])},
          {"folder", QString::fromStdU16String(corpus_->folders[static_cast<std::size_t>(i)])}});
    }
    // A store left by a power cut or a kill may hold bytes past its last commit.
    std::ofstream(name + ".json")
        << QJsonDocument(QJsonObject{{"messages", messages}, {"crashed", crashed}})
               .toJson()
               .toStdString();
  }

  static Corpus* corpus_;
  static Sweep total_;
};
Corpus* RunFaultSweep::corpus_ = nullptr;
Sweep RunFaultSweep::total_;

TEST_F(RunFaultSweep, AFailedCallIsReportedAndTheReportMatchesTheFileLeft) {
  const int errors[] = {ENOSPC, EIO, EFBIG};
  for (const Mode mode : {Mode::kFailOnce, Mode::kDiskFull}) {
    for (std::uint64_t k = 1;; ++k) {
      const int error = errors[k % 3];
      MemFileEnv mem;
      FaultFileEnv env(mem, {.mode = mode, .at = k, .error = error});
      const convert::RunOutcome outcome = RunOnce(env);
      if (k > env.calls()) {  // the run went through without the fault: every call was swept
        total_.calls += env.calls();
        break;
      }
      const std::string at = std::string(mode == Mode::kFailOnce ? std::strerror(error) : "disk full") +
                             " at call " + std::to_string(k);
      if (env.faults() == 0) {  // the disk filled after the last write that needed room
        EXPECT_TRUE(outcome.Complete()) << at;
        continue;
      }
      total_.faults += env.faults();
      if (outcome.Complete() && env.failed_kind() == "truncate") {
        // Growing the file for spare room failed: the writer grew it only as far as it
        // needed and went on, and the store holds every message.
        EXPECT_EQ(CheckStore(mem.Now(), false, at), 30) << at;
        continue;
      }
      EXPECT_FALSE(outcome.Complete()) << at << ": a failure was reported as success";
      const QString reason = outcome.outlook_error ? outcome.cause : outcome.store_failure;
      EXPECT_TRUE(reason.contains(std::strerror(mode == Mode::kFailOnce ? error : ENOSPC))) << at;
      const int held = CheckStore(mem.Now(), false, at);
      if (!outcome.store_made) {
        EXPECT_TRUE(mem.Now().empty()) << at << ": no store was made, but a file was left";
        continue;
      }
      EXPECT_EQ(held, outcome.stored) << at << ": the report says what the file does not hold";
      EXPECT_EQ(mem.Now().size(), 1u) << at << ": a stray file was left";
      // Every file not in the store is named, and no other.
      std::set<QString> named;
      for (const convert::FileFailure& f : outcome.failures) named.insert(f.path);
      const std::set<QString> missing(corpus_->files.begin() + held, corpus_->files.end());
      EXPECT_EQ(named, missing) << at;
      const QString text = convert::FailureSummaryText(outcome);
      EXPECT_FALSE(text.startsWith("Imported")) << at;
      EXPECT_TRUE(text.contains(held == 30 ? QStringLiteral("holds all 30 messages")
                                           : QStringLiteral("holds %1 of 30 messages").arg(held)))
          << at << text.toStdString();
    }
  }
}

TEST_F(RunFaultSweep, APowerCutOrAKillLeavesACommittedPrefixOrNothing) {
  for (const Mode mode : {Mode::kPowerCut, Mode::kPowerCutReordered, Mode::kKill}) {
    std::set<int> held_seen;
    for (std::uint64_t k = 1;; ++k) {
      MemFileEnv mem;
      FaultFileEnv env(mem, {.mode = mode, .at = k});
      const convert::RunOutcome outcome = RunOnce(env);
      if (k > env.calls()) {  // the run went through without the fault: every call was swept
        total_.calls += env.calls();
        break;
      }
      ++total_.faults;
      const std::string at = "cut " + std::to_string(static_cast<int>(mode)) + " after call " +
                             std::to_string(k);
      const int held = CheckStore(env.image(), true, at);
      EXPECT_TRUE(held == -1 || held == 0 || held == 8 || held == 16 || held == 24 || held == 30)
          << at << ": " << held << " messages is not a commit of the run";
      held_seen.insert(held);
    }
    // The sweep went through the life of the store: before it, and at each of its commits.
    EXPECT_EQ(held_seen, (std::set<int>{-1, 0, 8, 16, 24, 30}));
  }
}

}  // namespace
