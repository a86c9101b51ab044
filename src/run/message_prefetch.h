// Reading message files ahead of the run. Parsing a message costs several times what writing
// it into the store does, so while the window's thread writes one message, worker threads
// read and parse the next ones on the other cores. The run itself is unchanged: it still
// imports and saves one file after the other in list order, and Read gives for a path exactly
// what the reader gives; the look-ahead only moves the reading earlier.
//
// Read is for one thread (the window's); Expect too. The reader runs on the worker threads, so
// it must be safe to call on several threads at once (the MIME importer is).
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "run/message_files.h"

namespace convert {

struct PrefetchOptions {
  int threads = 0;                          // 0: one per core, at most four
  std::size_t max_files_ahead = 64;          // parsed or being parsed, not yet taken
  std::uint64_t max_bytes_ahead = 48u << 20;  // sizes of the files read; the next always goes
  // Beyond those, files whose reading from disk is started in the background (the system is
  // told they will be needed), so a cold cache costs the workers no waiting. 0 files: none.
  std::size_t warm_files_ahead = 256;
  std::uint64_t warm_bytes_ahead = 64u << 20;
};

class MessagePrefetcher {
 public:
  explicit MessagePrefetcher(FileReader reader, PrefetchOptions options = {});
  ~MessagePrefetcher();
  MessagePrefetcher(const MessagePrefetcher&) = delete;
  MessagePrefetcher& operator=(const MessagePrefetcher&) = delete;

  // The files to read ahead, in the order they will be asked for; replaces any earlier list
  // (what was read for it is dropped). An empty list stops the look-ahead.
  void Expect(std::vector<std::string> paths);
  // The same for `count` files whose paths `path_at` gives by place, so a long list is not
  // copied: it is called with the prefetcher's lock held, and kept until the next Expect.
  void Expect(std::size_t count, std::function<std::string(std::size_t)> path_at);

  // The message at path. When path is among the next expected files, the files expected
  // before it are passed over (the run skipped them) and its read-ahead result is used;
  // otherwise the file is read here and now.
  wharfline::Result<ReadMessage> Read(const std::string& path);

  // For tests: how many Read calls were served from the look-ahead.
  std::uint64_t served_ahead() const;

 private:
  enum class SlotState : std::uint8_t { kWaiting, kReading, kDone, kDropped };
  struct Slot {
    SlotState state = SlotState::kWaiting;
    std::uint64_t bytes = 0;
    std::uint64_t warm_bytes = 0;  // counted in warm_bytes_ until a worker claims it
    std::unique_ptr<wharfline::Result<ReadMessage>> result;
  };

  void Work();
  void Warm();
  // Waits, counted as idle, until ready() holds or the prefetcher stops; false when it stops.
  template <class Ready>
  bool WaitForWork(std::unique_lock<std::mutex>& lock, Ready ready) {
    ++idle_;
    work_ready_.wait(lock, [&] { return stop_ || ready(); });
    --idle_;
    return !stop_;
  }
  bool CanClaim() const;  // with mu_ held
  bool CanWarm() const;   // with mu_ held
  void Claimed(std::size_t index);  // with mu_ held: slot index is leaving the warmed stretch
  void Release(Slot& slot);  // with mu_ held: forget a slot's result and its bytes
  // The slot of file index, with mu_ held. REQUIRES: cursor_ <= index < count_.
  Slot& SlotAt(std::size_t index);
  // Drops the slots before cursor_, with mu_ held: a worker still reading one of them finds
  // it gone and drops its result.
  void Trim();
  wharfline::Result<ReadMessage> ReadNow(const std::string& path) const;
  // The slot of path among the next expected ones, or count_; with mu_ held.
  std::size_t Find(const std::string& path) const;

  const FileReader reader_;
  const PrefetchOptions options_;
  const int thread_count_;

  mutable std::mutex mu_;
  std::condition_variable work_ready_;   // workers wait for room or a new list
  std::condition_variable slot_done_;    // Read waits for its slot
  // Slots exist only for the stretch the run has not passed yet and the workers or the warmer
  // have reached: [base_, base_ + window_.size()). A list of a million files does not cost a
  // slot each.
  std::deque<Slot> window_;
  std::size_t base_ = 0;
  std::size_t count_ = 0;  // files expected
  std::function<std::string(std::size_t)> path_at_;  // the path of each file
  std::size_t cursor_ = 0;   // the first slot not yet taken or passed over
  std::size_t claimed_ = 0;  // the first slot no worker has started
  std::size_t warmed_ = 0;   // the first slot not yet announced to the system
  std::uint64_t bytes_ahead_ = 0;
  std::uint64_t warm_bytes_ = 0;
  std::uint64_t generation_ = 0;  // changes with every Expect
  std::uint64_t served_ahead_ = 0;
  int idle_ = 0;                // threads waiting on work_ready_
  int consumers_waiting_ = 0;  // Read waiting on slot_done_
  bool stop_ = false;
  std::vector<std::thread> workers_;
  std::thread warmer_;
};

// The message files of a run, read ahead on worker threads with the MIME importer.
class PrefetchingMessageFiles final : public MessageFiles {
 public:
  explicit PrefetchingMessageFiles(PrefetchOptions options = {})
      : prefetcher_(ReadMessageFile, options) {}

  wharfline::Result<ReadMessage> Read(const QString& path) override;
  void Expect(std::shared_ptr<const PathList> paths) override;

 private:
  MessagePrefetcher prefetcher_;
};

}  // namespace convert
