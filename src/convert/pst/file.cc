#include "convert/pst/file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

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
      if (n == 0) return Status::IOError(path_, "short write (disk full?)");
      p += n;
      left -= static_cast<std::size_t>(n);
      offset += static_cast<std::uint64_t>(n);
    }
    StartWriteback(offset - data.size(), data.size());
    return Status::OK();
  }
  Status Flush() override { return Status::OK(); }  // pwrite is unbuffered
  Status Sync() override {
    if (::fdatasync(fd_) != 0) return Status::IOError(path_, ErrnoText(errno));
    dirty_ = 0;
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
#else
    (void)offset;
    (void)size;
#endif
  }

  static constexpr std::uint64_t kWritebackEvery = 8u << 20;
  std::string path_;
  int fd_;
  std::uint64_t dirty_ = 0;  // bytes written since the last hint or sync
  std::uint64_t dirty_from_ = 0;
  std::uint64_t dirty_to_ = 0;
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
};

}  // namespace

FileEnv& DefaultFileEnv() {
  static PosixFileEnv env;
  return env;
}

}  // namespace pst
