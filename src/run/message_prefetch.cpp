#include "run/message_prefetch.h"

#include "base/native_path.h"
#include "mime/message_file.h"

#include <algorithm>
#include <exception>

#if defined(__unix__) || defined(__APPLE__)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#define WHARFLINE_HAVE_FADVISE 1
#endif

namespace convert {

namespace {

// How far past the expected position Read looks for its path: the run passes over a file
// whose earlier steps failed, but never over many in a row without reading one.
constexpr std::size_t kSearchAhead = 256;

int ThreadCount(int requested) {
  if (requested > 0) return requested;
  const unsigned cores = std::thread::hardware_concurrency();
  return static_cast<int>(std::clamp(cores, 1u, 4u));
}

}  // namespace

MessagePrefetcher::MessagePrefetcher(FileReader reader, PrefetchOptions options)
    : reader_(std::move(reader)), options_(options), thread_count_(ThreadCount(options.threads)) {}

MessagePrefetcher::~MessagePrefetcher() {
  {
    std::lock_guard lock(mu_);
    stop_ = true;
  }
  work_ready_.notify_all();
  for (std::thread& worker : workers_) worker.join();
  if (warmer_.joinable()) warmer_.join();
}

void MessagePrefetcher::Expect(std::vector<std::string> paths) {
  auto list = std::make_shared<const std::vector<std::string>>(std::move(paths));
  Expect(list->size(), [list](std::size_t i) { return (*list)[i]; });
}

void MessagePrefetcher::Expect(std::size_t count, std::function<std::string(std::size_t)> path_at) {
  {
    std::lock_guard lock(mu_);
    ++generation_;  // results still being read for the old list are dropped on arrival
    window_.clear();
    window_.shrink_to_fit();
    base_ = 0;
    count_ = count;
    path_at_ = std::move(path_at);
    cursor_ = claimed_ = warmed_ = 0;
    bytes_ahead_ = warm_bytes_ = 0;
    if (count_ > 0 && workers_.empty()) {
      for (int i = 0; i < thread_count_; ++i) workers_.emplace_back([this] { Work(); });
#ifdef WHARFLINE_HAVE_FADVISE
      if (options_.warm_files_ahead > 0) warmer_ = std::thread([this] { Warm(); });
#endif
    }
  }
  work_ready_.notify_all();
}

MessagePrefetcher::Slot& MessagePrefetcher::SlotAt(std::size_t index) {
  while (base_ + window_.size() <= index) window_.emplace_back();
  return window_[index - base_];
}

void MessagePrefetcher::Trim() {
  const std::size_t passed = std::min(cursor_ - std::min(cursor_, base_), window_.size());
  window_.erase(window_.begin(), window_.begin() + static_cast<std::ptrdiff_t>(passed));
  base_ = std::max(base_, cursor_);
}

bool MessagePrefetcher::CanClaim() const {
  if (claimed_ >= count_) return false;
  if (claimed_ - cursor_ >= options_.max_files_ahead) return false;
  // The next file the run needs is always read, however large.
  return claimed_ == cursor_ || bytes_ahead_ < options_.max_bytes_ahead;
}

bool MessagePrefetcher::CanWarm() const {
  // Only past what the workers have started: those files are being read already.
  const std::size_t from = std::max(warmed_, claimed_);
  return from < count_ && from - claimed_ < options_.warm_files_ahead &&
         warm_bytes_ < options_.warm_bytes_ahead;
}

void MessagePrefetcher::Claimed(std::size_t index) {
  Slot& slot = SlotAt(index);
  warm_bytes_ -= std::min(warm_bytes_, slot.warm_bytes);
  slot.warm_bytes = 0;
}

// Tells the system which files will be read soon, so it fetches them from disk while the
// workers parse: a cold cache then costs little more than a warm one. Opening a file and
// asking once is all; nothing is read into this process.
void MessagePrefetcher::Warm() {
#ifdef WHARFLINE_HAVE_FADVISE
  // Files already in memory need no telling, and asking costs calls into the system. After a
  // run of files found in memory (the input was just copied, say) only every sixteenth file
  // is looked at, until one is found on disk again.
  constexpr std::size_t kInMemoryRun = 64;
  constexpr std::size_t kLookEvery = 16;
  std::size_t in_memory_run = 0;
  std::unique_lock lock(mu_);
  for (;;) {
    if (!WaitForWork(lock, [this] { return CanWarm(); })) return;
    const std::size_t index = std::max(warmed_, claimed_);
    warmed_ = index + 1;
    if (in_memory_run >= kInMemoryRun && index % kLookEvery != 0) continue;
    const std::uint64_t generation = generation_;
    const std::string path = path_at_(index);
    lock.unlock();

    std::uint64_t size = 0;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0) {
      struct stat st {};
      if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        size = static_cast<std::uint64_t>(st.st_size);
        if (size >= mime::kDirectReadBytes) {
          size = 0;  // read past the cache when its turn comes: fetching it now is wasted
        } else if (mime::StartsInMemory(fd)) {
          ++in_memory_run;
        } else {
          in_memory_run = 0;
#ifdef POSIX_FADV_WILLNEED
          (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_WILLNEED);
#endif
        }
      }
      ::close(fd);
    }

    lock.lock();
    if (generation != generation_ || index < claimed_) continue;
    SlotAt(index).warm_bytes = size;
    warm_bytes_ += size;
  }
#endif
}

void MessagePrefetcher::Release(Slot& slot) {
  bytes_ahead_ -= std::min(bytes_ahead_, slot.bytes);
  slot.bytes = 0;
  slot.result.reset();
}

wharfline::Result<ReadMessage> MessagePrefetcher::ReadNow(const std::string& path) const {
  try {
    return reader_(path);
  } catch (const std::exception& e) {
    return wharfline::Status::IOError(path, e.what());
  }
}

std::size_t MessagePrefetcher::Find(const std::string& path) const {
  const std::size_t end = std::min(count_, cursor_ + kSearchAhead);
  for (std::size_t i = cursor_; i < end; ++i) {
    if (path_at_(i) == path) return i;
  }
  return count_;
}

void MessagePrefetcher::Work() {
  std::unique_lock lock(mu_);
  for (;;) {
    if (!WaitForWork(lock, [this] { return CanClaim(); })) return;
    const std::size_t index = claimed_++;
    Claimed(index);
    const std::uint64_t generation = generation_;
    SlotAt(index).state = SlotState::kReading;
    const std::string path = path_at_(index);
    lock.unlock();

    auto result = std::make_unique<wharfline::Result<ReadMessage>>(ReadNow(path));

    lock.lock();
    if (generation != generation_) continue;
    if (index < base_) {
      // The run passed over it while it was read, and its slot is gone.
      if (idle_ > 0) work_ready_.notify_all();
      continue;
    }
    Slot& slot = SlotAt(index);
    // Counted once read: the workers together go past the limit by at most a file each.
    slot.bytes = *result ? (*result)->file_bytes : 0;
    bytes_ahead_ += slot.bytes;
    if (slot.state == SlotState::kDropped) {
      Release(slot);  // the run passed over it while it was read
      if (idle_ > 0) work_ready_.notify_all();
      continue;
    }
    slot.result = std::move(result);
    slot.state = SlotState::kDone;
    if (consumers_waiting_ > 0) slot_done_.notify_all();
  }
}

wharfline::Result<ReadMessage> MessagePrefetcher::Read(const std::string& path) {
  std::unique_lock lock(mu_);
  const std::size_t found = Find(path);
  if (found >= count_) {
    lock.unlock();
    return ReadNow(path);
  }
  // The files before it were passed over: nobody will ask for them.
  for (std::size_t i = cursor_; i < found; ++i) {
    Slot& skipped = SlotAt(i);
    if (skipped.state == SlotState::kReading) {
      skipped.state = SlotState::kDropped;  // its worker releases it
    } else {
      Release(skipped);
      skipped.state = SlotState::kDropped;
    }
  }
  cursor_ = found;
  if (found >= claimed_) {
    // Not started yet: read it here, and let the workers go on after it.
    for (std::size_t i = claimed_; i <= found; ++i) Claimed(i);
    claimed_ = found + 1;
    cursor_ = found + 1;
    Trim();
    const bool wake = idle_ > 0;
    lock.unlock();
    if (wake) work_ready_.notify_all();
    return ReadNow(path);
  }
  const std::uint64_t generation = generation_;
  ++consumers_waiting_;
  slot_done_.wait(lock, [&] {
    return generation != generation_ || SlotAt(found).state == SlotState::kDone;
  });
  --consumers_waiting_;
  if (generation != generation_) {
    lock.unlock();
    return ReadNow(path);
  }
  Slot& slot = SlotAt(found);
  wharfline::Result<ReadMessage> result = std::move(*slot.result);
  Release(slot);
  slot.state = SlotState::kDropped;
  cursor_ = found + 1;
  Trim();
  ++served_ahead_;
  const bool wake = idle_ > 0;
  lock.unlock();
  if (wake) work_ready_.notify_all();
  return result;
}

wharfline::Result<ReadMessage> PrefetchingMessageFiles::Read(const QString& path) {
  return prefetcher_.Read(wharfline::NativeFromPath(path));
}

void PrefetchingMessageFiles::Expect(std::shared_ptr<const PathList> paths) {
  // The run's own list, shared: a million paths are not copied again.
  const std::size_t count = paths ? paths->size() : 0;
  prefetcher_.Expect(count, [list = std::move(paths)](std::size_t i) {
    return wharfline::NativeFromPath(list->At(i));
  });
}

std::uint64_t MessagePrefetcher::served_ahead() const {
  std::lock_guard lock(mu_);
  return served_ahead_;
}

}  // namespace convert
