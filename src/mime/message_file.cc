#include "mime/message_file.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#if defined(__unix__) || defined(__APPLE__)
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#define WHARFLINE_POSIX_FILES 1
#endif

namespace mime {

namespace {

std::string PathText(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

wharfline::Status TooLarge(const std::filesystem::path& path) {
  return wharfline::Status::IOError(PathText(path), "file too large for a message");
}

#ifdef WHARFLINE_POSIX_FILES
// What anything but a regular file is, for the refusal.
const char* NotAFileReason(mode_t mode) {
  if (S_ISDIR(mode)) return "is a folder, not a message file";
  if (S_ISFIFO(mode)) return "is a named pipe, not a message file";
  if (S_ISSOCK(mode)) return "is a socket, not a message file";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "is a device, not a message file";
  return "is not a regular file";
}

// Opens a message file for reading: without waiting (a named pipe would wait for a writer for
// ever), refusing anything but a regular file and anything over the size limit at once,
// before a byte is read. The caller closes the descriptor.
wharfline::Result<int> OpenRegularFile(const std::filesystem::path& path, struct stat& st) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return wharfline::Status::IOError(PathText(path), std::strerror(errno));
  wharfline::Status refused;
  if (::fstat(fd, &st) != 0) {
    refused = wharfline::Status::IOError(PathText(path), std::strerror(errno));
  } else if (!S_ISREG(st.st_mode)) {
    refused = wharfline::Status::IOError(PathText(path), NotAFileReason(st.st_mode));
  } else if (static_cast<std::uint64_t>(st.st_size) > kMaxMessageFileBytes) {
    refused = TooLarge(path);
  }
  if (!refused.ok()) {
    ::close(fd);
    return refused;
  }
  return fd;
}

// How much one read past the system's cache asks for: a whole page multiple, large enough to
// keep the disk busy, small enough that a growing file is noticed.
constexpr std::size_t kDirectChunk = std::size_t{16} << 20;

// Switches an open file to reading past the system's cache, when none of it is in memory and
// the system and the file system allow it. True when switched.
bool ReadDirect(int fd) {
#if defined(__linux__) && defined(O_DIRECT) && defined(RWF_NOWAIT)
  if (StartsInMemory(fd)) return false;  // cached: copy it from there
  const int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_DIRECT) == 0;
#else
  (void)fd;
  return false;
#endif
}

void ReadCached(int fd) {
#if defined(__linux__) && defined(O_DIRECT)
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) (void)::fcntl(fd, F_SETFL, flags & ~O_DIRECT);
#else
  (void)fd;
#endif
}
#endif

}  // namespace

bool StartsInMemory(int fd) {
#if defined(__linux__) && defined(RWF_NOWAIT)
  char byte = 0;
  struct iovec one {&byte, 1};
  return ::preadv2(fd, &one, 1, 0, RWF_NOWAIT) >= 0;
#else
  (void)fd;
  return false;
#endif
}

wharfline::Result<MessageFileProbe> ProbeMessageFile(const std::filesystem::path& path) {
  MessageFileProbe probe;
#ifdef WHARFLINE_POSIX_FILES
  struct stat st {};
  wharfline::Result<int> fd = OpenRegularFile(path, st);
  if (!fd) return fd.error();
  probe.size = static_cast<std::uint64_t>(st.st_size);
  ssize_t n;
  do {
    n = ::pread(*fd, probe.head.data(), probe.head.size(), 0);
  } while (n < 0 && errno == EINTR);
  const int error = errno;
  ::close(*fd);
  if (n < 0) return wharfline::Status::IOError(PathText(path), std::strerror(error));
  probe.head_size = static_cast<std::size_t>(n);
#else
  wharfline::Result<MessageFileBytes> file = ReadMessageFileBytes(path);
  if (!file) return file.error();
  probe.size = file->view().size();
  probe.head_size = std::min(probe.head.size(), file->view().size());
  std::memcpy(probe.head.data(), file->view().data(), probe.head_size);
#endif
  return probe;
}

void MessageFileBytes::Grow(std::size_t capacity) {
  // Not cleared: for large messages that would be a second pass over every byte.
  capacity = (capacity + kAlign - 1) / kAlign * kAlign;
  std::unique_ptr<char[], Free> bigger(new (std::align_val_t{kAlign}) char[capacity]);
  if (size_ > 0) std::memcpy(bigger.get(), data_.get(), size_);
  data_ = std::move(bigger);
  capacity_ = capacity;
}

wharfline::Result<MessageFileBytes> ReadMessageFileBytes(const std::filesystem::path& path) {
  MessageFileBytes file;
#ifdef WHARFLINE_POSIX_FILES
  const auto failed = [&path](int error) {
    return wharfline::Status::IOError(PathText(path), std::strerror(error));
  };
  struct stat st {};
  wharfline::Result<int> opened = OpenRegularFile(path, st);
  if (!opened) return opened.error();
  const int fd = *opened;
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  file.mtime = static_cast<std::int64_t>(st.st_mtime);
  // One byte more than the size, so a file that has not grown is read to its end in one call.
  // A file that says it is empty (as some system files do) is read in pieces.
  const bool sized = st.st_size > 0;
  file.Grow(sized ? static_cast<std::size_t>(st.st_size) + 1 : 64 * 1024);
  bool direct = static_cast<std::uint64_t>(st.st_size) >= kDirectReadBytes && ReadDirect(fd);
  for (;;) {
    if (file.room() == 0) {
      // A file growing while it is read: never past the limit.
      if (file.size_ >= kMaxMessageFileBytes) return TooLarge(path);
      file.Grow(std::min<std::size_t>(file.capacity_ * 2, kMaxMessageFileBytes + 1));
    }
    std::size_t want = file.room();
    if (direct) {
      // Past the cache only whole pages are read, into the buffer at a page boundary.
      if (file.size_ % MessageFileBytes::kAlign != 0 || want < MessageFileBytes::kAlign) {
        direct = false;
        ReadCached(fd);
      } else {
        want = std::min(want - want % MessageFileBytes::kAlign, kDirectChunk);
      }
    }
    const ssize_t n = ::read(fd, file.end(), want);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (direct && errno == EINVAL) {  // refused after all: through the cache instead
        direct = false;
        ReadCached(fd);
        continue;
      }
      return failed(errno);
    }
    if (n == 0) break;
    file.size_ += static_cast<std::size_t>(n);
    // Short of what was asked (the extra byte, or a whole chunk): the end.
    if (sized && static_cast<std::size_t>(n) < want) break;
  }
#else
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    return wharfline::Status::IOError(PathText(path), "is a folder, not a message file");
  }
  if (!std::filesystem::is_regular_file(path, ec)) {
    return wharfline::Status::IOError(PathText(path), "is not a regular file");
  }
  if (std::filesystem::file_size(path, ec) > kMaxMessageFileBytes) return TooLarge(path);
  std::ifstream in(path, std::ios::binary);
  if (!in) return wharfline::Status::IOError(PathText(path), "cannot open the file");
  const std::string all{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (in.bad()) return wharfline::Status::IOError(PathText(path), "cannot read the file");
  if (all.size() > kMaxMessageFileBytes) return TooLarge(path);
  file.Grow(all.size());
  std::memcpy(file.end(), all.data(), all.size());
  file.size_ = all.size();
  const auto written = std::filesystem::last_write_time(path, ec);
  if (!ec) {
    file.mtime = std::chrono::duration_cast<std::chrono::seconds>(
                     std::chrono::file_clock::to_sys(written).time_since_epoch())
                     .count();
  }
#endif
  return file;
}

}  // namespace mime
