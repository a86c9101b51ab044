#include "pst/file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace pst {
namespace {

std::string ErrnoText(int err) { return std::strerror(err); }

class PosixWritableFile final : public WritableFile {
 public:
  PosixWritableFile(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}
  ~PosixWritableFile() override {
    if (fd_ >= 0) ::close(fd_);
  }

  Status WriteAt(std::uint64_t offset, std::span<const std::uint8_t> data) override {
    const std::uint8_t* p = data.data();
    std::size_t left = data.size();
    while (left > 0) {
      ssize_t n = ::pwrite(fd_, p, left, static_cast<off_t>(offset));
      if (n < 0) {
        if (errno == EINTR) continue;
        return Status::IOError(path_, ErrnoText(errno));
      }
      if (n == 0) return Status::IOError(path_, ErrnoText(ENOSPC));
      p += n;
      left -= static_cast<std::size_t>(n);
      offset += static_cast<std::uint64_t>(n);
    }
    StartWriteback(offset - data.size(), data.size());
    return Status::OK();
  }
  Status Sync() override {
    if (::fdatasync(fd_) != 0) return Status::IOError(path_, ErrnoText(errno));
    dirty_ = 0;
    // All of it is on disk now, including pages that were still being written when they
    // were released before: released again.
    released_ = 0;
    ReleaseWrittenForGood(hints_ + 2);
    for_good_.clear();
    released_ = 0;
    return Status::OK();
  }
  void WrittenForGood(std::uint64_t offset, std::uint64_t size) override {
#ifdef __linux__
    if (!for_good_.empty() && for_good_.back().end == offset && for_good_.back().hint == hints_) {
      for_good_.back().end += size;
    } else {
      for_good_.push_back({offset, offset + size, hints_});
    }
#else
    (void)offset;
    (void)size;
#endif
  }
  Status Truncate(std::uint64_t size) override {
    while (::ftruncate(fd_, static_cast<off_t>(size)) != 0) {
      if (errno != EINTR) return Status::IOError(path_, ErrnoText(errno));
    }
    return Status::OK();
  }
  Status Close() override {
    int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) return Status::IOError(path_, ErrnoText(errno));
    return Status::OK();
  }

 private:
  // The system would hold written pages until a commit's sync and write them all then, with
  // the writer waiting. Every few megabytes it is told to start writing them out, so the
  // sync finds little left to do. A hint only: failures show at the sync.
  void StartWriteback(std::uint64_t offset, std::uint64_t size) {
#ifdef __linux__
    if (dirty_ == 0) dirty_from_ = offset;
    dirty_from_ = std::min(dirty_from_, offset);
    dirty_to_ = dirty_ == 0 ? offset + size : std::max(dirty_to_, offset + size);
    dirty_ += size;
    if (dirty_ < kWritebackEvery) return;
    (void)::sync_file_range(fd_, static_cast<off_t>(dirty_from_),
                            static_cast<off_t>(dirty_to_ - dirty_from_), SYNC_FILE_RANGE_WRITE);
    dirty_ = 0;
    // What was written for good two hints ago has been on its way to the disk for as long as
    // writing the last few megabytes took: its pages go back to the system, which hands them
    // out again for the next writes. Pages still being written stay, unharmed.
    ReleaseWrittenForGood(++hints_);
#else
    (void)offset;
    (void)size;
#endif
  }

  // Lets the system drop from its cache the whole pages of what was written for good before
  // hint number `before - 2` and not released yet. Pages still being written stay; the next
  // sync releases them all again.
  void ReleaseWrittenForGood(std::uint64_t before) {
#ifdef __linux__
    static const std::uint64_t page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    for (; released_ < for_good_.size() && for_good_[released_].hint + 2 <= before; ++released_) {
      const Range r = for_good_[released_];
      const std::uint64_t from = (r.begin + page - 1) / page * page;
      const std::uint64_t to = r.end / page * page;
      if (to > from) {
        (void)::posix_fadvise(fd_, static_cast<off_t>(from), static_cast<off_t>(to - from),
                              POSIX_FADV_DONTNEED);
      }
    }
#else
    (void)before;
#endif
  }

  static constexpr std::uint64_t kWritebackEvery = 8u << 20;
  std::string path_;
  int fd_;
  std::uint64_t dirty_ = 0;  // bytes written since the last hint or sync
  std::uint64_t dirty_from_ = 0;
  std::uint64_t dirty_to_ = 0;
  // Byte ranges written for good, and the number of writeback hints given before each.
  struct Range {
    std::uint64_t begin, end, hint;
  };
  std::vector<Range> for_good_;  // since the last sync
  std::size_t released_ = 0;      // for_good_[0, released_) were released once
  std::uint64_t hints_ = 0;
};

class PosixFileEnv final : public FileEnv {
 public:
  Result<std::unique_ptr<WritableFile>> CreateExclusive(const std::string& path) override {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
      int err = errno;
      if (err == EEXIST) return Status::AlreadyExists(path, "file already exists");
      return Status::IOError(path, ErrnoText(err));
    }
    return std::unique_ptr<WritableFile>(std::make_unique<PosixWritableFile>(path, fd));
  }

  Status RenameNoReplace(const std::string& from, const std::string& to) override {
#ifdef __linux__
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
      return Status::OK();
    }
    const int err = errno;
    if (err == EEXIST) return Status::AlreadyExists(to, "file already exists");
    // File systems without the flag (some network and user-space ones) still have links.
    if (err != EINVAL && err != ENOSYS && err != ENOTSUP && err != EOPNOTSUPP) {
      return Status::IOError(to, ErrnoText(err));
    }
#endif
    if (::link(from.c_str(), to.c_str()) != 0) {
      const int link_err = errno;
      if (link_err == EEXIST) return Status::AlreadyExists(to, "file already exists");
      return Status::IOError(to, ErrnoText(link_err));
    }
    // The file has its new name; a leftover old name would only be a stray hidden file.
    (void)::unlink(from.c_str());
    return Status::OK();
  }

  Status Remove(const std::string& path) override {
    if (::unlink(path.c_str()) != 0) return Status::IOError(path, ErrnoText(errno));
    return Status::OK();
  }

  Status SyncFolder(const std::string& folder) override {
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return Status::IOError(folder, ErrnoText(errno));
    int result = ::fsync(fd);
    const int err = errno;
    ::close(fd);
    // Some file systems cannot sync a folder and say so; their names are as durable as
    // they get.
    if (result != 0 && err != EINVAL && err != EBADF && err != ENOTSUP) {
      return Status::IOError(folder, ErrnoText(err));
    }
    return Status::OK();
  }
};

}  // namespace

FileEnv& DefaultFileEnv() {
  static PosixFileEnv env;
  return env;
}

namespace {
// A backslash is an ordinary character in a POSIX name.
#ifdef _WIN32
constexpr const char* kSeparators = "/\\";
#else
constexpr const char* kSeparators = "/";
#endif
}  // namespace

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of(kSeparators);
  if (slash == std::string::npos) return ".";
  if (slash == 0) return path.substr(0, 1);
  return path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  const std::size_t slash = path.find_last_of(kSeparators);
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace pst
