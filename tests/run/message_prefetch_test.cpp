// Reading ahead must never change what a read gives: every path yields exactly what the reader
// gives for it, whatever the run skips, repeats or asks for out of the announced order, and
// the look-ahead stays within its limits and stops cleanly.
#include "run/message_prefetch.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "run/message_files.h"
#include "mime/message_file.h"
#include "base/native_path.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using convert::MessagePrefetcher;
using convert::PrefetchOptions;

// A reader that answers with the path as the message subject, counts reads per path, and can
// be made slow, failing or throwing for given paths.
class FakeReader {
 public:
  convert::FileReader reader() {
    return [this](const std::string& path) {
      wharfline::Result<convert::ReadMessage> read = Message(path);
      if (read) {
        // The size of the file when there is one, else the length of its name.
        std::error_code ec;
        const auto size = std::filesystem::file_size(path, ec);
        read->file_bytes = ec ? path.size() : size;
      }
      return read;
    };
  }
  wharfline::Result<convert::ReadMessage> Message(const std::string& path) {
    {
      const int now = ++in_flight_;
      int seen = max_in_flight_.load();
      while (now > seen && !max_in_flight_.compare_exchange_weak(seen, now)) {
      }
      {
        std::lock_guard lock(mu_);
        ++reads_[path];
      }
      std::this_thread::sleep_for(delay_);
      if (path.find("slow") != std::string::npos) {
        std::this_thread::sleep_for(std::chrono::milliseconds(15));
      }
      --in_flight_;
      if (path.find("throw") != std::string::npos) throw std::runtime_error("reader threw");
      if (path.find("bad") != std::string::npos) return wharfline::Status::IOError(path, "bad file");
      convert::ReadMessage message;
      message.content.props.push_back(
          {mail::MakeTag(0x0037, mail::PropType::kString), std::u16string(path.begin(), path.end())});
      return message;
    }
  }
  int Reads(const std::string& path) {
    std::lock_guard lock(mu_);
    return reads_[path];
  }
  int TotalReads() {
    std::lock_guard lock(mu_);
    int total = 0;
    for (const auto& [path, n] : reads_) total += n;
    return total;
  }

  std::chrono::milliseconds delay_{0};
  std::atomic<int> in_flight_{0};
  std::atomic<int> max_in_flight_{0};

 private:
  std::mutex mu_;
  std::map<std::string, int> reads_;
};

std::string SubjectOf(const wharfline::Result<convert::ReadMessage>& read) {
  if (!read) return "error: " + read.error().ToString();
  const auto& value = read->content.props.at(0).value;
  const auto& text = std::get<std::u16string>(value);
  return std::string(text.begin(), text.end());
}

// Waits (up to two seconds) for the workers to reach a count, then a little longer to see
// that they stop there.
int SettledReads(FakeReader& fake, int expected) {
  for (int i = 0; i < 200 && fake.TotalReads() < expected; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  return fake.TotalReads();
}

std::vector<std::string> Paths(int n, const std::string& stem = "/m/") {
  std::vector<std::string> paths;
  for (int i = 0; i < n; ++i) paths.push_back(stem + std::to_string(i) + ".eml");
  return paths;
}

TEST(MessagePrefetcher, ReadsInOrderAreServedAheadOnceEach) {
  FakeReader fake;
  MessagePrefetcher prefetcher(fake.reader(), PrefetchOptions{3, 8, 1u << 20});
  const std::vector<std::string> paths = Paths(200);
  prefetcher.Expect(paths);
  SettledReads(fake, 8);  // the first eight are ready
  for (const std::string& path : paths) EXPECT_EQ(SubjectOf(prefetcher.Read(path)), path);
  // Mostly from the look-ahead; a file no worker had started yet is read by the caller.
  EXPECT_GE(prefetcher.served_ahead(), 8u);
  for (const std::string& path : paths) EXPECT_EQ(fake.Reads(path), 1) << path;
}

TEST(MessagePrefetcher, SkippedRepeatedAndUnannouncedPathsStillGetTheirOwnMessage) {
  FakeReader fake;
  MessagePrefetcher prefetcher(fake.reader(), PrefetchOptions{2, 4, 1u << 20});
  std::vector<std::string> paths = Paths(20);
  paths[7] = paths[3];  // the same file listed twice
  prefetcher.Expect(paths);
  EXPECT_EQ(SubjectOf(prefetcher.Read(paths[0])), paths[0]);
  // The run passed over 1 and 2 (their folder could not be opened, say).
  EXPECT_EQ(SubjectOf(prefetcher.Read(paths[3])), paths[3]);
  EXPECT_EQ(SubjectOf(prefetcher.Read(paths[3])), paths[3]);  // its second listing
  // A path never announced, and one far behind the position, are read on the spot.
  EXPECT_EQ(SubjectOf(prefetcher.Read("/elsewhere/x.eml")), "/elsewhere/x.eml");
  EXPECT_EQ(SubjectOf(prefetcher.Read(paths[0])), paths[0]);
  // Far ahead of what was read so far: read here, the look-ahead carries on after it.
  EXPECT_EQ(SubjectOf(prefetcher.Read(paths[15])), paths[15]);
  for (int i = 16; i < 20; ++i) EXPECT_EQ(SubjectOf(prefetcher.Read(paths[i])), paths[i]);
  EXPECT_EQ(fake.Reads(paths[15]), 1);
}

TEST(MessagePrefetcher, PassingOverFilesStillBeingReadKeepsTheLookAheadGoing) {
  // Every fourth file is slow to read and the run passes over it, so it is passed while a
  // worker still reads it: its result is dropped on arrival, and the files after it are still
  // served ahead.
  FakeReader fake;
  MessagePrefetcher prefetcher(fake.reader(), PrefetchOptions{4, 16, 1u << 20});
  std::vector<std::string> paths = Paths(240);
  for (std::size_t i = 1; i < paths.size(); i += 4) paths[i] = "/m/slow" + std::to_string(i);
  prefetcher.Expect(paths);
  // Each file is asked for once a worker has started it (on a busy machine the caller would
  // otherwise get there first and read it itself): all of them are then served ahead.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  std::uint64_t asked = 0;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    if (i % 4 == 1) continue;
    while (fake.Reads(paths[i]) == 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    EXPECT_EQ(SubjectOf(prefetcher.Read(paths[i])), paths[i]);
    ++asked;
  }
  EXPECT_EQ(prefetcher.served_ahead(), asked);
  for (const std::string& path : paths) EXPECT_LE(fake.Reads(path), 1) << path;
}

TEST(MessagePrefetcher, FailuresComeBackAsTheReaderGaveThem) {
  FakeReader fake;
  MessagePrefetcher prefetcher(fake.reader(), PrefetchOptions{2, 4, 1u << 20});
  const std::vector<std::string> paths = {"/m/a.eml", "/m/bad.eml", "/m/throw.eml", "/m/d.eml"};
  prefetcher.Expect(paths);
  EXPECT_EQ(SubjectOf(prefetcher.Read(paths[0])), paths[0]);
  const auto bad = prefetcher.Read(paths[1]);
  ASSERT_FALSE(bad);
  EXPECT_NE(bad.error().ToString().find("bad file"), std::string::npos);
  const auto thrown = prefetcher.Read(paths[2]);
  ASSERT_FALSE(thrown);
  EXPECT_NE(thrown.error().ToString().find("reader threw"), std::string::npos);
  EXPECT_EQ(SubjectOf(prefetcher.Read(paths[3])), paths[3]);
}

TEST(MessagePrefetcher, StaysWithinItsLimits) {
  FakeReader fake;
  fake.delay_ = std::chrono::milliseconds(2);
  MessagePrefetcher prefetcher(fake.reader(), PrefetchOptions{4, 3, 1u << 20});
  const std::vector<std::string> paths = Paths(40);
  prefetcher.Expect(paths);
  // Nobody has asked yet: no more than three files are read ahead.
  EXPECT_EQ(SettledReads(fake, 3), 3);
  for (const std::string& path : paths) EXPECT_EQ(SubjectOf(prefetcher.Read(path)), path);
  // Three ahead, and the caller itself when it got to a file before any worker did.
  EXPECT_LE(fake.max_in_flight_.load(), 3 + 1);

  // The byte limit: with files of 1,000 bytes and room for 2,500, three are read ahead (the
  // third crosses the limit).
  const std::string dir = ::testing::TempDir();
  std::vector<std::string> files;
  for (int i = 0; i < 10; ++i) {
    files.push_back(dir + "/prefetch_" + std::to_string(i) + ".eml");
    std::ofstream(files.back()) << std::string(1000, 'x');
  }
  FakeReader sized;
  MessagePrefetcher by_bytes(sized.reader(), PrefetchOptions{1, 100, 2500});
  by_bytes.Expect(files);
  EXPECT_EQ(SettledReads(sized, 3), 3);
  for (const std::string& file : files) EXPECT_EQ(SubjectOf(by_bytes.Read(file)), file);
  for (const std::string& file : files) std::remove(file.c_str());
}

TEST(MessagePrefetcher, ANewListOrAnEmptyOneStopsTheOldLookAhead) {
  FakeReader fake;
  fake.delay_ = std::chrono::milliseconds(1);
  const std::vector<std::string> first = Paths(30, "/first/");
  const std::vector<std::string> second = Paths(30, "/second/");
  {
    MessagePrefetcher prefetcher(fake.reader(), PrefetchOptions{2, 6, 1u << 20});
    prefetcher.Expect(first);
    EXPECT_EQ(SubjectOf(prefetcher.Read(first[0])), first[0]);
    prefetcher.Expect(second);
    EXPECT_EQ(SubjectOf(prefetcher.Read(first[1])), first[1]);  // no longer announced
    for (const std::string& path : second) EXPECT_EQ(SubjectOf(prefetcher.Read(path)), path);
    prefetcher.Expect({});
    EXPECT_EQ(SubjectOf(prefetcher.Read(second[0])), second[0]);
    // Destroyed with workers idle; a second prefetcher below is destroyed mid-list.
  }
  MessagePrefetcher busy(fake.reader(), PrefetchOptions{2, 64, 1u << 20});
  busy.Expect(Paths(1000, "/busy/"));
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

// The real reading: one pass over the file gives the message, or the reason there is none.
TEST(ReadMessageFile, GivesTheMessageOrTheReason) {
  const std::string dir = ::testing::TempDir() + "/read_message_file";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  const std::string eml = dir + "/a.eml";
  const std::string emlx = dir + "/b.emlx";
  const std::string message = "Subject: Hi\r\nFrom: a@example.com\r\n\r\nBody\r\n";
  std::ofstream(eml, std::ios::binary) << message;
  std::ofstream(emlx, std::ios::binary) << message.size() << "\n" << message << "<?xml?><plist/>";

  for (const std::string& file : {eml, emlx}) {
    wharfline::Result<convert::ReadMessage> read = convert::ReadMessageFile(file);
    ASSERT_TRUE(read) << read.error().ToString();
    EXPECT_EQ(read->file_bytes, std::filesystem::file_size(file));
  }

  // Anything but a regular file is refused at once, before a byte is read: a named pipe
  // would wait for a writer for ever, a device never ends, a huge file is refused by its size.
  ASSERT_EQ(::mkfifo((dir + "/pipe.eml").c_str(), 0644), 0);
  std::filesystem::create_symlink("/dev/zero", dir + "/zero.eml");
  { std::ofstream(dir + "/huge.eml"); }
  std::filesystem::resize_file(dir + "/huge.eml", mime::kMaxMessageFileBytes + 1);  // sparse
  ::alarm(30);  // a wait for a pipe's writer ends the test instead of hanging it
  struct rusage before {};
  ::getrusage(RUSAGE_SELF, &before);
  const std::pair<std::string, const char*> refused[] = {
      {dir + "/missing.eml", "No such file"}, {dir, "is a folder"},
      {dir + "/pipe.eml", "is a named pipe"}, {dir + "/zero.eml", "is a device"},
      {dir + "/huge.eml", "file too large"}};
  for (const auto& [bad, reason] : refused) {
    wharfline::Result<convert::ReadMessage> failed = convert::ReadMessageFile(bad);
    ASSERT_FALSE(failed);
    EXPECT_NE(failed.error().message().find(bad + ": " + reason), std::string::npos)
        << failed.error().message();
  }
  ::alarm(0);
  struct rusage after {};
  ::getrusage(RUSAGE_SELF, &after);
  EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 256 * 1024) << "a refused file was read (KiB)";
  // A name that is not UTF-8 is read by its bytes.
  const std::string latin1 = dir + "/caf\xe9 .eml";
  std::ofstream(latin1, std::ios::binary) << message;
  EXPECT_TRUE(convert::ReadMessageFile(latin1));
  convert::PrefetchingMessageFiles files;
  EXPECT_TRUE(files.Read(wharfline::PathFromNative(latin1)));
  std::filesystem::remove_all(dir);
}

}  // namespace
