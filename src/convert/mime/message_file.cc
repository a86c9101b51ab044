#include "convert/mime/message_file.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#if defined(__unix__) || defined(__APPLE__)
#include <fcntl.h>
#include <sys/stat.h>
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

}  // namespace

void MessageFileBytes::Grow(std::size_t capacity) {
  // Not cleared: for large messages that would be a second pass over every byte.
  std::unique_ptr<char[]> bigger(new char[capacity]);
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
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return failed(errno);
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0) return failed(errno);
  if (S_ISDIR(st.st_mode)) {
    return wharfline::Status::IOError(PathText(path), "is a folder, not a message file");
  }
  if (static_cast<std::uint64_t>(st.st_size) > kMaxMessageFileBytes) return TooLarge(path);
  file.mtime = static_cast<std::int64_t>(st.st_mtime);
  const bool sized = S_ISREG(st.st_mode);
  // One byte more than the size, so a file that has not grown is read to its end in one call.
  file.Grow(sized ? static_cast<std::size_t>(st.st_size) + 1 : 64 * 1024);
  for (;;) {
    if (file.room() == 0) {
      if (file.size_ > kMaxMessageFileBytes) return TooLarge(path);
      file.Grow(file.capacity_ * 2);
    }
    const ssize_t n = ::read(fd, file.end(), file.room());
    if (n < 0) {
      if (errno == EINTR) continue;
      return failed(errno);
    }
    if (n == 0) break;
    file.size_ += static_cast<std::size_t>(n);
    if (sized && file.room() > 0) break;  // short of the extra byte: the end
  }
#else
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    return wharfline::Status::IOError(PathText(path), "is a folder, not a message file");
  }
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
